#include "messaging/progress_sink.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "messaging/stream_format.h"
#include "platform/debug_output.h"
#include "platform/mailslot.h"
#include "platform/system_factory.h"

namespace tw {

namespace {

// The live inboxes by name. Never destroyed: an inbox may be released while
// the process ends.
struct InboxRegistry {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<ProgressInbox>> inboxes;  // guarded by mutex
};

InboxRegistry& Inboxes() {
  static InboxRegistry* registry = new InboxRegistry;
  return *registry;
}

}  // namespace

std::shared_ptr<ProgressInbox> ProgressInbox::Create(const std::string& name) {
  InboxRegistry& registry = Inboxes();
  std::lock_guard<std::mutex> lock(registry.mutex);
  std::weak_ptr<ProgressInbox>& slot = registry.inboxes[name];
  if (!slot.expired()) return nullptr;
  auto inbox = std::make_shared<ProgressInbox>(name);
  slot = inbox;
  return inbox;
}

std::shared_ptr<ProgressInbox> ProgressInbox::Find(const std::string& name) {
  InboxRegistry& registry = Inboxes();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const auto found = registry.inboxes.find(name);
  return found == registry.inboxes.end() ? nullptr : found->second.lock();
}

ProgressInbox::~ProgressInbox() {
  Close();
}

void ProgressInbox::Put(uint32_t kind, const std::string& name, uint64_t size, uint64_t done) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return;
  if (kind == kProgressFileInProgress && !pending_.empty() &&
      pending_.back().kind == kProgressFileInProgress && pending_.back().name == name) {
    pending_.back().size = size;
    pending_.back().done = done;
    return;
  }
  if (pending_.size() >= kKeptEndingRecords) {
    ++left_out_;
    return;
  }
  pending_.push_back(Record{kind, name, size, done});
}

std::vector<ProgressInbox::Record> ProgressInbox::Take() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(pending_, {});
}

void ProgressInbox::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    pending_.clear();
    if (left_out_ > 0) {
      DebugLog("ProgressInbox %s: %llu progress records found it full", name_.c_str(),
               static_cast<unsigned long long>(left_out_));
    }
  }
  InboxRegistry& registry = Inboxes();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const auto found = registry.inboxes.find(name_);
  // Only this inbox's own entry: an expired one may have been taken over.
  if (found != registry.inboxes.end()) {
    const std::shared_ptr<ProgressInbox> live = found->second.lock();
    if (live == nullptr || live.get() == this) registry.inboxes.erase(found);
  }
}

ProgressSink::ProgressSink() = default;

ProgressSink::~ProgressSink() {
  Close();
}

bool ProgressSink::Open(const std::string& name) {
  Close();
  inbox_ = ProgressInbox::Find(name);
  if (inbox_ != nullptr) return true;
  std::unique_ptr<MailslotWriter> writer = GetSystemFactory().NewMailslotWriter();
  if (!writer->Open(".", name)) return false;
  writer->SetWriteTimeout(0);
  writer_ = std::move(writer);
  name_ = name;
  return true;
}

void ProgressSink::Write(uint32_t kind, const std::string& name, uint64_t size, uint64_t done) {
  if (inbox_) {
    inbox_->Put(kind, name, size, done);
    return;
  }
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
  Put put;
  if (ending && wait_left_ms_ > 0) {
    const auto start = std::chrono::steady_clock::now();
    put = Try(record, wait_left_ms_);
    const int64_t waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
    wait_left_ms_ -= static_cast<uint32_t>(std::min<int64_t>(waited, wait_left_ms_));
  } else {
    put = Try(record, 0);
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
  inbox_.reset();
  if (!writer_) return;
  Flush();
  if (writer_) GiveUp("had no room", 0);
}

}  // namespace tw
