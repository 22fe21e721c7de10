#include "platform/mailslot.h"

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <vector>

#include "platform/debug_output.h"
#include "platform/guid.h"
#include "platform/runtime_dir.h"

namespace tw {

namespace {

// Socket buffer size asked for: several of the largest messages in flight.
// (A datagram must fit in the sender's buffer; the kernel may cap the value
// at net.core.wmem_max, which by default still holds more than one.)
constexpr int kSocketBuffer = 4 * 65536;
// How long a writer waits for room in a live reader's queue, by default.
constexpr uint32_t kWriteRoomTimeoutMs = 30000;
// Slice of a writer's wait: the reader's end is re-checked at least this often.
constexpr int kWriteSliceMs = 200;
// The reader's own queue stops draining the kernel's beyond these, so that a
// flooding writer meets back-pressure instead of filling our memory.
constexpr size_t kMaxQueuedMessages = 4096;
constexpr size_t kMaxQueuedBytes = 8u << 20;

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int PollSlice(int64_t remaining_ms) {
  return remaining_ms > INT_MAX ? INT_MAX : static_cast<int>(remaining_ms);
}

// The socket path of a mailslot name, checked against sun_path.
bool SocketAddress(const std::string& name, bool create, std::string* path, sockaddr_un* addr,
                   std::string* error) {
  if (name.empty()) {
    *error = "A mailslot needs a name";
    return false;
  }
  std::string dir;
  bool absent = false;
  if (!RuntimeSubdirectory(kMailslotFolder, create, &dir, error, &absent)) {
    if (absent) *error = "No reader owns mailslot " + name;
    return false;
  }
  *path = dir + "/" + EncodeFileName(name);
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path->size() >= sizeof addr->sun_path) {
    *error = "Socket path of mailslot " + name + " is too long (" + std::to_string(path->size()) +
             " bytes, at most " + std::to_string(sizeof addr->sun_path - 1) + "): " + *path;
    return false;
  }
  std::memcpy(addr->sun_path, path->c_str(), path->size() + 1);
  return true;
}

std::string LockPath(const std::string& socket_path) {
  const size_t slash = socket_path.rfind('/');
  return socket_path.substr(0, slash + 1) + "." + socket_path.substr(slash + 1) + ".lock";
}

int NewSocket(int buffer_option) {
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd >= 0) {
    int size = kSocketBuffer;
    ::setsockopt(fd, SOL_SOCKET, buffer_option, &size, sizeof size);  // best effort
  }
  return fd;
}

enum class Presence { kAlive, kStale, kMissing, kError };

// Whether a socket is bound at the address, found by connecting to it.
Presence Probe(const sockaddr_un& addr, int* err) {
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *err = errno;
    return Presence::kError;
  }
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  *err = rc == 0 ? 0 : errno;
  ::close(fd);
  if (rc == 0) return Presence::kAlive;
  if (*err == ECONNREFUSED) return Presence::kStale;
  if (*err == ENOENT) return Presence::kMissing;
  return Presence::kError;
}

class PosixMailslotReader final : public MailslotReader {
 public:
  ~PosixMailslotReader() override { Close(); }

  bool Create(const std::string& name, uint32_t max_message_size,
              uint32_t read_timeout_ms) override {
    Close();
    error_.clear();
    sockaddr_un addr;
    std::string path;
    if (!SocketAddress(name, true, &path, &addr, &error_)) return false;
    const int fd = NewSocket(SO_RCVBUF);
    if (fd < 0) {
      error_ = ErrnoText("Cannot create the socket of mailslot", path, errno);
      return false;
    }
    // Held while deciding whether the name is free, so that two starters
    // cannot both replace a stale socket file and bind.
    ExclusiveFileLock lock;
    if (!lock.Lock(LockPath(path), &error_)) {
      ::close(fd);
      return false;
    }
    struct stat st;
    bool bound = Bind(fd, name, path, addr);
    // bind gives the socket file the umask's mode; only its owner writes.
    if (bound && (::chmod(path.c_str(), 0600) != 0 || ::lstat(path.c_str(), &st) != 0)) {
      error_ = ErrnoText("Cannot set up mailslot", path, errno);
      ::unlink(path.c_str());
      bound = false;
    }
    lock.RemoveAndUnlock();
    if (!bound) {
      ::close(fd);
      return false;
    }
    fd_ = fd;
    name_ = name;
    path_ = path;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    max_message_size_ = max_message_size;
    read_timeout_ms_ = read_timeout_ms;
    return true;
  }

