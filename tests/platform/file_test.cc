// The local file object on real files in the test folder.
#include "platform/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "platform/file_attributes.h"
#include "platform/file_move.h"
#include "platform/small_file.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

std::unique_ptr<FileObject> OpenFile(const std::string& path, uint32_t access,
                                     uint32_t disposition) {
  std::unique_ptr<FileObject> f = NewLocalFile();
  if (!f->Open(path, access, 0, disposition, 0)) return nullptr;
  return f;
}

TEST(File, ReadAtTheEndFailsAndSetsEndOfFile) {
  test::TestEnv env;
  const std::string path = env.Path("abc");
  test::WriteFile(path, "abc");
  auto f = OpenFile(path, FileObject::kRead, FileObject::kOpenExisting);
  ASSERT_TRUE(f);
  char buf[8];
  uint32_t n = 99;
  EXPECT_TRUE(f->Read(buf, sizeof buf, &n));
  EXPECT_EQ(3u, n);
  EXPECT_FALSE(f->IsEndOfFile()) << "a short read is no end of file yet";
  EXPECT_FALSE(f->Read(buf, sizeof buf, &n));
  EXPECT_EQ(0u, n);
  EXPECT_TRUE(f->IsEndOfFile());
  EXPECT_EQ(-1, f->ReadByte());
  ASSERT_EQ(1, f->Seek(1, FileObject::kBegin));
  EXPECT_EQ('b', f->ReadByte());
  EXPECT_EQ(-1, f->WriteByte('x')) << "opened for reading only";
}

// Writing goes on while the file is flushed on the side; hints that come
// while a flush runs are harmless, and the file object is reused afterwards.
TEST(File, WritebackFlushesWhileWritingGoesOn) {
  test::TestEnv env;
  std::string expected;
  for (int round = 0; round < 2; ++round) {
    const std::string path = env.Path("grown" + std::to_string(round));
    std::unique_ptr<FileObject> f = NewLocalFile();
    f->StartWriteback();  // nothing open: nothing to do
    ASSERT_TRUE(f->Open(path, FileObject::kWrite, 0, FileObject::kCreateNew, 0));
    expected.clear();
    for (int i = 0; i < 64; ++i) {
      const std::string piece(64 * 1024, static_cast<char>('a' + (i + round) % 26));
      ASSERT_TRUE(f->Write(piece.data(), static_cast<uint32_t>(piece.size()), nullptr)) << i;
      expected += piece;
      f->StartWriteback();
    }
    f->Close();
    EXPECT_FALSE(f->WritebackFailed());
    EXPECT_EQ(test::ReadFile(path), expected);
  }
}

TEST(File, SizeAndSeekBeyondFourGigabytesLeaveThePosition) {
  test::TestEnv env;
  auto f =
      OpenFile(env.Path("big"), FileObject::kRead | FileObject::kWrite, FileObject::kCreateNew);
  ASSERT_TRUE(f);
  ASSERT_TRUE(f->Write("0123456789", 10, nullptr));
  ASSERT_EQ(4, f->Seek(-6, FileObject::kEnd));
  EXPECT_EQ(10, f->Size());
  EXPECT_EQ(4, f->Tell());
  EXPECT_EQ(-1, f->Seek(-100, FileObject::kCurrent));
  EXPECT_EQ(4, f->Tell());

  const int64_t far = (int64_t{5} << 30) + 3;
  ASSERT_EQ(far, f->Seek(far, FileObject::kBegin));
  if (f->WriteByte('z') != 'z') GTEST_SKIP() << "the file system refuses sparse large files";
  EXPECT_EQ(far + 1, f->Size());
  EXPECT_EQ(far - 10, f->Seek(-11, FileObject::kCurrent));
  EXPECT_EQ(0, f->ReadByte()) << "the hole reads as zeros";
  f->Close();
  EXPECT_EQ(-1, f->Size());
  EXPECT_FALSE(f->Write("x", 1, nullptr));
}

