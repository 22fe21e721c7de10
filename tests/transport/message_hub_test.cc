// The message hub and the server connection against a loopback peer:
// synchronous requests end to end, channel keys, files both ways, replies
// out of order, a peer that dies mid-transfer, reconnection, a fragmenting
// socket, concurrency, and the message log.
#include "transport/message_hub.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "messaging/message_writer.h"
#include "messaging/request_sender.h"
#include "messaging/stream_format.h"
#include "messaging/synchronous_message.h"
#include "platform/file_attributes.h"
#include "platform/mailslot.h"
#include "tests/messaging/stream_support.h"
#include "tests/support/faulty_platform.h"
#include "tests/support/fragmenting_socket.h"
#include "tests/support/hub_fixture.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

using test::kKey;
using test::kWaitSeconds;
using test::LoopbackPeer;
using test::MakeReply;
using test::Request;

// Echoes parameter 1 back as parameter 2 and the files of parameter 3 back
// as parameter 6; "HANG" gets no answer.
void EchoHandler(LoopbackPeer::Connection& connection, MessagePtr request) {
  if (request->GetCommand() == "HANG") return;
  MessagePtr reply = MakeReply(*request);
  std::string text;
  request->GetString(ParameterId(1), &text);
  reply->SetString(ParameterId(2), text);
  uint32_t type = 0;
  std::string files;
  if (request->GetRawField(ParameterId(3), &type, &files) == kFieldOk) {
    reply->SetRawField(ParameterId(6), FIELD_FILELIST, files.data(), files.size());
  }
  connection.Send(*reply);
  std::vector<std::string> paths;
  request->GetStringList(ParameterId(3), &paths, "?");
  for (const std::string& p : paths) ::unlink(p.c_str());
}

std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

class HubTest : public test::HubFixture {
 protected:
  void TearDown() override {
    HubFixture::TearDown();
    SetHubSocketFactory(nullptr);
    faults_.reset();
  }

  // A fault-injecting system factory, installed until the hub has stopped;
  // make it before the peer and the hub.
  test::FaultInjectingFactory& Faults() {
    if (!faults_) faults_ = std::make_unique<test::FaultInjectingFactory>();
    return *faults_;
  }

  std::unique_ptr<test::FaultInjectingFactory> faults_;
};

TEST_F(HubTest, HubIsCreatedOnceUnderRace) {
  LoopbackPeer peer(EchoHandler);
  SetServerEndpoint("127.0.0.1", peer.port());
  MessageHub* seen[2] = {nullptr, nullptr};
  std::thread a([&] { seen[0] = GetMessageHub(); });
  std::thread b([&] { seen[1] = GetMessageHub(); });
  a.join();
  b.join();
  EXPECT_EQ(seen[0], seen[1]);
  // The peer counts a connection once its thread has accepted it: a round
  // trip makes sure it has.
  hub_ = seen[0];
  sender_ = std::make_unique<RequestSender>(hub_);
  EXPECT_TRUE(RoundTrip(Request("PING"))->HasReply());
  EXPECT_EQ(peer.connections(), 1);
}

TEST_F(HubTest, ListenerTableKeepsPairsOnceAndReportsFailure) {
  struct Recorder : ProgressListener {
    std::vector<int64_t> values;
    void OnProgress(int64_t a, int64_t b, int64_t c, int64_t d) override {
      values.insert(values.end(), {a, b, c, d});
    }
  } recorder;
  LoopbackPeer peer(EchoHandler);
  StartHub(&peer);
  hub_->AddListener("id", &recorder);
  hub_->AddListener("id", &recorder);
  EXPECT_TRUE(hub_->HasListener("id"));
  hub_->NotifyListenersFailed("id");
  EXPECT_EQ(recorder.values, (std::vector<int64_t>{-1, -1, -1, -1}));
  hub_->RemoveListener("id", &recorder);
  EXPECT_FALSE(hub_->HasListener("id"));
}

// Files both ways under each channel setting: a large file, an empty one.
class HubCipherTest : public HubTest,
                      public ::testing::WithParamInterface<std::pair<uint32_t, bool>> {};

