// Recipient registry, events and the two dispatchers: routing and broadcast,
// delivery to live and destroyed targets, callbacks by key, and the worker
// thread's order, robustness and shutdown.
#include <gtest/gtest.h>
#include <wx/app.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "messaging/dispatcher.h"
#include "messaging/event.h"
#include "messaging/recipient_registry.h"
#include "platform/handle_table.h"

namespace tw {
namespace {

// A recipient that logs what it receives into a shared journal.
class Journal : public Recipient {
 public:
  Journal(int id, std::vector<std::string>* journal, int result = 0)
      : id_(id), journal_(journal), result_(result) {}
  int Attach(RecipientRegistry* registry) override { return registry->Register(this, id_); }
  int OnMessage(CRLMSGmessage* message) override {
    journal_->push_back(std::to_string(id_) + ":" + message->GetCommand());
    return result_;
  }

 private:
  const int id_;
  std::vector<std::string>* journal_;
  const int result_;
};

MessagePtr Command(const std::string& command, bool broadcast = false) {
  MessagePtr message = NewMessage();
  message->SetString(COMMAND, command);
  if (broadcast) message->SetInt(BROADCAST, 1);
  return message;
}

TEST(RecipientRegistryTest, RoutesToTheFirstRecipientOfTheTarget) {
  std::vector<std::string> journal;
  Journal a(5, &journal, 11), a_again(5, &journal, 12), b(9, &journal, 13);
  RecipientRegistry registry(false);
  EXPECT_EQ(0, a.Attach(&registry));
  EXPECT_EQ(0, a_again.Attach(&registry));  // the id keeps its first recipient
  EXPECT_EQ(0, b.Attach(&registry));
  EXPECT_EQ(-1, registry.Register(nullptr, 4));
  EXPECT_EQ(-1, a.Reserved());

  EXPECT_EQ(11, registry.Route(5, Command("A").get()));
  EXPECT_EQ(13, registry.Route(9, Command("B").get()));
  EXPECT_EQ(-1, registry.Route(7, Command("C").get()));
  EXPECT_EQ(-1, registry.Route(5, nullptr));
  EXPECT_EQ((std::vector<std::string>{"5:A", "9:B"}), journal);
}

TEST(RecipientRegistryTest, BroadcastReachesEveryRecipientOnlyWhenAllowed) {
  std::vector<std::string> journal;
  Journal a(1, &journal, 7), b(17, &journal, 8), c(3, &journal, 9);
  RecipientRegistry open(true), closed(false);
  for (Journal* r : {&a, &b, &c}) {
    r->Attach(&open);
    r->Attach(&closed);
  }
  EXPECT_EQ(0, open.Route(17, Command("LOG", true).get()));
  EXPECT_EQ((std::vector<std::string>{"1:LOG", "17:LOG", "3:LOG"}), journal);

  journal.clear();
  EXPECT_EQ(8, closed.Route(17, Command("LOG", true).get()));
  EXPECT_EQ((std::vector<std::string>{"17:LOG"}), journal);
}

TEST(RecipientRegistryTest, UnregisterMovesLaterEntriesDown) {
  std::vector<std::string> journal;
  Journal a(1, &journal), b(2, &journal), c(3, &journal), d(4, &journal);
  RecipientRegistry registry(true);
  for (Journal* r : {&a, &b, &c}) r->Attach(&registry);
  EXPECT_EQ(0, registry.Unregister(2));
  EXPECT_EQ(-1, registry.Unregister(2));
  EXPECT_FALSE(registry.IsRegistered(2));
  EXPECT_TRUE(registry.IsRegistered(3));
  d.Attach(&registry);
  b.Attach(&registry);  // registers anew, now last
  registry.Route(0, Command("ALL", true).get());
  EXPECT_EQ((std::vector<std::string>{"1:ALL", "3:ALL", "4:ALL", "2:ALL"}), journal);
}

// An event target that records the commands it handles.
class Target : public virtual CRLreferenceNode {
 public:
  Target() : CRLreferenceNode("Target", true) {}
  ~Target() override { Detach(); }

  bool Record(CRLMSGmessage* message) {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(message->GetCommand());
    threads_.push_back(std::this_thread::get_id());
    changed_.notify_all();
    return message->GetCommand() != "REFUSE";
  }
  bool Throw(CRLMSGmessage* message) {
    Record(message);
    throw std::runtime_error("handler failed");
  }
  // Blocks until Open is called.
  bool Gate(CRLMSGmessage* message) {
    std::unique_lock<std::mutex> lock(mutex_);
    gated_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    return true;
  }
  void WaitGated() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return gated_; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return seen_.size() >= count; });
  }
  std::vector<std::string> seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  std::vector<std::thread::id> threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> seen_;
  std::vector<std::thread::id> threads_;
  bool gated_ = false;
  bool open_ = false;
};