  void Close() override {
    if (fd_ < 0) return;
    ExclusiveFileLock lock;
    std::string ignored;
    const bool locked = lock.Lock(LockPath(path_), &ignored);
    // Remove the socket file only while it is still ours: after a dead
    // reader's file was replaced, the name belongs to someone else.
    struct stat st;
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) {
      ::unlink(path_.c_str());
    }
    if (locked) lock.RemoveAndUnlock();
    ::close(fd_);
    fd_ = -1;
    queue_.clear();
    queued_bytes_ = 0;
  }

  bool Read(void* buffer, uint32_t size, uint32_t* count) override {
    if (count != nullptr) *count = 0;
    if (fd_ < 0) {
      error_ = "Mailslot is not open";
      return false;
    }
    if (buffer == nullptr && size > 0) {
      error_ = "No buffer to read into";
      return false;
    }
    Drain();
    if (queue_.empty() && !WaitForMessage()) return false;
    const std::vector<uint8_t>& next = queue_.front();
    if (next.size() > size) {
      if (count != nullptr) *count = static_cast<uint32_t>(next.size());
      error_ = "Buffer of " + std::to_string(size) +
               " bytes is too small for the next message of " + std::to_string(next.size()) +
               " bytes";
      return false;
    }
    if (!next.empty()) std::memcpy(buffer, next.data(), next.size());
    if (count != nullptr) *count = static_cast<uint32_t>(next.size());
    queued_bytes_ -= next.size();
    queue_.pop_front();
    return true;
  }

  bool HasMessage() override { return MessageCount() > 0; }

  uint32_t MessageCount() override {
    Drain();
    return static_cast<uint32_t>(queue_.size());
  }

  uint32_t NextMessageSize() override {
    Drain();
    return queue_.empty() ? kMailslotNoMessage : static_cast<uint32_t>(queue_.front().size());
  }

  uint32_t MaxMessageSize() override { return max_message_size_; }

  bool SetReadTimeout(uint32_t read_timeout_ms) override {
    read_timeout_ms_ = read_timeout_ms;
    return fd_ >= 0;
  }

  bool IsOpen() override { return fd_ >= 0; }

  std::string ErrorText() const override { return error_; }

 private:
  // Binds under the lock, replacing a socket file that no live reader owns.
  bool Bind(int fd, const std::string& name, const std::string& path, const sockaddr_un& addr) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return true;
      if (errno != EADDRINUSE) break;
      struct stat st;
      if (::lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
        error_ = "Mailslot path " + path + " is taken by a file that is not a socket";
        return false;
      }
      int err = 0;
      switch (Probe(addr, &err)) {
        case Presence::kAlive:
          error_ = "Mailslot " + name + " already has a live reader";
          return false;
        case Presence::kStale:
          if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            error_ = ErrnoText("Cannot replace the stale mailslot", path, errno);
            return false;
          }
          break;
        case Presence::kMissing:
          break;
        case Presence::kError:
          error_ = ErrnoText("Cannot probe mailslot", path, err);
          return false;
      }
    }
    error_ = ErrnoText("Cannot bind mailslot", path, errno);
    return false;
  }

  // Moves what the kernel holds into our queue, refusing over-long messages.
  void Drain() {
    if (fd_ < 0) return;
    while (queue_.size() < kMaxQueuedMessages && queued_bytes_ < kMaxQueuedBytes) {
      char probe;
      const ssize_t length = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
      if (length < 0) {
        if (errno == EINTR) continue;
        return;  // EAGAIN: nothing more; anything else shows on the next wait
      }
      if (max_message_size_ != 0 && static_cast<uint64_t>(length) > max_message_size_) {
        ssize_t unused = ::recv(fd_, &probe, 1, MSG_DONTWAIT);  // takes the whole datagram
        (void)unused;
        DebugLog("Mailslot %s: refused a message of %lld bytes (largest allowed %u)", name_.c_str(),
                 static_cast<long long>(length), max_message_size_);
        continue;
      }
      // The kernel already holds these bytes, so the size is bounded by its
      // own limits and the check above.
      std::vector<uint8_t> message(static_cast<size_t>(length));
      ssize_t got;
      do {
        got = ::recv(fd_, message.empty() ? &probe : reinterpret_cast<char*>(message.data()),
                     message.empty() ? 1 : message.size(), MSG_DONTWAIT);
      } while (got < 0 && errno == EINTR);
      if (got < 0) return;
      if (message.empty()) got = 0;
      message.resize(static_cast<size_t>(got));
      queued_bytes_ += message.size();
      queue_.push_back(std::move(message));
    }
  }

  // Waits up to the read time-out until our queue holds a message.
  bool WaitForMessage() {
    const bool forever = read_timeout_ms_ == kMailslotWaitForever;
    const int64_t deadline = NowMs() + read_timeout_ms_;
    for (;;) {
      const int64_t remaining = forever ? INT_MAX : deadline - NowMs();
      if (remaining <= 0 && read_timeout_ms_ != 0) break;
      pollfd p{fd_, POLLIN, 0};
      const int rc = ::poll(&p, 1, read_timeout_ms_ == 0 ? 0 : PollSlice(remaining));
      if (rc < 0 && errno != EINTR) {
        error_ = ErrnoText("Cannot wait on mailslot", name_, errno);
        return false;
      }
      if (rc > 0) {
        Drain();
        if (!queue_.empty()) return true;
        if ((p.revents & (POLLERR | POLLNVAL)) != 0) {
          error_ = "Mailslot " + name_ + " reports an error";
          return false;
        }
      }
      if (read_timeout_ms_ == 0) break;
    }
    error_ = "No message arrived on mailslot " + name_ + " within " +
             std::to_string(read_timeout_ms_) + " ms";
    return false;
  }

  int fd_ = -1;
  std::string name_;
  std::string path_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  uint32_t max_message_size_ = 0;
  uint32_t read_timeout_ms_ = 0;
  std::deque<std::vector<uint8_t>> queue_;
  size_t queued_bytes_ = 0;
  std::string error_;
};

