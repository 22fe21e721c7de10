// Synchronous requests end to end against a fake sending side: replies
// through the delivery stage, the registry and the session's reply matching;
// time-outs, the in-transit extension, the cancel flag, late and duplicate
// replies racing the waiter, and many requests answered in random order.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "messaging/cancel_flag.h"
#include "messaging/dispatcher.h"
#include "messaging/message_copy.h"
#include "messaging/pump_hook.h"
#include "messaging/recipient_delivery.h"
#include "messaging/recipient_registry.h"
#include "messaging/reply_matcher.h"
#include "messaging/request_sender.h"
#include "messaging/synchronous_message.h"
#include "settings/settings_source.h"

namespace tw {
namespace {

using std::chrono::milliseconds;

// The client session's receiving side: a recipient that matches replies.
class Session : public Recipient {
 public:
  explicit Session(UTLeventDispatcher* dispatcher = nullptr) : matcher_(this, dispatcher) {}
  int Attach(RecipientRegistry* registry) override {
    return registry->Register(this, kRecipientClientSession);
  }
  int OnMessage(CRLMSGmessage* message) override {
    last_outcome_ = matcher_.Match(message);
    return 0;
  }
  ReplyMatcher& matcher() { return matcher_; }
  std::atomic<int> last_outcome_{-1};

 private:
  ReplyMatcher matcher_;
};

// The stage after delivery: routes at once through the registry.
class RouteStage : public MessageStage {
 public:
  explicit RouteStage(RecipientRegistry* registry) : registry_(registry) {}
  bool Accept(MessagePtr message) override {
    int target = 0;
    message->GetInt(TARGETRECIPIENT, &target);
    registry_->Route(target, message.get());
    ++accepted;
    return true;
  }
  std::atomic<int> accepted{0};

 private:
  RecipientRegistry* registry_;
};

MessagePtr Request(const std::string& command, int parameter) {
  MessagePtr request = NewMessage();
  request->SetInt(SOURCERECIPIENT, kRecipientClientSession);
  request->SetInt(TARGETRECIPIENT, kRecipientServer);
  request->SetString(COMMAND, command);
  request->SetInt(ParameterId(1), parameter);
  return request;
}

// What the server sends back: the routing and matching fields unchanged.
MessagePtr ReplyTo(const CRLMSGmessage& request, int error_code) {
  MessagePtr reply = NewMessage(request.GetIdentifierObject());
  reply->SetString(COMMAND, request.GetCommand() + "R");
  reply->SetInt(TARGETRECIPIENT, kRecipientClientSession);
  reply->SetInt(SOURCERECIPIENT, kRecipientServer);
  reply->SetInt(ERRORCODE, error_code);
  for (uint32_t id : {SYNCHRONOUSREQUEST, SENDERTAG, CALLBACKKEY, ParameterId(1)}) {
    int value = 0;
    if (request.GetInt(id, &value) == kFieldOk) reply->SetInt(id, value);
  }
  reply->SetString(ParameterId(2), "reply of " + request.GetCommand());
  return reply;
}

// The sending side: keeps private copies of what is sent for the test's
// server threads; answers IsReceiving through a function the test sets.
class FakeSender : public MessageSender {
 public:
  bool Send(CRLMSGmessage* message) override {
    if (refuse) return false;
    MessagePtr copy = CopyMessagePrivate(*message);
    std::lock_guard<std::mutex> lock(mutex_);
    inbox_.push_back(std::move(copy));
    arrived_.notify_all();
    return true;
  }
  bool IsReceiving(const CRLMSGmessageID& message_id) override {
    ++receiving_asked;
    return receiving ? receiving(message_id) : false;
  }
  bool AbandonTransfer(const CRLMSGmessageID&) override {
    ++abandoned;
    return still_moving.load();
  }
  // The oldest request not yet taken; waits for one.
  MessagePtr Take() {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait(lock, [this] { return !inbox_.empty(); });
    MessagePtr next = std::move(inbox_.front());
    inbox_.pop_front();
    return next;
  }
  // A random request among those waiting, or null after `patience`.
  MessagePtr TakeAny(std::mt19937* random, milliseconds patience) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_for(lock, patience, [this] { return !inbox_.empty(); })) return nullptr;
    size_t index = std::uniform_int_distribution<size_t>(0, inbox_.size() - 1)(*random);
    MessagePtr next = std::move(inbox_[index]);
    inbox_.erase(inbox_.begin() + static_cast<long>(index));
    return next;
  }