TEST(File, DispositionsAndModes) {
  test::TestEnv env;
  const std::string path = env.Path("d");
  const mode_t old_umask = umask(027);
  auto created = OpenFile(path, FileObject::kWrite, FileObject::kCreateNew);
  umask(old_umask);
  ASSERT_TRUE(created);
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 0777);

  test::WriteFile(path, "old contents");
  EXPECT_FALSE(OpenFile(path, FileObject::kWrite, FileObject::kCreateNew)) << "exists";
  EXPECT_FALSE(OpenFile(env.Path("missing"), FileObject::kRead, FileObject::kOpenExisting));
  EXPECT_FALSE(OpenFile(path, FileObject::kRead, FileObject::kTruncateExisting))
      << "needs write access";
  EXPECT_FALSE(OpenFile(env.root(), FileObject::kRead, FileObject::kOpenExisting)) << "a folder";
  EXPECT_TRUE(OpenFile(path, FileObject::kWrite, FileObject::kOpenAlways));
  EXPECT_EQ("old contents", test::ReadFile(path));
  EXPECT_TRUE(OpenFile(path, FileObject::kWrite, FileObject::kCreateAlways));
  EXPECT_EQ("", test::ReadFile(path));

  // Not even a link to nothing is followed.
  const std::string target = env.Path("target"), link = env.Path("link");
  ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
  EXPECT_FALSE(OpenFile(link, FileObject::kWrite, FileObject::kCreateNew));
  EXPECT_NE(0, access(target.c_str(), F_OK)) << "nothing created through the link";
}

TEST(File, SetsTheLastWriteTimeToTheMillisecond) {
  test::TestEnv env;
  const std::string path = env.Path("t");
  test::WriteFile(path, "x");
  const timespec atime[2] = {{1000000000, 5}, {0, UTIME_OMIT}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), atime, 0));
  auto f = NewLocalFile();
  ASSERT_TRUE(f->Open(path, FileObject::kWrite, 0, FileObject::kOpenExisting, 0));
  EXPECT_TRUE(f->SetModifiedTime(DateTime::FromMilliseconds(1110204309120)));
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(1110204309, st.st_mtim.tv_sec);
  EXPECT_EQ(120000000, st.st_mtim.tv_nsec);
  EXPECT_EQ(1000000000, st.st_atim.tv_sec) << "the last-access time stays";

  EXPECT_TRUE(f->SetModifiedTime(DateTime::FromMilliseconds(-1)));  // 1969-12-31 23:59:59.999
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(-1, st.st_mtim.tv_sec);
  EXPECT_EQ(999000000, st.st_mtim.tv_nsec);
  f->Close();
  EXPECT_FALSE(f->SetModifiedTime(DateTime::FromMilliseconds(0))) << "no file open";
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The write permission follows the user's locks on working files only: a
// link is not followed to a file elsewhere, and a folder keeps its mode.
TEST(FileAttributes, ReadOnlyChangesRegularFilesOnlyNeverThroughALink) {
  test::TestEnv env;
  const std::string file = env.Path("work.txt");
  test::WriteFile(file, "mine");
  ASSERT_EQ(0, ::chmod(file.c_str(), 0664));
  EXPECT_TRUE(SetLocalFileReadOnly(file, true));
  EXPECT_EQ(0444u, ModeOf(file));
  EXPECT_TRUE(SetLocalFileReadOnly(file, false));
  EXPECT_EQ(0644u, ModeOf(file));

  const std::string elsewhere = env.Path("elsewhere.txt");
  test::WriteFile(elsewhere, "not the provider's");
  ASSERT_EQ(0, ::chmod(elsewhere.c_str(), 0444));
  const std::string link = env.Path("link.txt");
  ASSERT_EQ(0, ::symlink(elsewhere.c_str(), link.c_str()));
  std::string error;
  EXPECT_FALSE(SetLocalFileReadOnly(link, false, &error));
  EXPECT_NE(std::string::npos, error.find("symbolic link")) << error;
  EXPECT_EQ(0444u, ModeOf(elsewhere));
  ASSERT_EQ(0, ::chmod(elsewhere.c_str(), 0644));
  EXPECT_FALSE(SetLocalFileReadOnly(link, true));
  EXPECT_EQ(0644u, ModeOf(elsewhere));

  const std::string folder = env.Path("folder");
  ASSERT_EQ(0, ::mkdir(folder.c_str(), 0755));
  error.clear();
  EXPECT_FALSE(SetLocalFileReadOnly(folder, true, &error));
  EXPECT_NE(std::string::npos, error.find("folder")) << error;
  EXPECT_EQ(0755u, ModeOf(folder));

  error.clear();
  EXPECT_FALSE(SetLocalFileReadOnly(env.Path("missing.txt"), true, &error));
  EXPECT_FALSE(error.empty());
}

