// The sockets layer on Windows: Winsock 2 (see transport/socket.h for the
// contracts and the threading rules). Sockets are made not inheritable.
// The waits use select over the socket and a loopback datagram socket of
// the object's own, which Interrupt makes readable by sending it a byte
// (the Winsock counterpart of the POSIX form's eventfd); select also
// reports a failed connect, which WSAPoll does not on every version.
// Winsock is started once per process and left running.
#include "transport/socket.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/letter_case.h"

namespace tw {

namespace {

constexpr size_t kMaxHostNameLength = 253;
constexpr int kWaitSliceMs = 100;

using Clock = std::chrono::steady_clock;

bool EnsureWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

int SocketType(int kind) {
  return kind == kSocketDatagram ? SOCK_DGRAM : SOCK_STREAM;
}

bool IsReservedInvalidName(std::string name) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  name = LowerCase(name);
  static const std::string kSuffix = ".invalid";
  return name == "invalid" ||
         (name.size() > kSuffix.size() &&
          name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0);
}

SOCKET NewSocket(int type, int protocol) {
  SOCKET s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    // Systems before Windows 7 SP1 refuse the flag.
    s = socket(AF_INET, type, protocol);
    if (s != INVALID_SOCKET)
      SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  }
  return s;
}

class WinSocket final : public CIOSocket {
 public:
  WinSocket() { Startup(); }
  explicit WinSocket(SOCKET s) : socket_(s), connected_(true) { Startup(); }
  ~WinSocket() override {
    Close();
    if (interrupt_ != INVALID_SOCKET) closesocket(interrupt_);
    Cleanup();
  }

  WinSocket(const WinSocket&) = delete;
  WinSocket& operator=(const WinSocket&) = delete;

  int Listen(int backlog, uint16_t port, int kind) override {
    return ListenOn(CreateAddress(127, 0, 0, 1, port), backlog, kind);
  }

