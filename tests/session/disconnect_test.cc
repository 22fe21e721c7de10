// The connection cut at a hundred points spread over a 10 MiB check-in and
// a 10 MiB get, against a real TWServer: whatever the point, the waiter is
// told the connection is gone, the server holds no partial version, the
// working file is whole (the old or the new content, never a mix), no
// scratch file is left, and the next logon and command succeed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "protocol/name_table.h"
#include "session/client_session.h"
#include "session/document_requests.h"
#include "session/lock_requests.h"
#include "session/production_requests.h"
#include "tests/messaging/stream_support.h"
#include "tests/support/fragmenting_socket.h"
#include "tests/support/property_server.h"
#include "tests/support/serve_fixture.h"
#include "tests/support/test_env.h"
#include "tests/support/wire_client.h"
#include "transport/message_hub.h"

namespace tw {
namespace {

// Cut points per transfer, spread evenly over the bytes an uncut exchange
// moves. A round costs a logon and the transfer up to its cut: the server's
// versions are counted rather than fetched (a content is fetched when a
// version came), the working file is checked by its identity. The sanitizer
// builds look for races and bad memory, which fewer rounds still exercise,
// at five times the cost of each.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kCutPoints = 25;
#else
constexpr int kCutPoints = 100;
#endif
constexpr size_t kFileSize = size_t{10} << 20;

LocalFile Local(const std::string& path) {
  const size_t slash = path.rfind('/');
  return {path, path.substr(0, slash), path.substr(slash + 1)};
}

// Blocks of 4 KiB, each opening with a line that names its version and
// number, then a run of one letter: two versions differ in every block, so
// a mix of them shows.
std::string Content(unsigned seed) {
  constexpr size_t kBlock = 4096;
  std::string bytes;
  bytes.reserve(kFileSize + kBlock);
  char line[64];
  for (unsigned n = 0; bytes.size() < kFileSize; ++n) {
    const int length = std::snprintf(line, sizeof line, "version %u, block %u\n", seed, n);
    bytes.append(line, static_cast<size_t>(length));
    bytes.append(kBlock - static_cast<size_t>(length), static_cast<char>('a' + (seed + n) % 26));
  }
  bytes.resize(kFileSize);
  return bytes;
}

// What changes when anything writes or replaces a file: checked after each
// round instead of reading 10 MiB back.
struct FileIdentity {
  ino_t inode = 0;
  off_t size = -1;
  int64_t modified_ns = -1;
  int64_t changed_ns = -1;
  bool operator==(const FileIdentity& o) const {
    return inode == o.inode && size == o.size && modified_ns == o.modified_ns &&
           changed_ns == o.changed_ns;
  }
};

FileIdentity IdentityOf(const std::string& path) {
  FileIdentity identity;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return identity;
  identity.inode = st.st_ino;
  identity.size = st.st_size;
  identity.modified_ns = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  identity.changed_ns = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
  return identity;
}

class DisconnectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(property_server_.Start());
    // Frames in the clear: compressing and sealing 10 MiB a round would
    // make up nearly all of the test's time, and how a cut is handled does
    // not depend on how the frames are coded (the channel's own tests cut
    // sealed frames).
    ASSERT_TRUE(server_.Init({"--selector", "0", "--compression", "0"}));
    ASSERT_TRUE(server_.AddUser("alice", "alice pw"));
    ASSERT_TRUE(server_.Start());
    SetServerEndpoint("127.0.0.1", server_.port());
    cutter_ = std::make_shared<test::ConnectionCutter>();
    SetHubSocketFactory([cutter = cutter_] {
      test::FragmentLimits limits;
      limits.max_send = size_t{1} << 30;
      limits.max_receive = size_t{1} << 30;
      limits.cutter = cutter;
      return std::make_unique<test::FragmentingSocket>(CreateSocket(), limits);
    });
    work_ = env_.Path("work");
    std::filesystem::create_directories(work_);
  }
  void TearDown() override {
    session_.reset();
    ReleaseMessageHub();
    SetHubSocketFactory(nullptr);
  }

