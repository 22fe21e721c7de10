// The sockets layer (see socket.h for the contracts and the threading
// rules), written once over the few calls that differ between BSD sockets
// and Winsock (socket_system.h).
#include "transport/socket.h"

#if defined(_WIN32)
#include "transport/win32/winsock_headers.h"
#else
#include <arpa/inet.h>
#include <netdb.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/letter_case.h"
#include "transport/socket_system.h"

namespace tw {

namespace {

namespace sys = socket_system;

// The longest host name the resolver is asked about.
constexpr size_t kMaxHostNameLength = 253;
// A sender waiting for room wakes this often to look at the interrupted
// flag even when no waker could be made.
constexpr int kWaitSliceMs = 100;

using Clock = std::chrono::steady_clock;

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

class SystemSocket final : public CIOSocket {
 public:
  SystemSocket() = default;
  // Wraps an accepted, connected socket.
  explicit SystemSocket(sys::Handle socket) : socket_(socket), connected_(true) {}
  ~SystemSocket() override {
    Close();
    if (waker_ != sys::kNoHandle) sys::CloseWaker(waker_);
  }

  SystemSocket(const SystemSocket&) = delete;
  SystemSocket& operator=(const SystemSocket&) = delete;

  int Listen(int backlog, uint16_t port, int kind) override {
    return ListenOn(CreateAddress(127, 0, 0, 1, port), backlog, kind);
  }

