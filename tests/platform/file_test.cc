// The local file object on real files in the test folder.
#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wx/datetime.h>

#include <cstring>
#include <memory>
#include <string>

#include "tests/support/test_env.h"

namespace tw {
namespace {

std::unique_ptr<CRLfile> OpenFile(const std::string& path, uint32_t access, uint32_t disposition) {
  std::unique_ptr<CRLfile> f = NewLocalFile();
  if (!f->Open(path, access, 0, disposition, 0)) return nullptr;
  return f;
}

// Whether every descriptor of this process that names `path` is close-on-exec.
int DescriptorsWithoutCloexec(const std::string& path) {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* e = readdir(dir)) {
    char target[4096];
    const std::string link = std::string("/proc/self/fd/") + e->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (path == target && !(fcntl(atoi(e->d_name), F_GETFD) & FD_CLOEXEC)) ++count;
  }
  closedir(dir);
  return count;
}

TEST(File, ReadAtTheEndFailsAndSetsEndOfFile) {
  test::TestEnv env;
  const std::string path = env.Path("abc");
  test::WriteFile(path, "abc");
  auto f = OpenFile(path, CRLfile::kRead, CRLfile::kOpenExisting);
  ASSERT_TRUE(f);
  EXPECT_EQ(0, DescriptorsWithoutCloexec(path));
  char buf[8];
  uint32_t n = 99;
  EXPECT_TRUE(f->Read(buf, sizeof buf, &n));
  EXPECT_EQ(3u, n);
  EXPECT_FALSE(f->IsEndOfFile()) << "a short read is no end of file yet";
  EXPECT_FALSE(f->Read(buf, sizeof buf, &n));
  EXPECT_EQ(0u, n);
  EXPECT_TRUE(f->IsEndOfFile());
  EXPECT_EQ(-1, f->ReadByte());
  EXPECT_FALSE(f->Read(buf, 1, nullptr));

  ASSERT_EQ(1, f->Seek(1, CRLfile::kBegin));
  EXPECT_EQ('b', f->ReadByte());
  EXPECT_EQ(-1, f->WriteByte('x')) << "opened for reading only";
}

TEST(File, SizeLeavesThePosition) {
  test::TestEnv env;
  auto f = OpenFile(env.Path("f"), CRLfile::kRead | CRLfile::kWrite, CRLfile::kCreateNew);
  ASSERT_TRUE(f);
  uint32_t n = 0;
  ASSERT_TRUE(f->Write("0123456789", 10, &n));
  EXPECT_EQ(10u, n);
  EXPECT_EQ(0xff, f->WriteByte(-1));
  ASSERT_EQ(4, f->Seek(-7, CRLfile::kEnd));
  EXPECT_EQ(11, f->Size());
  EXPECT_EQ(4, f->Tell());
  EXPECT_EQ('4', f->ReadByte());
  EXPECT_EQ(-1, f->Seek(-100, CRLfile::kCurrent));
  EXPECT_EQ(-1, f->Seek(0, 7)) << "unknown origin";
  EXPECT_EQ(5, f->Tell());

  f->Close();
  EXPECT_EQ(-1, f->Tell());
  EXPECT_EQ(-1, f->Size());
  EXPECT_FALSE(f->Read(&n, 1, nullptr));
  EXPECT_FALSE(f->Write("x", 1, nullptr));
}

TEST(File, DispositionsAndModes) {
  test::TestEnv env;
  const std::string path = env.Path("d");
  const mode_t old_umask = umask(027);
  auto created = OpenFile(path, CRLfile::kWrite, CRLfile::kCreateNew);
  umask(old_umask);
  ASSERT_TRUE(created);
  created->Close();
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 0777);

