// The sockets layer over real loopback connections.
#include "transport/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i % 251);
  return bytes;
}

uint16_t PortOf(const CIOSocket& socket) {
  NetAddress bound;
  EXPECT_EQ(socket.LocalAddress(&bound), kSocketOk);
  return bound.Port();
}

// A listening socket on a free loopback port, a client connected to it and
// the server side of that connection.
struct Connection {
  std::unique_ptr<CIOSocket> listener;
  std::unique_ptr<CIOSocket> client;
  std::unique_ptr<CIOSocket> server;
};

Connection Connect() {
  Connection c{CreateSocket(), CreateSocket(), nullptr};
  EXPECT_EQ(c.listener->Listen(8, 0, kSocketStream), kSocketOk);
  EXPECT_EQ(c.client->Connect(CreateAddress(127, 0, 0, 1, PortOf(*c.listener)), kSocketStream),
            kSocketOk);
  EXPECT_EQ(c.listener->Accept(&c.server, 5000), kSocketOk);
  return c;
}

// Receives exactly `size` bytes, waiting for them; stops early on any
// failure (the returned bytes are then fewer).
std::vector<uint8_t> ReceiveAll(CIOSocket& socket, size_t size, size_t chunk = 65536) {
  std::vector<uint8_t> bytes(size);
  size_t have = 0;
  while (have < size) {
    if (socket.WaitReadable(10000) != kSocketOk) break;
    size_t count = 0;
    int result = socket.Receive(bytes.data() + have, std::min(chunk, size - have), &count);
    if (result == kSocketWouldBlock) continue;
    if (result != kSocketOk) break;
    have += count;
  }
  bytes.resize(have);
  return bytes;
}

// --- Addresses ---

TEST(NetAddress, HostTextResolvesOrGivesAnInvalidAllZeroAddress) {
  NetAddress numeric = CreateAddress("127.0.0.1", 5000);
  ASSERT_TRUE(numeric.IsValid());
  EXPECT_EQ(CreateAddress(numeric.SocketAddress()).EndpointText(), "127.0.0.1:5000");
  sockaddr_in other{};
  other.sin_family = AF_INET6;
  EXPECT_FALSE(CreateAddress(other).IsValid());

  // Keeps a lookup short should the resolver be asked after all.
  setenv("RES_OPTIONS", "timeout:1 attempts:1", 1);
  const sockaddr_in zero{};
  for (const char* host :
       {"no-such-host.invalid", "Server.INVALID.", "invalid", "no such host", ""}) {
    SCOPED_TRACE(host);
    NetAddress address = CreateAddress(host, 5000);
    EXPECT_FALSE(address.IsValid());
    EXPECT_EQ(std::memcmp(&address.SocketAddress(), &zero, sizeof zero), 0);
    EXPECT_EQ(address.AddressText(), "0.0.0.0");
  }
  EXPECT_FALSE(CreateAddress(std::string("127.0.0.1\0x", 11), 1).IsValid());
  EXPECT_FALSE(CreateAddress(std::string(254, 'a'), 1).IsValid());
}

// --- Connecting, listening, accepting ---

TEST(SocketConnect, ListenOnAChosenLoopbackAddress) {
  auto listener = CreateSocket();
  ASSERT_EQ(listener->ListenOn(CreateAddress(127, 0, 0, 2, 0), 4, kSocketStream), kSocketOk);
  NetAddress bound;
  ASSERT_EQ(listener->LocalAddress(&bound), kSocketOk);
  EXPECT_EQ(bound.AddressText(), "127.0.0.2");

  auto client = CreateSocket();
  EXPECT_EQ(client->Connect(bound, kSocketStream), kSocketOk);
  std::unique_ptr<CIOSocket> server;
  EXPECT_EQ(listener->Accept(&server, 5000), kSocketOk);
}

TEST(SocketConnect, ReuseAddressLetsAServerListenAgainAtOnce) {
  Connection c = Connect();
  const uint16_t port = PortOf(*c.listener);
  // The server closes first, so its side of the connection lingers in
  // TIME_WAIT on the listening port.
  c.server->Close();
  c.client->Close();
  c.listener->Close();
  EXPECT_FALSE(c.listener->IsListening());

  auto again = CreateSocket();
  EXPECT_EQ(again->Listen(4, port, kSocketStream), kSocketOk);
  EXPECT_EQ(PortOf(*again), port);
}

