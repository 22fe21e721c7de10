// TWPMSvr against clients that misbehave or mislead it: one that never
// reads its replies must not hold up another and still gets them in order,
// a store name that names a file which is not a property store (or an empty
// file no client made for one) must leave that file as it was, and
// per-process stores must end with their process (or, without one, when
// unused) and give their memory back.
#include "tests/support/property_server.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/mailslot.h"
#include "platform/recipient_table.h"
#include "servers/twpmsvr/requests.h"
#include "servers/twpmsvr/server.h"
#include "settings/property_file_client.h"
#include "settings/property_protocol.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

class PropertyServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start(ServerOptions())); }
  virtual std::vector<std::string> ServerOptions() const { return {}; }

  // Waits (up to a minute) until the server's debug output holds `text`.
  bool LogShows(const std::string& text) const {
    for (int i = 0; i < 6000; ++i) {
      if (test::ReadFile(env_.Path("debug.log")).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Runs SQL on a database file of the test's own.
  static void Sql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    char* message = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message))
        << (message != nullptr ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
  }

  // The names of a database's tables, joined by ",".
  static std::string Tables(const std::string& path) {
    sqlite3* db = nullptr;
    std::string names;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_exec(
          db, "SELECT name FROM sqlite_master ORDER BY name",
          [](void* out, int, char** values, char**) {
            auto* text = static_cast<std::string*>(out);
            *text += (text->empty() ? "" : ",") + std::string(values[0]);
            return 0;
          },
          &names, nullptr);
    }
    sqlite3_close(db);
    return names;
  }

  test::TestEnv env_;
  test::PropertyServer server_;
};

TEST_F(PropertyServerTest, AClientThatNeverReadsItsRepliesHoldsUpNobodyElse) {
  std::string server_slot;
  ASSERT_TRUE(LookupRecipient(kPropertyServerRecipient, &server_slot));
  auto requests = NewMailslotWriter();
  ASSERT_TRUE(requests->Open(".", server_slot));
  auto Send = [&](const std::string& request) {
    return requests->Write(request.data(), static_cast<uint32_t>(request.size()), nullptr);
  };
  // The stubborn client: a live reply mailslot it does not read for now,
  // and far more reads than its queue holds replies, each of another value.
  auto stubborn = NewMailslotReader();
  ASSERT_TRUE(stubborn->Create("stubborn", 65535, 0));
  const std::string store = "[SD]:" + std::to_string(getpid());
  constexpr int kReads = 300;
  for (int i = 0; i < kReads; ++i) {
    ASSERT_TRUE(Send(
        BuildPropertyRequest(kRequestSetData, store, "K" + std::to_string(i), std::to_string(i))));
  }
  for (int i = 0; i < kReads; ++i) {
    ASSERT_TRUE(
        Send(BuildPropertyRequest(kRequestGetData, store, "K" + std::to_string(i), "stubborn")));
  }
  // A well-behaved client is answered at once; its own ten-second wait for
  // each reply is the bound (the server used to spend thirty seconds on
  // each of the stubborn client's replies first).
  PropertyFileClient client(env_.Path("states.dat"), kStoreFile);
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(client.WriteString(nullptr, "K", std::to_string(i), false));
    std::string value;
    ASSERT_TRUE(client.ReadString(nullptr, "K", &value, false)) << i;
    EXPECT_EQ(std::to_string(i), value);
  }
  // The stubborn client, reading at last, finds its first replies whole and
  // in order: those its queue held, then those the server kept for it (at
  // least kMaxKeptReplies), with none skipped; those beyond were dropped.
  std::vector<char> buffer(65535);
  uint32_t count = 0;
  stubborn->SetReadTimeout(2000);
  int received = 0;
  while (stubborn->Read(buffer.data(), static_cast<uint32_t>(buffer.size()), &count)) {
    ASSERT_EQ(BuildPropertyReply(true, std::to_string(received)),
              std::string(buffer.data(), count));
    ++received;
  }
  EXPECT_GT(received, static_cast<int>(pmsvr::kMaxKeptReplies));
  EXPECT_LT(received, kReads);
}

