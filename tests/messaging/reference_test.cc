// Reference nodes, self-nulling handles and the collector: what destruction
// does to handles and peers, hand-over and the grace period on a fake clock,
// exclusive and pinned nodes, shutdown, and links made, broken and destroyed
// from many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "messaging/collector.h"
#include "messaging/reference.h"

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

std::string HexAddress(const void* p) {
  char text[32];
  snprintf(text, sizeof(text), "%" PRIxPTR, reinterpret_cast<uintptr_t>(p));
  return text;
}

TEST_F(CollectorTest, NamesCarryAddressAndClass) {
  CRLreferenceNode plain("CRLreferenceNode", true);
  RefPointer handle;
  GarbageCollectorRefPointer entry(nullptr);
  EXPECT_EQ(HexAddress(&plain) + "[CRLreferenceNode]", plain.GetName());
  EXPECT_EQ(HexAddress(static_cast<CRLreferenceNode*>(&handle)) + "[RefPointer]", handle.GetName());
  EXPECT_EQ(HexAddress(static_cast<CRLreferenceNode*>(&entry)) + "[GarbageCollectorRefPointer]",
            entry.GetName());
  EXPECT_EQ(2, plain.GetKind());
  EXPECT_EQ(2, handle.GetKind());
  EXPECT_EQ(1, entry.GetKind());
}

TEST_F(CollectorTest, DestroyingAnObjectNullsHandlesAndDetachesPeers) {
  bool gone = false;
  auto* object = new Probe(&gone);
  RefPointer a(object);
  RefPointer b(a);
  RefPointer c;
  c = b;
  Probe peer(nullptr, true);
  Probe holder(nullptr, true);
  ASSERT_TRUE(peer.Link(object));
  ASSERT_TRUE(holder.Hold(object));
  EXPECT_EQ(5, object->GetLinkCount());
  EXPECT_EQ(object, c.Get());

  delete a.Get();  // a's link keeps the collector away meanwhile
  EXPECT_TRUE(gone);
  EXPECT_EQ(nullptr, a.Get());
  EXPECT_EQ(nullptr, b.Get());
  EXPECT_EQ(nullptr, c.Get());
  EXPECT_FALSE(a);
  EXPECT_EQ(0, a.GetLinkCount());
  EXPECT_EQ(0, peer.GetLinkCount());
  EXPECT_EQ(0, holder.GetHeldCount());
  EXPECT_EQ(0u, GetGarbageCollector().GetPendingCount());
}

TEST_F(CollectorTest, DestroyingAHolderReleasesWhatItHeld) {
  auto* held = new Probe;
  {
    Probe holder(nullptr, true);
    ASSERT_TRUE(holder.Hold(held));
    EXPECT_EQ(1, held->GetLinkCount());
    EXPECT_FALSE(Pending(held));
  }
  // The holder told the held object on its way out; with nothing left the
  // object went to the collector.
  EXPECT_EQ(1, held->GetLinkCount());  // the collector's entry
  EXPECT_TRUE(Pending(held));
}

TEST_F(CollectorTest, AssigningHandles) {
  bool first_gone = false;
  auto* first = new Probe(&first_gone);
  auto* second = new Probe;
  RefPointer handle(first);
  handle = handle;  // no change
  EXPECT_EQ(first, handle.Get());
  EXPECT_EQ(1, first->GetLinkCount());
  handle = first;  // the same object again: still one link
  EXPECT_EQ(1, first->GetLinkCount());

  handle = second;
  EXPECT_EQ(second, handle.As<Probe>());
  EXPECT_TRUE(Pending(first));
  EXPECT_FALSE(Pending(second));
  EXPECT_EQ(1, first->GetLinkCount());  // only the entry
  EXPECT_EQ(0, handle.GetHeldCount());

  // Re-linking the pending object from a handle; the object is alive.
  RefPointer again(first);
  EXPECT_EQ(2, first->GetLinkCount());
  again.Reset();
  EXPECT_EQ(1, first->GetLinkCount());
  EXPECT_FALSE(first_gone);
  EXPECT_FALSE(Pending(&handle));
  EXPECT_FALSE(Pending(&again));
}