TEST(SocketConnect, RefusedOrInvalidAddressFails) {
  uint16_t port;
  {
    auto probe = CreateSocket();
    ASSERT_EQ(probe->Listen(1, 0, kSocketStream), kSocketOk);
    port = PortOf(*probe);
  }
  auto client = CreateSocket();
  EXPECT_EQ(client->Connect(CreateAddress(127, 0, 0, 1, port), kSocketStream), kSocketError);
  EXPECT_FALSE(client->IsConnected());
  EXPECT_EQ(client->Connect(CreateAddress("x.invalid", port), kSocketStream), kSocketError);
  EXPECT_FALSE(client->IsConnected());
}

TEST(SocketConnect, UnusableCallsReportTheirCodes) {
  auto fresh = CreateSocket();
  uint8_t buffer[4];
  size_t count = 99;
  EXPECT_EQ(fresh->Send("x", 1), kSocketNotConnected);
  EXPECT_EQ(fresh->Receive(buffer, sizeof buffer, &count), kSocketNotConnected);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(fresh->WaitReadable(0), kSocketNotConnected);
  EXPECT_EQ(fresh->LocalAddress(nullptr), kSocketNullArgument);
  std::unique_ptr<CIOSocket> accepted;
  EXPECT_EQ(fresh->Accept(&accepted, 1), kSocketNotListening);

  Connection c = Connect();
  EXPECT_EQ(c.listener->Accept(&accepted, 5), kSocketWouldBlock);  // no client waiting
  EXPECT_FALSE(accepted);
  EXPECT_EQ(c.listener->Accept(nullptr, 1), kSocketNullArgument);
  EXPECT_EQ(c.client->Send(nullptr, 1), kSocketNullArgument);
  EXPECT_EQ(c.client->Send(nullptr, 0), kSocketOk);
  EXPECT_EQ(c.client->Receive(nullptr, 4, &count), kSocketNullArgument);
  EXPECT_EQ(c.client->Receive(buffer, 4, nullptr), kSocketNullArgument);
  EXPECT_EQ(c.client->Receive(buffer, 0, &count), kSocketNullArgument);
}

TEST(SocketConnect, EveryDescriptorIsCloseOnExec) {
  Connection c = Connect();
  c.client->Interrupt();  // makes the interrupt descriptor too
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (target.rfind("socket:", 0) != 0 && target.find("eventfd") == std::string::npos) continue;
    int fd = std::stoi(entry.path().filename().string());
    SCOPED_TRACE(target);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    ++checked;
  }
  EXPECT_GE(checked, 4);
}

// --- Receiving ---

TEST(SocketReceive, PeerCloseReportsNotConnected) {
  Connection c = Connect();
  uint8_t buffer[16];
  size_t count = 0;
  EXPECT_EQ(c.server->Receive(buffer, sizeof buffer, &count), kSocketWouldBlock);
  EXPECT_EQ(c.server->WaitReadable(10), kSocketWouldBlock);
  ASSERT_EQ(c.client->Send("last", 4), kSocketOk);
  c.client->Close();
  EXPECT_FALSE(c.client->IsConnected());

  EXPECT_EQ(ReceiveAll(*c.server, 4).size(), 4u);  // bytes sent before the close still arrive
  ASSERT_EQ(c.server->WaitReadable(10000), kSocketOk);
  EXPECT_EQ(c.server->Receive(buffer, sizeof buffer, &count), kSocketNotConnected);
  EXPECT_FALSE(c.server->IsConnected());
  EXPECT_EQ(c.server->Receive(buffer, sizeof buffer, &count), kSocketNotConnected);
  EXPECT_EQ(c.server->WaitReadable(1000), kSocketNotConnected);
}

