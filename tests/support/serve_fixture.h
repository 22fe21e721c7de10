// The fixture of the tests that talk to `TWServer serve` over the wire: a
// server on a repository with alice ("secret") and bob ("hunter2"), on
// SQLite or a database of the test run's PostgreSQL cluster, clients
// logged on to it, and the requests most cases build, with their field
// numbers written out as WireClient does (see wire_client.h).
//
// Threads: the fixture belongs to the test's main thread; each client to
// one thread at a time.
#ifndef TW_TESTS_SUPPORT_SERVE_FIXTURE_H_
#define TW_TESTS_SUPPORT_SERVE_FIXTURE_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "messaging/field_ids.h"
#include "tests/support/postgres_cluster.h"
#include "tests/support/test_env.h"
#include "tests/support/wire_client.h"

namespace tw::test {

// The items of a list field, '?' between them.
inline std::string Join(const std::vector<std::string>& items, char separator = '?') {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) out += (i ? std::string(1, separator) : "") + items[i];
  return out;
}

inline int Error(const MessagePtr& m) {
  return m ? m->GetErrorCode() : -12345;
}

// The files below the content store's "tmp/" of the repository in `dir`
// but the lock files of the servers' upload folders: what received uploads
// and writers left there.
inline std::vector<std::string> ServerTemporaryFiles(const std::string& dir) {
  std::vector<std::string> files;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(dir + "/content/tmp", ec), end;
       !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec) || it->path().filename() == "owner.lock") continue;
    files.push_back(it->path().string());
  }
  return files;
}

class ServeFixture : public ::testing::Test {
 protected:
  // Runs the case on `backend`: skipped where PostgreSQL is not installed.
  void UseBackend(Backend backend) {
    backend_ = backend;
    if (backend_ == Backend::kPostgres && !databases_.installed()) {
      GTEST_SKIP() << databases_.problem();
    }
  }

  // `init_options` go to the repository's creation, `options` to serving.
  void StartServer(const std::vector<std::string>& options = {},
                   std::vector<std::string> init_options = {}) {
    if (backend_ == Backend::kPostgres) {
      const std::string database = databases_.New("serve");
      ASSERT_FALSE(database.empty()) << databases_.problem();
      init_options.insert(init_options.end(), {"--database", database});
    }
    server_ = std::make_unique<TestServer>(env_.Path("repo"));
    ASSERT_TRUE(server_->Init(init_options));
    ASSERT_TRUE(server_->AddUser("alice", "secret"));
    ASSERT_TRUE(server_->AddUser("bob", "hunter2"));
    ASSERT_TRUE(server_->Start(options)) << server_->Log();
  }

  void TearDown() override {
    if (server_) {
      EXPECT_EQ(0, server_->Stop()) << server_->Log();
    }
  }

  std::unique_ptr<WireClient> Client(const std::string& user = "alice",
                                     const std::string& password = "secret") {
    auto client = std::make_unique<WireClient>();
    EXPECT_TRUE(client->Connect(server_->port()));
    EXPECT_EQ(0, client->Logon(user, password));
    return client;
  }

  // The root Production's identifier.
  static std::string Root(WireClient& c) {
    MessagePtr r = WireClient::Request("PRODUCTIONCMD", 20);
    r->SetString(101, "");
    MessagePtr reply = c.Call(*r);
    std::string id;
    if (reply) reply->GetString(101, &id);
    return id;
  }

  static std::vector<std::string> TemporaryFiles(const std::string& dir) {
    return ServerTemporaryFiles(dir);
  }
  std::vector<std::string> TemporaryFiles() const { return TemporaryFiles(server_->dir()); }

  // A new local file holding `content`.
  std::string LocalFile(const std::string& content) {
    const std::string path = env_.Path("local" + std::to_string(++local_files_));
    WriteFile(path, content);
    return path;
  }

  // Adds the files at `paths` as Documents `names` of `production`.
  static MessagePtr AddRequest(const std::string& production, const std::vector<std::string>& names,
                               const std::vector<std::string>& paths,
                               const std::string& escaped_comment = "") {
    MessagePtr r = WireClient::Request("DOCUMENTCMD", 1);
    r->SetString(101, Join(std::vector<std::string>(names.size(), production)));
    r->SetString(102, Join(names));
    const std::string files = Join(paths);
    r->SetRawField(103, FIELD_FILELIST, files.data(), files.size());
    r->SetString(107, escaped_comment);
    return r;
  }

  TestEnv env_;
  Backend backend_ = Backend::kSqlite;
  PostgresDatabases databases_;  // dropped after the server stops
  std::unique_ptr<TestServer> server_;
  int local_files_ = 0;
};

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_SERVE_FIXTURE_H_
