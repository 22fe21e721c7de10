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
  wait_left_ms_ = kEndingRecordWaitMs;
  return true;
}

void ProgressSink::Write(uint32_t kind, const std::string& name, uint64_t size, uint64_t done) {
  if (!writer_) return;
  const std::string record = MakeProgressRecord(kind, name, size, done);
  const bool ending = kind == kProgressFileFinished || kind == kProgressMessageFinished ||
                      (kind == kProgressFileCount && done >= size);
  // Kept records go first, or the order is lost.
  Flush();
  if (!writer_) return;
  if (!pending_.empty()) {
    if (ending && pending_.size() < kKeptEndingRecords) {
      pending_.push_back(record);
    } else {
      ++left_out_;
    }
    return;
  }
  if (!ending) {
    if (!Put(record, 0) && writer_) ++left_out_;
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  const bool written = Put(record, wait_left_ms_);
  const int64_t waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
  wait_left_ms_ -= static_cast<uint32_t>(std::min<int64_t>(waited, wait_left_ms_));
  if (!written && writer_) pending_.push_back(record);
}

bool ProgressSink::Put(const std::string& record, uint32_t wait_ms) {
  if (wait_ms > 0) writer_->SetWriteTimeout(wait_ms);
  const bool written = writer_->Write(record.data(), static_cast<uint32_t>(record.size()), nullptr);
  if (wait_ms > 0) writer_->SetWriteTimeout(0);
  if (!written && !writer_->QueueWasFull()) {
    writer_.reset();  // the monitor is gone
    pending_.clear();
  }
  return written;
}

void ProgressSink::Flush() {
  while (writer_ && !pending_.empty() && Put(pending_.front(), 0)) pending_.pop_front();
}

void ProgressSink::Close() {
  Flush();
  left_out_ += pending_.size();
  if (left_out_ > 0) {
    DebugLog("ProgressSink: mailslot %s had no room for %llu progress records", name_.c_str(),
             static_cast<unsigned long long>(left_out_));
  }
  pending_.clear();
  left_out_ = 0;
  writer_.reset();
}

}  // namespace tw
