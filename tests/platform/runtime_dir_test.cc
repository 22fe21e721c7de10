// The runtime folder: where it lies, how it is created, which folders are
// refused, and how object names become file names.
#include "platform/runtime_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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
  EXPECT_EQ(0700u, ModeOf(dir));
  for (const char* sub : {"mailslot", "shm", "recipients"}) {
    EXPECT_EQ(0700u, ModeOf(dir + "/" + sub)) << sub;
  }
}

TEST(RuntimeDirectory, FallsBackToTheSessionRuntimeFolder) {
  test::TestEnv env;
  unsetenv("VELTRANE_RUNTIME_DIR");
  setenv("XDG_RUNTIME_DIR", env.root().c_str(), 1);
  std::string path, error;
  ASSERT_TRUE(RuntimeDirectory(&path, &error)) << error;
  EXPECT_EQ(env.Path("veltrane"), path);
  unsetenv("XDG_RUNTIME_DIR");
}

TEST(RuntimeDirectory, LookupWithoutCreateLeavesNoTrace) {
  test::TestEnv env;
  const std::string dir = env.Path("absent");
  setenv("VELTRANE_RUNTIME_DIR", dir.c_str(), 1);
  std::string path, error;
  EXPECT_FALSE(RuntimeSubdirectory(kMailslotFolder, false, &path, &error));
  EXPECT_NE(std::string::npos, error.find("does not exist")) << error;
  EXPECT_FALSE(MailslotIsAlive("anything"));
  EXPECT_NE(0, ::access(dir.c_str(), F_OK));
}

TEST(RuntimeDirectory, RefusesFoldersOthersCanWrite) {
  test::TestEnv env;
  const std::string dir = env.Path("runtime");
  for (mode_t mode : {0770, 0702, 0777}) {
    ASSERT_EQ(0, ::chmod(dir.c_str(), mode));
    std::string path, error;
    EXPECT_FALSE(RuntimeDirectory(&path, &error)) << std::oct << mode;
    EXPECT_NE(std::string::npos, error.find("writable by group or others")) << error;
    auto reader = NewMailslotReader();
    EXPECT_FALSE(reader->Create("refused", 0, 0));
    EXPECT_NE(std::string::npos, reader->ErrorText().find("writable by group or others"));
    SharedBlock block("refused", 4);
    EXPECT_FALSE(block.IsValid());
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

TEST(EncodeFileName, KeepsNamesApartAndSafe) {
  EXPECT_EQ("Veltrane%3AAPPpropertyFileServer", EncodeFileName("Veltrane:APPpropertyFileServer"));
  EXPECT_EQ("Global%5Cname_Mutex", EncodeFileName("Global\\name_Mutex"));
  EXPECT_EQ("a%2Fb", EncodeFileName("a/b"));
  EXPECT_EQ("a%252Fb", EncodeFileName("a%2Fb"));
  EXPECT_EQ("%2E.", EncodeFileName(".."));
  EXPECT_EQ("%2Ehidden.x", EncodeFileName(".hidden.x"));
  EXPECT_EQ("%00%FF", EncodeFileName(std::string("\0\xff", 2)));
  EXPECT_EQ("0a1b2c3d-0000-4000-8000-abcdefabcdef",
            EncodeFileName("0a1b2c3d-0000-4000-8000-abcdefabcdef"));
}

}  // namespace
}  // namespace tw
