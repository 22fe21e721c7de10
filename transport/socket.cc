// POSIX implementation of the sockets layer (see socket.h for the contracts
// and the threading rules).
#include "transport/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/letter_case.h"

namespace tw {

namespace {

// The longest host name the resolver is asked about.
constexpr size_t kMaxHostNameLength = 253;
// A sender waiting for room wakes this often to look at the interrupted
// flag even when no interrupt descriptor could be made.
constexpr int kWaitSliceMs = 100;

using Clock = std::chrono::steady_clock;

int SocketType(int kind) {
  return kind == kSocketDatagram ? SOCK_DGRAM : SOCK_STREAM;
}

bool WouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

// Whether a name lies under the top-level name "invalid", which is reserved
// never to exist; such names are answered without asking the resolver.
bool IsReservedInvalidName(std::string name) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  name = LowerCase(name);
  static const std::string kSuffix = ".invalid";
  return name == "invalid" ||
         (name.size() > kSuffix.size() &&
          name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0);
}

class PosixSocket final : public CIOSocket {
 public:
  PosixSocket() { Startup(); }
  // Wraps an accepted, connected descriptor.
  explicit PosixSocket(int fd) : fd_(fd), connected_(true) { Startup(); }
  ~PosixSocket() override {
    Close();
    Cleanup();
    if (interrupt_fd_ >= 0) close(interrupt_fd_);
  }

  PosixSocket(const PosixSocket&) = delete;
  PosixSocket& operator=(const PosixSocket&) = delete;

  int Listen(int backlog, uint16_t port, int kind) override {
    return ListenOn(CreateAddress(127, 0, 0, 1, port), backlog, kind);
  }

  int Accept(std::unique_ptr<CIOSocket>* out, int tries) override {
    if (!listening_) return kSocketNotListening;
    if (out == nullptr) return kSocketNullArgument;
    for (int attempt = 0; attempt < tries; ++attempt) {
      int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) {
        auto accepted = std::make_unique<PosixSocket>(fd);
        accepted->SetNoDelay();  // fails harmlessly on anything but TCP
        *out = std::move(accepted);
        return kSocketOk;
      }
      // A client that went away before it was taken, or a signal, is no
      // failure of the listening socket.
      if (!WouldBlock(errno) && errno != EINTR && errno != ECONNABORTED && errno != EPROTO) {
        return kSocketError;
      }
      if (attempt + 1 < tries) {
        int waited = WaitFor(POLLIN, 1);
        if (waited == kSocketInterrupted || waited == kSocketError) return waited;
      }
    }
    return kSocketWouldBlock;
  }

  int Connect(const NetAddress& address, int kind) override {
    if (!address.IsValid()) {
      Close();
      return kSocketError;
    }
    int result = Create(address, kind, false);
    if (result != kSocketOk) return result;
    result = SetNonBlocking();
    if (result == kSocketOk) result = ConnectAndWait(address);
    if (result != kSocketOk) {
      Close();
      return result;
    }
    if (SocketType(kind) == SOCK_STREAM) SetNoDelay();
    connected_ = true;
    return kSocketOk;
  }

  int SendWord(uint32_t value) override {
    uint32_t wire = htonl(value);
    return Send(&wire, sizeof wire);
  }

  int Send(const void* bytes, size_t length) override {
    if (bytes == nullptr && length > 0) return kSocketNullArgument;
    if (!connected_ || fd_ < 0) return kSocketNotConnected;
    const char* next = static_cast<const char*>(bytes);
    size_t left = length;
    Clock::time_point progress = Clock::now();
    while (left > 0) {
      ssize_t sent = send(fd_, next, left, MSG_NOSIGNAL);
      if (sent > 0) {
        next += sent;
        left -= static_cast<size_t>(sent);
        progress = Clock::now();
        continue;
      }
      if (sent < 0 && errno == EINTR) continue;
      if (sent < 0 && WouldBlock(errno)) {
        const int limit = stall_limit_ms_.load();
        if (limit > 0 && Clock::now() - progress >= std::chrono::milliseconds(limit)) {
          return kSocketStalled;
        }
        // Wait for room; a slice that ends without room just tries again.
        int waited = WaitFor(POLLOUT, kWaitSliceMs);
        if (waited == kSocketInterrupted || waited == kSocketError) return waited;
        continue;
      }
      return kSocketError;
    }
    return kSocketOk;
  }

  int SendBytes(const std::vector<uint8_t>& bytes) override {
    return Send(bytes.data(), bytes.size());
  }

  int Receive(void* buffer, size_t capacity, size_t* count) override {
    if (count != nullptr) *count = 0;
    if (buffer == nullptr || count == nullptr || capacity == 0) return kSocketNullArgument;
    if (!connected_ || fd_ < 0) return kSocketNotConnected;
    ssize_t got;
    do {
      got = recv(fd_, buffer, capacity, 0);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
      *count = static_cast<size_t>(got);
      return kSocketOk;
    }
    if (got == 0) {
      connected_ = false;
      return kSocketNotConnected;
    }
    if (WouldBlock(errno)) return kSocketWouldBlock;
    if (errno == ECONNRESET || errno == EPIPE || errno == ENOTCONN) {
      connected_ = false;
      return kSocketNotConnected;
    }
    return kSocketReceiveFailed;
  }