  int Accept(std::unique_ptr<CIOSocket>* out, int tries) override {
    if (!listening_) return kSocketNotListening;
    if (out == nullptr) return kSocketNullArgument;
    for (int attempt = 0; attempt < tries; ++attempt) {
      sys::Io io = sys::Io::kFailed;
      const sys::Handle accepted = sys::Accept(socket_, &io);
      if (accepted != sys::kNoHandle) {
        auto socket = std::make_unique<SystemSocket>(accepted);
        socket->SetNoDelay();  // fails harmlessly on anything but TCP
        *out = std::move(socket);
        return kSocketOk;
      }
      if (io == sys::Io::kFailed) return kSocketError;
      if (attempt + 1 < tries) {
        const int waited = WaitFor(true, 1);
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
    if (kind != kSocketDatagram) SetNoDelay();
    connected_ = true;
    return kSocketOk;
  }

  int SendWord(uint32_t value) override {
    const uint32_t wire = htonl(value);
    return Send(&wire, sizeof wire);
  }

  int Send(const void* bytes, size_t length) override {
    if (bytes == nullptr && length > 0) return kSocketNullArgument;
    if (!connected_ || socket_ == sys::kNoHandle) return kSocketNotConnected;
    const char* next = static_cast<const char*>(bytes);
    size_t left = length;
    Clock::time_point progress = Clock::now();
    while (left > 0) {
      size_t sent = 0;
      const sys::Io io = sys::Send(socket_, next, left, &sent);
      if (io == sys::Io::kDone) {
        next += sent;
        left -= sent;
        progress = Clock::now();
        continue;
      }
      if (io == sys::Io::kRetry) continue;
      if (io != sys::Io::kWouldBlock) return kSocketError;
      const int limit = stall_limit_ms_.load();
      if (limit > 0 && Clock::now() - progress >= std::chrono::milliseconds(limit)) {
        return kSocketStalled;
      }
      // Wait for room; a slice that ends without room just tries again.
      const int waited = WaitFor(false, kWaitSliceMs);
      if (waited == kSocketInterrupted || waited == kSocketError) return waited;
    }
    return kSocketOk;
  }

  int SendBytes(const std::vector<uint8_t>& bytes) override {
    return Send(bytes.data(), bytes.size());
  }

  int Receive(void* buffer, size_t capacity, size_t* count) override {
    if (count != nullptr) *count = 0;
    if (buffer == nullptr || count == nullptr || capacity == 0) return kSocketNullArgument;
    if (!connected_ || socket_ == sys::kNoHandle) return kSocketNotConnected;
    sys::Io io;
    size_t got = 0;
    do {
      io = sys::Receive(socket_, static_cast<char*>(buffer), capacity, &got);
    } while (io == sys::Io::kRetry);
    switch (io) {
      case sys::Io::kDone:
        *count = got;
        return kSocketOk;
      case sys::Io::kPeerGone:
        connected_ = false;
        return kSocketNotConnected;
      case sys::Io::kWouldBlock:
        return kSocketWouldBlock;
      default:
        return kSocketReceiveFailed;
    }
  }

  int Close() override {
    listening_ = false;
    if (socket_ == sys::kNoHandle) {
      connected_ = false;
      return kSocketOk;
    }
    if (connected_.exchange(false)) sys::ShutdownBoth(socket_);
    sys::Close(socket_);
    socket_ = sys::kNoHandle;
    return kSocketOk;
  }

  // The system's socket library starts once for the process (on the first
  // socket opened or name resolved) and stays until the process ends.
  int Startup() override { return sys::Start() ? kSocketOk : kSocketError; }
  int Cleanup() override { return kSocketOk; }

  int Create(const NetAddress& address, int kind, bool bind) override {
    Close();
    if (!sys::Start()) return kSocketError;
    const sys::Handle socket = sys::Open(kind);
    if (socket == sys::kNoHandle) return kSocketError;
    socket_ = socket;
    if (bind) {
      if (kind != kSocketDatagram) sys::SetListenerReuse(socket_);
      const int result = Bind(address);
      if (result != kSocketOk) {
        Close();
        return result;
      }
    }
    return kSocketOk;
  }

  int SetNonBlocking() override {
    if (socket_ == sys::kNoHandle) return kSocketNotConnected;
    return sys::SetNonBlocking(socket_) ? kSocketOk : kSocketError;
  }

  int SetNoDelay() override {
    if (socket_ == sys::kNoHandle) return kSocketNotConnected;
    return sys::SetNoDelay(socket_) ? kSocketOk : kSocketError;
  }

  int Bind(const NetAddress& address) override {
    if (socket_ == sys::kNoHandle) return kSocketNotConnected;
    if (!address.IsValid()) return kSocketError;
    return sys::Bind(socket_, address.SocketAddress()) ? kSocketOk : kSocketError;
  }

  int ListenOn(const NetAddress& address, int backlog, int kind) override {
    int result = Create(address, kind, true);
    if (result == kSocketOk) result = SetNonBlocking();
    if (result == kSocketOk && !sys::Listen(socket_, backlog)) result = kSocketError;
    if (result != kSocketOk) {
      Close();
      return result;
    }
    listening_ = true;
    return kSocketOk;
  }

  int LocalAddress(NetAddress* out) const override { return Name(out, false); }
  int PeerAddress(NetAddress* out) const override { return Name(out, true); }

  void SetStallLimit(int ms) override { stall_limit_ms_ = ms < 0 ? 0 : ms; }

  int Shutdown() override {
    if (socket_ == sys::kNoHandle) return kSocketNotConnected;
    if (connected_.exchange(false)) sys::ShutdownBoth(socket_);
    return kSocketOk;
  }

  int SetKeepAlive(int idle_seconds, int interval_seconds, int probes,
                   int user_timeout_ms) override {
    if (socket_ == sys::kNoHandle) return kSocketNotConnected;
    return sys::SetKeepAlive(socket_, idle_seconds, interval_seconds, probes, user_timeout_ms)
               ? kSocketOk
               : kSocketError;
  }

  bool IsConnected() const override { return connected_; }
  bool IsListening() const override { return listening_; }

  int WaitReadable(int timeout_ms) override {
    if (interrupted_) return kSocketInterrupted;
    if (socket_ == sys::kNoHandle || !(connected_ || listening_)) return kSocketNotConnected;
    return WaitFor(true, timeout_ms);
  }

  void Interrupt() override {
    interrupted_ = true;
    const sys::Handle waker = Waker();
    if (waker != sys::kNoHandle) sys::Wake(waker);
  }

  void ClearInterrupt() override {
    interrupted_ = false;
    const sys::Handle waker = Waker();
    if (waker != sys::kNoHandle) sys::Drain(waker);
  }

 private:
  // The waker that Interrupt makes readable, made on first need; kNoHandle
  // when the system would not give one (the waits then run in slices).
  sys::Handle Waker() {
    std::call_once(waker_once_, [this] { waker_ = sys::OpenWaker(); });
    return waker_;
  }

  int Name(NetAddress* out, bool peer) const {
    if (out == nullptr) return kSocketNullArgument;
    if (socket_ == sys::kNoHandle) return kSocketNotConnected;
    sockaddr_in in;
    if (!sys::Name(socket_, peer, &in)) return kSocketError;
    *out = CreateAddress(in);
    return kSocketOk;
  }

  // Waits until the socket is readable (`readable`) or writable, or reports
  // an error or hang-up (which the next call on it will report) → 0;
  // `timeout_ms` passed → 4 (negative: no limit); interrupted → 6; the wait
  // failed → 2.
  int WaitFor(bool readable, int timeout_ms) {
    const sys::Handle waker = Waker();
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
      if (waker == sys::kNoHandle && (wait_ms < 0 || wait_ms > kWaitSliceMs)) {
        wait_ms = kWaitSliceMs;
      }
      const sys::Ready ready = sys::Wait(socket_, readable, waker, wait_ms);
      if (ready == sys::Ready::kFailed) return kSocketError;
      if (interrupted_ || ready == sys::Ready::kWaker) return kSocketInterrupted;
      if (ready == sys::Ready::kSocket) return kSocketOk;
      if (!forever && Clock::now() >= deadline) return kSocketWouldBlock;
    }
  }

  // Connects the open, non-blocking socket and waits for the outcome.
  int ConnectAndWait(const NetAddress& address) {
    const sys::Io io = sys::StartConnect(socket_, address.SocketAddress());
    if (io == sys::Io::kDone) return kSocketOk;
    if (io != sys::Io::kWouldBlock) return kSocketError;
    const int waited = WaitFor(false, kConnectTimeoutMs);
    if (waited == kSocketWouldBlock) return kSocketError;
    if (waited != kSocketOk) return waited;
    return sys::ConnectSucceeded(socket_) ? kSocketOk : kSocketError;
  }

  // Written only by the operations that need the object to themselves.
  sys::Handle socket_ = sys::kNoHandle;
  // Cleared by Receive on the receiving thread while the sending thread
  // reads it.
  std::atomic<bool> connected_{false};
  std::atomic<bool> listening_{false};
  std::atomic<bool> interrupted_{false};
  std::atomic<int> stall_limit_ms_{0};
  std::once_flag waker_once_;
  sys::Handle waker_ = sys::kNoHandle;  // set once under waker_once_
};

}  // namespace

NetAddress::NetAddress() {
  std::memset(&address_, 0, sizeof address_);
}

std::string NetAddress::AddressText() const {
  uint8_t a[4];
  std::memcpy(a, &address_.sin_addr, sizeof a);
  return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
         std::to_string(a[3]);
}

uint16_t NetAddress::Port() const {
  return ntohs(address_.sin_port);
}

std::string NetAddress::EndpointText() const {
  return AddressText() + ":" + std::to_string(Port());
}

NetAddress CreateAddress(const sockaddr_in& address) {
  NetAddress result;
  if (address.sin_family != sys::kFamilyIPv4) return result;
  result.address_.sin_family = address.sin_family;
  result.address_.sin_port = address.sin_port;
  result.address_.sin_addr = address.sin_addr;
  result.valid_ = true;
  return result;
}

NetAddress CreateAddress(const std::string& host, uint16_t port) {
  if (host.empty() || host.size() > kMaxHostNameLength || host.find('\0') != std::string::npos ||
      IsReservedInvalidName(host) || !sys::Start()) {
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
  in.sin_family = sys::kFamilyIPv4;
  in.sin_addr.s_addr = htonl((uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d);
  in.sin_port = htons(port);
  return CreateAddress(in);
}

std::unique_ptr<CIOSocket> CreateSocket() {
  return std::make_unique<SystemSocket>();
}

#ifndef _WIN32
std::unique_ptr<CIOSocket> AdoptConnectedSocket(int fd) {
  if (fd < 0) return nullptr;
  auto socket = std::make_unique<SystemSocket>(fd);
  socket->SetNonBlocking();
  socket->SetNoDelay();
  return socket;
}
#endif

}  // namespace tw