class PosixMailslotWriter final : public MailslotWriter {
 public:
  ~PosixMailslotWriter() override { Close(); }

  bool Open(const std::string& computer, const std::string& name) override {
    Close();
    error_.clear();
    if (computer != ".") {
      error_ = "Mailslots on other computers are not supported (computer \"" + computer + "\")";
      return false;
    }
    sockaddr_un addr;
    std::string path;
    if (!SocketAddress(name, false, &path, &addr, &error_)) return false;
    const int fd = NewSocket(SO_SNDBUF);
    if (fd < 0) {
      error_ = ErrnoText("Cannot create a socket for mailslot", path, errno);
      return false;
    }
    int rc;
    do {
      rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      error_ = errno == ENOENT || errno == ECONNREFUSED
                   ? "No reader owns mailslot " + name
                   : ErrnoText("Cannot open mailslot", path, errno);
      ::close(fd);
      return false;
    }
    fd_ = fd;
    name_ = name;
    return true;
  }

  void Close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool Write(const void* bytes, uint32_t count, uint32_t* written) override {
    if (written != nullptr) *written = 0;
    queue_full_ = false;
    if (fd_ < 0) {
      error_ = "Mailslot is not open";
      return false;
    }
    if (bytes == nullptr && count > 0) {
      error_ = "No bytes to write";
      return false;
    }
    const int64_t deadline = NowMs() + write_timeout_ms_;
    for (;;) {
      const ssize_t n = ::send(fd_, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) {
        if (static_cast<size_t>(n) != count) {  // a datagram goes whole; never expected
          error_ = "Mailslot " + name_ + " took only part of a message";
          return false;
        }
        if (written != nullptr) *written = count;
        return true;
      }
      const int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS) {
        const int64_t remaining = deadline - NowMs();
        if (remaining <= 0) {
          error_ = "Mailslot " + name_ + " had no room for a message within " +
                   std::to_string(write_timeout_ms_) + " ms";
          queue_full_ = true;
          return false;
        }
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, remaining < kWriteSliceMs ? static_cast<int>(remaining) : kWriteSliceMs);
        continue;
      }
      if (err == ECONNREFUSED || err == ECONNRESET || err == EPIPE || err == ENOTCONN) {
        error_ = "The reader of mailslot " + name_ + " is gone";
      } else if (err == EMSGSIZE) {
        error_ =
            "A message of " + std::to_string(count) + " bytes is too large for mailslot " + name_;
      } else {
        error_ = ErrnoText("Cannot write to mailslot", name_, err);
      }
      return false;
    }
  }

  bool IsOpen() override { return fd_ >= 0; }

  std::string ErrorText() const override { return error_; }

  void SetWriteTimeout(uint32_t timeout_ms) override { write_timeout_ms_ = timeout_ms; }
  bool QueueWasFull() const override { return queue_full_; }

 private:
  int fd_ = -1;
  std::string name_;
  std::string error_;
  uint32_t write_timeout_ms_ = kWriteRoomTimeoutMs;
  bool queue_full_ = false;
};

}  // namespace

std::unique_ptr<MailslotReader> NewMailslotReader() {
  return std::make_unique<PosixMailslotReader>();
}

std::unique_ptr<MailslotWriter> NewMailslotWriter() {
  return std::make_unique<PosixMailslotWriter>();
}

bool MailslotIsAlive(const std::string& name) {
  sockaddr_un addr;
  std::string path, error;
  if (!SocketAddress(name, false, &path, &addr, &error)) return false;
  int err = 0;
  return Probe(addr, &err) == Presence::kAlive;
}

}  // namespace tw
