#include "tests/support/fragmenting_socket.h"

#include <arpa/inet.h>

#include <algorithm>
#include <utility>

namespace tw::test {

size_t ConnectionCutter::Take(size_t count) {
  int64_t budget = budget_.load();
  for (;;) {
    if (budget < 0) {
      moved_ += static_cast<int64_t>(count);
      return count;
    }
    const int64_t taken = std::min<int64_t>(budget, static_cast<int64_t>(count));
    if (budget_.compare_exchange_weak(budget, budget - taken)) {
      if (taken < static_cast<int64_t>(count)) cut_ = true;
      moved_ += taken;
      return static_cast<size_t>(taken);
    }
  }
}

FragmentingSocket::FragmentingSocket(std::unique_ptr<CIOSocket> inner, FragmentLimits limits)
    : inner_(std::move(inner)),
      limits_{std::max<size_t>(1, limits.max_send),
              std::max<size_t>(1, limits.max_receive),
              limits.seed,
              limits.cutter,
              limits.on_keep_alive,
              limits.on_send,
              limits.on_receive},
      send_generator_(limits.seed),
      receive_generator_(limits.seed ^ 0x9e3779b9u) {}

size_t FragmentingSocket::Piece(size_t limit, bool random, std::mt19937* generator) {
  if (!random) return limit;
  return std::uniform_int_distribution<size_t>(1, limit)(*generator);
}

int FragmentingSocket::Listen(int backlog, uint16_t port, int kind) {
  return inner_->Listen(backlog, port, kind);
}

int FragmentingSocket::Accept(std::unique_ptr<CIOSocket>* out, int tries) {
  if (out == nullptr) return inner_->Accept(nullptr, tries);
  std::unique_ptr<CIOSocket> accepted;
  int result = inner_->Accept(&accepted, tries);
  if (result != kSocketOk) return result;
  FragmentLimits limits = limits_;
  if (limits.seed != 0) {
    limits.seed += ++accepted_;
    if (limits.seed == 0) limits.seed = 1;  // 0 would mean fixed pieces
  }
  *out = std::make_unique<FragmentingSocket>(std::move(accepted), limits);
  return kSocketOk;
}

int FragmentingSocket::Connect(const NetAddress& address, int kind) {
  return inner_->Connect(address, kind);
}

int FragmentingSocket::SendWord(uint32_t value) {
  uint32_t wire = htonl(value);
  return Send(&wire, sizeof wire);
}

int FragmentingSocket::Send(const void* bytes, size_t length) {
  if (limits_.on_send) limits_.on_send();
  if (bytes == nullptr && length > 0) return kSocketNullArgument;
  if (length == 0) return inner_->Send(bytes, 0);
  const auto* next = static_cast<const uint8_t*>(bytes);
  size_t left = length;
  while (left > 0) {
    size_t piece = std::min(left, Piece(limits_.max_send, limits_.seed != 0, &send_generator_));
    const size_t allowed = limits_.cutter ? limits_.cutter->Take(piece) : piece;
    int result = allowed > 0 ? inner_->Send(next, allowed) : kSocketOk;
    if (result != kSocketOk) return result;
    if (allowed < piece) {
      inner_->Shutdown();
      return kSocketError;
    }
    next += piece;
    left -= piece;
  }
  return kSocketOk;
}

int FragmentingSocket::SendBytes(const std::vector<uint8_t>& bytes) {
  return Send(bytes.data(), bytes.size());
}

int FragmentingSocket::Receive(void* buffer, size_t capacity, size_t* count) {
  if (limits_.on_receive) limits_.on_receive();
  if (capacity == 0) return inner_->Receive(buffer, capacity, count);
  size_t piece = Piece(limits_.max_receive, limits_.seed != 0, &receive_generator_);
  const int result = inner_->Receive(buffer, std::min(capacity, piece), count);
  if (result == kSocketOk && limits_.cutter) {
    const size_t allowed = limits_.cutter->Take(*count);
    if (allowed < *count) {
      // What lay beyond the cut never arrived.
      inner_->Shutdown();
      *count = allowed;
      if (allowed == 0) return kSocketNotConnected;
    }
  }
  return result;
}

int FragmentingSocket::Shutdown() {
  return inner_->Shutdown();
}

int FragmentingSocket::Close() {
  return inner_->Close();
}
int FragmentingSocket::Startup() {
  return inner_->Startup();
}
int FragmentingSocket::Cleanup() {
  return inner_->Cleanup();
}
int FragmentingSocket::Create(const NetAddress& address, int kind, bool bind) {
  return inner_->Create(address, kind, bind);
}
int FragmentingSocket::SetNonBlocking() {
  return inner_->SetNonBlocking();
}
int FragmentingSocket::SetNoDelay() {
  return inner_->SetNoDelay();
}
int FragmentingSocket::Bind(const NetAddress& address) {
  return inner_->Bind(address);
}
int FragmentingSocket::ListenOn(const NetAddress& address, int backlog, int kind) {
  return inner_->ListenOn(address, backlog, kind);
}
int FragmentingSocket::LocalAddress(NetAddress* out) const {
  return inner_->LocalAddress(out);
}
bool FragmentingSocket::IsConnected() const {
  return inner_->IsConnected();
}
bool FragmentingSocket::IsListening() const {
  return inner_->IsListening();
}
int FragmentingSocket::WaitReadable(int timeout_ms) {
  return inner_->WaitReadable(timeout_ms);
}
void FragmentingSocket::Interrupt() {
  inner_->Interrupt();
}
void FragmentingSocket::ClearInterrupt() {
  inner_->ClearInterrupt();
}
void FragmentingSocket::SetStallLimit(int ms) {
  inner_->SetStallLimit(ms);
}
int FragmentingSocket::SetKeepAlive(int idle_seconds, int interval_seconds, int probes,
                                    int user_timeout_ms) {
  if (limits_.on_keep_alive) limits_.on_keep_alive(user_timeout_ms);
  return inner_->SetKeepAlive(idle_seconds, interval_seconds, probes, user_timeout_ms);
}

}  // namespace tw::test