TEST_F(PropertyServerTest, OnlyFilesThatAreStoresAreOpenedAsStores) {
  // A database of something else: refused, and left exactly as it was.
  const std::string foreign = env_.Path("bookmarks.sqlite");
  Sql(foreign, "CREATE TABLE secrets(k TEXT, v TEXT); INSERT INTO secrets VALUES('a', 'b')");
  const std::string before = test::ReadFile(foreign);
  {
    PropertyFileClient client(foreign, kStoreFile);
    client.WriteString(nullptr, "Planted", "value", false);
    std::string value;
    EXPECT_FALSE(client.ReadString(nullptr, "Planted", &value, false));
  }
  EXPECT_EQ(before, test::ReadFile(foreign));
  EXPECT_EQ("secrets", Tables(foreign));

  // A text file is no store either.
  const std::string text = env_.Path("notes.txt");
  test::WriteFile(text, "not a database at all");
  {
    PropertyFileClient client(text, kStoreFile);
    std::string value;
    EXPECT_FALSE(client.ReadString(nullptr, "Any", &value, false));
  }
  EXPECT_EQ("not a database at all", test::ReadFile(text));

  // An empty file that no client made for a store: refused, still empty.
  // So is one put where a client had made its new file (the record names
  // the file the client made, not the path).
  const std::string placeholder = env_.Path("placeholder");
  test::WriteFile(placeholder, "");
  const std::string replaced = env_.Path("replaced.dat");
  {
    PropertyFileClient made(replaced, kStoreFile);
    ASSERT_EQ(0, ::unlink(replaced.c_str()));
    test::WriteFile(replaced, "");
    PropertyFileClient client(placeholder, kStoreFile);
    for (PropertyFileClient* c : {&made, &client}) {
      c->WriteString(nullptr, "Planted", "value", false);
      std::string value;
      EXPECT_FALSE(c->ReadString(nullptr, "Planted", &value, false));
      c->RequestFL();
    }
  }
  for (const std::string& path : {placeholder, replaced}) {
    EXPECT_EQ("", test::ReadFile(path)) << path;
    struct stat st;
    EXPECT_NE(0, ::stat((path + "-wal").c_str(), &st)) << path;
  }

  // A store made before the mark existed keeps its values and gets marked;
  // a new (empty) file that a client made becomes a marked store.
  const std::string old = env_.Path("old.dat");
  Sql(old,
      "CREATE TABLE IF NOT EXISTS property (path BLOB PRIMARY KEY, value BLOB NOT NULL) "
      "WITHOUT ROWID; INSERT INTO property VALUES (CAST('Kept' AS BLOB), CAST('yes' AS BLOB))");
  const std::string fresh = env_.Path("fresh.dat");
  for (const std::string& path : {old, fresh}) {
    PropertyFileClient client(path, kStoreFile);
    std::string value;
    if (path == old) {
      ASSERT_TRUE(client.ReadString(nullptr, "Kept", &value, false));
      EXPECT_EQ("yes", value);
    }
    ASSERT_TRUE(client.WriteString(nullptr, "New", "1", false));
    ASSERT_TRUE(client.ReadString(nullptr, "New", &value, false));
    client.RequestFL();
  }
  ASSERT_EQ(0, server_.Stop());
  EXPECT_EQ("property,store_format", Tables(old));
  EXPECT_EQ("property,store_format", Tables(fresh));
}

// A child that lives until it is killed: the owner of a per-process store.
class Owner {
 public:
  Owner() {
    pid_ = ::fork();
    if (pid_ == 0) {
      for (;;) ::pause();
    }
  }
  ~Owner() { End(); }
  void End() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  std::string Store() const { return "[SD]:" + std::to_string(pid_); }

