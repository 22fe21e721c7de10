// Named shared blocks between real processes: one block seen by two
// processes, the mutex serialising them, holders that die (with and without
// the lock), and recursion on one thread.
#include "platform/shared_block.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/platform/ipc_test_support.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

uint64_t FirstWord(SharedBlock* block) {
  void* data = block->Lock(5000);
  EXPECT_NE(nullptr, data);
  uint64_t word = 0;
  if (data != nullptr) std::memcpy(&word, data, sizeof word);
  block->Unlock();
  return word;
}

// Machine-wide names carry "Global\" from major version 5 on; this
// platform reports a version without it, so its names stay as given.
TEST(SharedBlock, GlobalPrefixFollowsTheMajorVersion) {
  EXPECT_EQ(SharedObjectPrefix(4), "");
  EXPECT_EQ(SharedObjectPrefix(5), "Global\\");
  EXPECT_EQ(SharedObjectPrefix(10), "Global\\");
  EXPECT_EQ(SharedObjectPrefix(PlatformMajorVersion()), "");
}

// Opening a block that cannot exist, because the runtime folder is not
// there, leaves no folder behind: a late open, after the folder was taken
// away, must not make it again.
TEST(SharedBlock, AnOpenWithoutTheRuntimeFolderCreatesNothing) {
  test::TestEnv env;
  const std::filesystem::path gone = env.Path("gone");
  const std::filesystem::path runtime = gone / "runtime";
  const char* old = getenv("VELTRANE_RUNTIME_DIR");
  const std::string saved = old != nullptr ? old : "";
  setenv("VELTRANE_RUNTIME_DIR", runtime.c_str(), 1);
  {
    SharedBlock block("NobodyMadeMe", 0);
    EXPECT_FALSE(block.IsValid());
  }
  EXPECT_FALSE(std::filesystem::exists(gone));
  {
    SharedBlock block("MadeHere", 8);  // a creation makes the folder
    EXPECT_TRUE(block.IsValid());
  }
  EXPECT_TRUE(std::filesystem::is_directory(runtime));
  if (old != nullptr) {
    setenv("VELTRANE_RUNTIME_DIR", saved.c_str(), 1);
  } else {
    unsetenv("VELTRANE_RUNTIME_DIR");
  }
}

TEST(SharedBlock, SecondProcessSeesFirstSizeAndTheMutexSerialises) {
  test::TestEnv env;
  constexpr long kIterations = 3000;
  SharedBlock block("Counter\\1", 16);
  ASSERT_TRUE(block.IsValid());
  EXPECT_FALSE(block.ExistedBefore());
  // One opener asks another size, one asks none; both must see 16.
  test::Child other({"block-count", "Counter\\1", "999", "16", std::to_string(kIterations)});
  test::Child by_name({"block-count", "Counter\\1", "0", "16", std::to_string(kIterations)});
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
  EXPECT_EQ(static_cast<uint64_t>(3 * kIterations), FirstWord(&block));
}

TEST(SharedBlock, HolderKilledWhileLockedLeavesNoDeadLock) {
  test::TestEnv env;
  SharedBlock block("Abandoned", 8);
  ASSERT_TRUE(block.IsValid());
  const std::string ready = env.Path("ready");
  test::Child holder({"block-hold", "Abandoned", "8", ready});
  ASSERT_TRUE(test::WaitForFile(ready));
  EXPECT_EQ(nullptr, block.Lock(100));
  holder.Kill();
  EXPECT_EQ(test::kHeldMarker, FirstWord(&block));
  // Made consistent, the mutex keeps working.
  ASSERT_NE(nullptr, block.Lock(0));
  block.Unlock();
}

TEST(SharedBlock, LeftoverOfDeadHoldersIsNeverTakenForALiveBlock) {
  test::TestEnv env;
  const std::string ready = env.Path("ready");
  {
    test::Child holder({"block-hold", "Leftover", "32", ready});
    ASSERT_TRUE(test::WaitForFile(ready));
  }  // killed while holding its block and lock; its files stay behind
  EXPECT_FALSE(std::filesystem::is_empty(env.Path("runtime/shm")));
  EXPECT_FALSE(SharedBlock("Leftover", 0).IsValid());
  SharedBlock fresh("Leftover", 8);
  ASSERT_TRUE(fresh.IsValid());
  EXPECT_FALSE(fresh.ExistedBefore());
  EXPECT_EQ(8u, fresh.Size());
  EXPECT_EQ(0u, FirstWord(&fresh));
}

TEST(SharedBlock, BlockEndsWithItsLastHolder) {
  test::TestEnv env;
  {
    SharedBlock first("Short-lived", 4);
    ASSERT_TRUE(first.IsValid());
    SharedBlock second("Short-lived", 0);
    EXPECT_TRUE(second.ExistedBefore());
    EXPECT_EQ(4u, second.Size());
  }
  EXPECT_TRUE(std::filesystem::is_empty(env.Path("runtime/shm")));
  SharedBlock again("Short-lived", 0);
  EXPECT_FALSE(again.IsValid());
  EXPECT_EQ(nullptr, again.Lock(0));
}

TEST(SharedBlock, LockIsRecursiveForItsThreadOnly) {
  test::TestEnv env;
  SharedBlock block("Recursive", 4);
  void* first = block.Lock(kInfiniteWait);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(first, block.Lock(0));
  auto lock_elsewhere = [&](uint32_t timeout_ms) {
    bool got = false;
    std::thread([&] {
      got = block.Lock(timeout_ms) != nullptr;
      if (got) block.Unlock();
    }).join();
    return got;
  };
  block.Unlock();
  EXPECT_FALSE(lock_elsewhere(50));  // still held once
  block.Unlock();
  EXPECT_TRUE(lock_elsewhere(5000));
}

}  // namespace
}  // namespace tw
