// The client's connection against a failing or hostile server (a loopback
// peer told to misbehave): control messages from the wire, clear frames
// after the key, a message cut between its frames, a frame sealed before
// the key, a silent server, a reply that announces its file and stalls,
// replies nobody takes, and the reconnection question with its re-logon.
// Nothing here may hang, touch a file the client did not create, or leave
// a scratch file behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "messaging/request_sender.h"
#include "messaging/synchronous_message.h"
#include "platform/file.h"
#include "provider/export_support.h"
#include "tests/messaging/stream_support.h"
#include "tests/support/fragmenting_socket.h"
#include "tests/support/hub_fixture.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/test_env.h"
#include "transport/frame_format.h"
#include "transport/message_hub.h"
#include "ui/script.h"
#include "ui/user_interface.h"

namespace tw {
namespace {

using test::kKey;
using test::kWaitSeconds;
using test::LoopbackPeer;
using test::MakeReply;
using test::Request;

// The stall limit of these tests' connections.
constexpr int kStallMs = 1000;
void Echo(LoopbackPeer::Connection& connection, const CRLMSGmessage& request) {
  MessagePtr reply = MakeReply(request);
  std::string text;
  request.GetString(ParameterId(1), &text);
  reply->SetString(ParameterId(2), text);
  connection.Send(*reply);
}

// A reply carrying `path` as a received file in parameter 7.
MessagePtr ReplyWithFile(const CRLMSGmessage& request, const std::string& path) {
  MessagePtr reply = MakeReply(request);
  reply->SetRawField(ParameterId(7), FIELD_FILELIST, path.data(), path.size());
  return reply;
}

class HostilePeerTest : public test::HubFixture {
 protected:
  void SetUp() override { SetConnectionStallLimit(kStallMs); }
  void TearDown() override {
    HubFixture::TearDown();
    SetConnectionStallLimit(0);
    SetUserInterface(nullptr);
  }
  std::string Scratch() const { return env_.Path("tmp"); }
  void WaitForNoScratchFile() {
    // The release of a dropped message runs on a stage thread.
    for (int i = 0; i < kWaitSeconds * 100 && !test::ListFolder(Scratch()).empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(test::ListFolder(Scratch()).empty());
  }
};

// "MESSAGELOGGING_START" from the wire would make the client append to a
// file the server names: it is logged as a message and dropped.
TEST_F(HostilePeerTest, ReceivedControlMessagesAreDropped) {
  const std::string out_log = env_.Path("home/out.log");
  const std::string in_log = env_.Path("home/in.log");
  LoopbackPeer peer([&](LoopbackPeer::Connection& c, MessagePtr m) {
    for (const char* command : {"MESSAGELOGGING_START", "SSK", "RECONNECT", "SAPP"}) {
      MessagePtr control = NewMessage();
      control->SetString(COMMAND, command);
      control->SetInt(TARGETRECIPIENT, kRecipientServer);
      control->SetString(ParameterId(1), out_log);
      control->SetString(ParameterId(2), in_log);
      control->SetInt(ParameterId(3), 1);
      c.Send(*control);
    }
    Echo(c, *m);
  });
  StartHub(&peer);
  for (int i = 0; i < 2; ++i) {
    SynchronousMessagePtr reply = RoundTrip(Request("PING"));
    ASSERT_TRUE(reply->HasReply());
  }
  EXPECT_FALSE(std::filesystem::exists(out_log));
  EXPECT_FALSE(std::filesystem::exists(in_log));
  // No "RECONNECT" and no key were obeyed: the same clear connection.
  EXPECT_EQ(peer.connections(), 1);
  EXPECT_EQ(hub_->connection()->selector(), 0u);
}

// Once "SSK" installed the key, a frame in clear text is not the keyed
// peer's: the connection is given up and the waiter fails at once.
TEST_F(HostilePeerTest, ClearFrameAfterTheKeyLosesTheConnection) {
  ChannelCipher cipher;
  cipher.key = kKey;
  cipher.selector = 1;
  cipher.compress = true;
  LoopbackPeer peer([&](LoopbackPeer::Connection& c, MessagePtr m) {
    if (m->GetCommand() == "CLEAR") {
      c.SendClear(*MakeReply(*m));
    } else {
      Echo(c, *m);
    }
  });
  peer.SetCipher(cipher);
  StartHub(&peer);
  InstallKey();
  SynchronousMessagePtr sealed = RoundTrip(Request("PING"));
  ASSERT_TRUE(sealed->HasReply());
  SynchronousMessagePtr clear = RoundTrip(Request("CLEAR"));
  EXPECT_FALSE(clear->HasReply());
  EXPECT_EQ(clear->GetErrorCode(), kReplyConnectionLost);
  EXPECT_FALSE(hub_->IsConnected());
}

// "SSK" is the first message of a connection, so it often passes the
// outgoing stage before the reading thread has looked at the new socket at
// all: the key must survive that thread's late start on its socket.
TEST_F(HostilePeerTest, KeyInstalledBeforeTheReaderStartsIsKept) {
  ChannelCipher cipher;
  cipher.key = kKey;
  cipher.selector = 1;
  cipher.compress = true;
  LoopbackPeer peer([&](LoopbackPeer::Connection& c, MessagePtr m) { Echo(c, *m); });
  peer.SetCipher(cipher);
  for (int round = 0; round < 20; ++round) {
    StartHub(&peer);
    InstallKey();
    SynchronousMessagePtr sealed = RoundTrip(Request("PING"), 10);
    ASSERT_TRUE(sealed && sealed->HasReply()) << "round " << round;
    sender_.reset();
    ReleaseMessageHub();
  }
}

// The same rule on the other end: a channel that seals what it sends closes
// on a clear frame, after handing over what came before it. Under selector
// 0 clear frames are the rule (the cipher tests of the hub cover that).
// The receiving end of a loopback connection whose sending end is `*client`.
std::unique_ptr<MessageChannel> AcceptedChannel(std::unique_ptr<CIOSocket>* client) {
  std::unique_ptr<CIOSocket> listener = CreateSocket();
  NetAddress address;
  std::unique_ptr<CIOSocket> accepted;
  *client = CreateSocket();
  if (listener->Listen(4, 0, kSocketStream) != kSocketOk ||
      listener->LocalAddress(&address) != kSocketOk ||
      (*client)->Connect(CreateAddress(127, 0, 0, 1, address.Port()), kSocketStream) != kSocketOk ||
      listener->Accept(&accepted, 1000) != kSocketOk) {
    return nullptr;
  }
  return std::make_unique<MessageChannel>(std::move(accepted));
}

TEST_F(HostilePeerTest, ChannelWithAKeyRefusesAClearFrame) {
  std::unique_ptr<CIOSocket> client;
  std::unique_ptr<MessageChannel> channel = AcceptedChannel(&client);
  ASSERT_TRUE(channel);
  MessageChannel& server = *channel;
  ChannelCipher cipher;
  cipher.key = kKey;
  cipher.selector = 1;
  server.SetReceiveKey(kKey);
  server.SetSendCipher(cipher);
  const std::string bytes = test::FramesOf(*Request("SEALED"), cipher) +
                            test::FramesOf(*Request("CLEAR"), ChannelCipher());
  ASSERT_EQ(client->Send(bytes.data(), bytes.size()), kSocketOk);
  MessagePtr message;
  ASSERT_EQ(server.Receive(&message, kWaitSeconds * 1000), kChannelMessage);
  EXPECT_EQ(message->GetCommand(), "SEALED");
  EXPECT_EQ(server.Receive(&message, kWaitSeconds * 1000), kChannelClosed);
}

// A compressed message small on the wire but large once read, arriving in
// one read: it is complete before any incomplete bytes could be counted, so
// the most the read made the channel hold is what the budget judges. The
// message itself is not handed out.
TEST_F(HostilePeerTest, CompressedMessageInOneReadIsHeldToTheMemoryBudget) {
  std::unique_ptr<CIOSocket> client;
  std::unique_ptr<MessageChannel> server = AcceptedChannel(&client);
  ASSERT_TRUE(server);
  std::vector<size_t> checked;
  server->SetBufferCheck([&checked](size_t buffered) {
    checked.push_back(buffered);
    return buffered <= (size_t{1} << 20);
  });
  ChannelCipher cipher;
  cipher.key = kKey;
  cipher.selector = 1;
  cipher.compress = true;
  server->SetReceiveKey(kKey);
  MessagePtr bomb = Request("GETNAMELIST");
  bomb->SetString(ParameterId(1), std::string(size_t{4} << 20, 'x'));
  const std::string bytes = test::FramesOf(*bomb, cipher);
  ASSERT_LT(bytes.size(), size_t{64} << 10);
  ASSERT_EQ(client->Send(bytes.data(), bytes.size()), kSocketOk);
  MessagePtr message;
  EXPECT_EQ(server->Receive(&message, kWaitSeconds * 1000), kChannelRefused);
  EXPECT_FALSE(message);
  ASSERT_FALSE(checked.empty());
  EXPECT_GT(*std::max_element(checked.begin(), checked.end()), size_t{4} << 20);
}

// A message cut off between its frames, then a good reply: the reply is
// read at once, not when the next bytes come (none would).
TEST_F(HostilePeerTest, GoodReplyAfterAMessageCutBetweenItsFrames) {
  LoopbackPeer peer([&](LoopbackPeer::Connection& c, MessagePtr m) {
    MessagePtr big = NewMessage();
    big->SetString(COMMAND, "BIG");
    big->SetString(ParameterId(1), std::string(3 * kFramePieceBytes, 'x'));
    c.SendFirstFrameOnly(*big);
    Echo(c, *m);
  });
  StartHub(&peer);
  MessagePtr request = Request("PING");
  request->SetString(ParameterId(1), "after the cut");
  SynchronousMessagePtr reply = RoundTrip(request);
  ASSERT_TRUE(reply->HasReply());
  std::string text;
  reply->GetString(ParameterId(2), &text);
  EXPECT_EQ(text, "after the cut");
}

// A sealed frame before any key is dropped ("Symmetric key not set"); the
// clear reply right behind it is still read from the same bytes.
TEST_F(HostilePeerTest, GoodReplyBehindAFrameSealedBeforeTheKey) {
  ChannelCipher cipher;
  cipher.key = kKey;
  cipher.selector = 1;
  LoopbackPeer peer([&](LoopbackPeer::Connection& c, MessagePtr m) {
    MessagePtr reply = MakeReply(*m);
    reply->SetString(ParameterId(2), "clear");
    c.SendRaw(test::FramesOf(*Request("SEALED"), cipher) + test::FramesOf(*reply, ChannelCipher()));
  });
  StartHub(&peer);
  SynchronousMessagePtr reply = RoundTrip(Request("PING"));
  ASSERT_TRUE(reply->HasReply());
  EXPECT_EQ(reply->GetErrorCode(), 0);
}

// A server that takes the request and says nothing is given up at the
// stall limit, not at the request's time-out; the next connection works.
TEST_F(HostilePeerTest, SilentServerIsGivenUpAtTheStallLimit) {
  LoopbackPeer peer([&](LoopbackPeer::Connection& c, MessagePtr m) {
    if (m->GetCommand() != "HANG") Echo(c, *m);
  });
  StartHub(&peer);
  SynchronousMessagePtr hung = RoundTrip(Request("HANG"));
  EXPECT_FALSE(hung->HasReply());
  EXPECT_EQ(hung->GetErrorCode(), kReplyConnectionLost);
  EXPECT_FALSE(hub_->IsConnected());

  hub_->Connect();
  SynchronousMessagePtr again = RoundTrip(Request("PING"));
  EXPECT_TRUE(again->HasReply());
  EXPECT_EQ(peer.connections(), 2);
}

// A request that other traffic outlives: the server sends something that
// answers nobody (though it repeats the request's identifier) and then
// stays silent. The request still counts as open,
// so the connection is given up at the stall limit; and an export that
// failed on it tells the host the connection failed.
TEST_F(HostilePeerTest, RequestOutlivedByOtherTrafficIsGivenUp) {
  LoopbackPeer peer([&](LoopbackPeer::Connection& c, MessagePtr m) {
    if (m->GetCommand() != "HANG") return Echo(c, *m);
    MessagePtr notice = MakeReply(*m);
    notice->RemoveField(SYNCHRONOUSREQUEST);
    c.Send(*notice);
  });
  StartHub(&peer);
  TakeConnectionFailure();
  SynchronousMessagePtr hung;
  const SCCRTN result = Guarded("test", [&]() -> SCCRTN {
    hung = RoundTrip(Request("HANG"));
    return SCC_E_NONSPECIFICERROR;
  });
  EXPECT_EQ(hung->GetErrorCode(), kReplyConnectionLost);
  EXPECT_EQ(result, SCC_E_CONNECTIONFAILURE);

  // A refusal on a working connection stays what the export said.
  hub_->Connect();
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, Guarded("test", [&]() -> SCCRTN {
              EXPECT_TRUE(RoundTrip(Request("PING"))->HasReply());
              return SCC_E_NONSPECIFICERROR;
            }));
}

// A reply that trickles in, a byte every 50 ms, is far below the least
// rate a working connection keeps up: given up within about a stall limit,
// however long the reply would take.
TEST_F(HostilePeerTest, TricklingReplyIsGivenUp) {
  std::atomic<bool> done{false};
  LoopbackPeer peer([&](LoopbackPeer::Connection& c, MessagePtr m) {
    MessagePtr reply = MakeReply(*m);
    reply->SetString(ParameterId(2), std::string(8192, 'r'));
    const std::string bytes = test::FramesOf(*reply, ChannelCipher());
    for (char byte : bytes) {
      if (done.load() || c.channel()->socket()->Send(&byte, 1) != kSocketOk) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  StartHub(&peer);
  SynchronousMessagePtr slow = RoundTrip(Request("SLOW"));
  done = true;
  EXPECT_FALSE(slow->HasReply());
  EXPECT_EQ(slow->GetErrorCode(), kReplyConnectionLost);
  EXPECT_FALSE(hub_->IsConnected());
}

// A reply that trickles in fast enough for the stall limit (five times the
// least rate) but would take half a minute: the request is given up at its
// deadline, and so is the connection it was still arriving on.
TEST_F(HostilePeerTest, TricklingReplyFastEnoughForTheStallLimitEndsAtTheDeadline) {
  std::atomic<bool> done{false};
  LoopbackPeer peer([&](LoopbackPeer::Connection& c, MessagePtr m) {
    MessagePtr reply = MakeReply(*m);
    reply->SetString(ParameterId(2), std::string(150000, 'r'));
    const std::string bytes = test::FramesOf(*reply, ChannelCipher());
    for (size_t at = 0; at < bytes.size() && !done.load(); at += 256) {
      const size_t n = std::min<size_t>(256, bytes.size() - at);
      if (c.channel()->socket()->Send(bytes.data() + at, n) != kSocketOk) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  SetRequestDeadline(2000);
  StartHub(&peer);
  TakeConnectionFailure();
  const auto start = std::chrono::steady_clock::now();
  SynchronousMessagePtr slow = RoundTrip(Request("SLOW"));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  done = true;
  SetRequestDeadline(0);
  EXPECT_FALSE(slow->HasReply());
  EXPECT_EQ(slow->GetErrorCode(), kReplyTimedOut);
  EXPECT_TRUE(TakeConnectionFailure());
  EXPECT_LT(elapsed, std::chrono::seconds(20));
  EXPECT_FALSE(hub_->IsConnected());
}

// A server that sends part of a reply at once - more than the least rate
// asks for a whole window - and then falls silent is given up one stall
// limit after its last byte, as a server silent from the start is, not
// when a second window has passed.
TEST_F(HostilePeerTest, ServerSilentAfterABurstIsGivenUpOneLimitAfterItsLastByte) {
  constexpr int kLimitMs = 2000;
  SetConnectionStallLimit(kLimitMs);
  LoopbackPeer peer([&](LoopbackPeer::Connection& c, MessagePtr m) {
    if (m->GetCommand() == "SILENT") return;
    MessagePtr reply = MakeReply(*m);
    reply->SetString(ParameterId(2), std::string(64000, 'b'));
    c.SendThenStall(*reply, 16000);  // several times the least for one window
  });
  StartHub(&peer);
  auto time_to_give_up = [&](const char* command) {
    if (!hub_->IsConnected()) hub_->Connect();
    const auto start = std::chrono::steady_clock::now();
    SynchronousMessagePtr reply = RoundTrip(Request(command));
    EXPECT_FALSE(reply->HasReply()) << command;
    EXPECT_EQ(reply->GetErrorCode(), kReplyConnectionLost) << command;
    return std::chrono::steady_clock::now() - start;
  };
  const auto silent = time_to_give_up("SILENT");
  const auto burst = time_to_give_up("BURST");
  // Both take about one limit; waiting out a second window would add a
  // whole one.
  EXPECT_LT(burst, silent + std::chrono::milliseconds(kLimitMs / 2));
}

// A reply announcing a file larger than the disk holds (a sparse file
// twice the free space, sent at full speed) is refused at its header:
// nothing is written, and the connection is given up at once.
TEST_F(HostilePeerTest, ReceivedFileLargerThanTheDiskIsRefused) {
  uint64_t available = 0;
  uint64_t disk = 0;
  ASSERT_TRUE(DiskSpace(Scratch(), &available, &disk));
  const std::string served = env_.Path("home/huge.bin");
  test::WriteFile(served, "");
  ASSERT_EQ(0, ::truncate(served.c_str(), static_cast<off_t>(std::max(disk, available) * 2)));
  LoopbackPeer peer(
      [&](LoopbackPeer::Connection& c, MessagePtr m) { c.Send(*ReplyWithFile(*m, served)); });
  StartHub(&peer);
  {
    SynchronousMessagePtr refused = RoundTrip(Request("GET"));
    EXPECT_NE(refused->GetErrorCode(), 0);
    EXPECT_FALSE(hub_->IsConnected());
  }
  WaitForNoScratchFile();
}

// A server host that vanishes without a word leaves a half-open connection
// that no read would ever end: every connection the hub makes probes its
// peer and bounds unacknowledged data by the stall limit.
TEST_F(HostilePeerTest, EveryConnectionProbesItsPeer) {
  std::atomic<int> probed{0};
  std::atomic<int> user_timeout{-1};
  SetHubSocketFactory([&] {
    test::FragmentLimits limits;
    limits.max_send = limits.max_receive = size_t{1} << 30;
    limits.on_keep_alive = [&](int ms) {
      ++probed;
      user_timeout = ms;
    };
    return std::make_unique<test::FragmentingSocket>(CreateSocket(), limits);
  });
  LoopbackPeer peer([&](LoopbackPeer::Connection& c, MessagePtr m) { Echo(c, *m); });
  // Two hubs one after the other, each with its own connection.
  for (int round = 0; round < 2; ++round) {
    StartHub(&peer);
    EXPECT_TRUE(RoundTrip(Request("PING"))->HasReply());
    ReleaseMessageHub();
  }
  SetHubSocketFactory(nullptr);
  EXPECT_EQ(probed.load(), 2);
  EXPECT_EQ(user_timeout.load(), kStallMs);
}

// A reply that announces its file and goes silent mid-transfer: its waiter
// gets the cut-off reply within the stall limit, and the half-received
// file does not stay.
TEST_F(HostilePeerTest, ReplyAnnouncingAFileThenSilentIsCutOff) {
  const std::string served = env_.Path("home/served.bin");
  test::WriteFile(served, std::string(1 << 20, 'f'));
  LoopbackPeer peer([&](LoopbackPeer::Connection& c, MessagePtr m) {
    c.SendThenStall(*ReplyWithFile(*m, served), 200000);
  });
  StartHub(&peer);
  {
    SynchronousMessagePtr cut = RoundTrip(Request("GET"));
    ASSERT_TRUE(cut->HasReply());
    EXPECT_EQ(cut->GetErrorCode(), kReplyCutOff);
    EXPECT_FALSE(hub_->IsConnected());
  }
  WaitForNoScratchFile();
  EXPECT_EQ(test::ReadFile(served).size(), size_t{1} << 20);
}

// Replies nobody takes - one that came after its requester gave up, one
// that answers nobody - have their files removed when they are dropped.
TEST_F(HostilePeerTest, LateAndUnmatchedRepliesLeaveNoScratchFile) {
  const std::string served = env_.Path("home/served.txt");
  test::WriteFile(served, "content");
  MessagePtr slow;
  LoopbackPeer peer([&](LoopbackPeer::Connection& c, MessagePtr m) {
    if (m->GetCommand() == "SLOW") {
      slow = m;  // answered only after the next request
      return;
    }
    MessagePtr stray = ReplyWithFile(*m, served);
    stray->RemoveField(SYNCHRONOUSREQUEST);
    c.Send(*stray);
    if (slow) c.Send(*ReplyWithFile(*slow, served));
    Echo(c, *m);
  });
  // The default limit: the request given up on must time out on its own.
  SetConnectionStallLimit(0);
  StartHub(&peer);
  {
    SynchronousMessagePtr gave_up = RoundTrip(Request("SLOW"), 1);
    EXPECT_FALSE(gave_up->HasReply());
    EXPECT_EQ(gave_up->GetErrorCode(), kReplyTimedOut);
    SynchronousMessagePtr next = RoundTrip(Request("NEXT"));
    ASSERT_TRUE(next->HasReply());
  }
  WaitForNoScratchFile();
  EXPECT_EQ(test::ReadFile(served), "content");
}

// The hosting application's side of a reconnection: the question is asked
// and the re-logon sent while the stage threads are free, so the re-logon's
// own request gets through, and the request that found the connection down
// goes out on the new one.
class TestApplication : public ConnectionApplication {
 public:
  explicit TestApplication(RequestSender* sender) : sender_(sender) {}
  std::string GetString(const std::string&, const std::string& id) override { return id; }
  bool LogOnAgain(int, int) override {
    MessagePtr request = Request("RELOGON");
    SynchronousMessagePtr reply;
    const bool ok = sender_->SendAndWait(request.get(), &reply, kWaitSeconds) && reply->HasReply();
    logged_on_ = ok;
    return ok;
  }
  bool SessionHasProblem() override { return false; }
  void Reconnected() override { reconnected_ = true; }
  void Shutdown() override {}

  std::atomic<bool> logged_on_{false};
  std::atomic<bool> reconnected_{false};

 private:
  RequestSender* const sender_;
};

TEST_F(HostilePeerTest, ReconnectionQuestionAndReLogonRunOffTheStageThreads) {
  std::mutex mutex;
  std::vector<std::string> seen;
  LoopbackPeer peer([&](LoopbackPeer::Connection& c, MessagePtr m) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      seen.push_back(m->GetCommand());
    }
    Echo(c, *m);
  });
  auto script = std::make_shared<ScriptedUserInterface>();
  script->QueueMessageBox("IDS_NOSERVER", kIdYes);
  SetUserInterface(script);
  StartHub(&peer);
  TestApplication application(sender_.get());
  const uint32_t handle = RegisterConnectionApplication(&application);
  MessagePtr sapp = Request("SAPP");
  sapp->SetInt(ParameterId(1), static_cast<int>(handle));
  ASSERT_TRUE(hub_->Send(sapp.get()));

  hub_->Disconnect();
  // The reconnection fails every request that waited, this one too; it is
  // sent again once the connection is back and logged on.
  SynchronousMessagePtr reply = RoundTrip(Request("PING"));
  EXPECT_FALSE(reply->HasReply());
  EXPECT_EQ(reply->GetErrorCode(), kReplyConnectionLost);
  auto seen_count = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return seen.size();
  };
  for (int i = 0; i < kWaitSeconds * 100 && seen_count() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(application.logged_on_.load());
  EXPECT_EQ(script->Remaining(), 0u);
  EXPECT_EQ(peer.connections(), 2);
  EXPECT_TRUE(hub_->IsConnected());
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(seen, (std::vector<std::string>{"RELOGON", "PING"}));
  }
  ReleaseMessageHub();
  UnregisterConnectionApplication(handle);
}

}  // namespace
}  // namespace tw