  std::atomic<bool> refuse{false};
  std::atomic<int> receiving_asked{0};
  std::atomic<int> abandoned{0};
  std::atomic<bool> still_moving{false};  // what AbandonTransfer finds
  std::function<bool(const CRLMSGmessageID&)> receiving;

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<MessagePtr> inbox_;
};

class FixedSettings : public SettingsSource {
 public:
  explicit FixedSettings(std::optional<int> do_pump) : do_pump_(do_pump) {}
  std::optional<int> ReadModuleSetting(const std::string& key) override {
    return key == kDoPumpSetting ? do_pump_ : std::nullopt;
  }

 private:
  const std::optional<int> do_pump_;
};

std::atomic<int> pumped{0};
bool CountingPump() {
  ++pumped;
  return false;
}

// The receiving chain of a process: delivery stage, registry, session.
class SynchronousTest : public ::testing::Test {
 protected:
  SynchronousTest() : registry_(true), stage_(&registry_), delivery_(&registry_, &stage_) {
    session_.Attach(&registry_);
  }
  void TearDown() override {
    SetSettingsSource(nullptr);
    SetPumpHook(nullptr);
    SetRequestDeadline(0);
  }
  // Sends the server's reply to `request` through the delivery stage.
  void Answer(const CRLMSGmessage& request, int error_code) {
    bool handled = false;
    EXPECT_EQ(0, delivery_.Forward(ReplyTo(request, error_code), &handled));
    EXPECT_TRUE(handled);
  }

  FakeSender sender_;
  RequestSender requests_{&sender_};
  RecipientRegistry registry_;
  Session session_;
  RouteStage stage_;
  RecipientDelivery delivery_;
};

TEST_F(SynchronousTest, ReplyAfterFiftyMillisecondsBringsTheServersCodeAndFields) {
  std::thread server([this] {
    MessagePtr request = sender_.Take();
    std::this_thread::sleep_for(milliseconds(50));
    Answer(*request, 31);
  });
  MessagePtr request = Request("DOCUMENTCMD", 4);
  request->SetInt(SENDERTAG, static_cast<int>(session_.matcher().GetSenderTag()));
  SynchronousMessagePtr reply;
  ASSERT_TRUE(requests_.SendAndWait(request.get(), &reply, 30));
  server.join();

  ASSERT_TRUE(reply->HasReply());
  EXPECT_EQ(31, reply->GetErrorCode());
  EXPECT_EQ("DOCUMENTCMDR", reply->GetCommand());
  // Known by the reply's identifier (the request's), object and field.
  EXPECT_EQ(request->GetIdentifierText(), reply->GetIdentifierText());
  EXPECT_EQ(request->GetIdentifierText(), reply->GetIdentifierObject().ToText());
  EXPECT_EQ("reply of DOCUMENTCMD", reply->GetListElement(ParameterId(2), 0));
  int parameter = 0;
  EXPECT_EQ(kFieldOk, reply->GetInt(ParameterId(1), &parameter));
  EXPECT_EQ(4, parameter);
  // The request carried the handle; the delivery stage completed the wait
  // and took the handle off, so the session saw only its own tag.
  int handle = 0;
  EXPECT_EQ(kFieldOk, request->GetInt(SYNCHRONOUSREQUEST, &handle));
  EXPECT_EQ(reply->GetHandle(), static_cast<uint32_t>(handle));
  EXPECT_EQ(ReplyMatcher::kCallbackUnknown, session_.last_outcome_.load());
  EXPECT_EQ(1, stage_.accepted.load());
  EXPECT_EQ(1, reply->GetReferenceCount());  // the reply path let go
}

