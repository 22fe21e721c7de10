// The sockets layer: an IPv4 address value and the TCP socket object through
// which the server connection and the reference server move their bytes.
// Nothing above this layer calls the socket interface of the system directly.
//
// Sockets are BSD sockets (Winsock 2 on Windows), IPv4 only. Every
// descriptor is opened close-on-exec (not inherited); every send passes
// MSG_NOSIGNAL, so a peer that has gone never raises SIGPIPE. Connected sockets are always
// non-blocking; the waits this layer does (a full send buffer, a connect in progress, Accept's
// tries, WaitReadable) use poll and can be cut short from another thread with Interrupt.
//
// Threads: a CIOSocket is driven by one sending thread and one receiving
// thread at a time; Send and Receive / WaitReadable may run on those two
// threads at once (the connected and listening flags are atomic for that
// reason). Create, Connect, Listen, ListenOn, Accept, Close and destruction
// need that no other thread is inside an operation of the same object. To
// stop a thread that waits in WaitReadable or Send, call Interrupt from any
// thread, join the waiter, then Close. NetAddress is a plain value.
#ifndef TW_TRANSPORT_SOCKET_H_
#define TW_TRANSPORT_SOCKET_H_

#if defined(_WIN32)
// sockaddr_in alone: <winsock2.h> would bring <windows.h> and its macros
// (MessageBox, CopyFile, ...) into every file that includes this one.
#include <psdk_inc/_ip_types.h>
#else
#include <netinet/in.h>
#endif

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tw {

// Result codes of every socket operation.
enum SocketResult : int {
  kSocketOk = 0,
  kSocketNullArgument = 1,
  kSocketError = 2,           // the system refused the call
  kSocketNotListening = 3,    // Accept on a socket that does not listen
  kSocketWouldBlock = 4,      // nothing now: no data, no client, or a wait timed out
  kSocketNotConnected = 5,    // never connected, closed, or closed/reset by the peer
  kSocketInterrupted = 6,     // a wait was cut short by Interrupt
  kSocketStalled = 7,         // a send found no room for the stall limit
  kSocketReceiveFailed = -1,  // any other receive error
};

// Socket kinds of Create, Connect, Listen and ListenOn: 2 gives a datagram
// socket, any other value a stream socket.
constexpr int kSocketStream = 1;
constexpr int kSocketDatagram = 2;

// How long Connect waits for the peer to answer before it gives up (2).
constexpr int kConnectTimeoutMs = 20000;

// An IPv4 socket address and whether it was built from something real. An
// invalid address holds all zero bytes. Make one with CreateAddress.
class NetAddress {
 public:
  // Invalid and all zero.
  NetAddress();

  bool IsValid() const { return valid_; }
  // Family AF_INET, port and address in network order.
  const sockaddr_in& SocketAddress() const { return address_; }
  // The address as dotted decimal text ("127.0.0.1"; "0.0.0.0" when invalid).
  std::string AddressText() const;
  // The port in host order.
  uint16_t Port() const;
  // "address:port", for diagnostics.
  std::string EndpointText() const;

 private:
  friend NetAddress CreateAddress(const sockaddr_in& address);

  sockaddr_in address_;
  bool valid_ = false;
};

// Address creators.
// A copy of an existing socket address; valid when its family is AF_INET.
NetAddress CreateAddress(const sockaddr_in& address);
// The first IPv4 address the resolver gives for `host` (a name or dotted
// decimal text) with `port`. Invalid and all zero when the name is empty,
// longer than 253 characters, holds a NUL byte, is under the reserved
// top-level name "invalid" (never looked up), or has no IPv4 address.
// A name lookup may block for as long as the resolver takes.
NetAddress CreateAddress(const std::string& host, uint16_t port);
// The address a.b.c.d with `port`; always valid.
NetAddress CreateAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port);

// The socket object. The virtual operations up to Bind are in the order the
// rest of the system relies on; the operations after Bind are additions of
// this platform (listening on a chosen address, the bound address, and the
// waits that let a stage thread sleep while idle).
class CIOSocket {
 public:
  // Closes the socket (see Close).
  virtual ~CIOSocket() = default;

