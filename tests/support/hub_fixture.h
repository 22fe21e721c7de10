// The client's message hub against a loopback peer, as the transport tests
// drive it: requests from the client session to the server, a channel key
// installed through the hub, and synchronous round trips with a limit.
//
// Threads: RoundTrip may be called from any thread while the hub runs; the
// rest belongs to the test's main thread.
#ifndef TW_TESTS_SUPPORT_HUB_FIXTURE_H_
#define TW_TESTS_SUPPORT_HUB_FIXTURE_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "messaging/field_ids.h"
#include "messaging/message.h"
#include "messaging/recipient_registry.h"
#include "messaging/request_sender.h"
#include "messaging/synchronous_message.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/test_env.h"
#include "transport/message_hub.h"

namespace tw::test {

// Long enough never to be what ends a wait: every test must end by the
// behaviour it checks, long before.
constexpr int kWaitSeconds = 60;
// A channel key of 64 hex digits.
constexpr char kKey[] = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";

// A request from the client session to the server.
inline MessagePtr Request(const std::string& command) {
  MessagePtr request = NewMessage();
  request->SetString(COMMAND, command);
  request->SetInt(TARGETRECIPIENT, kRecipientServer);
  request->SetInt(SOURCERECIPIENT, kRecipientClientSession);
  return request;
}

class HubFixture : public ::testing::Test {
 protected:
  void TearDown() override { ReleaseMessageHub(); }

  void StartHub(LoopbackPeer* peer) {
    SetServerEndpoint("127.0.0.1", peer->port());
    hub_ = GetMessageHub();
    sender_ = std::make_unique<RequestSender>(hub_);
  }

  // Sends "SSK" through the hub, as the session does after logon.
  void InstallKey(uint32_t selector = 1, bool compress = true) {
    MessagePtr ssk = Request("SSK");
    ssk->SetString(ParameterId(1), kKey);
    ssk->SetInt(ParameterId(2), static_cast<int>(selector));
    ssk->SetInt(ParameterId(3), compress ? 1 : 0);
    ASSERT_TRUE(hub_->Send(ssk.get()));
  }

  SynchronousMessagePtr RoundTrip(MessagePtr request, int seconds = kWaitSeconds) {
    SynchronousMessagePtr reply;
    EXPECT_TRUE(sender_->SendAndWait(request.get(), &reply, seconds));
    return reply;
  }

  TestEnv env_;
  MessageHub* hub_ = nullptr;
  std::unique_ptr<RequestSender> sender_;
};

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_HUB_FIXTURE_H_
