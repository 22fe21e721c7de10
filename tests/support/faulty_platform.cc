#include "tests/support/faulty_platform.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace tw::test {

struct FaultInjectingFactory::Faults {
  std::mutex mutex;
  // All guarded by mutex.
  std::string failing_path;
  int failing_read = 0;
  bool disk_limited = false;
  uint64_t disk_left = 0;
  std::function<bool(const std::string&, const std::string&)> drop;
  int missed_replies = 0;
  std::vector<std::pair<std::string, std::string>> written;
  int dropped = 0;
  int writebacks = 0;
  bool refuse_writebacks = false;
};

namespace {

using Faults = FaultInjectingFactory::Faults;

class FaultyFile final : public FileObject {
 public:
  FaultyFile(std::unique_ptr<FileObject> inner, std::shared_ptr<Faults> faults)
      : inner_(std::move(inner)), faults_(std::move(faults)) {}

  bool Open(const std::string& path, uint32_t access, uint32_t share_mode, uint32_t disposition,
            uint32_t flags) override {
    reads_ = 0;
    failed_ = false;
    writeback_refused_ = false;
    if (!inner_->Open(path, access, share_mode, disposition, flags)) return false;
    std::lock_guard<std::mutex> lock(faults_->mutex);
    fail_at_ = path == faults_->failing_path ? faults_->failing_read : 0;
    limited_ = (access & kWrite) != 0 && faults_->disk_limited;
    return true;
  }
  bool Read(void* buffer, uint32_t count, uint32_t* read_count) override {
    if (++reads_ == fail_at_) {
      if (read_count != nullptr) *read_count = 0;
      failed_ = true;
      return false;
    }
    return inner_->Read(buffer, count, read_count);
  }
  bool Write(const void* buffer, uint32_t count, uint32_t* written_count) override {
    if (writeback_refused_) {
      if (written_count != nullptr) *written_count = 0;
      return false;
    }
    uint32_t room = count;
    if (limited_) {
      std::lock_guard<std::mutex> lock(faults_->mutex);
      room = static_cast<uint32_t>(std::min<uint64_t>(count, faults_->disk_left));
      faults_->disk_left -= room;
    }
    uint32_t done = 0;
    const bool ok = room == 0 || inner_->Write(buffer, room, &done);
    if (written_count != nullptr) *written_count = done;
    return ok && room == count;
  }
  int ReadByte() override {
    unsigned char byte = 0;
    uint32_t n = 0;
    return Read(&byte, 1, &n) && n == 1 ? byte : -1;
  }
  int WriteByte(int value) override {
    const unsigned char byte = static_cast<unsigned char>(value);
    return Write(&byte, 1, nullptr) ? byte : -1;
  }
  int64_t Seek(int64_t offset, uint32_t origin) override { return inner_->Seek(offset, origin); }
  int64_t Tell() override { return inner_->Tell(); }
  int64_t Size() override { return inner_->Size(); }
  bool SetModifiedTime(const DateTime& time) override { return inner_->SetModifiedTime(time); }
  bool IsEndOfFile() const override { return failed_ || inner_->IsEndOfFile(); }
  void Close() override { inner_->Close(); }
  void StartWriteback() override {
    {
      std::lock_guard<std::mutex> lock(faults_->mutex);
      ++faults_->writebacks;
      writeback_refused_ = writeback_refused_ || faults_->refuse_writebacks;
    }
    inner_->StartWriteback();
  }
  bool WritebackFailed() const override { return writeback_refused_ || inner_->WritebackFailed(); }

 private:
  const std::unique_ptr<FileObject> inner_;
  const std::shared_ptr<Faults> faults_;
  int reads_ = 0;
  int fail_at_ = 0;
  bool limited_ = false;
  bool failed_ = false;
  bool writeback_refused_ = false;
};

class FaultyMailslotWriter final : public MailslotWriter {
 public:
  FaultyMailslotWriter(std::unique_ptr<MailslotWriter> inner, std::shared_ptr<Faults> faults)
      : inner_(std::move(inner)), faults_(std::move(faults)) {}

  bool Open(const std::string& computer, const std::string& name) override {
    name_ = name;
    return inner_->Open(computer, name);
  }
  void Close() override { inner_->Close(); }
  bool Write(const void* bytes, uint32_t count, uint32_t* written) override {
    const std::string message(static_cast<const char*>(bytes), count);
    bool drop = false;
    {
      std::lock_guard<std::mutex> lock(faults_->mutex);
      faults_->written.emplace_back(name_, message);
      drop = faults_->drop && faults_->drop(name_, message);
      if (drop) ++faults_->dropped;
    }
    if (!drop) return inner_->Write(bytes, count, written);
    if (written != nullptr) *written = count;
    return true;
  }
  bool IsOpen() override { return inner_->IsOpen(); }
  std::string ErrorText() const override { return inner_->ErrorText(); }
  void SetWriteTimeout(uint32_t timeout_ms) override { inner_->SetWriteTimeout(timeout_ms); }
  bool QueueWasFull() const override { return inner_->QueueWasFull(); }