TEST_F(CollectorTest, ReleasedObjectWaitsOutTheGracePeriod) {
  bool gone = false;
  auto* object = new Probe(&gone);
  RefPointer handle(object);
  handle.Reset();
  EXPECT_EQ(nullptr, handle.Get());
  ASSERT_TRUE(Pending(object));

  // Sweeps run only when the last one is more than six seconds old.
  Advance(6000);
  TriggerCollect();
  EXPECT_FALSE(gone);
  EXPECT_EQ(start_, GetGarbageCollector().GetLastSweepTime());
  Advance(1);
  TriggerCollect();
  EXPECT_TRUE(gone);
  EXPECT_EQ(start_ + 6001, GetGarbageCollector().GetLastSweepTime());
}

TEST_F(CollectorTest, SweepKeepsObjectsStillWithinTheirGracePeriod) {
  bool old_gone = false;
  bool young_gone = false;
  RefPointer(new Probe(&old_gone)).Reset();
  Advance(5500);
  RefPointer(new Probe(&young_gone)).Reset();  // no sweep yet: 5500 <= 6000
  Advance(501);
  TriggerCollect();  // sweep: cutoff is start + 1001
  EXPECT_TRUE(old_gone);
  EXPECT_FALSE(young_gone);
  Advance(6001);
  TriggerCollect();
  EXPECT_TRUE(young_gone);
}

TEST_F(CollectorTest, HandingOverAgainRestartsTheGracePeriod) {
  bool gone = false;
  auto* object = new Probe(&gone);
  RefPointer(object).Reset();
  Advance(4000);
  GetGarbageCollector().Collect(object);  // stamped anew, no second entry
  EXPECT_EQ(1, object->GetLinkCount());
  Advance(2001);
  TriggerCollect();  // sweep at start + 6001, cutoff start + 1001
  EXPECT_FALSE(gone);
  Advance(6001);
  TriggerCollect();
  EXPECT_TRUE(gone);
}

TEST_F(CollectorTest, RelinkingWithinTheGracePeriodKeepsTheObject) {
  bool gone = false;
  auto* object = new Probe(&gone);
  RefPointer(object).Reset();
  Advance(3000);
  RefPointer keeper(object);
  Advance(3001);
  TriggerCollect();
  EXPECT_FALSE(gone);
  // Linked again, it is live: no longer pending.
  EXPECT_FALSE(Pending(object));
  EXPECT_EQ(1, object->GetLinkCount());
  EXPECT_EQ(object, keeper.Get());

  // Released once more, it gets a full grace period from now.
  keeper.Reset();
  ASSERT_TRUE(Pending(object));
  Advance(6001);
  TriggerCollect();
  EXPECT_TRUE(gone);
}

TEST_F(CollectorTest, HeldObjectsSurviveSweeps) {
  bool gone = false;
  auto* object = new Probe(&gone);
  Probe tool(nullptr, true);
  RefPointer(object).Reset();
  ASSERT_TRUE(object->Hold(&tool));  // the pending object is busy with the tool
  Advance(60000);
  TriggerCollect();
  EXPECT_FALSE(gone);
  EXPECT_TRUE(Pending(object));
  EXPECT_EQ(1, tool.GetLinkCount());

  object->Unhold(&tool);
  EXPECT_EQ(0, tool.GetLinkCount());
  Advance(6001);
  TriggerCollect();  // its stamp is long past the cutoff
  EXPECT_TRUE(gone);
}

