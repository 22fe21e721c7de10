// The state cache against a real TWPMSvr, with real files in the test's
// folder, in a zone other than UTC so that a stamp converted twice (or
// written in UTC and read as local time) shows.
#include "session/state_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>

#include "settings/property_protocol.h"
#include "tests/support/property_server.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

constexpr time_t kFetchTime = 1110204309;  // 2005-03-07 14:05:09 UTC
constexpr char kServerStamp[] = "2005:03:07:14:05:09:120";

class StateCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "America/New_York", 1);
    tzset();
    ASSERT_TRUE(server_.Start());
    dir_ = env_.Path("Work/Sub Dir");
    std::filesystem::create_directories(dir_);
    path_ = dir_ + "/Main.c";
    MakeFile(path_, kFetchTime);
  }

  static void MakeFile(const std::string& path, time_t mtime) {
    test::WriteFile(path, "contents");
    SetTime(path, mtime);
  }
  static void SetTime(const std::string& path, time_t mtime) {
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
  }
  static mode_t Mode(const std::string& path) {
    struct stat st;
    EXPECT_EQ(0, stat(path.c_str(), &st));
    return st.st_mode & 0777;
  }
  void Record(const std::string& server_stamp, bool read_only = false,
              const std::string& name = "Main.c") {
    auto store = OpenStateStore();
    ASSERT_TRUE(
        RecordDocumentState(store.get(), "doc1", dir_, path_, name, server_stamp, read_only));
  }
  static DocumentInfo Info(const std::string& server_stamp, bool mine = false) {
    DocumentInfo info;
    info.document_id = "doc1";
    info.server_stamp = server_stamp;
    info.SetFlags(kDocumentControlled | (mine ? kDocumentCheckedOut | kDocumentCheckedOutByMe : 0));
    return info;
  }

  test::TestEnv env_;
  test::PropertyServer server_;
  std::string dir_;
  std::string path_;
};

TEST_F(StateCacheTest, RecordThenDecideInLocalTime) {
  chmod(path_.c_str(), 0644);
  Record(kServerStamp);
  // The store lies in the per-user data folder; the key is the folder as one
  // lower-cased name; the local time is New York's, whole seconds.
  EXPECT_EQ(StateStorePath(), env_.Path("home/.config/Halvorn/states.dat"));
  auto store = OpenStateStore();
  std::map<std::string, std::string> children;
  ASSERT_TRUE(store->ListChildren(nullptr, kDocumentStatesNode, &children, false));
  EXPECT_EQ(children.count(StateDirectoryKey(dir_)), 1u);
  EXPECT_NE(StateDirectoryKey(dir_).find("work/sub dir"), std::string::npos);
  const StoredDocumentState stored = ReadDocumentState(store.get(), dir_, "doc1");
  EXPECT_EQ(stored.server_stamp, kServerStamp);
  EXPECT_EQ(stored.local_stamp, "2005:03:07:09:05:09:000");
  EXPECT_EQ(stored.name, "Main.c");

  // Current; the attribute follows the lock.
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp), path_), kStatusCurrent);
  EXPECT_EQ(Mode(path_), 0444u);
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp, true), path_), kStatusCurrent);
  EXPECT_EQ(Mode(path_), 0644u);
}

TEST_F(StateCacheTest, ServerStampMovingGivesOldOrMoreRecent) {
  Record(kServerStamp);
  EXPECT_EQ(DecideLocalStatus(Info("2005:03:07:14:05:09:121"), path_), kStatusOld);
  EXPECT_EQ(DecideLocalStatus(Info("2005:03:07:14:05:09:119"), path_), kStatusMoreRecent);
  // The same instant written differently is not the same text, and not later.
  EXPECT_EQ(DecideLocalStatus(Info("2005:3:7:14:5:9:120"), path_), kStatusMoreRecent);
  EXPECT_EQ(Mode(path_) & 0222, 0u);
}