TEST_F(SynchronousTest, TimeOutGivesMinusFourAndALateReplyIsAbsorbed) {
  SetRequestDeadline(60000);  // beyond the time-out: the connection is asked
  MessagePtr request = Request("PRODUCTIONCMD", 25);
  SynchronousMessagePtr reply;
  ASSERT_TRUE(requests_.SendAndWait(request.get(), &reply, 1));
  EXPECT_FALSE(reply->HasReply());
  EXPECT_EQ(kReplyTimedOut, reply->GetErrorCode());
  EXPECT_EQ(1, sender_.receiving_asked.load());
  EXPECT_EQ(1, sender_.abandoned.load());
  EXPECT_EQ(2, reply->GetReferenceCount());  // the reply path still holds on

  // Closed: a reply now finds the object but leaves it as it was.
  MessagePtr sent = sender_.Take();
  const uint32_t handle = reply->GetHandle();
  EXPECT_TRUE(CRLMSGsynchronousMessage::CompleteRequest(handle, *ReplyTo(*sent, 0)));
  EXPECT_EQ(kReplyTimedOut, reply->GetErrorCode());
  EXPECT_EQ(1, reply->GetReferenceCount());
  reply.reset();  // gone now; the handle names nothing
  EXPECT_FALSE(CRLMSGsynchronousMessage::CompleteRequest(handle, *ReplyTo(*sent, 0)));
  Answer(*sent, 0);  // through the stage: dropped, the session sees its tag-less reply
  EXPECT_EQ(ReplyMatcher::kNotForThisSession, session_.last_outcome_.load());
}

TEST_F(SynchronousTest, AReplyStillInTransitExtendsTheWait) {
  SetRequestDeadline(60000);  // room beyond the time-out
  std::thread server;
  sender_.receiving = [this, &server](const CRLMSGmessageID& id) {
    // Asked once the first time-out is over: the reply is on its way.
    server = std::thread([this] {
      MessagePtr request = sender_.Take();
      std::this_thread::sleep_for(milliseconds(30));
      Answer(*request, 0);
    });
    return true;
  };
  MessagePtr request = Request("DOCUMENTCMD", 1);
  const std::string identifier = request->GetIdentifierText();
  SynchronousMessagePtr reply;
  ASSERT_TRUE(requests_.SendAndWait(request.get(), &reply, 1));
  server.join();
  EXPECT_TRUE(reply->HasReply());
  EXPECT_EQ(0, reply->GetErrorCode());
  EXPECT_EQ(1, sender_.receiving_asked.load());

  // While the connection keeps saying so, each time-out waits once more.
  int asked = 0;
  sender_.receiving_asked = 0;
  sender_.receiving = [&asked](const CRLMSGmessageID& id) {
    EXPECT_EQ(36u, id.ToText().size());
    return ++asked < 2;
  };
  MessagePtr second = Request("DOCUMENTCMD", 1);
  ASSERT_TRUE(requests_.SendAndWait(second.get(), &reply, 1));
  EXPECT_EQ(kReplyTimedOut, reply->GetErrorCode());
  EXPECT_EQ(2, asked);
  EXPECT_NE(identifier, second->GetIdentifierText());
}

// However long a reply stays in transit, the wait ends at the request's
// deadline - by default its own time-out, counted from the send - and the
// transfer still moving is given up.
TEST_F(SynchronousTest, ADeadlineEndsTheWaitWhateverIsInTransit) {
  sender_.receiving = [](const CRLMSGmessageID&) { return true; };
  sender_.still_moving = true;
  MessagePtr request = Request("DOCUMENTCMD", 4);
  SynchronousMessagePtr reply;
  TakeConnectionFailure();
  ASSERT_TRUE(requests_.SendAndWait(request.get(), &reply, 1));
  EXPECT_EQ(kReplyTimedOut, reply->GetErrorCode());
  EXPECT_EQ(0, sender_.receiving_asked.load()) << "no room left to wait again";
  EXPECT_EQ(1, sender_.abandoned.load());
  EXPECT_TRUE(TakeConnectionFailure());

  // A deadline set below the time-out ends the wait before it.
  SetRequestDeadline(200);
  MessagePtr second = Request("DOCUMENTCMD", 4);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(requests_.SendAndWait(second.get(), &reply, 30));
  EXPECT_EQ(kReplyTimedOut, reply->GetErrorCode());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(2, sender_.abandoned.load());
}