TEST_F(CollectorTest, ExclusiveNodeAcceptsOnlyCollectorEntries) {
  Probe exclusive(nullptr, true);
  exclusive.SetExclusive();
  EXPECT_TRUE(exclusive.IsExclusive());

  RefPointer handle(&exclusive);
  EXPECT_EQ(nullptr, handle.Get());
  EXPECT_EQ(0, exclusive.GetLinkCount());
  EXPECT_EQ(0, handle.GetLinkCount());
  Probe other(nullptr, true);
  EXPECT_FALSE(exclusive.Link(&other));
  EXPECT_EQ(0, other.GetLinkCount());

  // A refused assignment still lets go of the previous object.
  auto* previous = new Probe;
  handle = previous;
  handle = &exclusive;
  EXPECT_EQ(nullptr, handle.Get());
  EXPECT_TRUE(Pending(previous));

  GarbageCollectorRefPointer entry(&exclusive);
  EXPECT_EQ(&exclusive, entry.Get());
  EXPECT_EQ(1, exclusive.GetLinkCount());
}

TEST_F(CollectorTest, ReleasedExclusiveObjectIsCollected) {
  bool gone = false;
  auto* object = new Probe(&gone);
  object->SetExclusive();
  GarbageCollectorRefPointer(object).Reset();
  EXPECT_TRUE(Pending(object));
  Advance(6001);
  TriggerCollect();
  EXPECT_TRUE(gone);
}

TEST_F(CollectorTest, PinnedNodesAreNeverCollected) {
  Probe pinned(nullptr, true);
  Probe peer(nullptr, true);
  RefPointer handle(&pinned);
  handle.Reset();
  ASSERT_TRUE(pinned.Link(&peer));
  pinned.Unlink(&peer);
  ASSERT_TRUE(peer.Hold(&pinned));
  peer.Unhold(&pinned);
  EXPECT_FALSE(Pending(&pinned));
  EXPECT_FALSE(Pending(&peer));
  EXPECT_FALSE(Pending(&handle));
  EXPECT_EQ(0u, GetGarbageCollector().GetPendingCount());
  Advance(60000);
  TriggerCollect();
  EXPECT_EQ(0, pinned.GetLinkCount());
}

TEST_F(CollectorTest, DoubleRemovalIsHarmless) {
  auto* object = new Probe;
  Probe peer(nullptr, true);
  ASSERT_TRUE(peer.Link(object));
  EXPECT_FALSE(peer.Link(&peer));
  EXPECT_FALSE(peer.Link(nullptr));
  peer.Unlink(object);
  EXPECT_TRUE(Pending(object));
  EXPECT_FALSE(object->RemoveLink(&peer));
  EXPECT_FALSE(object->RemoveHeld(&peer));
  peer.Unlink(object);
  EXPECT_EQ(1u, GetGarbageCollector().GetPendingCount());
  EXPECT_EQ(1, object->GetLinkCount());
}

// Shutdown is for good, so it runs in a child process.
TEST_F(CollectorTest, ShutdownDestroysEveryPendingObjectRegardlessOfAge) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto run = [] {
    int failures = 0;
    auto check = [&failures](bool ok, const char* what) {
      if (!ok) {
        fprintf(stderr, "failed: %s\n", what);
        ++failures;
      }
    };
    bool fresh_gone = false, busy_gone = false, relinked_gone = false;
    Probe tool(nullptr, true);
    auto* fresh = new Probe(&fresh_gone);
    auto* busy = new Probe(&busy_gone);
    auto* relinked = new Probe(&relinked_gone);
    RefPointer(fresh).Reset();
    RefPointer(busy).Reset();
    busy->Hold(&tool);
    RefPointer(relinked).Reset();
    RefPointer keeper(relinked);
    check(GetGarbageCollector().GetPendingCount() == 3, "three pending");

    ShutdownCollector();
    check(fresh_gone && busy_gone && relinked_gone, "all pending destroyed");
    check(keeper.Get() == nullptr, "handle nulled");
    check(tool.GetLinkCount() == 0, "held tool released");
    check(!GetGarbageCollector().IsEnabled(), "disabled");
    check(GetGarbageCollector().GetPendingCount() == 0, "map empty");

    // After shutdown nothing is handed over.
    auto* late = new Probe;
    RefPointer(late).Reset();
    check(!GetGarbageCollector().IsPending(late), "late object not pending");
    check(late->GetLinkCount() == 0, "late object has no entry");
    delete late;
    ShutdownCollector();  // again: nothing to do
    fflush(stderr);
    std::_Exit(failures);
  };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
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
