// Reference nodes, self-nulling handles and the collector: what destruction
// does to handles and peers, hand-over and the grace period on a fake clock,
// and links made, broken and destroyed from many threads.
#include "messaging/reference.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "messaging/collector.h"

namespace tw {
namespace {

std::atomic<int> live_probes{0};

// A linkable object that reports its destruction.
class Probe : public virtual CRLreferenceNode {
 public:
  explicit Probe(bool* gone = nullptr, bool pinned = false)
      : CRLreferenceNode("Probe", pinned), gone_(gone) {
    ++live_probes;
  }
  ~Probe() override {
    Detach();
    if (gone_ != nullptr) *gone_ = true;
    --live_probes;
  }

 private:
  bool* gone_;
};

std::atomic<int64_t> fake_now{0};

class CollectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Each test starts far beyond the previous one, so the first sweep
    // clears whatever earlier tests left pending.
    static int64_t base = int64_t{1} << 40;
    base += int64_t{1} << 32;
    fake_now = base;
    SetCollectorClockForTesting([] { return fake_now.load(); });
    GetGarbageCollector().Sweep();
    start_ = base;
  }
  void TearDown() override {
    Advance(int64_t{1} << 30);
    GetGarbageCollector().Sweep();
    SetCollectorClockForTesting(nullptr);
  }

  static void Advance(int64_t ms) { fake_now += ms; }
  // Hands a throw-away object over, which sweeps when one is due.
  static void TriggerCollect() {
    RefPointer handle(new Probe);
    handle.Reset();
  }
  static bool Pending(const CRLreferenceNode* node) {
    return GetGarbageCollector().IsPending(node);
  }

  int64_t start_ = 0;
};

TEST_F(CollectorTest, DestroyingAnObjectNullsHandlesAndDetachesPeers) {
  bool gone = false;
  auto* object = new Probe(&gone);
  auto* tool = new Probe;
  RefPointer a(object);
  RefPointer b(a);
  RefPointer c;
  c = b;
  Probe peer(nullptr, true);
  Probe holder(nullptr, true);
  ASSERT_TRUE(peer.Link(object));
  ASSERT_TRUE(holder.Hold(object));
  ASSERT_TRUE(object->Hold(tool));
  EXPECT_EQ(5, object->GetLinkCount());

  delete a.Get();  // a's link keeps the collector away meanwhile
  EXPECT_TRUE(gone);
  EXPECT_FALSE(a || b || c);
  EXPECT_EQ(0, a.GetLinkCount());
  EXPECT_EQ(0, peer.GetLinkCount());
  EXPECT_EQ(0, holder.GetHeldCount());
  // What the object held was told too, and went to the collector.
  EXPECT_EQ(1, tool->GetLinkCount());
  EXPECT_TRUE(Pending(tool));
}

TEST_F(CollectorTest, ReleasedObjectIsSweptAfterItsGracePeriod) {
  bool old_gone = false, young_gone = false;
  auto* old = new Probe(&old_gone);
  RefPointer handle(old);
  handle = new Probe(&young_gone);
  EXPECT_TRUE(Pending(old));
  EXPECT_EQ(1, old->GetLinkCount());  // the collector's entry
  Advance(5500);
  handle.Reset();  // the young one: no sweep yet

  // Sweeps run only when the last one is more than six seconds old.
  Advance(500);
  TriggerCollect();
  EXPECT_FALSE(old_gone);
  EXPECT_EQ(start_, GetGarbageCollector().GetLastSweepTime());
  Advance(1);
  TriggerCollect();  // cutoff start + 1001
  EXPECT_TRUE(old_gone);
  EXPECT_FALSE(young_gone);
  EXPECT_EQ(start_ + 6001, GetGarbageCollector().GetLastSweepTime());
  Advance(6001);
  TriggerCollect();
  EXPECT_TRUE(young_gone);
}

// A pending object linked again or busy holding another is not swept.
TEST_F(CollectorTest, ObjectsInUseAgainSurviveSweeps) {
  bool relinked_gone = false, busy_gone = false;
  auto* relinked = new Probe(&relinked_gone);
  auto* busy = new Probe(&busy_gone);
  Probe tool(nullptr, true);
  RefPointer(relinked).Reset();
  RefPointer(busy).Reset();
  ASSERT_TRUE(busy->Hold(&tool));
  RefPointer keeper(relinked);
  Advance(60000);
  TriggerCollect();
  EXPECT_FALSE(relinked_gone || busy_gone);
  EXPECT_FALSE(Pending(relinked));  // linked again, it is live
  EXPECT_TRUE(Pending(busy));
  EXPECT_EQ(relinked, keeper.Get());

  keeper.Reset();  // pending again from now
  busy->Unhold(&tool);
  EXPECT_EQ(0, tool.GetLinkCount());
  Advance(6001);
  TriggerCollect();
  EXPECT_TRUE(relinked_gone && busy_gone);
}

