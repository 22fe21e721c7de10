// Recipient registry, events and the worker-thread dispatcher: routing and
// broadcast, delivery to live and destroyed targets, and the worker's order,
// robustness and shutdown.
#include <gtest/gtest.h>

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

TEST(RecipientRegistryTest, RoutesToTheFirstRecipientOfTheTargetOrBroadcasts) {
  std::vector<std::string> journal;
  Journal a(5, &journal, 11), a_again(5, &journal, 12), b(9, &journal, 13);
  RecipientRegistry open(true), closed(false);
  for (Journal* r : {&a, &a_again, &b}) {
    EXPECT_EQ(0, r->Attach(&open));  // the id keeps its first recipient
    r->Attach(&closed);
  }
  EXPECT_EQ(-1, closed.Register(nullptr, 4));
  EXPECT_EQ(11, closed.Route(5, Command("A").get()));
  EXPECT_EQ(13, closed.Route(9, Command("B").get()));
  EXPECT_EQ(-1, closed.Route(7, Command("C").get()));
  EXPECT_EQ(-1, closed.Route(5, nullptr));
  EXPECT_EQ(13, closed.Route(9, Command("LOG", true).get()));  // broadcast not allowed
  EXPECT_EQ((std::vector<std::string>{"5:A", "9:B", "9:LOG"}), journal);

  journal.clear();
  EXPECT_EQ(0, open.Unregister(5));
  EXPECT_EQ(-1, open.Unregister(5));
  a.Attach(&open);  // registers anew, now last
  EXPECT_EQ(0, open.Route(9, Command("ALL", true).get()));
  EXPECT_EQ((std::vector<std::string>{"9:ALL", "5:ALL"}), journal);
}

// An event target that records the commands it handles.
class Target : public virtual CRLreferenceNode {
 public:
  Target() : CRLreferenceNode("Target", true) {}
  ~Target() override { Detach(); }

  bool Record(CRLMSGmessage* message) {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(message->GetCommand());
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

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> seen_;
  bool gated_ = false;
  bool open_ = false;
};

TEST(EventTest, DeliverReportsTheHandlersOutcome) {
  Target target;
  MessagePtr message = Command("PING");
  Event event = Event::Bind(&target, &Target::Record, message.get());
  EXPECT_TRUE(event.message()->SharesStoreWith(*message));
  EXPECT_TRUE(event.Deliver());
  EXPECT_FALSE(Event::Bind(&target, &Target::Record, Command("REFUSE").get()).Deliver());
  EXPECT_FALSE(Event::Bind(&target, &Target::Throw, Command("BOOM").get()).Deliver());
  EXPECT_FALSE(Event().Deliver());
  EXPECT_EQ((std::vector<std::string>{"PING", "REFUSE", "BOOM"}), target.seen());
  // The call's extra handle is gone again: the event's own link remains.
  EXPECT_EQ(1, target.GetLinkCount());
  Event apart = event.PrivateCopy();
  EXPECT_FALSE(apart.message()->SharesStoreWith(*event.message()));

  Event orphan;
  {
    Target gone;
    orphan = Event::Bind(&gone, &Target::Record);
  }
  EXPECT_EQ(nullptr, orphan.target());
  EXPECT_FALSE(orphan.Deliver());
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
