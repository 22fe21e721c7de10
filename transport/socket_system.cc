// BSD socket calls under the socket object (see socket_system.h).
#include "transport/socket_system.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace tw::socket_system {

static_assert(AF_INET == kFamilyIPv4);

namespace {

int Fd(Handle socket) {
  return static_cast<int>(socket);
}

bool WouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

bool Start() {
  return true;
}

Handle Open(int kind) {
  const int type = kind == kSocketDatagram ? SOCK_DGRAM : SOCK_STREAM;
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  return fd < 0 ? kNoHandle : fd;
}

Handle Accept(Handle listener, Io* io) {
  const int fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd >= 0) {
    *io = Io::kDone;
    return fd;
  }
  // A client that went away before it was taken, or a signal, is no
  // failure of the listening socket.
  if (WouldBlock(errno)) {
    *io = Io::kWouldBlock;
  } else if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) {
    *io = Io::kRetry;
  } else {
    *io = Io::kFailed;
  }
  return kNoHandle;
}

void Close(Handle socket) {
  close(Fd(socket));
}

void ShutdownBoth(Handle socket) {
  shutdown(Fd(socket), SHUT_RDWR);
}

bool SetNonBlocking(Handle socket) {
  const int flags = fcntl(Fd(socket), F_GETFL);
  return flags >= 0 && fcntl(Fd(socket), F_SETFL, flags | O_NONBLOCK) == 0;
}

bool SetNoDelay(Handle socket) {
  int one = 1;
  return setsockopt(Fd(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

void SetListenerReuse(Handle socket) {
  // A closed server's port lingers in TIME_WAIT; Linux never lets a second
  // socket listen on a port one listens on, reuse or not.
  int one = 1;
  setsockopt(Fd(socket), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

bool SetKeepAlive(Handle socket, int idle_seconds, int interval_seconds, int probes,
                  int user_timeout_ms) {
  const int fd = Fd(socket);
  int one = 1;
  bool ok = setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) == 0;
  ok = setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_seconds, sizeof idle_seconds) == 0 && ok;
  ok =
      setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_seconds, sizeof interval_seconds) == 0 &&
      ok;
  ok = setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0 && ok;
  if (user_timeout_ms > 0) {
    const unsigned timeout = static_cast<unsigned>(user_timeout_ms);
    ok = setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout) == 0 && ok;
  }
  return ok;
}

bool Bind(Handle socket, const sockaddr_in& address) {
  return bind(Fd(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool Listen(Handle socket, int backlog) {
  return listen(Fd(socket), backlog) == 0;
}

Io StartConnect(Handle socket, const sockaddr_in& address) {
  if (connect(Fd(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return Io::kDone;
  }
  // A signal during the connect leaves it going on, as EINPROGRESS does.
  return errno == EINPROGRESS || errno == EINTR ? Io::kWouldBlock : Io::kFailed;
}

bool ConnectSucceeded(Handle socket) {
  int error = 0;
  socklen_t size = sizeof error;
  return getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

bool Name(Handle socket, bool peer, sockaddr_in* out) {
  socklen_t size = sizeof *out;
  std::memset(out, 0, sizeof *out);
  sockaddr* name = reinterpret_cast<sockaddr*>(out);
  const int result =
      peer ? getpeername(Fd(socket), name, &size) : getsockname(Fd(socket), name, &size);
  return result == 0 && size == sizeof *out;
}

Io Send(Handle socket, const char* bytes, size_t length, size_t* moved) {
  const ssize_t sent = send(Fd(socket), bytes, length, MSG_NOSIGNAL);
  if (sent > 0) {
    *moved = static_cast<size_t>(sent);
    return Io::kDone;
  }
  if (sent < 0 && errno == EINTR) return Io::kRetry;
  if (sent < 0 && WouldBlock(errno)) return Io::kWouldBlock;
  return Io::kFailed;
}

Io Receive(Handle socket, char* buffer, size_t capacity, size_t* moved) {
  const ssize_t got = recv(Fd(socket), buffer, capacity, 0);
  if (got > 0) {
    *moved = static_cast<size_t>(got);
    return Io::kDone;
  }
  if (got == 0) return Io::kPeerGone;
  if (errno == EINTR) return Io::kRetry;
  if (WouldBlock(errno)) return Io::kWouldBlock;
  if (errno == ECONNRESET || errno == EPIPE || errno == ENOTCONN) return Io::kPeerGone;
  return Io::kFailed;
}

Handle OpenWaker() {
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd < 0 ? kNoHandle : fd;
}

void Wake(Handle waker) {
  // The counter is never read down while woken, so the descriptor stays
  // readable and every later poll returns at once. A full counter (EAGAIN)
  // is readable already.
  const uint64_t one = 1;
  const ssize_t ignored = write(Fd(waker), &one, sizeof one);
  (void)ignored;
}

void Drain(Handle waker) {
  uint64_t value;
  const ssize_t ignored = read(Fd(waker), &value, sizeof value);
  (void)ignored;
}

void CloseWaker(Handle waker) {
  close(Fd(waker));
}

Ready Wait(Handle socket, bool readable, Handle waker, int timeout_ms) {
  pollfd fds[2] = {{Fd(socket), static_cast<short>(readable ? POLLIN : POLLOUT), 0},
                   {Fd(waker), POLLIN, 0}};
  const int ready = poll(fds, waker != kNoHandle ? 2 : 1, timeout_ms < 0 ? -1 : timeout_ms);
  if (ready < 0) return errno == EINTR ? Ready::kNothing : Ready::kFailed;
  if (waker != kNoHandle && (fds[1].revents & POLLIN) != 0) return Ready::kWaker;
  if (fds[0].revents != 0) return Ready::kSocket;
  return Ready::kNothing;
}

}  // namespace tw::socket_system