TEST_F(SynchronousTest, CancelFlagEndsAPumpingWaitWithFive) {
  CancelFlag flag;
  ASSERT_NE(0u, flag.handle());
  SetSettingsSource(std::make_shared<FixedSettings>(static_cast<int>(flag.handle())));
  SetPumpHook(&CountingPump);
  pumped = 0;
  std::thread user([&flag] {
    std::this_thread::sleep_for(milliseconds(50));
    flag.Set();
  });
  MessagePtr request = Request("GETNAMELIST", 0);
  SynchronousMessagePtr reply;
  ASSERT_TRUE(requests_.SendAndWait(request.get(), &reply, 600));
  user.join();
  EXPECT_EQ(kReplyCancelled, reply->GetErrorCode());
  EXPECT_FALSE(reply->HasReply());
  EXPECT_GT(pumped.load(), 0);
  EXPECT_EQ(0, sender_.receiving_asked.load());  // cancelling is not a time-out
}

// A thread's slice hook runs between the slices of its waits, pumping or
// not, on the waiting thread, and only while it is installed; here the hook
// itself answers the request on its third call.
TEST_F(SynchronousTest, SliceHookRunsOnTheWaitingThreadWhileInstalled) {
  EXPECT_FALSE(HasWaitSliceHook());
  int calls = 0;
  bool other_thread = false;
  const std::thread::id waiter = std::this_thread::get_id();
  {
    ScopedWaitSliceHook hook([&] {
      if (std::this_thread::get_id() != waiter) other_thread = true;
      if (++calls == 3) Answer(*sender_.Take(), 0);
    });
    {
      // A nested hook stands in for the outer one until it goes.
      ScopedWaitSliceHook inner([] {});
      ScopedWaitSliceHook empty(nullptr);  // installs nothing of its own
      RunWaitSliceHook();
      EXPECT_EQ(0, calls);
    }
    EXPECT_TRUE(HasWaitSliceHook());
    MessagePtr request = Request("DOCUMENTCMD", 4);
    SynchronousMessagePtr reply;
    ASSERT_TRUE(requests_.SendAndWait(request.get(), &reply, 600));
    EXPECT_TRUE(reply->HasReply());
    EXPECT_EQ(3, calls);
    EXPECT_FALSE(other_thread);
    std::thread([] { EXPECT_FALSE(HasWaitSliceHook()); }).join();
  }
  EXPECT_FALSE(HasWaitSliceHook());
  MessagePtr request = Request("DOCUMENTCMD", 4);
  SynchronousMessagePtr reply;
  ASSERT_TRUE(requests_.SendAndWait(request.get(), &reply, 1));
  EXPECT_EQ(kReplyTimedOut, reply->GetErrorCode());
  EXPECT_EQ(3, calls);
}

TEST_F(SynchronousTest, RefusedSendWithdrawsTheReplyPath) {
  sender_.refuse = true;
  MessagePtr request = Request("ACQUIRELOCK", 0);
  SynchronousMessagePtr reply;
  EXPECT_FALSE(requests_.SendAndWait(request.get(), &reply, 600));
  ASSERT_TRUE(reply);
  EXPECT_EQ(kReplyPending, reply->GetErrorCode());
  EXPECT_EQ(1, reply->GetReferenceCount());
  EXPECT_FALSE(CRLMSGsynchronousMessage::CompleteRequest(reply->GetHandle(), *request));
  EXPECT_FALSE(requests_.SendAndWait(nullptr, &reply, 1));
}

