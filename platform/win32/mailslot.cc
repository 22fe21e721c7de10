// Mailslots on Windows: the system's own. A reader is CreateMailslotA on
// "\\.\mailslot\<name>" with a null DACL (every user may write); a writer is
// CreateFileA on "\\<computer>\mailslot\<name>"; GetMailslotInfo answers the
// count and the size of the next message. See platform/mailslot.h.
#include "platform/mailslot.h"

#include "platform/win32/win32_util.h"

namespace tw {
namespace {

std::string LocalMailslotPath(const std::string& name) {
  return "\\\\.\\mailslot\\" + name;
}

class Win32MailslotReader : public MailslotReader {
 public:
  ~Win32MailslotReader() override { Close(); }

  bool Create(const std::string& name, uint32_t max_message_size,
              uint32_t read_timeout_ms) override {
    Close();
    if (name.empty()) return Fail("empty mailslot name", 0);
    win32::NullDaclSecurity security;
    const std::string path = LocalMailslotPath(name);
    handle_ = CreateMailslotA(path.c_str(), max_message_size, read_timeout_ms, security.get());
    if (handle_ == INVALID_HANDLE_VALUE)
      return Fail("cannot create mailslot " + path, GetLastError());
    max_message_size_ = max_message_size;
    error_.clear();
    return true;
  }

  void Close() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  bool Read(void* buffer, uint32_t size, uint32_t* count) override {
    if (count != nullptr) *count = 0;
    if (handle_ == INVALID_HANDLE_VALUE) return Fail("mailslot not open", 0);
    // A message larger than the buffer stays queued: the size is asked
    // first, since not every implementation of mailslots refuses such a
    // read (some cut the message short and drop the rest).
    const uint32_t next = NextMessageSize();
    if (next != kMailslotNoMessage && next > size) {
      if (count != nullptr) *count = next;
      return Fail("the message is larger than the buffer", 0);
    }
    DWORD got = 0;
    if (ReadFile(handle_, buffer, size, &got, nullptr)) {
      if (count != nullptr) *count = got;
      return true;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_INSUFFICIENT_BUFFER && count != nullptr) {
      // A message that arrived after the size was asked; it stays queued.
      const uint32_t larger = NextMessageSize();
      if (larger != kMailslotNoMessage) *count = larger;
    }
    return Fail("cannot read mailslot", code);
  }

  bool HasMessage() override { return MessageCount() > 0; }

  uint32_t MessageCount() override {
    DWORD count = 0;
    if (!Info(nullptr, nullptr, &count)) return 0;
    return count;
  }

  uint32_t NextMessageSize() override {
    DWORD next = MAILSLOT_NO_MESSAGE;
    if (!Info(nullptr, &next, nullptr)) return kMailslotNoMessage;
    return next == MAILSLOT_NO_MESSAGE ? kMailslotNoMessage : next;
  }

  uint32_t MaxMessageSize() override {
    DWORD max = 0;
    return Info(&max, nullptr, nullptr) ? max : max_message_size_;
  }

  bool SetReadTimeout(uint32_t read_timeout_ms) override {
    if (handle_ == INVALID_HANDLE_VALUE) return Fail("mailslot not open", 0);
    if (!SetMailslotInfo(handle_, read_timeout_ms)) {
      return Fail("cannot set the mailslot time-out", GetLastError());
    }
    return true;
  }

  bool IsOpen() override { return handle_ != INVALID_HANDLE_VALUE; }
  std::string ErrorText() const override { return error_; }

 private:
  bool Info(DWORD* max, DWORD* next, DWORD* count) {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    return GetMailslotInfo(handle_, max, next, count, nullptr) != FALSE;
  }
  bool Fail(const std::string& what, DWORD code) {
    error_ = code != 0 ? what + ": " + win32::SystemMessage(code) : what;
    return false;
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  uint32_t max_message_size_ = 0;
  std::string error_;
};

class Win32MailslotWriter : public MailslotWriter {
 public:
  ~Win32MailslotWriter() override { Close(); }

  bool Open(const std::string& computer, const std::string& name) override {
    Close();
    // Only this machine: a peer never makes the system write to another one.
    if (computer != ".") return Fail("mailslots of other computers are not supported", 0);
    if (name.empty()) return Fail("empty mailslot name", 0);
    win32::NullDaclSecurity security;
    const std::string path = "\\\\" + computer + "\\mailslot\\" + name;
    handle_ = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          security.get(), OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE)
      return Fail("cannot open mailslot " + path, GetLastError());
    error_.clear();
    return true;
  }

  void Close() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  bool Write(const void* bytes, uint32_t count, uint32_t* written) override {
    if (written != nullptr) *written = 0;
    if (handle_ == INVALID_HANDLE_VALUE) return Fail("mailslot not open", 0);
    DWORD done = 0;
    if (!WriteFile(handle_, bytes, count, &done, nullptr)) {
      return Fail("cannot write to the mailslot", GetLastError());
    }
    if (done != count) return Fail("the mailslot took part of the message", 0);
    if (written != nullptr) *written = done;
    return true;
  }

  bool IsOpen() override { return handle_ != INVALID_HANDLE_VALUE; }
  std::string ErrorText() const override { return error_; }
  // The system's mailslot queues a message at once or refuses it: a write
  // never waits for room, so there is no wait to limit and no full queue.
  void SetWriteTimeout(uint32_t) override {}
  bool QueueWasFull() const override { return false; }

 private:
  bool Fail(const std::string& what, DWORD code) {
    error_ = code != 0 ? what + ": " + win32::SystemMessage(code) : what;
    return false;
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::string error_;
};

}  // namespace

std::unique_ptr<MailslotReader> NewMailslotReader() {
  return std::make_unique<Win32MailslotReader>();
}

std::unique_ptr<MailslotWriter> NewMailslotWriter() {
  return std::make_unique<Win32MailslotWriter>();
}

bool MailslotIsAlive(const std::string& name) {
  if (name.empty()) return false;
  // Opening for writing succeeds exactly while a reader holds the mailslot;
  // nothing is written.
  win32::ScopedHandle probe(CreateFileA(LocalMailslotPath(name).c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  return probe.valid();
}

}  // namespace tw
