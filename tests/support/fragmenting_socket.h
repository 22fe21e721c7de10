// A socket that cuts the stream into small pieces: it wraps a real socket
// and passes at most N bytes to it per underlying send and takes at most M
// bytes per Receive, so that tests of the layers above prove they lose and
// reorder nothing however the bytes arrive. Every other operation is passed
// through; a socket it accepts is wrapped the same way.
//
// Threads: as a CIOSocket. The sending and the receiving side each draw
// their piece sizes from their own generator, so one sending and one
// receiving thread may use the wrapper at once.
#ifndef TW_TESTS_SUPPORT_FRAGMENTING_SOCKET_H_
#define TW_TESTS_SUPPORT_FRAGMENTING_SOCKET_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "transport/socket.h"

namespace tw::test {

// Cuts a connection after a number of bytes: armed by the test, shared
// with the sockets it governs. Thread-safe.
class ConnectionCutter {
 public:
  // The connection is cut once `bytes` more bytes moved, counting both
  // directions together; negative: never (the default).
  void Arm(int64_t bytes) {
    moved_ = 0;
    budget_ = bytes;
  }
  void Disarm() { budget_ = -1; }
  // Takes up to `count` bytes of the budget; how many may still move.
  size_t Take(size_t count);
  bool cut() const { return cut_.load(); }
  // Bytes moved since the last Arm or Reset, both directions together: a
  // test measures an exchange to spread its cut points over it.
  int64_t moved() const { return moved_.load(); }
  void Reset() {
    budget_ = -1;
    moved_ = 0;
    cut_ = false;
  }

 private:
  std::atomic<int64_t> budget_{-1};
  std::atomic<int64_t> moved_{0};
  std::atomic<bool> cut_{false};
};

struct FragmentLimits {
  size_t max_send = 1;     // N: bytes per underlying send, at least 1
  size_t max_receive = 1;  // M: bytes per Receive, at least 1
  // 0: every piece is exactly N (M, or less when less is asked for or
  // there). Otherwise each piece size is drawn from 1..N (1..M) by a
  // generator seeded with this value, so a failing run can be repeated.
  uint32_t seed = 0;
  // Cuts the connection (shuts it down) when its budget runs out; null:
  // never cut.
  std::shared_ptr<ConnectionCutter> cutter;
  // Told the user time-out of every keep-alive set on the socket (before it
  // goes to the real socket); null: not told.
  std::function<void(int user_timeout_ms)> on_keep_alive;
  // Called on the thread of every Send and every Receive (before it goes to
  // the real socket); null: not called.
  std::function<void()> on_send;
  std::function<void()> on_receive;
};

class FragmentingSocket final : public CIOSocket {
 public:
  FragmentingSocket(std::unique_ptr<CIOSocket> inner, FragmentLimits limits);

  int Listen(int backlog, uint16_t port, int kind) override;
  int Accept(std::unique_ptr<CIOSocket>* out, int tries) override;
  int Connect(const NetAddress& address, int kind) override;
  int SendWord(uint32_t value) override;
  int Send(const void* bytes, size_t length) override;
  int SendBytes(const std::vector<uint8_t>& bytes) override;
  int Receive(void* buffer, size_t capacity, size_t* count) override;
  int Close() override;
  int Startup() override;
  int Cleanup() override;
  int Create(const NetAddress& address, int kind, bool bind) override;
  int SetNonBlocking() override;
  int SetNoDelay() override;
  int Bind(const NetAddress& address) override;
  int ListenOn(const NetAddress& address, int backlog, int kind) override;
  int LocalAddress(NetAddress* out) const override;
  bool IsConnected() const override;
  bool IsListening() const override;
  int WaitReadable(int timeout_ms) override;
  void Interrupt() override;
  void ClearInterrupt() override;
  void SetStallLimit(int ms) override;
  int Shutdown() override;
  int SetKeepAlive(int idle_seconds, int interval_seconds, int probes,
                   int user_timeout_ms) override;

 private:
  static size_t Piece(size_t limit, bool random, std::mt19937* generator);

  const std::unique_ptr<CIOSocket> inner_;
  const FragmentLimits limits_;
  std::mt19937 send_generator_;     // sending thread only
  std::mt19937 receive_generator_;  // receiving thread only
  uint32_t accepted_ = 0;           // Accept's caller only; varies accepted seeds
};

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_FRAGMENTING_SOCKET_H_