// Two copies of each reply race each other and the waiter, which gives up
// at once: whatever the interleaving, one copy completes the request, the
// other is dropped, and nothing is used after it is freed.
TEST_F(SynchronousTest, RepliesRacingTheTimeOutArriveExactlyOnce) {
  constexpr int kRounds = 1500;
  std::atomic<int> round{-1};
  std::atomic<int> completed{0};
  std::atomic<int> finished{0};
  std::vector<uint32_t> handles(kRounds);
  std::vector<std::thread> repliers;
  for (int r = 0; r < 2; ++r) {
    repliers.emplace_back([&] {
      MessagePtr reply = NewMessage();
      reply->SetInt(ERRORCODE, 7);
      for (int i = 0; i < kRounds; ++i) {
        while (round.load() < i) std::this_thread::yield();
        if (CRLMSGsynchronousMessage::CompleteRequest(handles[i], *reply)) ++completed;
        ++finished;
      }
    });
  }
  for (int i = 0; i < kRounds; ++i) {
    SynchronousMessagePtr waiting = CRLMSGsynchronousMessage::Create();
    handles[i] = waiting->GetHandle();
    round = i;
    // A varying head start for the repliers, so that replies land before,
    // during and after the give-up.
    for (int spin = 0; spin < (i * 7) % 13; ++spin) std::this_thread::yield();
    const int code = waiting->WaitForReply(0);
    waiting->Close();
    if (waiting->HasReply()) {
      EXPECT_EQ(7, waiting->GetErrorCode());
    } else {
      EXPECT_EQ(kReplyTimedOut, code);
      EXPECT_EQ(kReplyTimedOut, waiting->GetErrorCode());
    }
    if (i % 2 == 0) waiting.reset();  // half the waiters leave before the reply
    while (finished.load() < 2 * (i + 1)) std::this_thread::yield();
  }
  for (auto& replier : repliers) replier.join();
  EXPECT_EQ(kRounds, completed.load());
}

// Several client threads each send many requests; several server threads
// answer them in random order, half through the delivery stage and half
// straight to the session. Every request gets its own reply.
TEST_F(SynchronousTest, ConcurrentRequestsEachGetTheirOwnReply) {
  constexpr int kClients = 4;
  constexpr int kServers = 3;
  constexpr int kPerClient = 500;
  std::atomic<bool> done{false};
  std::vector<std::thread> servers;
  for (int s = 0; s < kServers; ++s) {
    servers.emplace_back([this, s, &done] {
      std::mt19937 random(1234 + s);
      while (!done.load()) {
        MessagePtr request = sender_.TakeAny(&random, milliseconds(20));
        if (!request) continue;
        int parameter = 0;
        request->GetInt(ParameterId(1), &parameter);
        MessagePtr reply = ReplyTo(*request, parameter % 97);
        if (parameter % 2 == 0) {
          bool handled = false;
          delivery_.Forward(std::move(reply), &handled);
        } else {
          session_.OnMessage(reply.get());
        }
      }
    });
  }
  std::atomic<int> wrong{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([this, c, &wrong] {
      for (int i = 0; i < kPerClient; ++i) {
        const int value = c * kPerClient + i;
        MessagePtr request = Request("DOCUMENTCMD", value);
        SynchronousMessagePtr reply;
        if (!requests_.SendAndWait(request.get(), &reply, 120) || !reply->HasReply()) {
          ++wrong;
          continue;
        }
        int echoed = -1;
        reply->GetInt(ParameterId(1), &echoed);
        if (echoed != value || reply->GetErrorCode() != value % 97) ++wrong;
      }
    });
  }
  for (auto& client : clients) client.join();
  done = true;
  for (auto& server : servers) server.join();
  EXPECT_EQ(0, wrong.load());
}

// A callback target: records the reply its event carries.
class Listener : public virtual CRLreferenceNode {
 public:
  Listener() : CRLreferenceNode("Listener", true) {}
  ~Listener() override { Detach(); }
  bool OnReply(CRLMSGmessage* message) {
    seen.push_back(message->GetCommand() + "/" + message->GetListElement(ParameterId(2), 0));
    return true;
  }
  std::vector<std::string> seen;
};

