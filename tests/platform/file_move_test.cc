// Copying and moving whole files over a target, on real files in the test
// folder: the target is replaced, never written through, and a failure
// leaves it and its folder as they were.
#include "platform/file_move.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/test_env.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

size_t EntriesIn(const std::string& folder) {
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    (void)entry;
    ++count;
  }
  return count;
}

TEST(FileMove, CopyReplacesTheTargetAndKeepsTheSource) {
  test::TestEnv env;
  const std::string from = env.Path("work/a.txt");
  const std::string to = env.Path("work/a.txt.[Local]");
  fs::create_directories(env.Path("work"));
  test::WriteFile(from, "source");
  test::WriteFile(to, "old");
  chmod(to.c_str(), 0444);
  std::string error;
  ASSERT_TRUE(CopyFileReplacing(from, to, &error)) << error;
  EXPECT_EQ("source", test::ReadFile(from));
  EXPECT_EQ("source", test::ReadFile(to));
  EXPECT_EQ(2u, EntriesIn(env.Path("work")));

  // A link planted under the target's name is replaced, its target left.
  const std::string victim = env.Path("victim.txt");
  test::WriteFile(victim, "precious");
  ASSERT_EQ(0, ::unlink(to.c_str()));
  ASSERT_EQ(0, ::symlink(victim.c_str(), to.c_str()));
  ASSERT_TRUE(CopyFileReplacing(from, to, &error)) << error;
  EXPECT_EQ("precious", test::ReadFile(victim));
  EXPECT_FALSE(fs::is_symlink(to));
  EXPECT_EQ("source", test::ReadFile(to));
}

TEST(FileMove, FailuresLeaveTheTargetAndNoPartialFile) {
  test::TestEnv env;
  const std::string from = env.Path("work/a.txt");
  fs::create_directories(env.Path("work/a.txt.[Tip]/inside"));
  test::WriteFile(from, "source");
  std::string error;
  // A folder under the target's name.
  EXPECT_FALSE(CopyFileReplacing(from, env.Path("work/a.txt.[Tip]"), &error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(fs::is_directory(env.Path("work/a.txt.[Tip]/inside")));
  EXPECT_FALSE(MoveFileReplacing(from, env.Path("work/a.txt.[Tip]"), nullptr));
  EXPECT_EQ("source", test::ReadFile(from));
  // A missing source or target folder.
  EXPECT_FALSE(CopyFileReplacing(env.Path("work/none"), env.Path("work/b"), nullptr));
  EXPECT_FALSE(CopyFileReplacing(from, env.Path("missing/b"), nullptr));
  EXPECT_EQ(2u, EntriesIn(env.Path("work")));
}

}  // namespace
}  // namespace tw