 private:
  const std::unique_ptr<MailslotWriter> inner_;
  const std::shared_ptr<Faults> faults_;
  std::string name_;
};

class FaultyMailslotReader final : public MailslotReader {
 public:
  FaultyMailslotReader(std::unique_ptr<MailslotReader> inner, std::shared_ptr<Faults> faults)
      : inner_(std::move(inner)), faults_(std::move(faults)) {}

  bool Create(const std::string& name, uint32_t max_message_size,
              uint32_t read_timeout_ms) override {
    return inner_->Create(name, max_message_size, read_timeout_ms);
  }
  void Close() override { inner_->Close(); }
  bool Read(void* buffer, uint32_t size, uint32_t* count) override {
    bool miss = false;
    {
      std::lock_guard<std::mutex> lock(faults_->mutex);
      if (faults_->missed_replies > 0) {
        --faults_->missed_replies;
        miss = true;
      }
    }
    if (!miss) return inner_->Read(buffer, size, count);
    // Give up only once the message is there, so that it is certain to
    // arrive after its reader stopped waiting.
    for (int i = 0; i < 6000 && !inner_->HasMessage(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (count != nullptr) *count = 0;
    return false;
  }
  bool HasMessage() override { return inner_->HasMessage(); }
  uint32_t MessageCount() override { return inner_->MessageCount(); }
  uint32_t NextMessageSize() override { return inner_->NextMessageSize(); }
  uint32_t MaxMessageSize() override { return inner_->MaxMessageSize(); }
  bool SetReadTimeout(uint32_t read_timeout_ms) override {
    return inner_->SetReadTimeout(read_timeout_ms);
  }
  bool IsOpen() override { return inner_->IsOpen(); }
  std::string ErrorText() const override { return inner_->ErrorText(); }

 private:
  const std::unique_ptr<MailslotReader> inner_;
  const std::shared_ptr<Faults> faults_;
};

}  // namespace

FaultInjectingFactory::FaultInjectingFactory()
    : SystemFactoryWrapper(&GetDefaultSystemFactory()),
      faults_(std::make_shared<Faults>()),
      previous_(InstallSystemFactory(this)) {}

FaultInjectingFactory::~FaultInjectingFactory() {
  InstallSystemFactory(previous_);
}

void FaultInjectingFactory::FailReadOf(const std::string& path, int nth) {
  std::lock_guard<std::mutex> lock(faults_->mutex);
  faults_->failing_path = path;
  faults_->failing_read = nth;
}

void FaultInjectingFactory::FillDiskAfter(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(faults_->mutex);
  faults_->disk_limited = true;
  faults_->disk_left = bytes;
}

void FaultInjectingFactory::DropMailslotMessages(
    std::function<bool(const std::string& name, const std::string& bytes)> drop) {
  std::lock_guard<std::mutex> lock(faults_->mutex);
  faults_->drop = std::move(drop);
}

void FaultInjectingFactory::MissReplies(int count) {
  std::lock_guard<std::mutex> lock(faults_->mutex);
  faults_->missed_replies = count;
}

std::vector<std::pair<std::string, std::string>> FaultInjectingFactory::Written() {
  std::lock_guard<std::mutex> lock(faults_->mutex);
  return faults_->written;
}

int FaultInjectingFactory::dropped_messages() {
  std::lock_guard<std::mutex> lock(faults_->mutex);
  return faults_->dropped;
}

void FaultInjectingFactory::RefuseWritebacks() {
  std::lock_guard<std::mutex> lock(faults_->mutex);
  faults_->refuse_writebacks = true;
}

int FaultInjectingFactory::writebacks() {
  std::lock_guard<std::mutex> lock(faults_->mutex);
  return faults_->writebacks;
}

std::unique_ptr<FileObject> FaultInjectingFactory::NewFile() {
  return std::make_unique<FaultyFile>(target()->NewFile(), faults_);
}

std::unique_ptr<MailslotReader> FaultInjectingFactory::NewMailslotReader() {
  return std::make_unique<FaultyMailslotReader>(target()->NewMailslotReader(), faults_);
}

std::unique_ptr<MailslotWriter> FaultInjectingFactory::NewMailslotWriter() {
  return std::make_unique<FaultyMailslotWriter>(target()->NewMailslotWriter(), faults_);
}

}  // namespace tw::test