  int Close() override {
    listening_ = false;
    if (fd_ < 0) {
      connected_ = false;
      return kSocketOk;
    }
    // EINPROGRESS cannot come from shutdown here; the call either works or
    // the connection is gone already.
    if (connected_.exchange(false)) shutdown(fd_, SHUT_RDWR);
    close(fd_);
    fd_ = -1;
    return kSocketOk;
  }

  int Startup() override { return kSocketOk; }
  int Cleanup() override { return kSocketOk; }

  int Create(const NetAddress& address, int kind, bool bind) override {
    Close();
    int fd = socket(AF_INET, SocketType(kind) | SOCK_CLOEXEC, 0);
    if (fd < 0) return kSocketError;
    fd_ = fd;
    if (bind) {
      if (SocketType(kind) == SOCK_STREAM) {
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      }
      int result = Bind(address);
      if (result != kSocketOk) {
        Close();
        return result;
      }
    }
    return kSocketOk;
  }

  int SetNonBlocking() override {
    if (fd_ < 0) return kSocketNotConnected;
    int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) < 0) return kSocketError;
    return kSocketOk;
  }

  int SetNoDelay() override {
    if (fd_ < 0) return kSocketNotConnected;
    int one = 1;
    if (setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0) return kSocketError;
    return kSocketOk;
  }

  int Bind(const NetAddress& address) override {
    if (fd_ < 0) return kSocketNotConnected;
    if (!address.IsValid()) return kSocketError;
    const sockaddr_in& in = address.SocketAddress();
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&in), sizeof in) < 0) return kSocketError;
    return kSocketOk;
  }

  int ListenOn(const NetAddress& address, int backlog, int kind) override {
    int result = Create(address, kind, true);
    if (result == kSocketOk) result = SetNonBlocking();
    if (result == kSocketOk && listen(fd_, backlog) < 0) result = kSocketError;
    if (result != kSocketOk) {
      Close();
      return result;
    }
    listening_ = true;
    return kSocketOk;
  }

  int LocalAddress(NetAddress* out) const override {
    if (out == nullptr) return kSocketNullArgument;
    if (fd_ < 0) return kSocketNotConnected;
    sockaddr_in in;
    socklen_t size = sizeof in;
    std::memset(&in, 0, sizeof in);
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&in), &size) < 0 || size != sizeof in) {
      return kSocketError;
    }
    *out = CreateAddress(in);
    return kSocketOk;
  }

  int PeerAddress(NetAddress* out) const override {
    if (out == nullptr) return kSocketNullArgument;
    if (fd_ < 0) return kSocketNotConnected;
    sockaddr_in in;
    socklen_t size = sizeof in;
    std::memset(&in, 0, sizeof in);
    if (getpeername(fd_, reinterpret_cast<sockaddr*>(&in), &size) < 0 || size != sizeof in) {
      return kSocketError;
    }
    *out = CreateAddress(in);
    return kSocketOk;
  }

  void SetStallLimit(int ms) override { stall_limit_ms_ = ms < 0 ? 0 : ms; }

  int Shutdown() override {
    if (fd_ < 0) return kSocketNotConnected;
    if (connected_.exchange(false)) shutdown(fd_, SHUT_RDWR);
    return kSocketOk;
  }

  int SetKeepAlive(int idle_seconds, int interval_seconds, int probes,
                   int user_timeout_ms) override {
    if (fd_ < 0) return kSocketNotConnected;
    int one = 1;
    bool ok = setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) == 0;
    ok = setsockopt(fd_, IPPROTO_TCP, TCP_KEEPIDLE, &idle_seconds, sizeof idle_seconds) == 0 && ok;
    ok = setsockopt(fd_, IPPROTO_TCP, TCP_KEEPINTVL, &interval_seconds, sizeof interval_seconds) ==
             0 &&
         ok;
    ok = setsockopt(fd_, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0 && ok;
    if (user_timeout_ms > 0) {
      unsigned timeout = static_cast<unsigned>(user_timeout_ms);
      ok = setsockopt(fd_, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout) == 0 && ok;
    }
    return ok ? kSocketOk : kSocketError;
  }

  bool IsConnected() const override { return connected_; }
  bool IsListening() const override { return listening_; }

  int WaitReadable(int timeout_ms) override {
    if (interrupted_) return kSocketInterrupted;
    if (fd_ < 0 || !(connected_ || listening_)) return kSocketNotConnected;
    return WaitFor(POLLIN, timeout_ms);
  }

  void Interrupt() override {
    interrupted_ = true;
    int fd = InterruptDescriptor();
    if (fd >= 0) {
      uint64_t one = 1;
      // The counter is never read down while interrupted, so the descriptor
      // stays readable and every later poll returns at once. A full counter
      // (EAGAIN) is readable already.
      ssize_t ignored = write(fd, &one, sizeof one);
      (void)ignored;
    }
  }

  void ClearInterrupt() override {
    interrupted_ = false;
    int fd = InterruptDescriptor();
    if (fd >= 0) {
      uint64_t value;
      ssize_t ignored = read(fd, &value, sizeof value);
      (void)ignored;
    }
  }

 private:
  // The eventfd that Interrupt makes readable, made on first need; −1 when
  // the system would not give one (the waits then run in slices).
  int InterruptDescriptor() {
    std::call_once(interrupt_once_,
                   [this] { interrupt_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); });
    return interrupt_fd_;
  }

  // Waits until the socket reports `events` (or an error or hang-up, which
  // the next call on it will report) → 0; `timeout_ms` passed → 4 (negative:
  // no limit); interrupted → 6; poll failed → 2.
  int WaitFor(short events, int timeout_ms) {
    const int interrupt_fd = InterruptDescriptor();
    const bool forever = timeout_ms < 0;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(forever ? 0 : timeout_ms);
    for (;;) {
      if (interrupted_) return kSocketInterrupted;
      int wait_ms = -1;
      if (!forever) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        wait_ms = static_cast<int>(std::max<int64_t>(0, left.count()));
      }
      if (interrupt_fd < 0 && (wait_ms < 0 || wait_ms > kWaitSliceMs)) wait_ms = kWaitSliceMs;
      pollfd fds[2] = {{fd_, events, 0}, {interrupt_fd, POLLIN, 0}};
      int ready = poll(fds, interrupt_fd >= 0 ? 2 : 1, wait_ms);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return kSocketError;
      }
      if (interrupted_ || (fds[1].revents & POLLIN) != 0) return kSocketInterrupted;
      if (fds[0].revents != 0) return kSocketOk;
      if (!forever && Clock::now() >= deadline) return kSocketWouldBlock;
    }
  }

  // Connects the open, non-blocking socket and waits for the outcome.
  int ConnectAndWait(const NetAddress& address) {
    const sockaddr_in& in = address.SocketAddress();
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&in), sizeof in) == 0) return kSocketOk;
    if (errno != EINPROGRESS && errno != EINTR) return kSocketError;
    int waited = WaitFor(POLLOUT, kConnectTimeoutMs);
    if (waited == kSocketWouldBlock) return kSocketError;
    if (waited != kSocketOk) return waited;
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) < 0 || error != 0) {
      return kSocketError;
    }
    return kSocketOk;
  }

  // Written only by the operations that need the object to themselves.
  int fd_ = -1;
  // Cleared by Receive on the receiving thread while the sending thread
  // reads it.
  std::atomic<bool> connected_{false};
  std::atomic<bool> listening_{false};
  std::atomic<bool> interrupted_{false};
  std::atomic<int> stall_limit_ms_{0};
  std::once_flag interrupt_once_;
  int interrupt_fd_ = -1;  // set once under interrupt_once_
};

}  // namespace