  // A fresh session on a fresh connection, as the next export makes one.
  void LogOn() {
    cutter_->Reset();
    session_.reset();
    if (!GetMessageHub()->IsConnected()) GetMessageHub()->Connect();
    session_ = std::make_unique<ClientSession>();
    ASSERT_EQ(session_->Logon("alice", "alice pw"), kSessionOk);
  }

  // One 10 MiB Document, locked by the user; its identifier.
  std::string AddLockedDocument(const std::string& path, const std::string& content) {
    std::string production;
    EXPECT_EQ(CreateProduction(session_.get(), session_->current_project(), "Big", &production),
              kSessionOk);
    test::WriteFile(path, content);
    std::vector<std::string> ids;
    EXPECT_EQ(AddDocuments(session_.get(), {production}, {Local(path)}, "added", &ids), kSessionOk);
    EXPECT_EQ(ids.size(), 1u);
    if (ids.empty()) return "";
    EXPECT_EQ(AcquireLocks(session_.get(), ids, {path}, {false}, false), kSessionOk);
    return ids[0];
  }

  // The server's current version of `id`, fetched whole.
  std::string ServerContent(const std::string& id) {
    const std::string path = env_.Path("check.bin");
    EXPECT_EQ(FetchDocumentToFile(session_.get(), id, 0, path), kSessionOk);
    std::string content = test::ReadFile(path);
    std::filesystem::remove(path);
    return content;
  }

  // The number of versions the server has of `id`.
  size_t Versions(const std::string& id) {
    std::string text;
    NameTable table;
    EXPECT_EQ(GetNameList(session_.get(), "", id, 4, false, &text), kSessionOk);
    EXPECT_TRUE(NameTable::Parse(text, &table));
    return table.row_count();
  }

  // The client's scratch files, and the server's (it notices a cut
  // connection on its own time and drops the partial upload then).
  bool ClientScratchEmpty() { return test::ListFolder(env_.Path("tmp")).empty(); }
  // Whether the server's upload folders soon hold no partial upload.
  bool ServerScratchEmptySoon() {
    const std::string dir = server_.dir();
    for (int i = 0; i < 3000 && !test::ServerTemporaryFiles(dir).empty(); ++i) {
      usleep(10000);
    }
    return test::ServerTemporaryFiles(dir).empty();
  }

  // The byte counts at which to cut: from the first byte to the last
  // hundredth of an exchange that moved `total` bytes.
  static std::vector<int64_t> CutPoints(int64_t total) {
    std::vector<int64_t> points;
    for (int i = 0; i < kCutPoints; ++i) points.push_back(total * i / kCutPoints);
    return points;
  }

  test::TestEnv env_;
  test::PropertyServer property_server_;
  test::TestServer server_{env_.Path("repo")};
  std::shared_ptr<test::ConnectionCutter> cutter_;
  std::unique_ptr<ClientSession> session_;
  std::string work_;
};