// A file that replaces another takes its permission bits, the execute bits
// too, and never hands them to a file a link points at.
TEST(FileAttributes, ModeCarriesOverToARegularFileOnly) {
  test::TestEnv env;
  const std::string script = env.Path("build.sh");
  test::WriteFile(script, "old");
  ASSERT_EQ(0, ::chmod(script.c_str(), 0750));
  uint32_t mode = 0;
  ASSERT_TRUE(ReadLocalFileMode(script, &mode));
  EXPECT_EQ(0750u, mode);
  EXPECT_FALSE(ReadLocalFileMode(env.Path("missing.sh"), &mode));

  const std::string merged = env.Path("merged.sh");
  test::WriteFile(merged, "new");
  ASSERT_EQ(0, ::chmod(merged.c_str(), 0600));
  EXPECT_TRUE(SetLocalFileMode(merged, mode));
  EXPECT_EQ(0750u, ModeOf(merged));
  // Set-id bits neither come from the other file nor go away.
  ASSERT_EQ(0, ::chmod(merged.c_str(), 02700));
  EXPECT_TRUE(SetLocalFileMode(merged, 04750));
  EXPECT_EQ(02750u, ModeOf(merged));
  ASSERT_EQ(0, ::chmod(merged.c_str(), 0750));

  const std::string link = env.Path("link.sh");
  ASSERT_EQ(0, ::symlink(merged.c_str(), link.c_str()));
  std::string error;
  EXPECT_FALSE(SetLocalFileMode(link, 0777, &error));
  EXPECT_NE(std::string::npos, error.find("symbolic link")) << error;
  EXPECT_EQ(0750u, ModeOf(merged));
}

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// The copy that a move across file systems makes works under a name nobody
// can foresee: the user's own files beside the target are never touched,
// and whatever fails, no scratch file stays behind.
TEST(FileMove, CopyUsesAFreshNameAndLeavesNothingBehind) {
  test::TestEnv env;
  const std::string work = env.Path("work");
  std::filesystem::create_directories(work);
  const std::string target = work + "/main.c";
  test::WriteFile(target, "old");
  ASSERT_EQ(0, ::chmod(target.c_str(), 0444));
  test::WriteFile(target + ".tw-part", "the user's own file");
  const std::string received = env.Path("received");
  test::WriteFile(received, "new contents");

  std::string error;
  ASSERT_TRUE(CopyFileReplacing(received, target, &error)) << error;
  EXPECT_EQ("new contents", test::ReadFile(target));
  EXPECT_EQ("the user's own file", test::ReadFile(target + ".tw-part"));
  EXPECT_EQ("new contents", test::ReadFile(received));
  EXPECT_EQ((std::set<std::string>{"main.c", "main.c.tw-part"}), Names(work));

  // A source that cannot be read: the target stays, nothing is left over.
  const std::string unreadable = env.Path("a-folder");
  std::filesystem::create_directories(unreadable);
  error.clear();
  EXPECT_FALSE(CopyFileReplacing(unreadable, target, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ("new contents", test::ReadFile(target));
  EXPECT_EQ((std::set<std::string>{"main.c", "main.c.tw-part"}), Names(work));

  // A target that cannot be replaced (a folder with files in it).
  const std::string busy = work + "/busy";
  std::filesystem::create_directories(busy);
  test::WriteFile(busy + "/inside.txt", "x");
  test::WriteFile(received, "again");
  error.clear();
  EXPECT_FALSE(CopyFileReplacing(received, busy, &error));
  EXPECT_NE(std::string::npos, error.find(busy)) << error;
  EXPECT_EQ("again", test::ReadFile(received));
  EXPECT_EQ((std::set<std::string>{"main.c", "main.c.tw-part", "busy"}), Names(work));
  EXPECT_EQ((std::set<std::string>{"inside.txt"}), Names(busy));

  EXPECT_FALSE(MoveFileReplacing(received, busy, nullptr));
  EXPECT_EQ("again", test::ReadFile(received));

  // A missing source or target folder.
  EXPECT_FALSE(CopyFileReplacing(env.Path("none"), target, &error));
  EXPECT_FALSE(CopyFileReplacing(received, env.Path("missing/b"), nullptr));
  EXPECT_EQ((std::set<std::string>{"main.c", "main.c.tw-part", "busy"}), Names(work));

  // A link planted under the target's name is replaced, its target left.
  const std::string victim = env.Path("victim.txt");
  test::WriteFile(victim, "precious");
  ASSERT_EQ(0, ::unlink(target.c_str()));
  ASSERT_EQ(0, ::symlink(victim.c_str(), target.c_str()));
  ASSERT_TRUE(CopyFileReplacing(received, target, &error)) << error;
  EXPECT_EQ("precious", test::ReadFile(victim));
  EXPECT_FALSE(std::filesystem::is_symlink(target));
  EXPECT_EQ("again", test::ReadFile(target));
}

// A link in the target's place is replaced by the file, never written
// through, and the moved file has the mode of a file the user makes.
TEST(FileMove, MoveReplacesALinkAndNotItsTarget) {
  test::TestEnv env;
  const std::string elsewhere = env.Path("elsewhere.txt");
  test::WriteFile(elsewhere, "keep");
  const std::string target = env.Path("work.txt");
  ASSERT_EQ(0, ::symlink(elsewhere.c_str(), target.c_str()));
  const std::string received = env.Path("received");
  test::WriteFile(received, "fetched");
  ASSERT_EQ(0, ::chmod(received.c_str(), 0600));
  const mode_t mask = ::umask(022);
  ::umask(mask);

  std::string error;
  ASSERT_TRUE(MoveFileReplacing(received, target, &error)) << error;
  struct stat st {};
  ASSERT_EQ(0, ::lstat(target.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0666u & ~mask, st.st_mode & 07777);
  EXPECT_EQ("fetched", test::ReadFile(target));
  EXPECT_EQ("keep", test::ReadFile(elsewhere));
}

// A folder named below a working folder is reached, and its missing parts
// made, only inside it: a link that leads out is refused before anything is
// created or moved through it; one that stays inside is followed.
TEST(ContainedFolder, NeverLeavesTheWorkingFolder) {
  test::TestEnv env;
  const std::string work = env.Path("work");
  const std::string outside = env.Path("outside");
  std::filesystem::create_directories(work + "/src");
  std::filesystem::create_directories(outside);
  ASSERT_EQ(0, ::symlink("../outside", (work + "/link").c_str()));
  ASSERT_EQ(0, ::symlink("src", (work + "/alias").c_str()));
  ASSERT_EQ(0, ::symlink("../missing", (work + "/dangling").c_str()));

  // Missing folders below the working folder are made, and a file moved in
  // through the open folder lands there.
  ContainedFolder deep;
  std::string error;
  ASSERT_TRUE(deep.Open(work, work + "/src/lib/deep", true, &error)) << error;
  const std::string received = env.Path("received");
  test::WriteFile(received, "x");
  ASSERT_TRUE(MoveFileReplacing(received, deep.PathOf("x.c"), &error)) << error;
  EXPECT_EQ("x", test::ReadFile(work + "/src/lib/deep/x.c"));
  EXPECT_TRUE(FolderStaysInside(work, work + "/src/lib/deep"));
  EXPECT_TRUE(FolderStaysInside(work, work + "/not/there/yet"));

  // Through a link that leads out: refused, nothing made on the other side.
  for (const std::string& folder : {work + "/link", work + "/link/sub", work + "/dangling/sub"}) {
    ContainedFolder out;
    error.clear();
    EXPECT_FALSE(out.Open(work, folder, true, &error)) << folder;
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(out.is_open());
    EXPECT_FALSE(FolderStaysInside(work, folder)) << folder;
  }
  EXPECT_TRUE(std::filesystem::is_empty(outside));
  EXPECT_FALSE(std::filesystem::exists(env.Path("missing")));

  // The open folder holds: a link swapped in above it afterwards is not
  // followed by a move into it.
  std::filesystem::rename(work + "/src", work + "/moved");
  ASSERT_EQ(0, ::symlink("../outside", (work + "/src").c_str()));
  test::WriteFile(received, "z");
  ASSERT_TRUE(MoveFileReplacing(received, deep.PathOf("z.c"), &error)) << error;
  EXPECT_EQ("z", test::ReadFile(work + "/moved/lib/deep/z.c"));
  EXPECT_TRUE(std::filesystem::is_empty(outside));
  ASSERT_EQ(0, ::unlink((work + "/src").c_str()));
  std::filesystem::rename(work + "/moved", work + "/src");

  // A link that stays inside the working folder is followed.
  ContainedFolder alias;
  ASSERT_TRUE(alias.Open(work, work + "/alias/lib", true, &error)) << error;
  test::WriteFile(received, "y");
  ASSERT_TRUE(MoveFileReplacing(received, alias.PathOf("y.c"), &error)) << error;
  EXPECT_EQ("y", test::ReadFile(work + "/src/lib/y.c"));

  // Names that are not below the working folder by their text, and a
  // missing folder without `create`.
  ContainedFolder other;
  EXPECT_FALSE(other.Open(work, env.Path("elsewhere"), true, &error));
  EXPECT_FALSE(other.Open(work, work + "/src/../../outside", true, &error));
  EXPECT_FALSE(other.Open(work, "relative/src", true, &error));
  EXPECT_FALSE(other.Open(work, work + "/src/none", false, &error));
  EXPECT_FALSE(std::filesystem::exists(work + "/src/none"));
  // A file where a folder would be.
  test::WriteFile(work + "/src/file", "f");
  EXPECT_FALSE(other.Open(work, work + "/src/file/sub", true, &error));
  EXPECT_TRUE(other.Open(work, work, false, &error)) << error;

  // A working folder that is not there yet is made with the folder in it.
  const std::string fresh = env.Path("fresh/work");
  EXPECT_TRUE(FolderStaysInside(fresh, fresh + "/src"));
  EXPECT_FALSE(other.Open(fresh, fresh + "/src", false, &error));
  ASSERT_TRUE(other.Open(fresh, fresh + "/src", true, &error)) << error;
  EXPECT_TRUE(std::filesystem::is_directory(fresh + "/src"));
}

bool ReadRefusesFifo(const std::string& fifo) {
  std::string contents = "stale", error;
  return !ReadSmallFile(fifo, 1024, &contents, &error) && contents.empty() &&
         error == "not a regular file";
}

// Without a reader the open fails; with one the FIFO is refused.
bool AppendRefusesFifo(const std::string& fifo) {
  std::string error;
  if (AppendToFile(fifo, "line\n", &error)) return false;
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  return reader >= 0 && !AppendToFile(fifo, "line\n", &error) &&
         error.find("not a regular file") != std::string::npos;
}

// Runs `check` in the child of a death test, with an alarm, so that a wait
// fails the test instead of holding it.
[[noreturn]] void ExitWithinAlarm(bool (*check)(const std::string&), const std::string& path) {
  ::alarm(30);
  std::exit(check(path) ? 0 : 1);
}

// A FIFO where a small file is expected is refused at once: opening it must
// not wait for a partner that never comes.
TEST(SmallFile, RegularFilesOnlyAndNeverAWait) {
  test::TestEnv env;
  const std::string fifo = env.Path("script");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  EXPECT_EXIT(ExitWithinAlarm(ReadRefusesFifo, fifo), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(ExitWithinAlarm(AppendRefusesFifo, fifo), ::testing::ExitedWithCode(0), "");

  const std::string file = env.Path("small.txt");
  test::WriteFile(file, "twelve bytes");
  std::string contents, error;
  EXPECT_FALSE(ReadSmallFile(file, 11, &contents, &error));
  ASSERT_TRUE(ReadSmallFile(file, 12, &contents, &error)) << error;
  EXPECT_EQ("twelve bytes", contents);
  ASSERT_TRUE(AppendToFile(file, "!", &error)) << error;
  EXPECT_EQ("twelve bytes!", test::ReadFile(file));
}

// Without following links the text goes only to the file the name itself
// gives: a link in its place is refused and what it leads to is kept.
TEST(SmallFile, AppendingWithoutFollowingLinksRefusesALink) {
  test::TestEnv env;
  const std::string target = env.Path("elsewhere.txt");
  const std::string log = env.Path("update.log");
  test::WriteFile(target, "kept");
  ASSERT_EQ(0, ::symlink(target.c_str(), log.c_str()));
  std::string error;
  EXPECT_FALSE(AppendToFile(log, "forged\n", &error, /*follow_links=*/false));
  EXPECT_NE(std::string::npos, error.find(log)) << error;
  EXPECT_EQ("kept", test::ReadFile(target));
  EXPECT_TRUE(AppendToFile(log, "!", &error)) << error;
  EXPECT_EQ("kept!", test::ReadFile(target));
}

}  // namespace
}  // namespace tw