  test::WriteFile(path, "old contents");
  EXPECT_FALSE(OpenFile(path, CRLfile::kWrite, CRLfile::kCreateNew)) << "exists";
  EXPECT_FALSE(OpenFile(env.Path("missing"), CRLfile::kRead, CRLfile::kOpenExisting));
  EXPECT_FALSE(OpenFile(env.Path("missing"), CRLfile::kWrite, CRLfile::kTruncateExisting));
  EXPECT_FALSE(OpenFile(path, CRLfile::kRead, CRLfile::kTruncateExisting)) << "needs write access";
  EXPECT_FALSE(OpenFile(env.root(), CRLfile::kRead, CRLfile::kOpenExisting)) << "a folder";
  EXPECT_FALSE(OpenFile(path, CRLfile::kRead, 0));

  EXPECT_TRUE(OpenFile(path, CRLfile::kWrite, CRLfile::kOpenAlways));
  EXPECT_EQ("old contents", test::ReadFile(path));
  EXPECT_TRUE(OpenFile(path, CRLfile::kWrite, CRLfile::kTruncateExisting));
  EXPECT_EQ("", test::ReadFile(path));
  test::WriteFile(path, "old contents");
  EXPECT_TRUE(OpenFile(path, CRLfile::kWrite, CRLfile::kCreateAlways));
  EXPECT_EQ("", test::ReadFile(path));
  EXPECT_TRUE(OpenFile(env.Path("new"), CRLfile::kWrite, CRLfile::kOpenAlways));
  EXPECT_EQ(0, access(env.Path("new").c_str(), F_OK));
}

TEST(File, CreateNewRefusesALinkEvenToNothing) {
  test::TestEnv env;
  const std::string target = env.Path("target");
  const std::string link = env.Path("link");
  ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
  EXPECT_FALSE(OpenFile(link, CRLfile::kWrite, CRLfile::kCreateNew));
  EXPECT_NE(0, access(target.c_str(), F_OK)) << "nothing created through the link";
}

TEST(File, SetsTheLastWriteTimeToTheMillisecond) {
  test::TestEnv env;
  const std::string path = env.Path("t");
  test::WriteFile(path, "x");
  const timespec atime[2] = {{1000000000, 5}, {0, UTIME_OMIT}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), atime, 0));

  const wxDateTime when(wxLongLong(1110204309120));  // 2005-03-07 14:05:09.120 UTC
  auto f = NewLocalFile();
  EXPECT_FALSE(f->SetModifiedTime(when)) << "no file open";
  ASSERT_TRUE(f->Open(path, CRLfile::kWrite, 0, CRLfile::kOpenExisting, 0));
  EXPECT_TRUE(f->SetModifiedTime(when));
  f->Close();
  EXPECT_FALSE(f->SetModifiedTime(when));

  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(1110204309, st.st_mtim.tv_sec);
  EXPECT_EQ(120000000, st.st_mtim.tv_nsec);
  EXPECT_EQ(1000000000, st.st_atim.tv_sec) << "the last-access time stays";

  ASSERT_TRUE(f->Open(path, CRLfile::kWrite, 0, CRLfile::kOpenExisting, 0));
  EXPECT_TRUE(f->SetModifiedTime(wxDateTime(wxLongLong(-1))));  // 1969-12-31 23:59:59.999
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(-1, st.st_mtim.tv_sec);
  EXPECT_EQ(999000000, st.st_mtim.tv_nsec);
}

TEST(File, OffsetsBeyondFourGigabytes) {
  test::TestEnv env;
  auto f = OpenFile(env.Path("big"), CRLfile::kRead | CRLfile::kWrite, CRLfile::kCreateNew);
  ASSERT_TRUE(f);
  const int64_t far = (int64_t{5} << 30) + 3;
  ASSERT_EQ(far, f->Seek(far, CRLfile::kBegin));
  if (f->WriteByte('z') != 'z') GTEST_SKIP() << "the file system refuses sparse large files";
  EXPECT_EQ(far + 1, f->Size());
  EXPECT_EQ(far + 1, f->Tell());
  EXPECT_EQ(far, f->Seek(-1, CRLfile::kEnd));
  EXPECT_EQ('z', f->ReadByte());
  EXPECT_EQ(far - 10, f->Seek(-11, CRLfile::kCurrent));
  EXPECT_EQ(0, f->ReadByte()) << "the hole reads as zeros";
}

}  // namespace
}  // namespace tw