TEST_F(DisconnectTest, CheckInCutAnywhereLeavesNoPartialVersion) {
  LogOn();
  const std::string path = work_ + "/big.bin";
  const std::string contents[3] = {Content(1), Content(2), Content(3)};
  const std::string id = AddLockedDocument(path, contents[0]);
  ASSERT_FALSE(id.empty());
  // An uncut check-in measures the exchange.
  test::WriteFile(path, contents[1]);
  cutter_->Arm(-1);
  ASSERT_EQ(CheckInDocuments(session_.get(), {id}, {Local(path)}, "whole", false), kSessionOk);
  const int64_t total = cutter_->moved();
  ASSERT_GT(total, int64_t{kFileSize});
  size_t on_server = 1;
  size_t versions = Versions(id);
  ASSERT_EQ(versions, 2u);
  // The working file: always other than the server's.
  size_t mine = 2;
  test::WriteFile(path, contents[mine]);
  FileIdentity written = IdentityOf(path);
  for (int64_t point : CutPoints(total)) {
    SCOPED_TRACE("cut after " + std::to_string(point) + " of " + std::to_string(total) + " bytes");
    cutter_->Arm(point);
    EXPECT_EQ(CheckInDocuments(session_.get(), {id}, {Local(path)}, "cut", false), kSessionNoReply);
    ASSERT_TRUE(cutter_->cut());
    LogOn();
    EXPECT_TRUE(ClientScratchEmpty());
    EXPECT_TRUE(IdentityOf(path) == written) << "the working file was touched";
    const size_t now = Versions(id);
    if (now != versions) {
      // The cut came after the server had the whole file: the version it
      // made holds all of it.
      EXPECT_EQ(now, versions + 1);
      EXPECT_TRUE(ServerContent(id) == contents[mine]) << "a partial version on the server";
      on_server = mine;
      versions = now;
      mine = (on_server + 1) % 3;
      test::WriteFile(path, contents[mine]);
      written = IdentityOf(path);
    }
  }
  EXPECT_TRUE(test::ReadFile(path) == contents[mine]);
  EXPECT_TRUE(ServerContent(id) == contents[on_server]) << "a partial version on the server";
  EXPECT_TRUE(ServerScratchEmptySoon());
  // And a check-in that is not cut goes through.
  EXPECT_EQ(CheckInDocuments(session_.get(), {id}, {Local(path)}, "whole", false), kSessionOk);
  EXPECT_TRUE(ServerContent(id) == contents[mine]);
}

TEST_F(DisconnectTest, GetCutAnywhereLeavesTheWorkingFileWhole) {
  LogOn();
  const std::string path = work_ + "/big.bin";
  const std::string on_server = Content(1);
  const std::string id = AddLockedDocument(path, on_server);
  ASSERT_FALSE(id.empty());
  const std::string local = Content(99);
  // An uncut get measures the exchange.
  test::WriteFile(path, local);
  cutter_->Arm(-1);
  ASSERT_EQ(FetchDocuments(session_.get(), {id}, {Local(path)}), kSessionOk);
  const int64_t total = cutter_->moved();
  ASSERT_GT(total, int64_t{kFileSize});
  ASSERT_TRUE(test::ReadFile(path) == on_server);
  test::WriteFile(path, local);
  FileIdentity written = IdentityOf(path);
  for (int64_t point : CutPoints(total)) {
    SCOPED_TRACE("cut after " + std::to_string(point) + " of " + std::to_string(total) + " bytes");
    cutter_->Arm(point);
    const SessionResult result = FetchDocuments(session_.get(), {id}, {Local(path)});
    // The connection lost, or the reply cut short of its file.
    EXPECT_TRUE(result == kSessionNoReply || result == kSessionUnexpected) << result;
    ASSERT_TRUE(cutter_->cut());
    LogOn();
    EXPECT_TRUE(ClientScratchEmpty());
    // The file never came whole, so the working file stays as it was.
    if (!(IdentityOf(path) == written)) {
      const std::string now = test::ReadFile(path);
      ADD_FAILURE() << (now == local       ? "the working file was rewritten"
                        : now == on_server ? "a cut get placed the file"
                                           : "a half-written working file");
      test::WriteFile(path, local);
      written = IdentityOf(path);
    }
    // The next command on the new connection goes through.
    EXPECT_EQ(Versions(id), 1u);
  }
  EXPECT_TRUE(test::ReadFile(path) == local);
  EXPECT_TRUE(ServerScratchEmptySoon());
  EXPECT_EQ(FetchDocuments(session_.get(), {id}, {Local(path)}), kSessionOk);
  EXPECT_TRUE(test::ReadFile(path) == on_server);
}

}  // namespace
}  // namespace tw