 private:
  pid_t pid_ = -1;
};

class PerProcessStoreTest : public PropertyServerTest {
 protected:
  std::vector<std::string> ServerOptions() const override {
    return {"--unowned-scratch-ms", "300"};
  }
  static bool Read(PropertyFileClient& c, std::string* value) {
    return c.ReadString(nullptr, "K", value, false);
  }
};

TEST_F(PerProcessStoreTest, StoresEndWithTheirProcessOrUnusedWithoutOne) {
  Owner owner;
  PropertyFileClient owned(owner.Store(), kStoreFile);
  PropertyFileClient mine("[sd]:" + std::to_string(getpid()), kStoreFile);
  // Made-up process ids: none, not a number, and one no process has.
  PropertyFileClient nobody("[SD]", kStoreFile);
  PropertyFileClient named("[SD]:someone", kStoreFile);
  PropertyFileClient beyond("[SD]:2147483647", kStoreFile);
  for (PropertyFileClient* c : {&owned, &mine, &nobody, &named, &beyond}) {
    ASSERT_TRUE(c->WriteString(nullptr, "K", "v", false));
    std::string value;
    ASSERT_TRUE(Read(*c, &value));
  }
  // Those without a live owner go; in the same sweeps the owned ones stay.
  EXPECT_TRUE(LogShows("dropped the per-process store [SD]: unused and without a process"));
  EXPECT_TRUE(LogShows("dropped the per-process store [SD]:someone: unused"));
  EXPECT_TRUE(LogShows("dropped the per-process store [SD]:2147483647: unused"));
  std::string value;
  for (PropertyFileClient* c : {&nobody, &named, &beyond}) EXPECT_FALSE(Read(*c, &value));
  EXPECT_TRUE(Read(owned, &value));
  EXPECT_TRUE(Read(mine, &value));

  owner.End();
  EXPECT_TRUE(LogShows(": its process has ended"));
  EXPECT_FALSE(Read(owned, &value));
  EXPECT_TRUE(Read(mine, &value));
}

TEST_F(PerProcessStoreTest, TheMemoryBudgetCountsWhatIsHeldNow) {
  const std::string big(60000, 'x');
  const size_t fill = pmsvr::RequestHandler::kMaxScratchBytes / big.size();
  auto Fill = [&](PropertyFileClient& c, const std::string& prefix, size_t count) {
    for (size_t i = 0; i < count; ++i)
      c.WriteString(nullptr, prefix + std::to_string(i), big, false);
  };
  std::string value;
  // Writing one name over and over holds one value.
  Owner first;
  PropertyFileClient a(first.Store(), kStoreFile);
  for (size_t i = 0; i < fill + 100; ++i) ASSERT_TRUE(a.WriteString(nullptr, "K", big, false));
  ASSERT_TRUE(a.WriteString(nullptr, "Last", "1", false));
  EXPECT_TRUE(a.ReadString(nullptr, "Last", &value, false));
  // Filling the budget refuses what goes beyond it...
  Fill(a, "N", fill);
  EXPECT_FALSE(a.ReadString(nullptr, "N" + std::to_string(fill - 1), &value, false));
  // ...until a removal, or the end of the owner, gives the bytes back.
  ASSERT_TRUE(a.DeleteNode(nullptr, "N1", false));
  ASSERT_TRUE(a.WriteString(nullptr, "AfterDelete", "1", false));
  EXPECT_TRUE(a.ReadString(nullptr, "AfterDelete", &value, false));
  first.End();
  ASSERT_TRUE(LogShows(": its process has ended"));
  Owner second;
  PropertyFileClient b(second.Store(), kStoreFile);
  Fill(b, "M", fill - 10);
  EXPECT_TRUE(b.ReadString(nullptr, "M" + std::to_string(fill - 11), &value, false));
}

}  // namespace
}  // namespace tw