TEST_P(HubCipherTest, FilesTravelBothWaysUnchanged) {
  const auto [selector, compress] = GetParam();
  LoopbackPeer peer(EchoHandler);
  ChannelCipher cipher;
  cipher.key = kKey;
  cipher.selector = selector;
  cipher.compress = compress;
  peer.SetCipher(cipher);
  StartHub(&peer);
  InstallKey(selector, compress);

  const std::string big = Pattern(12 << 20, selector + (compress ? 7 : 3));
  test::WriteFile(env_.Path("big.bin"), big);
  test::WriteFile(env_.Path("empty.bin"), "");
  MessagePtr request = Request("UPLOAD");
  const std::string list = env_.Path("big.bin") + "?" + env_.Path("empty.bin");
  request->SetRawField(ParameterId(3), FIELD_FILELIST, list.data(), list.size());
  SynchronousMessagePtr reply = RoundTrip(request);
  ASSERT_TRUE(reply->HasReply());
  ASSERT_EQ(reply->GetErrorCode(), 0);
  std::vector<std::string> paths;
  reply->GetStringList(ParameterId(6), &paths, "?");
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_TRUE(test::ReadFile(paths[0]) == big);
  EXPECT_EQ(test::ReadFile(paths[1]), "");
  for (const std::string& p : paths) ::unlink(p.c_str());
}

// A monitor that made an upload's id-named mailslot hears the upload go:
// records of each file in order, each file's end, then the message's. One
// that stopped reading holds the upload up a second at most.
TEST_F(HubTest, AnUploadReportsItsProgressToTheMonitorOfItsIdentifier) {
  // Takes the files and answers without any: the monitor hears the upload
  // only.
  LoopbackPeer peer([](LoopbackPeer::Connection& connection, MessagePtr request) {
    connection.Send(*MakeReply(*request));
    std::vector<std::string> paths;
    request->GetStringList(ParameterId(3), &paths, "?");
    for (const std::string& p : paths) ::unlink(p.c_str());
  });
  StartHub(&peer);
  test::WriteFile(env_.Path("big.bin"), Pattern(300000, 4));
  test::WriteFile(env_.Path("small.bin"), "small");
  const std::string list = env_.Path("big.bin") + "?" + env_.Path("small.bin");
  using Heard = std::vector<std::pair<uint32_t, std::string>>;
  for (const bool stopped : {false, true}) {
    SCOPED_TRACE(stopped);
    MessagePtr request = Request("UPLOAD");
    request->SetRawField(ParameterId(3), FIELD_FILELIST, list.data(), list.size());
    const std::string slot = request->GetIdentifierObject().guid().ToHexName();
    std::unique_ptr<MailslotReader> monitor = NewMailslotReader();
    ASSERT_TRUE(monitor->Create(slot, 0, 0));
    if (stopped) {
      ASSERT_TRUE(test::FillMailslot(slot));
    }
    const auto start = std::chrono::steady_clock::now();
    SynchronousMessagePtr reply = RoundTrip(request);
    ASSERT_TRUE(reply->HasReply());
    if (stopped) {
      // A second at most is spent on the monitor, however slow the machine.
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
      continue;
    }
    // The reply may come before the sending thread wrote the last records:
    // they are awaited, a limited time.
    Heard heard;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((heard.empty() || heard.back().first != kProgressMessageFinished) &&
           std::chrono::steady_clock::now() < deadline) {
      const Heard more = test::TakeProgressRecords(monitor.get());
      heard.insert(heard.end(), more.begin(), more.end());
      if (more.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_GE(heard.size(), 4u);
    EXPECT_EQ(heard.front(),
              std::make_pair(uint32_t{kProgressFileInProgress}, std::string("big.bin")));
    EXPECT_EQ(Heard(heard.end() - 3, heard.end()), (Heard{{kProgressFileFinished, "big.bin"},
                                                          {kProgressFileFinished, "small.bin"},
                                                          {kProgressMessageFinished, ""}}));
  }
}

INSTANTIATE_TEST_SUITE_P(Selectors, HubCipherTest,
                         ::testing::Values(std::make_pair(0u, false), std::make_pair(0u, true),
                                           std::make_pair(1u, true), std::make_pair(9u, true)));

TEST_F(HubTest, RepliesOutOfOrderReachTheirWaiters) {
  std::mutex mutex;
  MessagePtr held;
  LoopbackPeer peer([&](LoopbackPeer::Connection& connection, MessagePtr request) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!held) {
      held = request;
      return;
    }
    for (const MessagePtr& m : {request, held}) {
      MessagePtr reply = MakeReply(*m);
      std::string text;
      m->GetString(ParameterId(1), &text);
      reply->SetString(ParameterId(2), text);
      connection.Send(*reply);
    }
  });
  StartHub(&peer);
  std::string answers[2];
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&, i] {
      MessagePtr request = Request("PING");
      request->SetString(ParameterId(1), "request " + std::to_string(i));
      SynchronousMessagePtr reply = RoundTrip(request);
      reply->GetString(ParameterId(2), &answers[i]);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(answers[0], "request 0");
  EXPECT_EQ(answers[1], "request 1");
}

