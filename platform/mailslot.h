// Mailslots: one-way message channels between processes (and threads) of one
// user on this machine. A reader creates the mailslot under a name; writers
// open it, write whole messages and close it. A mailslot exists as long as
// its reader holds it.
//
// POSIX form: the reader is an AF_UNIX datagram socket bound at
// <runtime>/mailslot/<encoded name>; one datagram is one message, delivered
// whole or not at all. The reader drains the kernel's short queue into its
// own queue, from which MessageCount and NextMessageSize are answered. A
// writer whose reader's queue is full waits for room while the reader lives
// (at most 30 s, or the writer's own time-out); a message is never dropped
// silently. The socket file has mode 0600 whatever the umask: only its
// owner may write to it.
//
// A message longer than the reader's maximum message size (when that is not
// 0, "any size") is refused by the reader: it is discarded as it arrives and
// a diagnostic record names the mailslot and both sizes. The writer cannot
// learn the reader's limit, so this is the one place it can be enforced; the
// message is never cut short.
//
// Windows form (platform/win32/mailslot.cc): the system's own mailslots,
// created with a null DACL.
//
// Threads: a reader or writer object is used by one thread at a time.
// Different objects, in one process or in several, need no coordination.
#ifndef TW_PLATFORM_MAILSLOT_H_
#define TW_PLATFORM_MAILSLOT_H_

#include <cstdint>
#include <memory>
#include <string>

namespace tw {

// Read time-out that never expires (0 means: do not wait).
constexpr uint32_t kMailslotWaitForever = 0xFFFFFFFFu;
// NextMessageSize when no message waits.
constexpr uint32_t kMailslotNoMessage = 0xFFFFFFFFu;

class MailslotReader {
 public:
  virtual ~MailslotReader() = default;
  // Creates the mailslot "\\.\mailslot\<name>". max_message_size 0 allows
  // any size. Fails when a live reader already owns the name, when the name
  // is empty or its socket path too long, or when the runtime folder is
  // refused; a socket file left by a dead reader is replaced.
  virtual bool Create(const std::string& name, uint32_t max_message_size,
                      uint32_t read_timeout_ms) = 0;
  // Closes the mailslot and removes its socket file; pending messages are
  // lost. Safe to call when not open.
  virtual void Close() = 0;
  // Takes the next message into buffer, waiting up to the read time-out.
  // Returns false with *count 0 on time-out or when not open; when the
  // message is longer than size it stays queued, the call returns false and
  // *count holds the size needed. `count` may be null.
  virtual bool Read(void* buffer, uint32_t size, uint32_t* count) = 0;
  // These three do not wait.
  virtual bool HasMessage() = 0;
  virtual uint32_t MessageCount() = 0;
  // Size of the next message, or kMailslotNoMessage.
  virtual uint32_t NextMessageSize() = 0;
  virtual uint32_t MaxMessageSize() = 0;
  virtual bool SetReadTimeout(uint32_t read_timeout_ms) = 0;
  virtual bool IsOpen() = 0;

  // Beyond the system's operations: why the last failing call failed.
  virtual std::string ErrorText() const = 0;
};

class MailslotWriter {
 public:
  virtual ~MailslotWriter() = default;
  // Opens "\\<computer>\mailslot\<name>". Only the computer "." (this
  // machine) is supported. Fails, leaving nothing behind, when no live
  // reader owns the name.
  virtual bool Open(const std::string& computer, const std::string& name) = 0;
  virtual void Close() = 0;
  // Sends bytes as one message. Waits while the reader's queue is full;
  // fails when the reader is gone, the message is too large for the
  // channel, or no room came within 30 s. *written is count on success, 0
  // otherwise; it may be null.
  virtual bool Write(const void* bytes, uint32_t count, uint32_t* written) = 0;
  virtual bool IsOpen() = 0;

  // Beyond the system's operations: why the last failing call failed.
  virtual std::string ErrorText() const = 0;
  // How long Write waits for room in a full queue (30 s unless changed; 0:
  // not at all). A server that writes to many readers keeps it short, so
  // that one reader who stops reading holds up nobody else.
  virtual void SetWriteTimeout(uint32_t timeout_ms) = 0;
  // True when the last Write failed because the reader's queue stayed
  // full (the reader lives; the message may be written again later).
  virtual bool QueueWasFull() const = 0;
};

std::unique_ptr<MailslotReader> NewMailslotReader();
std::unique_ptr<MailslotWriter> NewMailslotWriter();

// Splits "\\<computer>\mailslot\<name>" (the word "mailslot" in any letter
// case) into its computer and name. False when the text has another form or
// either part is empty.
bool ParseMailslotPath(const std::string& path, std::string* computer, std::string* name);

// True while a live reader owns the mailslot of this name on this machine.
// Leaves nothing behind.
bool MailslotIsAlive(const std::string& name);

// A fresh name for a reader's mailslot: the text form of a new identifier.
std::string UniqueMailslotName();

}  // namespace tw

#endif  // TW_PLATFORM_MAILSLOT_H_