  int Accept(std::unique_ptr<CIOSocket>* out, int tries) override {
    if (!listening_) return kSocketNotListening;
    if (out == nullptr) return kSocketNullArgument;
    for (int attempt = 0; attempt < tries; ++attempt) {
      SOCKET s = accept(socket_, nullptr, nullptr);
      if (s != INVALID_SOCKET) {
        SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
        auto accepted = std::make_unique<WinSocket>(s);
        accepted->SetNonBlocking();
        accepted->SetNoDelay();
        *out = std::move(accepted);
        return kSocketOk;
      }
      const int error = WSAGetLastError();
      if (error != WSAEWOULDBLOCK && error != WSAECONNRESET && error != WSAEINTR) {
        return kSocketError;
      }
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
    if (SocketType(kind) == SOCK_STREAM) SetNoDelay();
    connected_ = true;
    return kSocketOk;
  }

  int SendWord(uint32_t value) override {
    const uint32_t wire = htonl(value);
    return Send(&wire, sizeof wire);
  }

  int Send(const void* bytes, size_t length) override {
    if (bytes == nullptr && length > 0) return kSocketNullArgument;
    if (!connected_ || socket_ == INVALID_SOCKET) return kSocketNotConnected;
    const char* next = static_cast<const char*>(bytes);
    size_t left = length;
    while (left > 0) {
      const int piece = static_cast<int>(std::min<size_t>(left, 1u << 30));
      const int sent = send(socket_, next, piece, 0);  // Winsock raises no signal
      if (sent > 0) {
        next += sent;
        left -= static_cast<size_t>(sent);
        continue;
      }
      if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
        const int waited = WaitFor(false, kWaitSliceMs);
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
    if (!connected_ || socket_ == INVALID_SOCKET) return kSocketNotConnected;
    const int want = static_cast<int>(std::min<size_t>(capacity, 1u << 30));
    const int got = recv(socket_, static_cast<char*>(buffer), want, 0);
    if (got > 0) {
      *count = static_cast<size_t>(got);
      return kSocketOk;
    }
    if (got == 0) {
      connected_ = false;
      return kSocketNotConnected;
    }
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return kSocketWouldBlock;
    if (error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENOTCONN ||
        error == WSAESHUTDOWN) {
      connected_ = false;
      return kSocketNotConnected;
    }
    return kSocketReceiveFailed;
  }

  int Close() override {
    listening_ = false;
    if (socket_ == INVALID_SOCKET) {
      connected_ = false;
      return kSocketOk;
    }
    if (connected_.exchange(false)) shutdown(socket_, SD_BOTH);
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
    return kSocketOk;
  }

  // Winsock keeps a count of starts; each object holds one.
  int Startup() override {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? kSocketOk : kSocketError;
  }
  int Cleanup() override { return WSACleanup() == 0 ? kSocketOk : kSocketError; }

  int Create(const NetAddress& address, int kind, bool bind) override {
    Close();
    const SOCKET s = NewSocket(SocketType(kind), 0);
    if (s == INVALID_SOCKET) return kSocketError;
    socket_ = s;
    if (bind) {
      if (SocketType(kind) == SOCK_STREAM) {
        // Windows lets SO_REUSEADDR take over a port another socket listens
        // on; exclusive use keeps two servers apart, and a closed server's
        // port is free again at once anyway.
        BOOL one = TRUE;
        setsockopt(socket_, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
                   sizeof one);
      }
      const int result = Bind(address);
      if (result != kSocketOk) {
        Close();
        return result;
      }
    }
    return kSocketOk;
  }

  int SetNonBlocking() override {
    if (socket_ == INVALID_SOCKET) return kSocketNotConnected;
    u_long one = 1;
    return ioctlsocket(socket_, FIONBIO, &one) == 0 ? kSocketOk : kSocketError;
  }

  int SetNoDelay() override {
    if (socket_ == INVALID_SOCKET) return kSocketNotConnected;
    BOOL one = TRUE;
    if (setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                   sizeof one) != 0) {
      return kSocketError;
    }
    return kSocketOk;
  }

  int Bind(const NetAddress& address) override {
    if (socket_ == INVALID_SOCKET) return kSocketNotConnected;
    if (!address.IsValid()) return kSocketError;
    const sockaddr_in& in = address.SocketAddress();
    if (bind(socket_, reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0) return kSocketError;
    return kSocketOk;
  }

  int ListenOn(const NetAddress& address, int backlog, int kind) override {
    int result = Create(address, kind, true);
    if (result == kSocketOk) result = SetNonBlocking();
    if (result == kSocketOk && listen(socket_, backlog) != 0) result = kSocketError;
    if (result != kSocketOk) {
      Close();
      return result;
    }
    listening_ = true;
    return kSocketOk;
  }

  int LocalAddress(NetAddress* out) const override {
    if (out == nullptr) return kSocketNullArgument;
    if (socket_ == INVALID_SOCKET) return kSocketNotConnected;
    sockaddr_in in;
    int size = sizeof in;
    std::memset(&in, 0, sizeof in);
    if (getsockname(socket_, reinterpret_cast<sockaddr*>(&in), &size) != 0 ||
        size != static_cast<int>(sizeof in)) {
      return kSocketError;
    }
    *out = CreateAddress(in);
    return kSocketOk;
  }

  int PeerAddress(NetAddress* out) const override {
    if (out == nullptr) return kSocketNullArgument;
    if (socket_ == INVALID_SOCKET) return kSocketNotConnected;
    sockaddr_in in;
    int size = sizeof in;
    std::memset(&in, 0, sizeof in);
    if (getpeername(socket_, reinterpret_cast<sockaddr*>(&in), &size) != 0 ||
        size != static_cast<int>(sizeof in)) {
      return kSocketError;
    }
    *out = CreateAddress(in);
    return kSocketOk;
  }

  bool IsConnected() const override { return connected_; }
  bool IsListening() const override { return listening_; }

  int WaitReadable(int timeout_ms) override {
    if (interrupted_) return kSocketInterrupted;
    if (socket_ == INVALID_SOCKET || !(connected_ || listening_)) return kSocketNotConnected;
    return WaitFor(true, timeout_ms);
  }

  void Interrupt() override {
    interrupted_ = true;
    const SOCKET s = InterruptSocket();
    if (s != INVALID_SOCKET) {
      // The byte stays queued while interrupted, so every later wait
      // returns at once.
      const char one = 1;
      send(s, &one, 1, 0);
    }
  }

  void ClearInterrupt() override {
    interrupted_ = false;
    const SOCKET s = InterruptSocket();
    if (s != INVALID_SOCKET) {
      char drain[64];
      while (recv(s, drain, sizeof drain, 0) > 0) {
      }
    }
  }

 private:
  // A non-blocking datagram socket connected to itself on the loopback
  // address, made on first need; INVALID_SOCKET when it could not be made
  // (the waits then run in slices).
  SOCKET InterruptSocket() {
    std::call_once(interrupt_once_, [this] {
      SOCKET s = NewSocket(SOCK_DGRAM, IPPROTO_UDP);
      if (s == INVALID_SOCKET) return;
      sockaddr_in in;
      std::memset(&in, 0, sizeof in);
      in.sin_family = AF_INET;
      in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      int size = sizeof in;
      u_long one = 1;
      if (bind(s, reinterpret_cast<sockaddr*>(&in), sizeof in) != 0 ||
          getsockname(s, reinterpret_cast<sockaddr*>(&in), &size) != 0 ||
          connect(s, reinterpret_cast<sockaddr*>(&in), sizeof in) != 0 ||
          ioctlsocket(s, FIONBIO, &one) != 0) {
        closesocket(s);
        return;
      }
      interrupt_ = s;
    });
    return interrupt_;
  }

  // Waits until the socket is readable (`read`) or writable, or reports an
  // error (the next call on it will say which) → 0; `timeout_ms` passed → 4
  // (negative: no limit); interrupted → 6; select failed → 2.
  int WaitFor(bool read, int timeout_ms) {
    const SOCKET interrupt = InterruptSocket();
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
      if (interrupt == INVALID_SOCKET && (wait_ms < 0 || wait_ms > kWaitSliceMs)) {
        wait_ms = kWaitSliceMs;
      }
      fd_set readable, writable, failed;
      FD_ZERO(&readable);
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(socket_, read ? &readable : &writable);
      FD_SET(socket_, &failed);
      if (interrupt != INVALID_SOCKET) FD_SET(interrupt, &readable);
      timeval tv;
      tv.tv_sec = wait_ms < 0 ? 0 : wait_ms / 1000;
      tv.tv_usec = wait_ms < 0 ? 0 : (wait_ms % 1000) * 1000;
      const int ready = select(0, &readable, &writable, &failed, wait_ms < 0 ? nullptr : &tv);
      if (ready == SOCKET_ERROR) return kSocketError;
      if (interrupted_ || (interrupt != INVALID_SOCKET && FD_ISSET(interrupt, &readable))) {
        return kSocketInterrupted;
      }
      if (FD_ISSET(socket_, &readable) || FD_ISSET(socket_, &writable) ||
          FD_ISSET(socket_, &failed)) {
        return kSocketOk;
      }
      if (!forever && Clock::now() >= deadline) return kSocketWouldBlock;
    }
  }

  int ConnectAndWait(const NetAddress& address) {
    const sockaddr_in& in = address.SocketAddress();
    if (connect(socket_, reinterpret_cast<const sockaddr*>(&in), sizeof in) == 0) return kSocketOk;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return kSocketError;
    const int waited = WaitFor(false, kConnectTimeoutMs);
    if (waited == kSocketWouldBlock) return kSocketError;
    if (waited != kSocketOk) return waited;
    int error = 0;
    int size = sizeof error;
    if (getsockopt(socket_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 ||
        error != 0) {
      return kSocketError;
    }
    return kSocketOk;
  }

  SOCKET socket_ = INVALID_SOCKET;
  std::atomic<bool> connected_{false};
  std::atomic<bool> listening_{false};
  std::atomic<bool> interrupted_{false};
  std::once_flag interrupt_once_;
  SOCKET interrupt_ = INVALID_SOCKET;  // set once under interrupt_once_
};

}  // namespace

NetAddress::NetAddress() {
  std::memset(&address_, 0, sizeof address_);
}

std::string NetAddress::AddressText() const {
  // Dotted decimal by hand: inet_ntop would need Winsock started.
  const uint32_t a = ntohl(address_.sin_addr.s_addr);
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
         std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
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
      IsReservedInvalidName(host) || !EnsureWinsock()) {
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
  return std::make_unique<WinSocket>();
}

}  // namespace tw