NetAddress::NetAddress() {
  std::memset(&address_, 0, sizeof address_);
}

std::string NetAddress::AddressText() const {
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &address_.sin_addr, text, sizeof text) == nullptr) return "0.0.0.0";
  return text;
}

uint16_t NetAddress::Port() const {
  return ntohs(address_.sin_port);
}

std::string NetAddress::EndpointText() const {
  return AddressText() + ":" + std::to_string(Port());
}

NetAddress CreateAddress(const sockaddr_in& address) {
  NetAddress result;
  if (address.sin_family != AF_INET) return result;
  result.address_.sin_family = AF_INET;
  result.address_.sin_port = address.sin_port;
  result.address_.sin_addr = address.sin_addr;
  result.valid_ = true;
  return result;
}

NetAddress CreateAddress(const std::string& host, uint16_t port) {
  if (host.empty() || host.size() > kMaxHostNameLength || host.find('\0') != std::string::npos ||
      IsReservedInvalidName(host)) {
    return NetAddress();
  }
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return NetAddress();
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> holder(found, freeaddrinfo);
  if (found->ai_family != AF_INET || found->ai_addr == nullptr ||
      found->ai_addrlen < sizeof(sockaddr_in)) {
    return NetAddress();
  }
  sockaddr_in in;
  std::memset(&in, 0, sizeof in);
  in.sin_family = AF_INET;
  in.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  in.sin_port = htons(port);
  return CreateAddress(in);
}

NetAddress CreateAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
  sockaddr_in in;
  std::memset(&in, 0, sizeof in);
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = htonl((uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d);
  in.sin_port = htons(port);
  return CreateAddress(in);
}

std::unique_ptr<CIOSocket> CreateSocket() {
  return std::make_unique<PosixSocket>();
}

std::unique_ptr<CIOSocket> AdoptConnectedSocket(int fd) {
  if (fd < 0) return nullptr;
  auto socket = std::make_unique<PosixSocket>(fd);
  socket->SetNonBlocking();
  socket->SetNoDelay();
  return socket;
}

}  // namespace tw
