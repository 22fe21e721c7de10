// The runtime folder: how it is created, which folders are refused, and how
// object names become file names.
#include "platform/runtime_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "platform/mailslot.h"
#include "platform/shared_block.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(RuntimeDirectory, IsCreatedPrivateWithItsSubFolders) {
  test::TestEnv env;
  const std::string dir = env.Path("fresh");
  setenv("VELTRANE_RUNTIME_DIR", dir.c_str(), 1);
  const mode_t old_umask = ::umask(0);  // the mode must not depend on it
  std::string path, error;
  const bool ok = RuntimeDirectory(&path, &error);
  ::umask(old_umask);
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(dir, path);
  for (const char* sub : {"", "/mailslot", "/shm", "/recipients"}) {
    EXPECT_EQ(0700u, ModeOf(dir + sub)) << sub;
  }
  // One of ours that others may read is made private again, and so is a
  // mailslot's socket, whatever the umask said when it was bound.
  ASSERT_EQ(0, ::chmod(dir.c_str(), 0755));
  ASSERT_EQ(0, ::chmod((dir + "/mailslot").c_str(), 0711));
  ::umask(0);
  auto reader = NewMailslotReader();
  const bool created = reader->Create("open-to-all", 0, 0);
  ::umask(old_umask);
  ASSERT_TRUE(created) << reader->ErrorText();
  EXPECT_EQ(0700u, ModeOf(dir));
  EXPECT_EQ(0700u, ModeOf(dir + "/mailslot"));
  EXPECT_EQ(0600u, ModeOf(dir + "/mailslot/open-to-all"));
}

TEST(RuntimeDirectory, RefusesFoldersOthersCanWrite) {
  test::TestEnv env;
  const std::string dir = env.Path("runtime");
  for (mode_t mode : {0770, 0702}) {
    ASSERT_EQ(0, ::chmod(dir.c_str(), mode));
    std::string path, error;
    EXPECT_FALSE(RuntimeDirectory(&path, &error)) << std::oct << mode;
    EXPECT_NE(std::string::npos, error.find("writable by group or others")) << error;
    EXPECT_FALSE(NewMailslotReader()->Create("refused", 0, 0));
    EXPECT_FALSE(SharedBlock("refused", 4).IsValid());
  }
  // A sub-folder opened up is refused as well.
  ASSERT_EQ(0, ::chmod(dir.c_str(), 0700));
  std::string path, error;
  ASSERT_TRUE(RuntimeDirectory(&path, &error)) << error;
  ASSERT_EQ(0, ::chmod((dir + "/shm").c_str(), 0777));
  EXPECT_FALSE(RuntimeSubdirectory(kSharedBlockFolder, true, &path, &error));
}

TEST(RuntimeDirectory, RefusesAFolderOfAnotherUserOrALink) {
  test::TestEnv env;
  const std::string link = env.Path("link");
  ASSERT_EQ(0, ::symlink(env.Path("runtime").c_str(), link.c_str()));
  setenv("VELTRANE_RUNTIME_DIR", link.c_str(), 1);
  std::string path, error;
  EXPECT_FALSE(RuntimeDirectory(&path, &error));
  EXPECT_NE(std::string::npos, error.find("not a folder")) << error;

  if (::geteuid() != 0) GTEST_SKIP() << "giving a folder away needs root";
  const std::string dir = env.Path("foreign");
  ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700));
  ASSERT_EQ(0, ::chown(dir.c_str(), 12345, 12345));
  setenv("VELTRANE_RUNTIME_DIR", dir.c_str(), 1);
  EXPECT_FALSE(RuntimeDirectory(&path, &error));
  EXPECT_NE(std::string::npos, error.find("owned by another user")) << error;
}

// Without VELTRANE_RUNTIME_DIR and XDG_RUNTIME_DIR the folder lies in the
// user's own cache folder, never at a name in a shared folder another user
// could take first; the folders above it are made private too, and the
// local channels work there.
TEST(RuntimeDirectory, FallsBackToTheUsersCacheFolder) {
  test::TestEnv env;
  test::ScopedEnv no_runtime("VELTRANE_RUNTIME_DIR", std::nullopt);
  test::ScopedEnv no_xdg("XDG_RUNTIME_DIR", std::nullopt);
  const std::string cache = env.Path("cache");
  {
    test::ScopedEnv cache_home("XDG_CACHE_HOME", cache);
    std::string path, error;
    ASSERT_TRUE(RuntimeDirectory(&path, &error)) << error;
    EXPECT_EQ(cache + "/veltrane/runtime", path);
    for (const char* folder : {"", "/veltrane", "/veltrane/runtime", "/veltrane/runtime/shm"}) {
      EXPECT_EQ(0700u, ModeOf(cache + folder)) << folder;
    }
    auto reader = NewMailslotReader();
    ASSERT_TRUE(reader->Create("in-the-cache", 0, 0)) << reader->ErrorText();
    EXPECT_TRUE(SharedBlock("in-the-cache", 4).IsValid());
  }
  // No cache folder named: the one in the home folder.
  test::ScopedEnv no_cache_home("XDG_CACHE_HOME", std::nullopt);
  test::ScopedEnv home("HOME", env.Path("home"));
  std::string path, error;
  ASSERT_TRUE(RuntimeDirectory(&path, &error)) << error;
  EXPECT_EQ(env.Path("home/.cache/veltrane/runtime"), path);
}

TEST(EncodeFileName, KeepsNamesApartAndSafe) {
  EXPECT_EQ("Global%5Cname%3AMutex", EncodeFileName("Global\\name:Mutex"));
  EXPECT_EQ("a%2Fb", EncodeFileName("a/b"));
  EXPECT_EQ("a%252Fb", EncodeFileName("a%2Fb"));
  EXPECT_EQ("%2E.", EncodeFileName(".."));
  EXPECT_EQ("%00%FF", EncodeFileName(std::string("\0\xff", 2)));
}

}  // namespace
}  // namespace tw
