#include "messaging/progress_sink.h"

#include <algorithm>
#include <chrono>
#include <cstring>
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

void ProgressInbox::Put(uint32_t kind, const std::string& name, uint64_t size,
                        uint64_t done) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return;
  const uint64_t file = files_ended_;
  if (kind == kProgressFileFinished) ++files_ended_;
  in_file_ = kind == kProgressFileInProgress;
  // As a record holds it: a peer's long name is not kept per file, and what
  // follows a zero byte is no part of it.
  const size_t length = strnlen(name.c_str(), std::min(name.size(), kProgressNameSize - 1));
  try {
    if (kind == kProgressFileInProgress && !pending_.empty()) {
      Record& last = pending_.back();
      if (last.kind == kProgressFileInProgress && last.file == file) {
        last.size = size;
        last.done = done;
        return;
      }
    }
    if (pending_.size() >= kKeptEndingRecords) {
      pending_.pop_front();  // the newest tell the most
      ++left_out_;
    }
    pending_.push_back(Record{kind, name.substr(0, length), size, done, file});
  } catch (...) {
    ++left_out_;
  }
}

void ProgressInbox::EndMessage() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  if (in_file_) ++files_ended_;
  in_file_ = false;
}

std::deque<ProgressInbox::Record> ProgressInbox::Take() {
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
  // Released after the lock: the last hold of another inbox of the name
  // closes that one, which takes the lock again.
  std::shared_ptr<ProgressInbox> live;
  InboxRegistry& registry = Inboxes();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const auto found = registry.inboxes.find(name_);
  // Only this inbox's own entry: an expired one may have been taken over.
  if (found != registry.inboxes.end()) {
    live = found->second.lock();
    if (live == nullptr || live.get() == this) registry.inboxes.erase(found);
  }
}

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

bool ProgressSink::OpenReceived(const std::string& name) {
  Open(name);
  inbox_ = ProgressInbox::Find(name);
  return IsOpen();
}

void ProgressSink::Write(uint32_t kind, const std::string& name, uint64_t size,
                         uint64_t done) noexcept {
  if (inbox_) inbox_->Put(kind, name, size, done);
  if (!writer_) return;
  try {
    WriteToMailslot(kind, name, size, done);
  } catch (...) {
    ++left_out_;
  }
}

void ProgressSink::WriteToMailslot(uint32_t kind, const std::string& name, uint64_t size,
                                   uint64_t done) {
  const std::string record = MakeProgressRecord(kind, name, size, done);
  const bool ending = kind == kProgressFileFinished || kind == kProgressMessageFinished;
  // Kept records go first, or the order is lost.
  Flush(false);
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
  const Put put = ending ? TryWithinWait(record) : Try(record, 0);
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

ProgressSink::Put ProgressSink::TryWithinWait(const std::string& record) {
  using std::chrono::milliseconds;
  const auto start = std::chrono::steady_clock::now();
  const int64_t refill =
      std::chrono::duration_cast<milliseconds>(start - refilled_at_).count() / kWaitRefillDivisor;
  if (refill > 0) {
    wait_left_ms_ = static_cast<uint32_t>(
        std::min<int64_t>(kEndingRecordWaitMs, int64_t{wait_left_ms_} + refill));
    refilled_at_ += milliseconds(refill * kWaitRefillDivisor);
  }
  if (wait_left_ms_ == 0) return Try(record, 0);
  const Put put = Try(record, wait_left_ms_);
  const int64_t waited =
      std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start).count();
  wait_left_ms_ -= static_cast<uint32_t>(std::min<int64_t>(waited, wait_left_ms_));
  return put;
}

void ProgressSink::Flush(bool wait) {
  while (writer_ && !pending_.empty()) {
    const Put put = wait ? TryWithinWait(pending_.front()) : Try(pending_.front(), 0);
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

void ProgressSink::Close() noexcept {
  if (inbox_) {
    inbox_->EndMessage();
    inbox_.reset();
  }
  if (!writer_) return;
  try {
    Flush(true);
    if (writer_) GiveUp("had no room", 0);
  } catch (...) {
    pending_.clear();
    writer_.reset();
  }
}

}  // namespace tw
