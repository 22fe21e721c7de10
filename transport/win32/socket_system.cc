// Winsock 2 calls under the socket object (see socket_system.h). Sockets
// are made not inheritable. The waits use select over the socket and the
// object's waker, a loopback datagram socket connected to itself that Wake
// makes readable by sending it a byte (the counterpart of the POSIX form's
// eventfd); select also reports a failed connect, which WSAPoll does not on
// every version.
#include "transport/socket_system.h"

#include "transport/win32/winsock_headers.h"
// After winsock2.h.
#include <mstcpip.h>

#include <algorithm>
#include <cstring>

namespace tw::socket_system {

static_assert(AF_INET == kFamilyIPv4);
static_assert(static_cast<Handle>(INVALID_SOCKET) == kNoHandle);

namespace {

SOCKET Sock(Handle socket) {
  return static_cast<SOCKET>(socket);
}

// Winsock takes at most an int's worth of bytes per call.
int Piece(size_t length) {
  return static_cast<int>(std::min<size_t>(length, size_t{1} << 30));
}

SOCKET NewSocket(int type, int protocol) {
  SOCKET s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    // Systems before Windows 7 SP1 refuse the flag.
    s = socket(AF_INET, type, protocol);
    if (s != INVALID_SOCKET) {
      SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    }
  }
  return s;
}

}  // namespace

bool Start() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

Handle Open(int kind) {
  return static_cast<Handle>(NewSocket(kind == kSocketDatagram ? SOCK_DGRAM : SOCK_STREAM, 0));
}

Handle Accept(Handle listener, Io* io) {
  const SOCKET s = accept(Sock(listener), nullptr, nullptr);
  if (s != INVALID_SOCKET) {
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    u_long one = 1;
    if (ioctlsocket(s, FIONBIO, &one) != 0) {
      closesocket(s);
      *io = Io::kFailed;
      return kNoHandle;
    }
    *io = Io::kDone;
    return static_cast<Handle>(s);
  }
  const int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) {
    *io = Io::kWouldBlock;
  } else if (error == WSAECONNRESET || error == WSAEINTR) {
    *io = Io::kRetry;
  } else {
    *io = Io::kFailed;
  }
  return kNoHandle;
}

void Close(Handle socket) {
  closesocket(Sock(socket));
}

void ShutdownBoth(Handle socket) {
  shutdown(Sock(socket), SD_BOTH);
}

bool SetNonBlocking(Handle socket) {
  u_long one = 1;
  return ioctlsocket(Sock(socket), FIONBIO, &one) == 0;
}

bool SetNoDelay(Handle socket) {
  BOOL one = TRUE;
  return setsockopt(Sock(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                    sizeof one) == 0;
}

void SetListenerReuse(Handle socket) {
  // Windows lets SO_REUSEADDR take over a port another socket listens on;
  // exclusive use keeps two servers apart, and a closed server's port is
  // free again at once anyway.
  BOOL one = TRUE;
  setsockopt(Sock(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
             sizeof one);
}

bool SetKeepAlive(Handle socket, int idle_seconds, int interval_seconds, int probes,
                  int user_timeout_ms) {
  // Windows fixes the number of probes (10) and has no limit for
  // unacknowledged data that a program can set on older systems.
  (void)probes;
  (void)user_timeout_ms;
  tcp_keepalive values;
  values.onoff = 1;
  values.keepalivetime = static_cast<ULONG>(std::max(idle_seconds, 1)) * 1000;
  values.keepaliveinterval = static_cast<ULONG>(std::max(interval_seconds, 1)) * 1000;
  DWORD returned = 0;
  return WSAIoctl(Sock(socket), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned,
                  nullptr, nullptr) == 0;
}

bool Bind(Handle socket, const sockaddr_in& address) {
  return bind(Sock(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool Listen(Handle socket, int backlog) {
  return listen(Sock(socket), backlog) == 0;
}

Io StartConnect(Handle socket, const sockaddr_in& address) {
  if (connect(Sock(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return Io::kDone;
  }
  return WSAGetLastError() == WSAEWOULDBLOCK ? Io::kWouldBlock : Io::kFailed;
}

bool ConnectSucceeded(Handle socket) {
  int error = 0;
  int size = sizeof error;
  return getsockopt(Sock(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) ==
             0 &&
         error == 0;
}

bool Name(Handle socket, bool peer, sockaddr_in* out) {
  int size = sizeof *out;
  std::memset(out, 0, sizeof *out);
  sockaddr* name = reinterpret_cast<sockaddr*>(out);
  const int result =
      peer ? getpeername(Sock(socket), name, &size) : getsockname(Sock(socket), name, &size);
  return result == 0 && size == static_cast<int>(sizeof *out);
}

Io Send(Handle socket, const char* bytes, size_t length, size_t* moved) {
  const int sent = send(Sock(socket), bytes, Piece(length), 0);  // Winsock raises no signal
  if (sent > 0) {
    *moved = static_cast<size_t>(sent);
    return Io::kDone;
  }
  if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return Io::kWouldBlock;
  return Io::kFailed;
}

Io Receive(Handle socket, char* buffer, size_t capacity, size_t* moved) {
  const int got = recv(Sock(socket), buffer, Piece(capacity), 0);
  if (got > 0) {
    *moved = static_cast<size_t>(got);
    return Io::kDone;
  }
  if (got == 0) return Io::kPeerGone;
  const int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) return Io::kWouldBlock;
  if (error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENOTCONN ||
      error == WSAESHUTDOWN) {
    return Io::kPeerGone;
  }
  return Io::kFailed;
}

Handle OpenWaker() {
  const SOCKET s = NewSocket(SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return kNoHandle;
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
    return kNoHandle;
  }
  return static_cast<Handle>(s);
}

void Wake(Handle waker) {
  // The byte stays queued while woken, so every later wait returns at once.
  const char one = 1;
  send(Sock(waker), &one, 1, 0);
}

void Drain(Handle waker) {
  char drain[64];
  while (recv(Sock(waker), drain, sizeof drain, 0) > 0) {
  }
}

void CloseWaker(Handle waker) {
  closesocket(Sock(waker));
}

Ready Wait(Handle socket, bool readable, Handle waker, int timeout_ms) {
  fd_set read_set, write_set, failed_set;
  FD_ZERO(&read_set);
  FD_ZERO(&write_set);
  FD_ZERO(&failed_set);
  FD_SET(Sock(socket), readable ? &read_set : &write_set);
  FD_SET(Sock(socket), &failed_set);
  if (waker != kNoHandle) FD_SET(Sock(waker), &read_set);
  timeval tv;
  tv.tv_sec = timeout_ms < 0 ? 0 : timeout_ms / 1000;
  tv.tv_usec = timeout_ms < 0 ? 0 : (timeout_ms % 1000) * 1000;
  const int ready = select(0, &read_set, &write_set, &failed_set, timeout_ms < 0 ? nullptr : &tv);
  if (ready == SOCKET_ERROR) return Ready::kFailed;
  if (waker != kNoHandle && FD_ISSET(Sock(waker), &read_set)) return Ready::kWaker;
  if (FD_ISSET(Sock(socket), &read_set) || FD_ISSET(Sock(socket), &write_set) ||
      FD_ISSET(Sock(socket), &failed_set)) {
    return Ready::kSocket;
  }
  return Ready::kNothing;
}

}  // namespace tw::socket_system