TEST_F(HubTest, PeerDyingMidTransferFailsWaitersPromptlyAndReconnectRecovers) {
  LoopbackPeer peer([&](LoopbackPeer::Connection& connection, MessagePtr request) {
    if (request->GetCommand() == "FETCH") {
      // The reply's file is cut off after a few frames, then the peer goes.
      test::WriteFile(env_.Path("served.bin"), Pattern(4 << 20, 5));
      MessagePtr reply = MakeReply(*request);
      const std::string path = env_.Path("served.bin");
      reply->SetRawField(ParameterId(6), FIELD_FILELIST, path.data(), path.size());
      connection.SendCutOff(*reply, 400000);
      return;
    }
    EchoHandler(connection, request);
  });
  StartHub(&peer);

  // A second request waits for a reply that never comes.
  SynchronousMessagePtr hung;
  std::thread waiter([&] { hung = RoundTrip(Request("HANG")); });
  while (peer.connections() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  const auto start = std::chrono::steady_clock::now();
  SynchronousMessagePtr cut = RoundTrip(Request("FETCH"));
  waiter.join();
  // Far below the requests' time-out: nobody waited for it.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(kWaitSeconds));
  ASSERT_TRUE(cut->HasReply());
  EXPECT_EQ(cut->GetErrorCode(), kReplyCutOff);
  EXPECT_FALSE(hung->HasReply());
  EXPECT_EQ(hung->GetErrorCode(), kReplyConnectionLost);
  EXPECT_FALSE(hub_->IsConnected());

  CompletionEvent done;
  MessagePtr reconnect = Request("RECONNECT");
  reconnect->SetInt(ParameterId(1), static_cast<int>(done.handle()));
  ASSERT_TRUE(hub_->Send(reconnect.get()));
  ASSERT_TRUE(done.Wait(kWaitSeconds * 1000));
  EXPECT_TRUE(hub_->IsConnected());
  SynchronousMessagePtr again = RoundTrip(Request("PING"));
  EXPECT_TRUE(again->HasReply());
  EXPECT_EQ(peer.connections(), 2);
}

TEST_F(HubTest, RequestWhileDisconnectedFailsAtOnce) {
  LoopbackPeer peer(EchoHandler);
  StartHub(&peer);
  EXPECT_TRUE(hub_->IsConnected());
  hub_->Disconnect();
  EXPECT_FALSE(hub_->IsConnected());
  SynchronousMessagePtr reply = RoundTrip(Request("PING"));
  EXPECT_FALSE(reply->HasReply());
  EXPECT_EQ(reply->GetErrorCode(), kReplyConnectionLost);
  // Connecting again serves requests again.
  hub_->Connect();
  EXPECT_TRUE(hub_->IsConnected());
  EXPECT_TRUE(RoundTrip(Request("PING"))->HasReply());
}

TEST_F(HubTest, ReleaseDuringAStalledUploadReturnsAndFailsTheWaiter) {
  // A peer that accepts and never reads: the upload fills the socket's
  // buffers and the sending stage blocks in Send.
  std::unique_ptr<CIOSocket> listener = CreateSocket();
  ASSERT_EQ(listener->Listen(4, 0, kSocketStream), kSocketOk);
  NetAddress address;
  listener->LocalAddress(&address);
  SetServerEndpoint("127.0.0.1", address.Port());
  hub_ = GetMessageHub();
  sender_ = std::make_unique<RequestSender>(hub_);
  test::WriteFile(env_.Path("big.bin"), Pattern(32 << 20, 1));

  SynchronousMessagePtr reply;
  std::thread uploader([&] {
    MessagePtr request = Request("UPLOAD");
    const std::string path = env_.Path("big.bin");
    request->SetRawField(ParameterId(3), FIELD_FILELIST, path.data(), path.size());
    sender_->SendAndWait(request.get(), &reply, kWaitSeconds);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ReleaseMessageHub();
  uploader.join();
  EXPECT_FALSE(reply->HasReply());
  EXPECT_EQ(reply->GetErrorCode(), kReplyConnectionLost);
}

TEST_F(HubTest, FragmentedSocketLosesAndReordersNothing) {
  SetHubSocketFactory([] {
    test::FragmentLimits limits;
    limits.max_send = 7;
    limits.max_receive = 5;
    limits.seed = 11;
    return std::make_unique<test::FragmentingSocket>(CreateSocket(), limits);
  });
  LoopbackPeer peer(EchoHandler);
  StartHub(&peer);
  const std::string body = Pattern(300000, 9);
  test::WriteFile(env_.Path("f.bin"), body);
  for (int i = 0; i < 3; ++i) {
    MessagePtr request = Request("UPLOAD");
    request->SetString(ParameterId(1), std::to_string(i));
    const std::string path = env_.Path("f.bin");
    request->SetRawField(ParameterId(3), FIELD_FILELIST, path.data(), path.size());
    SynchronousMessagePtr reply = RoundTrip(request);
    ASSERT_TRUE(reply->HasReply());
    std::string text;
    reply->GetString(ParameterId(2), &text);
    EXPECT_EQ(text, std::to_string(i));
    std::vector<std::string> paths;
    reply->GetStringList(ParameterId(6), &paths, "?");
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_TRUE(test::ReadFile(paths[0]) == body);
    ::unlink(paths[0].c_str());
  }
}

TEST_F(HubTest, ManyThreadsSendConcurrently) {
  LoopbackPeer peer(EchoHandler);
  StartHub(&peer);
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        MessagePtr request = Request("PING");
        const std::string text = std::to_string(t) + ":" + std::to_string(i);
        request->SetString(ParameterId(1), text);
        SynchronousMessagePtr reply = RoundTrip(request);
        std::string answer;
        reply->GetString(ParameterId(2), &answer);
        if (reply->HasReply() && answer == text) ++good;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 160);
}

// A recipient that keeps what it is given.
class Collector : public Recipient {
 public:
  explicit Collector(int id) : id_(id) {}
  int Attach(RecipientRegistry* registry) override { return registry->Register(this, id_); }
  int OnMessage(CRLMSGmessage* message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(message->GetCommand());
    return 0;
  }
  std::vector<std::string> commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }

 private:
  const int id_;
  std::mutex mutex_;
  std::vector<std::string> commands_;
};

// Where each stage's work runs. A request from the test's thread (the
// host's) wakes "ODFmRecip", whose thread carries it through "ODFmDtMgr"
// onto the socket; a reply is carried from the thread that read it through
// "IDToDtMgr" and "IDToRcpt" to its waiter or recipient. Neither the host's
// thread nor the later stages' own threads take part.
class ThreadRecorder : public Recipient {
 public:
  int Attach(RecipientRegistry* registry) override {
    return registry->Register(this, kRecipientClientSession);
  }
  int OnMessage(CRLMSGmessage* message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.push_back(std::this_thread::get_id());
    commands_.push_back(message->GetCommand());
    return 0;
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_.size();
  }
  std::vector<std::thread::id> threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::thread::id> threads_;
  std::vector<std::string> commands_;
};

TEST_F(HubTest, AMessageCrossesEachDirectionOnOneThread) {
  // Shared with the sockets, which may outlive the test's body.
  struct SocketThreads {
    std::mutex mutex;
    std::vector<std::thread::id> senders;
    std::thread::id reader;
  };
  auto seen = std::make_shared<SocketThreads>();
  SetHubSocketFactory([seen] {
    test::FragmentLimits limits;
    limits.max_send = 1 << 20;
    limits.max_receive = 1 << 20;
    limits.on_send = [seen] {
      std::lock_guard<std::mutex> lock(seen->mutex);
      seen->senders.push_back(std::this_thread::get_id());
    };
    limits.on_receive = [seen] {
      std::lock_guard<std::mutex> lock(seen->mutex);
      seen->reader = std::this_thread::get_id();
    };
    return std::make_unique<test::FragmentingSocket>(CreateSocket(), limits);
  });
  LoopbackPeer peer(EchoHandler);
  StartHub(&peer);
  ThreadRecorder recipient;
  recipient.Attach(hub_->registry());

  // Replies to requests sent without a waiter go to the session's
  // recipient: on the thread that read them from the socket.
  constexpr size_t kCount = 20;
  for (size_t i = 0; i < kCount; ++i) {
    MessagePtr request = Request("PING");
    request->SetInt(PROXYFORRECIPIENT, kRecipientClientSession);
    ASSERT_TRUE(hub_->Send(request.get()));
    for (int wait = 0; wait < 6000 && recipient.count() <= i; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(recipient.count(), i + 1);
  }
  // And a waiter is woken from there too.
  SynchronousMessagePtr reply = RoundTrip(Request("PING"));
  ASSERT_TRUE(reply->HasReply());
  hub_->registry()->Unregister(kRecipientClientSession);

  std::lock_guard<std::mutex> lock(seen->mutex);
  for (std::thread::id thread : recipient.threads()) EXPECT_EQ(thread, seen->reader);
  ASSERT_FALSE(seen->senders.empty());
  for (std::thread::id thread : seen->senders) EXPECT_NE(thread, std::this_thread::get_id());
  EXPECT_EQ(hub_->GetOutgoingDataStage()->worked_on_own_thread(), 0u);
  EXPECT_EQ(hub_->GetIncomingDataStage()->worked_on_own_thread(), 0u);
  EXPECT_EQ(hub_->GetDeliveryStage()->worked_on_own_thread(), 0u);
  EXPECT_EQ(hub_->GetDeliveryStage()->worked_on_lane(), kCount + 1);
}

// A message from the host's thread to a local recipient turns from the
// outgoing stages to "IDToRcpt", whose own thread delivers it: never the
// host's thread, nor an outgoing stage's.
TEST_F(HubTest, ALocalMessageIsDeliveredOnTheDeliveryStagesThread) {
  LoopbackPeer peer(EchoHandler);
  StartHub(&peer);
  ThreadRecorder recipient;
  recipient.Attach(hub_->registry());
  MessagePtr local = NewMessage();
  local->SetString(COMMAND, "NOTICE");
  local->SetInt(TARGETRECIPIENT, kRecipientClientSession);
  ASSERT_TRUE(hub_->Send(local.get()));
  for (int wait = 0; wait < 6000 && recipient.count() == 0; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  hub_->registry()->Unregister(kRecipientClientSession);
  ASSERT_EQ(recipient.count(), 1u);
  EXPECT_NE(recipient.threads()[0], std::this_thread::get_id());
  EXPECT_EQ(hub_->GetDeliveryStage()->worked_on_own_thread(), 1u);
  EXPECT_EQ(hub_->GetDeliveryStage()->worked_on_lane(), 0u);
}

TEST_F(HubTest, MessageLogWritesRecordsAndEchoes) {
  LoopbackPeer peer(EchoHandler);
  StartHub(&peer);
  Collector monitor(1);  // the outgoing messages' stamped target
  Collector session(kRecipientClientSession);
  monitor.Attach(hub_->registry());
  session.Attach(hub_->registry());

  MessagePtr start = Request("MESSAGELOGGING_START");
  start->SetString(ParameterId(1), env_.Path("out.log"));
  start->SetString(ParameterId(2), env_.Path("in.log"));
  start->SetInt(ParameterId(3), 1);
  start->SetInt(PROXYFORPROXY, 1);
  ASSERT_TRUE(hub_->Send(start.get()));
  SynchronousMessagePtr reply = RoundTrip(Request("PING"));
  ASSERT_TRUE(reply->HasReply());
  MessagePtr stop = Request("MESSAGELOGGING_STOP");
  ASSERT_TRUE(hub_->Send(stop.get()));
  RoundTrip(Request("PING"));  // not logged

  const std::string out = test::ReadFile(env_.Path("out.log"));
  const std::string in = test::ReadFile(env_.Path("in.log"));
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back(), '\0');
  EXPECT_EQ(std::count(out.begin(), out.end(), '\0'), 1);
  EXPECT_NE(out.find("PING"), std::string::npos);
  EXPECT_EQ(std::count(in.begin(), in.end(), '\0'), 1);
  EXPECT_NE(in.find("PINGR"), std::string::npos);

  // The echo copies reach the monitoring recipients; the reply's own echo
  // carries the session's target, the request's the monitor's.
  for (int i = 0; i < 500; ++i) {
    const auto seen = monitor.commands();
    if (!seen.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(monitor.commands(), std::vector<std::string>{"#PING"});
  hub_->registry()->Unregister(1);
  hub_->registry()->Unregister(kRecipientClientSession);
}

// Answers "GET" with `size` bytes of a file as parameter 7, a Document get
// reply with its display names ("DOCUMENTCMD" sub-command 4: without a file
// and with error 216 when the name is "lost.txt"), reports whether an
// "UPLOAD" brought its file, and answers "BADREPLY" with a reply carrying a
// field that cannot be read.
class FileServer {
 public:
  FileServer(const std::string& folder, size_t size) : path_(folder + "/served.bin") {
    test::WriteFile(path_, Pattern(size, 5));
  }
  LoopbackPeer::Handler handler() {
    return [this](LoopbackPeer::Connection& connection, MessagePtr request) {
      Handle(connection, *request);
    };
  }
  const std::string& path() const { return path_; }

 private:
  void Handle(LoopbackPeer::Connection& connection, const CRLMSGmessage& request) {
    MessagePtr reply = MakeReply(request);
    const std::string command = request.GetCommand();
    if (command == "GET") {
      reply->SetRawField(ParameterId(7), FIELD_FILELIST, path_.data(), path_.size());
    } else if (command == "DOCUMENTCMD") {
      std::string name;
      request.GetString(ParameterId(5), &name);
      reply->SetString(ParameterId(5), name);
      if (name == "lost.txt") {
        reply->SetInt(ERRORCODE, 216);
      } else {
        reply->SetRawField(ParameterId(7), FIELD_FILELIST, path_.data(), path_.size());
      }
    } else if (command == "UPLOAD") {
      std::string received;
      request.GetString(ParameterId(3), &received);
      reply->SetString(ParameterId(2), LocalFileExists(received) ? "arrived" : "missing");
      ::unlink(received.c_str());
    } else if (command == "BADREPLY") {
      MessageObject object;
      ASSERT_TRUE(WriteMessageObject(*reply, nullptr, &object));
      // One more field: an identifier whose text is none.
      std::string& bytes = object.bytes;
      PutU32(reinterpret_cast<uint8_t*>(&bytes[8]),
             GetU32(reinterpret_cast<uint8_t*>(&bytes[8])) + 1);
      AppendU32(&bytes, 300);
      AppendU32(&bytes, FIELD_IDENTIFIER);
      AppendU32(&bytes, 4);
      bytes += "nope";
      PutU32(reinterpret_cast<uint8_t*>(&bytes[4]), static_cast<uint32_t>(bytes.size() - 8));
      connection.channel()->SendObject(std::move(object));
      return;
    }
    connection.Send(*reply);
  }

  const std::string path_;
};

// A reply with a field that cannot be read ends its requester's wait at
// once with the error of an unreadable reply, and the connection goes on.
TEST_F(HubTest, UnreadableReplyFailsItsRequestAtOnce) {
  FileServer server(env_.root(), 10);
  LoopbackPeer peer(server.handler());
  StartHub(&peer);
  SynchronousMessagePtr reply = RoundTrip(Request("BADREPLY"));
  ASSERT_TRUE(reply->HasReply());
  EXPECT_EQ(reply->GetErrorCode(), kErrorUnreadableReply);
  EXPECT_EQ(reply->GetCommand(), "BADREPLYR");
  reply = RoundTrip(Request("PING"));
  ASSERT_TRUE(reply->HasReply());
  EXPECT_EQ(reply->GetErrorCode(), 0);
}

// The connection's stream reader is wired to the hub: a get reply without
// its file posts the "LOG" line to the session, and a monitor that made the
// request's id-named mailslot hears how the received files come in.
TEST_F(HubTest, ReceivedFilesReportProgressAndAMissingOneIsLogged) {
  FileServer server(env_.root(), 300000);
  LoopbackPeer peer(server.handler());
  StartHub(&peer);
  Collector session(kRecipientClientSession);
  session.Attach(hub_->registry());

  MessagePtr get = Request("DOCUMENTCMD");
  get->SetInt(ParameterId(1), 4);
  get->SetString(ParameterId(5), "served.bin");
  std::unique_ptr<MailslotReader> monitor = NewMailslotReader();
  ASSERT_TRUE(monitor->Create(get->GetIdentifierObject().guid().ToHexName(), 0, 0));
  SynchronousMessagePtr reply = RoundTrip(get);
  ASSERT_TRUE(reply->HasReply());
  std::vector<std::string> paths;
  reply->GetStringList(ParameterId(7), &paths, "?");
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(test::ReadFile(paths[0]), Pattern(300000, 5));
  ::unlink(paths[0].c_str());
  std::vector<uint32_t> kinds;
  for (const auto& [kind, name] : test::TakeProgressRecords(monitor.get())) {
    kinds.push_back(kind);
    EXPECT_EQ(name, "served.bin");
  }
  EXPECT_EQ(kinds, (std::vector<uint32_t>{kProgressFileInProgress, kProgressFileInProgress,
                                          kProgressFileFinished}));

  MessagePtr lost = Request("DOCUMENTCMD");
  lost->SetInt(ParameterId(1), 4);
  lost->SetString(ParameterId(5), "lost.txt");
  reply = RoundTrip(lost);
  ASSERT_TRUE(reply->HasReply());
  EXPECT_EQ(reply->GetErrorCode(), 216);
  auto logs = [&session] {
    const std::vector<std::string> seen = session.commands();
    return std::count(seen.begin(), seen.end(), "LOG");
  };
  for (int i = 0; i < 500 && logs() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(logs(), 1);
  hub_->registry()->Unregister(kRecipientClientSession);
}

// A file that fails on its third read while it is uploaded ends with a
// failure chunk: the peer sees the file as missing, answers, and the
// connection stays in step for the next request.
TEST_F(HubTest, UploadOfAFileFailingItsThirdReadEndsCleanly) {
  FileServer server(env_.root(), 10);
  const std::string upload = env_.Path("upload.bin");
  test::WriteFile(upload, Pattern(4 * kPieceSize, 3));
  test::FaultInjectingFactory& faults = Faults();
  faults.FailReadOf(upload, 3);
  LoopbackPeer peer(server.handler());
  StartHub(&peer);
  for (const char* expected : {"missing", "arrived"}) {
    MessagePtr request = Request("UPLOAD");
    request->SetRawField(ParameterId(3), FIELD_FILELIST, upload.data(), upload.size());
    SynchronousMessagePtr reply = RoundTrip(request);
    ASSERT_TRUE(reply->HasReply());
    std::string text;
    reply->GetString(ParameterId(2), &text);
    EXPECT_EQ(text, expected);
    faults.FailReadOf("", 0);
  }
}

// The disk fills while a file is downloaded: the requester gets the cut-off
// error and no part of the file is left behind.
TEST_F(HubTest, DiskFillingDuringADownloadFailsTheRequestAndLeavesNothing) {
  FileServer server(env_.root(), 3 * kPieceSize + 17);
  Faults().FillDiskAfter(kPieceSize + 100);
  LoopbackPeer peer(server.handler());
  StartHub(&peer);
  SynchronousMessagePtr reply = RoundTrip(Request("GET"));
  ASSERT_TRUE(reply->HasReply());
  EXPECT_EQ(reply->GetErrorCode(), kReplyCutOff);
  std::vector<std::string> paths;
  reply->GetStringList(ParameterId(7), &paths, "?");
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_FALSE(LocalPathExists(paths[0]));
  EXPECT_TRUE(test::ListFolder(env_.Path("tmp")).empty());
}

}  // namespace
}  // namespace tw
