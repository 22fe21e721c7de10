#include "messaging/progress_sink.h"

#include <algorithm>
#include <chrono>

#include "messaging/stream_format.h"
#include "platform/debug_output.h"
#include "platform/mailslot.h"
#include "platform/system_factory.h"

namespace tw {

ProgressSink::ProgressSink() = default;

ProgressSink::~ProgressSink() {
  Close();
}

bool ProgressSink::Open(const std::string& name) {
  Close();
  std::unique_ptr<MailslotWriter> writer = GetSystemFactory().NewMailslotWriter();
  if (!writer->Open(".", name)) return false;
  writer->SetWriteTimeout(0);
  writer_ = std::move(writer);
  name_ = name;
  return true;
}

void ProgressSink::Write(uint32_t kind, const std::string& name, uint64_t size, uint64_t done) {
  if (!writer_) return;
  const std::string record = MakeProgressRecord(kind, name, size, done);
  const bool ending = kind == kProgressFileFinished || kind == kProgressMessageFinished;
  // Kept records go first, or the order is lost.
  Flush();
  if (!writer_) {
    return;  // gone, and told so
  }
  if (!pending_.empty()) {
    if (!ending) {
      ++left_out_;
      return;
    }
    if (pending_.size() >= kKeptEndingRecords) {
      pending_.pop_front();  // the newest tell the most
      ++left_out_;
    }
    pending_.push_back(record);
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  const Put put = Try(record, ending ? wait_left_ms_ : 0);
  if (ending) {
    const int64_t waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
    wait_left_ms_ -= static_cast<uint32_t>(std::min<int64_t>(waited, wait_left_ms_));
  }
  if (put == Put::kGone) {
    GiveUp("is gone", 1);
  } else if (put == Put::kNoRoom) {
    if (ending) {
      pending_.push_back(record);
    } else {
      ++left_out_;
    }
  }
}

ProgressSink::Put ProgressSink::Try(const std::string& record, uint32_t wait_ms) {
  if (wait_ms > 0) writer_->SetWriteTimeout(wait_ms);
  const bool written = writer_->Write(record.data(), static_cast<uint32_t>(record.size()), nullptr);
  if (wait_ms > 0) writer_->SetWriteTimeout(0);
  if (written) return Put::kWritten;
  return writer_->QueueWasFull() ? Put::kNoRoom : Put::kGone;
}

void ProgressSink::Flush() {
  while (writer_ && !pending_.empty()) {
    const Put put = Try(pending_.front(), 0);
    if (put == Put::kWritten) {
      pending_.pop_front();
    } else {
      if (put == Put::kGone) GiveUp("is gone", 0);
      return;
    }
  }
}

void ProgressSink::GiveUp(const char* why, uint64_t lost) {
  left_out_ += pending_.size() + lost;
  pending_.clear();
  if (left_out_ > 0) {
    DebugLog("ProgressSink: the reader of mailslot %s %s; %llu progress records never reached it",
             name_.c_str(), why, static_cast<unsigned long long>(left_out_));
  }
  left_out_ = 0;
  writer_.reset();
}

void ProgressSink::Close() {
  if (!writer_) return;
  Flush();
  if (writer_) GiveUp("had no room", 0);
}

}  // namespace tw