// A pending object linked and released again before a sweep saw it linked
// starts a new grace period from its second release.
TEST_F(CollectorTest, ObjectReleasedAgainStartsAFreshGracePeriod) {
  bool gone = false;
  auto* object = new Probe(&gone);
  RefPointer(object).Reset();
  Advance(4000);
  {
    RefPointer again(object);
    ASSERT_EQ(object, again.Get());
  }
  EXPECT_TRUE(Pending(object));
  Advance(2001);  // six seconds after the first release, two after the second
  TriggerCollect();
  EXPECT_EQ(start_ + 6001, GetGarbageCollector().GetLastSweepTime());
  EXPECT_FALSE(gone) << "swept two seconds after its release";
  Advance(6001);
  TriggerCollect();
  EXPECT_TRUE(gone);
}

// Many threads copy, reassign and reset handles to shared objects while
// another replaces and destroys those objects and the clock races ahead so
// that sweeps delete released objects all the time.
TEST_F(CollectorTest, ConcurrentLinkUnlinkAndDestroy) {
  constexpr int kSlots = 6;
  constexpr int kWorkers = 4;
  constexpr int kRounds = 1500;
  const int live_before = live_probes;
  std::vector<RefPointer> slots(kSlots);
  for (RefPointer& slot : slots) slot = new Probe;
  std::atomic<int> running{kWorkers};

  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w) {
    threads.emplace_back([&, w] {
      std::minstd_rand rng(w + 1);
      Probe own(nullptr, true);
      for (int n = 0; n < kRounds; ++n) {
        RefPointer a = slots[rng() % kSlots];
        RefPointer b;
        b = slots[rng() % kSlots];
        b = a;
        RefPointer c(new Probe);
        own.Hold(c.Get());  // c's link keeps the fresh object alive here
        if (n % 2 == 0) own.Unhold(c.Get());
        a = c;
        c.Reset();
        if (n % 3 == 0) b.Reset();
        if (n % 2 == 1) own.Unhold(a.Get());
        fake_now += 7;
      }
      --running;
    });
  }
  threads.emplace_back([&] {
    int n = 0;
    while (running > 0) {
      const int i = n % kSlots;
      if (n % 2 == 0) {
        RefPointer keep(slots[i]);
        slots[i] = new Probe;
        delete keep.Get();  // keep's link kept the collector away
      } else {
        slots[i] = new Probe;  // the old one goes to the collector
      }
      if (n % 16 == 0) {
        fake_now += 7000;
        GetGarbageCollector().Sweep();
      }
      ++n;
      std::this_thread::yield();
    }
  });
  for (std::thread& t : threads) t.join();

  for (RefPointer& slot : slots) slot.Reset();
  Advance(int64_t{1} << 20);
  GetGarbageCollector().Sweep();
  EXPECT_EQ(0u, GetGarbageCollector().GetPendingCount());
  EXPECT_EQ(live_before, live_probes.load());
}

// Two linked objects destroyed at the same moment on two threads, while a
// third thread copies handles to them: each destructor calls into the other
// object, and neither may be freed while the other still does.
TEST_F(CollectorTest, LinkedObjectsDestroyedTogetherOnTwoThreads) {
  constexpr int kRounds = 300;
  const int live_before = live_probes;
  for (int n = 0; n < kRounds; ++n) {
    auto* left = new Probe;
    auto* right = new Probe;
    Probe holder(nullptr, true);
    ASSERT_TRUE(left->Link(right));
    ASSERT_TRUE(holder.Hold(left));
    ASSERT_TRUE(holder.Hold(right));
    ASSERT_TRUE(right->Hold(&holder));
    RefPointer left_handle(left);
    RefPointer right_handle(right);
    std::atomic<int> ready{0};
    auto destroy = [&ready](RefPointer* handle) {
      ++ready;
      while (ready < 3) std::this_thread::yield();
      delete handle->Get();
    };
    std::thread t1(destroy, &left_handle);
    std::thread t2(destroy, &right_handle);
    std::thread t3([&] {
      ++ready;
      while (ready < 3) std::this_thread::yield();
      for (int i = 0; i < 20; ++i) {
        RefPointer copy_left(left_handle);
        RefPointer copy_right;
        copy_right = right_handle;
      }
    });
    t1.join();
    t2.join();
    t3.join();
    EXPECT_EQ(nullptr, left_handle.Get());
    EXPECT_EQ(nullptr, right_handle.Get());
    EXPECT_EQ(0, holder.GetHeldCount());
    EXPECT_EQ(0, holder.GetLinkCount());
  }
  EXPECT_EQ(live_before, live_probes.load());
}

}  // namespace
}  // namespace tw