  // Listens on 127.0.0.1 and `port` (0: a free port the system picks, see
  // LocalAddress): ListenOn with that address.
  virtual int Listen(int backlog, uint16_t port, int kind) = 0;
  // Takes one pending client: not listening → 3; null `out` → 1. Tries
  // up to `tries` times, waiting up to 1 ms for a client between tries (a
  // client that arrives ends the wait at once); none came → 4; interrupted →
  // 6. The accepted socket is non-blocking, has TCP_NODELAY set and starts
  // connected; it is handed over in `*out`.
  virtual int Accept(std::unique_ptr<CIOSocket>* out, int tries) = 0;
  // Opens a new socket of `kind` (closing any socket held before), connects
  // it to `address` and makes it non-blocking, with TCP_NODELAY set. The
  // connect itself does not block: it waits for the peer up to
  // kConnectTimeoutMs. Invalid address, refusal, time-out or any failure → 2
  // (the socket is then closed); interrupted → 6.
  virtual int Connect(const NetAddress& address, int kind) = 0;
  // Sends a 32-bit value in network byte order through Send.
  virtual int SendWord(uint32_t value) = 0;
  // Sends all `length` bytes: null `bytes` with a non-zero length → 1; not
  // connected → 5. A full send buffer is waited out (poll for room, in
  // slices); the call returns only when every byte was handed to the
  // system, on an error (the peer gone, reset: 2), or when interrupted (6;
  // part of the bytes may then have gone, so the stream is no longer usable).
  virtual int Send(const void* bytes, size_t length) = 0;
  // Sends a byte vector through Send.
  virtual int SendBytes(const std::vector<uint8_t>& bytes) = 0;
  // One receive of at most `capacity` bytes: null `buffer` or `count`, or
  // a capacity of 0 → 1; not connected → 5. Bytes arrived → `*count`, 0;
  // the peer closed (orderly) or reset the connection → clears the connected
  // flag, 5; nothing there now → 4; any other error → −1. `*count` is 0
  // unless bytes arrived.
  virtual int Receive(void* buffer, size_t capacity, size_t* count) = 0;
  // Does nothing; the slot is kept.
  virtual void Reserved() {}
  // Gives the socket up: when connected, shuts both directions down first.
  // Releases the descriptor in every state (listening or merely created
  // too) and clears both flags. Returns 0.
  virtual int Close() = 0;
  // The system's socket library is started once for the process, when the
  // first socket is opened or name resolved, and left running: Startup
  // starts it (0, or 2 when it cannot start), Cleanup does nothing (0).
  virtual int Startup() = 0;
  virtual int Cleanup() = 0;
  // Closes what the object held, then opens a socket of `kind`; with `bind`
  // it binds it to `address` (stream sockets get SO_REUSEADDR first, since
  // only listening sockets are bound). Failure → 2, nothing left open.
  virtual int Create(const NetAddress& address, int kind, bool bind) = 0;
  virtual int SetNonBlocking() = 0;
  virtual int SetNoDelay() = 0;
  // Binds the open socket to `address`; invalid address or refusal → 2; no
  // socket open → 5.
  virtual int Bind(const NetAddress& address) = 0;

  // Listens on `address` (a listening server picks its interface): closes
  // what the object held, opens a socket of `kind` with SO_REUSEADDR, binds,
  // makes it non-blocking and listens with `backlog`; sets the listening
  // flag. Failure → 2, nothing left open.
  virtual int ListenOn(const NetAddress& address, int backlog, int kind) = 0;
  // The address the socket is bound to (the real port after binding port 0):
  // null `out` → 1; no socket open → 5; failure → 2.
  virtual int LocalAddress(NetAddress* out) const = 0;
  virtual bool IsConnected() const = 0;
  virtual bool IsListening() const = 0;

  // Blocks until the socket has something to take (bytes, the peer's close
  // or reset on a connected socket; a client on a listening one) → 0; the
  // time-out passed → 4; interrupted → 6; neither connected nor listening →
  // 5; poll failed → 2. A negative `timeout_ms` waits without limit. An idle
  // waiter uses no processor time.
  virtual int WaitReadable(int timeout_ms) = 0;
  // Wakes every thread waiting in this object (WaitReadable, Send on a full
  // buffer, Accept, Connect) and makes every later wait return 6 at once,
  // until ClearInterrupt. Safe from any thread while the object lives.
  virtual void Interrupt() = 0;
  // Ends the interrupted state; only while no thread waits in the object.
  virtual void ClearInterrupt() = 0;
  // Shuts both directions of a connected socket down, keeping the
  // descriptor until Close: the peer sees the connection end, and every
  // later Send or Receive here fails. Safe from any thread while the object
  // lives. 0; 5 without a socket.
  virtual int Shutdown() { return kSocketNotConnected; }
  // A Send that finds no room in the send buffer for `ms` milliseconds in a
  // row (the peer reads nothing) gives up with 7; 0 waits without limit
  // (the default). Safe from any thread.
  virtual void SetStallLimit(int ms) { (void)ms; }
  // Makes a dead peer noticed on a connected stream socket even while
  // nothing is sent: keep-alive probes after `idle_seconds` without traffic,
  // every `interval_seconds`, the connection given up after `probes`
  // unanswered ones; and data left unacknowledged for `user_timeout_ms`
  // (TCP_USER_TIMEOUT; 0 leaves the system's) ends the connection too. 0,
  // or 2 when the system refused an option; 5 without a socket.
  virtual int SetKeepAlive(int idle_seconds, int interval_seconds, int probes,
                           int user_timeout_ms) {
    (void)idle_seconds;
    (void)interval_seconds;
    (void)probes;
    (void)user_timeout_ms;
    return kSocketOk;
  }
  // The address of the connected peer, for a server's log: null `out` → 1;
  // no socket open (or a socket kind without one) → 5; failure → 2.
  virtual int PeerAddress(NetAddress* out) const {
    return out == nullptr ? kSocketNullArgument : kSocketNotConnected;
  }
};

// A new socket object holding no socket yet.
std::unique_ptr<CIOSocket> CreateSocket();

#ifndef _WIN32
// Takes over a connected stream socket that the caller opened itself (one
// bound to a chosen local address, say): made non-blocking with
// TCP_NODELAY set, closed with the object. Null for a negative descriptor.
std::unique_ptr<CIOSocket> AdoptConnectedSocket(int fd);
#endif

}  // namespace tw

#endif  // TW_TRANSPORT_SOCKET_H_