TEST(EventTest, DeliverCallsTheBoundMemberWithTheEventsMessage) {
  Target target;
  MessagePtr message = Command("PING");
  Event event = Event::Bind(&target, &Target::Record, message.get());
  EXPECT_TRUE(event.message()->SharesStoreWith(*message));
  EXPECT_TRUE(event.Deliver());
  EXPECT_FALSE(Event::Bind(&target, &Target::Record, Command("REFUSE").get()).Deliver());
  EXPECT_EQ((std::vector<std::string>{"PING", "REFUSE"}), target.seen());
  // The call's extra handle is gone again: the event's own link remains.
  EXPECT_EQ(1, target.GetLinkCount());

  Event copy(event);
  EXPECT_TRUE(copy.message()->SharesStoreWith(*event.message()));
  EXPECT_EQ(2, target.GetLinkCount());
  Event apart = event.PrivateCopy();
  EXPECT_FALSE(apart.message()->SharesStoreWith(*event.message()));
  EXPECT_EQ("PING", apart.message()->GetCommand());
}

TEST(EventTest, FailingEventsReportFalse) {
  EXPECT_FALSE(Event().Deliver());
  Target target;
  EXPECT_FALSE(Event(&target, nullptr).Deliver());
  EXPECT_FALSE(Event::Bind(&target, &Target::Throw, Command("BOOM").get()).Deliver());
  EXPECT_EQ((std::vector<std::string>{"BOOM"}), target.seen());

  Event orphan;
  {
    Target gone;
    orphan = Event::Bind(&gone, &Target::Record);
    EXPECT_EQ(&gone, orphan.target());
  }
  EXPECT_EQ(nullptr, orphan.target());
  EXPECT_FALSE(orphan.Deliver());
}

TEST(EventDispatcherTest, RunsAtOnceOnTheCallersThread) {
  Target target;
  UTLeventDispatcher dispatcher;
  EXPECT_NE(std::string::npos, dispatcher.GetName().find("[UTLeventDispatcher]"));
  EXPECT_TRUE(dispatcher.Dispatch(Event::Bind(&target, &Target::Record, Command("A").get()), true));
  EXPECT_FALSE(
      dispatcher.Dispatch(Event::Bind(&target, &Target::Throw, Command("B").get()), false));
  EXPECT_EQ((std::vector<std::string>{"A", "B"}), target.seen());
  EXPECT_EQ(std::this_thread::get_id(), target.threads()[0]);
}

TEST(EventDispatcherTest, CallbacksAreKeyedByLiveHandlesAndTakenOnce) {
  Target target;
  uint32_t first, second, third;
  {
    UTLeventDispatcher dispatcher;
    first = dispatcher.AddCallback(Event::Bind(&target, &Target::Record, Command("ONE").get()));
    second = dispatcher.AddCallback(Event::Bind(&target, &Target::Record, Command("TWO").get()));
    third = dispatcher.AddCallback(Event::Bind(&target, &Target::Record, Command("SIX").get()));
    ASSERT_NE(0u, first);
    EXPECT_NE(first, second);
    EXPECT_EQ(3u, dispatcher.GetCallbackCount());
    EXPECT_NE(nullptr, HandleTable::Instance().Resolve(first));

    Event taken;
    ASSERT_TRUE(dispatcher.TakeCallback(first, &taken));
    EXPECT_EQ("ONE", taken.message()->GetCommand());
    EXPECT_FALSE(dispatcher.TakeCallback(first, &taken));
    EXPECT_EQ(nullptr, HandleTable::Instance().Resolve(first));
    EXPECT_TRUE(taken.Deliver());

    dispatcher.RemoveCallback(second);
    dispatcher.RemoveCallback(second);
    EXPECT_FALSE(dispatcher.HasCallback(second));
    EXPECT_EQ(nullptr, HandleTable::Instance().Resolve(second));
    EXPECT_TRUE(dispatcher.HasCallback(third));
    EXPECT_EQ(2, target.GetLinkCount());  // `taken` and the callback of `third`
  }
  // The destructor cleared the rest.
  EXPECT_EQ(nullptr, HandleTable::Instance().Resolve(third));
  EXPECT_EQ(0, target.GetLinkCount());
  EXPECT_EQ((std::vector<std::string>{"ONE"}), target.seen());
}

TEST(AsynchDispatcherTest, RunsOnItsWorkerWithoutAnApplicationObject) {
  // The condition and its mutex come from the base library and need no
  // application object.
  ASSERT_EQ(nullptr, wxTheApp);
  Target target;
  UTLasynchEventDispatcher dispatcher;
  EXPECT_NE(std::string::npos, dispatcher.GetName().find("[UTLasynchEventDispatcher]"));
  // Queued before the worker starts: runs once it does.
  EXPECT_TRUE(
      dispatcher.Dispatch(Event::Bind(&target, &Target::Record, Command("EARLY").get()), false));
  EXPECT_EQ(1u, dispatcher.GetQueueLength());
  ASSERT_TRUE(dispatcher.Start());
  EXPECT_FALSE(dispatcher.Start());
  target.WaitFor(1);
  EXPECT_NE(std::this_thread::get_id(), target.threads()[0]);
}

