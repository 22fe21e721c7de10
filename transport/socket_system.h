// The few socket calls that differ between BSD sockets and Winsock, under
// the one socket object of socket.cc. Each call here is a single system
// call (or a short fixed sequence) with no policy: the waits, retries,
// flags and result codes of the sockets layer live in socket.cc once.
// socket_system.cc implements these for POSIX, win32/socket_system.cc for
// Windows.
#ifndef TW_TRANSPORT_SOCKET_SYSTEM_H_
#define TW_TRANSPORT_SOCKET_SYSTEM_H_

#include <cstddef>
#include <cstdint>

#include "transport/socket.h"

namespace tw::socket_system {

// A descriptor (POSIX) or SOCKET (Windows), wide enough for either.
using Handle = intptr_t;
// The handle of no socket (-1 and INVALID_SOCKET alike).
constexpr Handle kNoHandle = -1;

// AF_INET, the same number on both systems.
constexpr int kFamilyIPv4 = 2;

// What one non-blocking call came to.
enum class Io {
  kDone,        // it worked (bytes moved, a client taken, connected)
  kWouldBlock,  // nothing now: wait for the socket, then try again
  kRetry,       // a signal, or a client that left before it was taken: try again at once
  kPeerGone,    // the peer closed or reset the connection
  kFailed,      // any other error
};

// What a wait came to.
enum class Ready {
  kSocket,   // the socket is ready (or reports an error the next call will give)
  kWaker,    // the waker was made readable
  kNothing,  // the time passed, or a signal cut the wait short
  kFailed,   // the wait itself failed
};

// Starts the system's socket library once for the process and leaves it
// running (a no-op where the system needs none); false when it cannot start.
// Needed before a socket is opened or a name resolved.
bool Start();

// A new socket of `kind` (kSocketStream or kSocketDatagram), not inherited
// by child processes; kNoHandle on failure.
Handle Open(int kind);
// Takes a pending client from a listening socket: the new socket is
// non-blocking and not inherited; kNoHandle with `*io` saying why.
Handle Accept(Handle listener, Io* io);
void Close(Handle socket);
// Shuts both directions down.
void ShutdownBoth(Handle socket);

bool SetNonBlocking(Handle socket);
bool SetNoDelay(Handle socket);
// Lets a listening socket take its port again at once after a restart,
// without letting a second server take a port one listens on.
void SetListenerReuse(Handle socket);
// Keep-alive probes after `idle_seconds` without traffic, every
// `interval_seconds`, `probes` of them; unacknowledged data given up after
// `user_timeout_ms` where the system has that (0: the system's own). False
// when the system refused an option.
bool SetKeepAlive(Handle socket, int idle_seconds, int interval_seconds, int probes,
                  int user_timeout_ms);

bool Bind(Handle socket, const sockaddr_in& address);
bool Listen(Handle socket, int backlog);
// Starts a connect on a non-blocking socket: kDone (connected at once),
// kWouldBlock (in progress: wait for writable, then ConnectSucceeded),
// kFailed.
Io StartConnect(Handle socket, const sockaddr_in& address);
// Whether the connect that a wait saw finish succeeded.
bool ConnectSucceeded(Handle socket);
// The address the socket is bound to, or (`peer`) the connected peer's.
bool Name(Handle socket, bool peer, sockaddr_in* out);

// One send or receive of at most `length` bytes on a non-blocking socket;
// `*moved` gets the bytes moved (kDone only; a receive of the peer's
// orderly close is kPeerGone). A send never raises a signal.
Io Send(Handle socket, const char* bytes, size_t length, size_t* moved);
Io Receive(Handle socket, char* buffer, size_t capacity, size_t* moved);

// The waker that lets another thread cut a wait short: Wake makes it
// readable until Drain. kNoHandle when the system would not give one (the
// waits then run in slices).
Handle OpenWaker();
void Wake(Handle waker);
void Drain(Handle waker);
void CloseWaker(Handle waker);

// Waits up to `timeout_ms` (negative: no limit) until `socket` is readable
// (`readable`) or writable, or `waker` (kNoHandle: none) is readable.
Ready Wait(Handle socket, bool readable, Handle waker, int timeout_ms);

}  // namespace tw::socket_system

#endif  // TW_TRANSPORT_SOCKET_SYSTEM_H_
