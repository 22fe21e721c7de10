// The Windows form of the sockets layer over loopback, and the portable
// layers above the platform (crypto, stamps, messages) as the Windows build
// links them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "crypto/crypto.h"
#include "settings/stamp.h"
#include "transport/socket.h"

namespace tw {
namespace {

TEST(Win32Socket, LoopbackRoundTripAndPeerClose) {
  auto listener = CreateSocket();
  ASSERT_EQ(kSocketOk, listener->Listen(4, 0, kSocketStream));
  NetAddress bound;
  ASSERT_EQ(kSocketOk, listener->LocalAddress(&bound));
  EXPECT_EQ("127.0.0.1", bound.AddressText());
  ASSERT_NE(0, bound.Port());

  auto client = CreateSocket();
  ASSERT_EQ(kSocketOk, client->Connect(bound, kSocketStream));
  std::unique_ptr<CIOSocket> served;
  ASSERT_EQ(kSocketOk, listener->Accept(&served, 5000));
  ASSERT_TRUE(served->IsConnected());

  ASSERT_EQ(kSocketOk, client->SendWord(0x01020304));
  ASSERT_EQ(kSocketOk, served->WaitReadable(5000));
  unsigned char word[4];
  size_t got = 0;
  ASSERT_EQ(kSocketOk, served->Receive(word, sizeof word, &got));
  ASSERT_EQ(4u, got);
  EXPECT_EQ(1, word[0]);
  EXPECT_EQ(4, word[3]);
  EXPECT_EQ(kSocketWouldBlock, served->Receive(word, sizeof word, &got));

  // A large send waits for room while the peer drains.
  const std::vector<uint8_t> big(8 << 20, 0x5A);
  std::atomic<size_t> drained{0};
  std::thread reader([&] {
    std::vector<uint8_t> buffer(1 << 16);
    while (drained < big.size() && served->WaitReadable(10000) == kSocketOk) {
      size_t n = 0;
      if (served->Receive(buffer.data(), buffer.size(), &n) == kSocketOk) drained += n;
    }
  });
  EXPECT_EQ(kSocketOk, client->SendBytes(big));
  reader.join();
  EXPECT_EQ(big.size(), drained.load());

  client->Close();
  ASSERT_EQ(kSocketOk, served->WaitReadable(5000));
  EXPECT_EQ(kSocketNotConnected, served->Receive(word, sizeof word, &got));
  EXPECT_FALSE(served->IsConnected());
}

TEST(Win32Socket, InterruptEndsAWaitAndRefusedConnectFails) {
  auto listener = CreateSocket();
  ASSERT_EQ(kSocketOk, listener->Listen(4, 0, kSocketStream));
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    listener->Interrupt();
  });
  EXPECT_EQ(kSocketInterrupted, listener->WaitReadable(-1));
  stopper.join();
  EXPECT_EQ(kSocketInterrupted, listener->WaitReadable(0)) << "until cleared";
  listener->ClearInterrupt();
  EXPECT_EQ(kSocketWouldBlock, listener->WaitReadable(10));

  NetAddress bound;
  ASSERT_EQ(kSocketOk, listener->LocalAddress(&bound));
  listener->Close();
  EXPECT_EQ(kSocketError, CreateSocket()->Connect(bound, kSocketStream));
  EXPECT_FALSE(CreateAddress("host.invalid", 1).IsValid());
  EXPECT_EQ("127.0.0.1:4900", CreateAddress("127.0.0.1", 4900).EndpointText());
}

// What a connection owes the message hub on Windows as well: a peer that
// stops reading ends a send within the stall limit, a shutdown from another
// thread is seen by the peer at once, and the server's log can name the
// peer.
TEST(Win32Socket, StallLimitShutdownAndPeerAddress) {
  auto listener = CreateSocket();
  ASSERT_EQ(kSocketOk, listener->Listen(4, 0, kSocketStream));
  NetAddress bound;
  ASSERT_EQ(kSocketOk, listener->LocalAddress(&bound));
  auto client = CreateSocket();
  ASSERT_EQ(kSocketOk, client->Connect(bound, kSocketStream));
  std::unique_ptr<CIOSocket> served;
  ASSERT_EQ(kSocketOk, listener->Accept(&served, 5000));

  NetAddress peer;
  ASSERT_EQ(kSocketOk, served->PeerAddress(&peer));
  EXPECT_EQ("127.0.0.1", peer.AddressText());
  NetAddress local;
  ASSERT_EQ(kSocketOk, client->LocalAddress(&local));
  EXPECT_EQ(local.Port(), peer.Port());
  EXPECT_EQ(kSocketOk, client->SetKeepAlive(10, 5, 3, 2000));

  client->SetStallLimit(300);
  const std::vector<uint8_t> block(64 << 20, 1);  // more than the buffers hold
  EXPECT_EQ(kSocketStalled, client->SendBytes(block));

  EXPECT_EQ(kSocketOk, served->Shutdown());
  EXPECT_FALSE(served->IsConnected());
  size_t got = 0;
  unsigned char byte;
  EXPECT_EQ(kSocketNotConnected, served->Receive(&byte, 1, &got));
  EXPECT_EQ(kSocketNotConnected, CreateSocket()->Shutdown());
  EXPECT_EQ(kSocketNotConnected, CreateSocket()->SetKeepAlive(10, 5, 3, 0));
}

TEST(Win32Layers, CryptoAndStampsWork) {
  std::string hex;
  CRLDATcrypto::DigestToHex(hex, kDigestSha1, "abc", 3);
  EXPECT_EQ("A9993E364706816ABA3E25717850C26C9CD0D89D", hex);
  unsigned char random[16] = {};
  EXPECT_EQ(0, CRLDATcrypto::RandomBytes(random, sizeof random));
  EXPECT_EQ("2005:03:07:14:05:09:120",
            FormatStamp(DateTimeStamp::FromMilliseconds(1110204309120), true));
  EXPECT_EQ("1969:12:31:23:59:59:999", FormatStamp(DateTimeStamp::FromMilliseconds(-1), true));
  const std::optional<DateTimeStamp> iso = ParseIsoStamp("2005-03-07T16:05:09.1234567+02:00");
  ASSERT_TRUE(iso.has_value());
  EXPECT_EQ("2005:03:07:14:05:09:000", FormatStamp(*iso, true));
  // Local time through the C runtime: a formatted stamp parses back to the
  // same instant.
  const DateTimeStamp instant = DateTimeStamp::FromMilliseconds(1110204309120);
  DateTimeStamp back;
  ASSERT_TRUE(ParseStamp(FormatStamp(instant, false), back));
  EXPECT_EQ(instant.Milliseconds(), back.Milliseconds());
}

}  // namespace
}  // namespace tw
