// The connection cut at points spread over a 10 MiB check-in and a 10 MiB
// get, against a real TWServer: whatever the point, the server holds no
// partial version, the working file is whole (the old or the new content,
// never a mix), no scratch file is left, and the next logon and command
// succeed.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "session/client_session.h"
#include "tests/messaging/stream_support.h"
#include "tests/support/fragmenting_socket.h"
#include "tests/support/property_server.h"
#include "tests/support/test_env.h"
#include "tests/support/wire_client.h"
#include "transport/message_hub.h"

namespace tw {
namespace {

using LocalFile = ClientSession::LocalFile;

// Cut points per transfer. Each costs a logon, a cut transfer and a 10 MiB
// fetch to check the result; on the two shared cores the suite runs on,
// this count keeps each test near a minute.
constexpr int kCutPoints = 8;
constexpr size_t kFileSize = size_t{10} << 20;

LocalFile Local(const std::string& path) {
  const size_t slash = path.rfind('/');
  return {path, path.substr(0, slash), path.substr(slash + 1)};
}

std::string Content(unsigned seed) {
  std::string bytes(kFileSize, '\0');
  uint32_t x = seed * 2654435761u + 7;
  for (char& c : bytes) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

class DisconnectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(property_server_.Start());
    ASSERT_TRUE(server_.Init());
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
    EXPECT_EQ(session_->CreateProduction(session_->current_project(), "Big", &production),
              kSessionOk);
    test::WriteFile(path, content);
    std::vector<std::string> ids;
    EXPECT_EQ(session_->AddDocuments({production}, {Local(path)}, "added", &ids), kSessionOk);
    EXPECT_EQ(ids.size(), 1u);
    if (ids.empty()) return "";
    EXPECT_EQ(session_->AcquireLocks(ids, {path}, {false}, false), kSessionOk);
    return ids[0];
  }

  // The server's current version of `id`, fetched whole.
  std::string ServerContent(const std::string& id) {
    const std::string path = env_.Path("check.bin");
    EXPECT_EQ(session_->FetchDocumentToFile(id, 0, path), kSessionOk);
    std::string content = test::ReadFile(path);
    std::filesystem::remove(path);
    return content;
  }

  // The byte counts at which to cut, spread over a transfer of about the
  // file's size.
  static std::vector<int64_t> CutPoints() {
    std::vector<int64_t> points;
    const int64_t span = static_cast<int64_t>(kFileSize) + 4096;
    for (int i = 0; i < kCutPoints; ++i) points.push_back(span * i / kCutPoints + 97 * i);
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
  std::string on_server = Content(1);
  const std::string id = AddLockedDocument(path, on_server);
  ASSERT_FALSE(id.empty());
  unsigned seed = 2;
  for (int64_t point : CutPoints()) {
    SCOPED_TRACE("cut after " + std::to_string(point) + " bytes");
    const std::string mine = Content(seed++);
    test::WriteFile(path, mine);
    cutter_->Arm(point);
    const SessionResult result = session_->CheckInDocuments({id}, {Local(path)}, "cut", false);
    EXPECT_TRUE(cutter_->cut());
    EXPECT_NE(result, kSessionOk);
    LogOn();
    EXPECT_TRUE(test::ListFolder(env_.Path("tmp")).empty());
    EXPECT_TRUE(test::ReadFile(path) == mine);
    const std::string now = ServerContent(id);
    EXPECT_TRUE(now == on_server || now == mine) << "a partial version on the server";
    on_server = now;
  }
  // And a check-in that is not cut goes through.
  EXPECT_EQ(session_->CheckInDocuments({id}, {Local(path)}, "whole", false), kSessionOk);
  EXPECT_TRUE(ServerContent(id) == test::ReadFile(path));
}

TEST_F(DisconnectTest, GetCutAnywhereLeavesTheWorkingFileWhole) {
  LogOn();
  const std::string path = work_ + "/big.bin";
  const std::string on_server = Content(1);
  const std::string id = AddLockedDocument(path, on_server);
  ASSERT_FALSE(id.empty());
  const std::string local = Content(99);
  for (int64_t point : CutPoints()) {
    SCOPED_TRACE("cut after " + std::to_string(point) + " bytes");
    test::WriteFile(path, local);
    cutter_->Arm(point);
    const SessionResult result = session_->FetchDocuments({id}, {Local(path)});
    EXPECT_TRUE(cutter_->cut());
    EXPECT_NE(result, kSessionOk);
    LogOn();
    EXPECT_TRUE(test::ListFolder(env_.Path("tmp")).empty());
    const std::string now = test::ReadFile(path);
    EXPECT_TRUE(now == local || now == on_server) << "a half-written working file";
    EXPECT_EQ(session_->FetchDocuments({id}, {Local(path)}), kSessionOk);
    EXPECT_TRUE(test::ReadFile(path) == on_server);
  }
}

}  // namespace
}  // namespace tw