TEST(SocketReceive, ResetByPeerReportsNotConnected) {
  auto listener = CreateSocket();
  ASSERT_EQ(listener->Listen(4, 0, kSocketStream), kSocketOk);
  int raw = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(raw, 0);
  sockaddr_in to = CreateAddress(127, 0, 0, 1, PortOf(*listener)).SocketAddress();
  ASSERT_EQ(connect(raw, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  std::unique_ptr<CIOSocket> server;
  ASSERT_EQ(listener->Accept(&server, 5000), kSocketOk);

  linger abort{1, 0};
  ASSERT_EQ(setsockopt(raw, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
  close(raw);

  ASSERT_EQ(server->WaitReadable(10000), kSocketOk);
  uint8_t buffer[16];
  size_t count = 0;
  EXPECT_EQ(server->Receive(buffer, sizeof buffer, &count), kSocketNotConnected);
  EXPECT_FALSE(server->IsConnected());
}

// --- Sending ---

TEST(SocketSend, SeveralMegabytesToASlowReaderArriveWholeAndInOrder) {
  Connection c = Connect();
  const size_t size = 16 << 20;  // more than both kernel buffers hold
  const std::vector<uint8_t> sent = Pattern(size);
  int send_result = -100;
  std::thread sender([&] { send_result = c.client->SendBytes(sent); });

  std::this_thread::sleep_for(milliseconds(100));  // let the buffers fill
  std::vector<uint8_t> got = ReceiveAll(*c.server, size, 4096);
  sender.join();
  EXPECT_EQ(send_result, kSocketOk);
  ASSERT_EQ(got.size(), size);
  EXPECT_TRUE(got == sent);
}

TEST(SocketSend, SendToAGonePeerFailsWithoutSignal) {
  // SIGPIPE keeps its default action here: a send without MSG_NOSIGNAL
  // would end the test program.
  Connection c = Connect();
  c.server->Close();
  const std::vector<uint8_t> block(65536, 0x5a);
  int result = kSocketOk;
  for (int i = 0; i < 1000 && result == kSocketOk; ++i) {
    result = c.client->SendBytes(block);
    if (result == kSocketOk) std::this_thread::sleep_for(milliseconds(1));
  }
  EXPECT_EQ(result, kSocketError);
}

// --- Waiting and interrupting ---

TEST(SocketWait, InterruptWakesWaitersAndStaysUntilCleared) {
  Connection c = Connect();
  int result = -100;
  auto start = Clock::now();
  std::thread waiter([&] { result = c.server->WaitReadable(-1); });
  std::this_thread::sleep_for(milliseconds(20));
  c.server->Interrupt();
  waiter.join();
  EXPECT_EQ(result, kSocketInterrupted);
  EXPECT_LT(Clock::now() - start, milliseconds(5000));

  EXPECT_EQ(c.server->WaitReadable(10000), kSocketInterrupted);
  std::unique_ptr<CIOSocket> accepted;
  c.listener->Interrupt();
  EXPECT_EQ(c.listener->Accept(&accepted, 1000), kSocketInterrupted);

  c.server->ClearInterrupt();
  EXPECT_EQ(c.server->WaitReadable(0), kSocketWouldBlock);
  ASSERT_EQ(c.client->Send("x", 1), kSocketOk);
  EXPECT_EQ(c.server->WaitReadable(10000), kSocketOk);
}

TEST(SocketWait, InterruptEndsASendThatWaitsForRoom) {
  Connection c = Connect();                       // the server never reads
  const std::vector<uint8_t> block(32 << 20, 1);  // more than the buffers hold
  int result = -100;
  std::thread sender([&] { result = c.client->SendBytes(block); });
  std::this_thread::sleep_for(milliseconds(200));
  c.client->Interrupt();
  sender.join();
  EXPECT_EQ(result, kSocketInterrupted);
}

// A peer that reads nothing: with a stall limit the send gives up on its
// own, and a slow reader that keeps taking bytes is no stall.
TEST(SocketSend, StallLimitEndsASendNobodyReads) {
  Connection c = Connect();
  ASSERT_EQ(c.client->SetKeepAlive(10, 5, 3, 2000), kSocketOk);
  c.client->SetStallLimit(300);
  const std::vector<uint8_t> block(32 << 20, 1);
  EXPECT_EQ(c.client->SendBytes(block), kSocketStalled);

  Connection slow = Connect();
  slow.client->SetStallLimit(30000);
  const std::vector<uint8_t> sent = Pattern(16 << 20);
  int result = -100;
  std::thread sender([&] { result = slow.client->SendBytes(sent); });
  EXPECT_EQ(ReceiveAll(*slow.server, sent.size(), 4096), sent);
  sender.join();
  EXPECT_EQ(result, kSocketOk);
  // Without a socket there is nothing to keep alive.
  EXPECT_EQ(CreateSocket()->SetKeepAlive(10, 5, 3, 0), kSocketNotConnected);
}

}  // namespace
}  // namespace tw