TEST(ReplyMatcherTest, RequestCallbackAndOtherSender) {
  Listener listener;
  UTLeventDispatcher dispatcher;  // runs callbacks at once, on this thread
  ReplyMatcher matcher(&dispatcher, &dispatcher);
  ASSERT_NE(0u, matcher.GetSenderTag());
  const uint32_t key = dispatcher.AddCallback(Event::Bind(&listener, &Listener::OnReply));

  MessagePtr request = Request("GETNAMELIST", 0);
  request->SetInt(SENDERTAG, static_cast<int>(matcher.GetSenderTag()));
  request->SetInt(CALLBACKKEY, static_cast<int>(key));
  MessagePtr reply = ReplyTo(*request, 0);
  EXPECT_EQ(ReplyMatcher::kCallbackDispatched, matcher.Match(reply.get()));
  EXPECT_EQ((std::vector<std::string>{"GETNAMELISTR/reply of GETNAMELIST"}), listener.seen);
  EXPECT_FALSE(dispatcher.HasCallback(key));
  EXPECT_EQ(ReplyMatcher::kCallbackUnknown, matcher.Match(reply.get()));

  // Another session's tag, and a request handle that names nothing.
  ReplyMatcher other(&listener, &dispatcher);
  EXPECT_EQ(ReplyMatcher::kNotForThisSession, other.Match(reply.get()));
  reply->SetInt(SYNCHRONOUSREQUEST, static_cast<int>(other.GetSenderTag()));
  EXPECT_EQ(ReplyMatcher::kRequestGone, matcher.Match(reply.get()));
  EXPECT_EQ(ReplyMatcher::kNotForThisSession, matcher.Match(nullptr));

  // A waiting request's handle completes it.
  SynchronousMessagePtr waiting = CRLMSGsynchronousMessage::Create();
  reply->SetInt(ERRORCODE, 6);
  reply->SetInt(SYNCHRONOUSREQUEST, static_cast<int>(waiting->GetHandle()));
  EXPECT_EQ(ReplyMatcher::kCompletedRequest, matcher.Match(reply.get()));
  EXPECT_EQ(6, waiting->WaitForReply(0));
}

TEST(RecipientDeliveryTest, PassesOnOnlyWhatARecipientWaitsFor) {
  RecipientRegistry registry(false);
  Session session;
  session.Attach(&registry);
  RouteStage stage(&registry);
  RecipientDelivery delivery(&registry, &stage);

  bool handled = false;
  MessagePtr stray = NewMessage();
  EXPECT_EQ(RecipientDelivery::kNoTarget, delivery.Forward(stray, &handled));
  stray->SetInt(TARGETRECIPIENT, 42);
  EXPECT_EQ(RecipientDelivery::kNotRegistered, delivery.Forward(stray, &handled));
  EXPECT_FALSE(handled);
  stray->SetInt(BROADCAST, 1);
  EXPECT_EQ(RecipientDelivery::kPassedOn, delivery.Forward(stray, &handled));
  EXPECT_EQ(1, stage.accepted.load());

  // A reply for a waiting request completes it even when its target is not
  // registered, and loses the handle on the way.
  SynchronousMessagePtr waiting = CRLMSGsynchronousMessage::Create();
  MessagePtr reply = NewMessage();
  reply->SetInt(TARGETRECIPIENT, 42);
  reply->SetInt(ERRORCODE, 3);
  reply->SetInt(SYNCHRONOUSREQUEST, static_cast<int>(waiting->GetHandle()));
  EXPECT_EQ(RecipientDelivery::kNotRegistered, delivery.Forward(reply, &handled));
  EXPECT_TRUE(handled);
  EXPECT_EQ(3, waiting->WaitForReply(0));
  int handle = 0;
  EXPECT_EQ(kFieldMissing, reply->GetInt(SYNCHRONOUSREQUEST, &handle));
  EXPECT_FALSE(waiting->SharesStoreWith(*reply));

  handled = false;
  reply->SetInt(TARGETRECIPIENT, kRecipientClientSession);
  EXPECT_EQ(RecipientDelivery::kPassedOn, delivery.Forward(reply, &handled));
  EXPECT_TRUE(handled);
  EXPECT_EQ(2, stage.accepted.load());
  EXPECT_EQ(RecipientDelivery::kNotRegistered, delivery.Forward(nullptr, &handled));
}

}  // namespace
}  // namespace tw
