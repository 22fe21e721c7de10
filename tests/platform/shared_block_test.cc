// Named shared blocks between real processes: one block seen by two
// processes, the mutex serialising them, holders that die (with and without
// the lock), recursion on one thread, and the name prefix rule.
#include "platform/shared_block.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/platform/ipc_test_support.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

std::vector<std::string> ShmFiles(const test::TestEnv& env) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(env.Path("runtime/shm"))) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

TEST(SharedObjectPrefix, FollowsTheMajorVersion) {
  EXPECT_EQ("", SharedObjectPrefix(4));
  EXPECT_EQ("Global\\", SharedObjectPrefix(5));
  EXPECT_EQ("Global\\", SharedObjectPrefix(6));
  EXPECT_EQ("", SharedObjectPrefix(PlatformMajorVersion()));
}

TEST(SharedBlock, SecondProcessSeesFirstSizeAndTheMutexSerialises) {
  test::TestEnv env;
  constexpr long kIterations = 3000;
  SharedBlock block("Counter\\1", 16);
  ASSERT_TRUE(block.IsValid());
  EXPECT_FALSE(block.ExistedBefore());
  EXPECT_EQ(16u, block.Size());

  // One opener asks another size, one asks none; both must see 16.
  test::Child other({"block-count", "Counter\\1", "999", "16", std::to_string(kIterations)});
  test::Child by_name({"block-count", "Counter\\1", "0", "16", std::to_string(kIterations)});
  ASSERT_GT(other.pid(), 0);
  ASSERT_GT(by_name.pid(), 0);
  for (long i = 0; i < kIterations; ++i) {
    auto* counter = static_cast<volatile uint32_t*>(block.Lock(kInfiniteWait));
    ASSERT_NE(nullptr, counter);
    const uint32_t seen = *counter;
    if (i % 16 == 0) std::this_thread::yield();
    *counter = seen + 1;
    block.Unlock();
  }
  EXPECT_EQ(0, other.Wait());
  EXPECT_EQ(0, by_name.Wait());
  auto* counter = static_cast<uint32_t*>(block.Lock(1000));
  ASSERT_NE(nullptr, counter);
  EXPECT_EQ(static_cast<uint32_t>(3 * kIterations), *counter);
  block.Unlock();
}

TEST(SharedBlock, OpeningWithoutSizeFailsWhenNobodyHoldsIt) {
  test::TestEnv env;
  SharedBlock block("Nobody", 0);
  EXPECT_FALSE(block.IsValid());
  EXPECT_FALSE(block.ExistedBefore());
  EXPECT_EQ(nullptr, block.Lock(0));
  block.Unlock();  // harmless without a view
}

TEST(SharedBlock, HolderKilledWhileLockedLeavesNoDeadLock) {
  test::TestEnv env;
  SharedBlock block("Abandoned", 8);
  ASSERT_TRUE(block.IsValid());
  const std::string ready = env.Path("ready");
  test::Child holder({"block-hold", "Abandoned", "8", ready});
  ASSERT_TRUE(test::WaitForFile(ready));

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(nullptr, block.Lock(100));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
  EXPECT_EQ(nullptr, block.Lock(0));

  holder.Kill();
  void* data = block.Lock(5000);
  ASSERT_NE(nullptr, data);
  uint64_t word;
  std::memcpy(&word, data, sizeof word);
  EXPECT_EQ(test::kHeldMarker, word);
  block.Unlock();
  // Made consistent, the mutex keeps working.
  ASSERT_NE(nullptr, block.Lock(0));
  block.Unlock();
}

TEST(SharedBlock, LeftoverOfDeadHoldersIsNeverTakenForALiveBlock) {
  test::TestEnv env;
  for (const char* name : {"Leftover-a", "Leftover-b"}) {
    const std::string ready = env.Path(std::string("ready-") + name);
    test::Child holder({"block-hold", name, "32", ready});
    ASSERT_TRUE(test::WaitForFile(ready));
  }  // each killed while holding its block and lock; their files stay behind
  EXPECT_EQ(4u, ShmFiles(env).size());

  SharedBlock absent("Leftover-a", 0);
  EXPECT_FALSE(absent.IsValid());

  SharedBlock fresh("Leftover-b", 8);
  ASSERT_TRUE(fresh.IsValid());
  EXPECT_FALSE(fresh.ExistedBefore());
  EXPECT_EQ(8u, fresh.Size());
  void* data = fresh.Lock(1000);
  ASSERT_NE(nullptr, data);
  uint64_t word;
  std::memcpy(&word, data, sizeof word);
  EXPECT_EQ(0u, word);
  fresh.Unlock();
}

TEST(SharedBlock, BlockEndsWithItsLastHolder) {
  test::TestEnv env;
  {
    SharedBlock first("Short-lived", 4);
    ASSERT_TRUE(first.IsValid());
    {
      SharedBlock second("Short-lived", 0);
      ASSERT_TRUE(second.IsValid());
      EXPECT_TRUE(second.ExistedBefore());
      EXPECT_EQ(4u, second.Size());
    }
    SharedBlock third("Short-lived", 0);  // the first still holds it
    EXPECT_TRUE(third.IsValid());
  }
  EXPECT_TRUE(ShmFiles(env).empty());
  SharedBlock again("Short-lived", 0);
  EXPECT_FALSE(again.IsValid());
}

TEST(SharedBlock, NamesAreKeptApartWhateverTheirCharacters) {
  test::TestEnv env;
  SharedBlock slash("a/b", 4);
  SharedBlock escaped("a%2Fb", 8);
  SharedBlock backslash("Global\\a", 12);
  ASSERT_TRUE(slash.IsValid());
  ASSERT_TRUE(escaped.IsValid());
  ASSERT_TRUE(backslash.IsValid());
  EXPECT_FALSE(escaped.ExistedBefore());
  EXPECT_EQ(4u, slash.Size());
  EXPECT_EQ(8u, escaped.Size());
  for (const std::string& name : ShmFiles(env)) {
    EXPECT_EQ(std::string::npos, name.find('\\')) << name;
  }
}

TEST(SharedBlock, LockIsRecursiveForItsThreadOnly) {
  test::TestEnv env;
  SharedBlock block("Recursive", 4);
  void* first = block.Lock(kInfiniteWait);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(first, block.Lock(0));

  auto lock_elsewhere = [&](uint32_t timeout_ms) {
    bool got = false;
    std::thread other([&] {
      if (block.Lock(timeout_ms) != nullptr) {
        got = true;
        block.Unlock();
      }
    });
    other.join();
    return got;
  };
  EXPECT_FALSE(lock_elsewhere(50));
  block.Unlock();
  EXPECT_FALSE(lock_elsewhere(50));  // still held once
  block.Unlock();
  EXPECT_TRUE(lock_elsewhere(5000));
}

}  // namespace
}  // namespace tw