// The check-in guard tells the base from the server's version by the text,
// never by ordering them as local times: a base stamped 02:59 on the day of
// New York's spring change lies in the skipped hour and reads as 03:59, so
// as times a version stamped 03:05 after it would look older, and safe to
// replace. Without a record the base is unknown.
TEST_F(StateCacheTest, TheBaseIsTheTipOnlyByTheSameStamp) {
  std::string base;
  EXPECT_EQ(FileBase::kUnknown, CompareBaseWithTip(Info(kServerStamp, true), path_, &base));
  EXPECT_EQ("", base);
  Record("2005:04:03:02:59:00:000");
  EXPECT_EQ(FileBase::kCurrent,
            CompareBaseWithTip(Info("2005:04:03:02:59:00:000", true), path_, &base));
  EXPECT_EQ("2005:04:03:02:59:00:000", base);
  EXPECT_EQ(FileBase::kOther,
            CompareBaseWithTip(Info("2005:04:03:03:05:00:000", true), path_, nullptr));
  EXPECT_EQ(FileBase::kOther,
            CompareBaseWithTip(Info("2005:04:03:02:58:00:000", true), path_, nullptr));
  EXPECT_EQ(FileBase::kUnknown, CompareBaseWithTip(Info("", true), path_, nullptr));
}

// A state cache whose server is down and cannot be started is told apart
// from one without a record: a check-in goes on then, where a missing
// record stops it.
TEST_F(StateCacheTest, AnUnreachableStateCacheIsUnreadableNotUnknown) {
  Record(kServerStamp);
  EXPECT_EQ(FileBase::kCurrent, CompareBaseWithTip(Info(kServerStamp, true), path_, nullptr));
  server_.Stop();
  const char* module = std::getenv("VELTRANE_MODULE_DIR");
  const std::string kept = module != nullptr ? module : "";
  setenv("VELTRANE_MODULE_DIR", env_.Path("no-module-here").c_str(), 1);
  EXPECT_EQ(FileBase::kUnreadable, CompareBaseWithTip(Info(kServerStamp, true), path_, nullptr));
  if (module != nullptr) {
    setenv("VELTRANE_MODULE_DIR", kept.c_str(), 1);
  } else {
    unsetenv("VELTRANE_MODULE_DIR");
  }
}

TEST_F(StateCacheTest, ChangedTimeIsModifiedOrRenegadeAndKeepsTheAttribute) {
  Record(kServerStamp);
  chmod(path_.c_str(), 0644);
  SetTime(path_, kFetchTime + 1);  // only the time changes
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp), path_), kStatusRenegade);
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp, true), path_), kStatusModified);
  EXPECT_EQ(Mode(path_), 0644u);
}

// Within the recorded second an edit still shows: by the time to the
// nanosecond, or by the size when the time was put back as it was.
TEST_F(StateCacheTest, EditWithinTheRecordedSecondIsModifiedOrRenegade) {
  Record(kServerStamp);
  auto store = OpenStateStore();
  const StoredDocumentState stored = ReadDocumentState(store.get(), dir_, "doc1");
  EXPECT_EQ(stored.local_ns, std::to_string(int64_t{kFetchTime} * 1000000000));
  EXPECT_EQ(stored.size, "8");  // "contents"
  const struct timespec later[2] = {{kFetchTime, 500000000}, {kFetchTime, 500000000}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path_.c_str(), later, 0));
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp), path_), kStatusRenegade);
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp, true), path_), kStatusModified);

  test::WriteFile(path_, "contents, longer");
  SetTime(path_, kFetchTime);
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp, true), path_), kStatusModified);
  test::WriteFile(path_, "contents");
  SetTime(path_, kFetchTime);
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp, true), path_), kStatusCurrent);
}

// The version a check-in read is what it records, not the file as it is
// after the check-in: an edit saved while the contents travelled shows.
TEST_F(StateCacheTest, RecordsTheVersionItIsGiven) {
  const LocalFileVersion sent{int64_t{kFetchTime} * 1000000000, 8};
  test::WriteFile(path_, "edited meanwhile");
  SetTime(path_, kFetchTime);
  auto store = OpenStateStore();
  ASSERT_TRUE(
      RecordDocumentState(store.get(), "doc1", dir_, path_, "Main.c", kServerStamp, false, &sent));
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp, true), path_), kStatusModified);
}

