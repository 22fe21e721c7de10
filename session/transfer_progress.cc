#include "session/transfer_progress.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <utility>

#include "messaging/message.h"
#include "messaging/progress_sink.h"
#include "messaging/pump_hook.h"
#include "messaging/stream_format.h"
#include "platform/debug_output.h"
#include "transport/message_hub.h"

namespace tw {

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string TransferNoticeText(const std::string& verb, const std::string& name, uint64_t done,
                               uint64_t size, int64_t elapsed_ms) {
  if (done > size) done = size;
  const unsigned percent =
      size == 0 ? 100 : static_cast<unsigned>(static_cast<long double>(done) * 100 / size);
  char figures[96];
  std::snprintf(figures, sizeof figures, ": %u%% (%.1f of %.1f MiB", percent, done / kMiB,
                size / kMiB);
  std::string text = verb + " " + name + figures;
  if (elapsed_ms > 0) {
    const double rate = static_cast<double>(done) / 1000.0 / static_cast<double>(elapsed_ms);
    char speed[48];
    std::snprintf(speed, sizeof speed, rate < 10 ? ", %.1f MB/s" : ", %.0f MB/s", rate);
    text += speed;
  }
  return text + ")";
}

TransferNotices::TransferNotices(std::string verb, TransferNoticeSink sink,
                                 std::function<int64_t()> now_ms)
    : verb_(std::move(verb)), sink_(std::move(sink)), now_ms_(std::move(now_ms)) {}

void TransferNotices::Observe(int64_t number, const std::string& name, uint64_t done, uint64_t size,
                              bool whole) {
  const int64_t now = now_ms_();
  if (number != number_) {
    number_ = number;
    started_ms_ = now;
    told_whole_ = false;
  }
  if (size <= kTransferNoticeMinBytes || told_whole_) return;
  if (!whole && any_notice_ && now - last_notice_ms_ < kTransferNoticeIntervalMs) return;
  if (whole) {
    done = size;
    told_whole_ = true;
  }
  last_notice_ms_ = now;
  any_notice_ = true;
  sink_(TransferNoticeText(verb_, name, done, size, now - started_ms_));
}

// What the hub reports of the sent files, kept until the waiting thread
// takes it: a file's latest position, and every completion, in order.
class TransferWatch::Listener : public ProgressListener {
 public:
  struct Sample {
    int64_t file_index;
    uint64_t position;
    uint64_t size;
    bool whole;
  };

  void OnProgress(int64_t stage, int64_t position, int64_t size, int64_t file_index) override {
    if (stage < 0 || position < 0 || size < 0 || file_index < 0) return;  // a failed send
    const Sample sample{file_index, static_cast<uint64_t>(position), static_cast<uint64_t>(size),
                        stage == 2};
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending_.empty() && !pending_.back().whole && pending_.back().file_index == file_index) {
      pending_.back() = sample;
    } else {
      pending_.push_back(sample);
    }
  }

  std::vector<Sample> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(pending_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<Sample> pending_;  // guarded by mutex_
};

TransferWatch::TransferWatch(const TransferNoticeSink& sink, const CRLMSGmessage& request,
                             Direction direction, std::vector<std::string> names)
    : names_(std::move(names)) {
  if (!sink) return;
  message_id_ = request.GetIdentifierText();
  if (message_id_.empty()) return;
  notices_ = std::make_unique<TransferNotices>(direction == kSending ? "Sending" : "Receiving",
                                               sink, &SteadyMs);
  // The hook first: registering the listener is the last step that can
  // fail, so that a throw never leaves it registered without its owner.
  hook_ = std::make_unique<ScopedWaitSliceHook>([this] { Drain(); });
  if (direction == kSending) {
    listener_ = std::make_unique<Listener>();
    GetMessageHub()->AddListener(message_id_, listener_.get());
  } else {
    // The reply comes under the request's identifier, and the reader of this
    // process hands its records to the inbox of that name. Without it (a
    // live one of that name cannot exist) the transfer goes untold.
    inbox_ = ProgressInbox::Create(request.GetIdentifierObject().guid().ToHexName());
    if (inbox_ == nullptr) DebugLog("TransferWatch: the progress inbox of the request is taken");
  }
}

TransferWatch::~TransferWatch() {
  try {
    hook_.reset();
    if (notices_) Drain();
    if (listener_ && HasMessageHub()) GetMessageHub()->RemoveListener(message_id_, listener_.get());
    if (inbox_) inbox_->Close();
  } catch (...) {
    DebugLog("TransferWatch: unexpected exception at the end of a transfer");
  }
}

void TransferWatch::Drain() {
  if (listener_) {
    for (const Listener::Sample& s : listener_->Take()) {
      const std::string name = s.file_index < static_cast<int64_t>(names_.size())
                                   ? names_[static_cast<size_t>(s.file_index)]
                                   : std::string();
      notices_->Observe(s.file_index, name, s.position, s.size, s.whole);
    }
  }
  if (inbox_) {
    for (const ProgressInbox::Record& r : inbox_->Take()) {
      if (r.kind != kProgressFileInProgress && r.kind != kProgressFileFinished) continue;
      notices_->Observe(static_cast<int64_t>(r.file), r.name, r.done, r.size,
                        r.kind == kProgressFileFinished);
    }
  }
}

}  // namespace tw