TEST(AsynchDispatcherTest, UrgentPostsOvertakeQueuedOnes) {
  Target target;
  UTLasynchEventDispatcher dispatcher;
  ASSERT_TRUE(dispatcher.Start());
  dispatcher.Dispatch(Event::Bind(&target, &Target::Gate), false);
  target.WaitGated();  // the worker is busy; the rest waits in the queue
  for (const char* command : {"N1", "N2"}) {
    dispatcher.Dispatch(Event::Bind(&target, &Target::Record, Command(command).get()), false);
  }
  dispatcher.Dispatch(Event::Bind(&target, &Target::Record, Command("U1").get()), true);
  dispatcher.Dispatch(Event::Bind(&target, &Target::Record, Command("U2").get()), true);
  EXPECT_EQ(4u, dispatcher.GetQueueLength());
  target.Open();
  target.WaitFor(4);
  EXPECT_EQ((std::vector<std::string>{"U2", "U1", "N1", "N2"}), target.seen());
}

TEST(AsynchDispatcherTest, ThrowingAndFailingHandlersDoNotStopTheWorker) {
  Target target;
  UTLasynchEventDispatcher dispatcher;
  dispatcher.Dispatch(Event::Bind(&target, &Target::Throw, Command("BOOM").get()), false);
  dispatcher.Dispatch(Event(), false);
  {
    // Destroyed while its event is queued (the worker is not running yet,
    // as the owner of a target must ensure): the event finds no target.
    Target gone;
    dispatcher.Dispatch(Event::Bind(&gone, &Target::Gate), false);
  }
  dispatcher.Dispatch(Event::Bind(&target, &Target::Record, Command("NEXT").get()), false);
  ASSERT_TRUE(dispatcher.Start());
  target.WaitFor(2);
  dispatcher.Dispatch(Event::Bind(&target, &Target::Throw, Command("AGAIN").get()), false);
  dispatcher.Dispatch(Event::Bind(&target, &Target::Record, Command("LAST").get()), false);
  target.WaitFor(4);
  EXPECT_EQ((std::vector<std::string>{"BOOM", "NEXT", "AGAIN", "LAST"}), target.seen());
}

TEST(AsynchDispatcherTest, PostsFromManyThreadsAllRunAndStopJoins) {
  Target target;
  constexpr int kThreads = 4;
  constexpr int kPosts = 250;
  {
    UTLasynchEventDispatcher dispatcher;
    ASSERT_TRUE(dispatcher.Start());
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
      posters.emplace_back([&] {
        for (int i = 0; i < kPosts; ++i) {
          dispatcher.Dispatch(Event::Bind(&target, &Target::Record, Command("P").get()),
                              i % 7 == 0);
        }
      });
    }
    for (auto& poster : posters) poster.join();
    target.WaitFor(kThreads * kPosts);
    dispatcher.Stop();
    EXPECT_TRUE(
        dispatcher.Dispatch(Event::Bind(&target, &Target::Record, Command("Q").get()), false));
    EXPECT_EQ(1u, dispatcher.GetQueueLength());  // stays queued while stopped
    ASSERT_TRUE(dispatcher.Start());             // a restarted worker runs it
    target.WaitFor(kThreads * kPosts + 1);
  }  // the destructor stops the running worker
  EXPECT_EQ(static_cast<size_t>(kThreads * kPosts + 1), target.seen().size());
  EXPECT_EQ(0, target.GetLinkCount());
}

// A handler that stops its own dispatcher: the worker ends after it.
class Stopper : public virtual CRLreferenceNode {
 public:
  explicit Stopper(UTLasynchEventDispatcher* dispatcher)
      : CRLreferenceNode("Stopper", true), dispatcher_(dispatcher) {}
  ~Stopper() override { Detach(); }
  bool StopIt(CRLMSGmessage*) {
    dispatcher_->Stop();  // must not wait for itself
    done_.set_value();
    return true;
  }
  void WaitDone() { done_.get_future().wait(); }

 private:
  UTLasynchEventDispatcher* dispatcher_;
  std::promise<void> done_;
};

TEST(AsynchDispatcherTest, StopFromAHandlerEndsTheWorkerAfterIt) {
  Target target;
  UTLasynchEventDispatcher dispatcher;
  Stopper stopper(&dispatcher);
  dispatcher.Dispatch(Event::Bind(&stopper, &Stopper::StopIt), false);
  dispatcher.Dispatch(Event::Bind(&target, &Target::Record, Command("AFTER").get()), false);
  ASSERT_TRUE(dispatcher.Start());
  stopper.WaitDone();
  dispatcher.Stop();  // joins the worker, which ends by itself
  EXPECT_TRUE(target.seen().empty());
  EXPECT_EQ(1u, dispatcher.GetQueueLength());
}

}  // namespace
}  // namespace tw