// A record written before the finer time and the size were kept decides by
// its whole second, as it always did.
TEST_F(StateCacheTest, RecordWithoutTheFinerValuesDecidesByTheSecond) {
  {
    auto store = OpenStateStore();
    auto states = store->OpenNode(nullptr, kDocumentStatesNode);
    auto folder = store->OpenNodeNamed(states.get(), StateDirectoryKey(dir_));
    auto node = store->OpenNodeNamed(folder.get(), "doc1");
    ASSERT_TRUE(store->WriteString(node.get(), kStoredServerStampKey, kServerStamp, false));
    ASSERT_TRUE(
        store->WriteString(node.get(), kStoredLocalStampKey, "2005:03:07:09:05:09:000", false));
  }
  const struct timespec later[2] = {{kFetchTime, 500000000}, {kFetchTime, 500000000}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path_.c_str(), later, 0));
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp), path_), kStatusCurrent);
  SetTime(path_, kFetchTime + 1);
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp), path_), kStatusRenegade);
}

TEST_F(StateCacheTest, MissingUnrecordedAndHalfRecordedFiles) {
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp), dir_ + "/absent.c"), kStatusMissing);
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp), dir_), kStatusMissing);  // a folder
  // No record: the time cannot match an absent stamp.
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp), path_), kStatusRenegade);
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp, true), path_), kStatusModified);
  // A record without a server stamp.
  Record("");
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp), path_), kStatusUnknown);
  EXPECT_EQ(Mode(path_) & 0222, 0u);
  // Without an identifier or folder nothing is recorded.
  auto store = OpenStateStore();
  EXPECT_FALSE(RecordDocumentState(store.get(), "", dir_, path_, "Main.c", kServerStamp, true));
  EXPECT_FALSE(RecordDocumentState(store.get(), "doc1", "", path_, "Main.c", kServerStamp, true));
}

TEST_F(StateCacheTest, FoldersDifferingInCaseShareOneRecord) {
  Record(kServerStamp);
  const std::string other_dir = env_.Path("WORK/sub dir");
  std::filesystem::create_directories(other_dir);
  MakeFile(other_dir + "/Main.c", kFetchTime);
  EXPECT_EQ(DecideLocalStatus(Info(kServerStamp), other_dir + "/Main.c"), kStatusCurrent);
  EXPECT_EQ(StateDirectoryKey("  /A/B/ "), "/a/b");
}

TEST_F(StateCacheTest, ReadOnlyFromTheRecordedName) {
  Record(kServerStamp);
  chmod(path_.c_str(), 0666);
  Record(kServerStamp, true, "");  // no name given: the recorded one counts
  EXPECT_EQ(Mode(path_), 0444u);
  auto store = OpenStateStore();
  EXPECT_EQ(ReadDocumentState(store.get(), dir_, "doc1").name, "Main.c");
}

// Walks of the whole store see the records under their real keys, whose
// folder names hold "/": listing the root, copying the store and its text
// collection keep every record.
TEST_F(StateCacheTest, TreeWalksKeepRecordsUnderFolderKeys) {
  Record(kServerStamp);
  auto store = OpenStateStore();
  std::map<std::string, std::string> children;
  ASSERT_TRUE(store->ListChildren(nullptr, "", &children, false));
  EXPECT_EQ(children.count(kDocumentStatesNode), 1u);

  PropertyFileClient copy("", kStoreScratch);
  copy.CopyTree(*store, "", false, false);
  EXPECT_EQ(ReadDocumentState(&copy, dir_, "doc1").server_stamp, kServerStamp);
  copy.DeleteNode(nullptr, kDocumentStatesNode, true);
  copy.CopyTree(*store, kDocumentStatesNode, false, false);
  const StoredDocumentState copied = ReadDocumentState(&copy, dir_, "doc1");
  EXPECT_EQ(copied.server_stamp, kServerStamp);
  EXPECT_EQ(copied.name, "Main.c");
  EXPECT_EQ(copied.local_stamp, ReadDocumentState(store.get(), dir_, "doc1").local_stamp);

  std::string text;
  store->CollectTreeText(kDocumentStatesNode, false, &text);
  const std::string key = StateDirectoryKey(dir_);
  EXPECT_EQ(text.rfind(key + "doc1" + kStoredNameKey + "Main.c", 0), 0u) << text;
  EXPECT_NE(text.find(std::string(kStoredServerStampKey) + kServerStamp), std::string::npos);
}

}  // namespace
}  // namespace tw
