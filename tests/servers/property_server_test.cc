// TWPMSvr against clients that misbehave or mislead it: one that never
// reads its replies must not hold up another, and a store name that names
// a file which is not a property store must leave that file as it was.
#include "tests/support/property_server.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "platform/mailslot.h"
#include "platform/recipient_table.h"
#include "settings/property_file_client.h"
#include "settings/property_protocol.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

class PropertyServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()); }

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
  // The stubborn client: a live reply mailslot it never reads, and far more
  // requests than its queue holds replies.
  auto stubborn = NewMailslotReader();
  ASSERT_TRUE(stubborn->Create("stubborn", 65535, 0));
  const std::string store = "[SD]:" + std::to_string(getpid());
  for (int i = 0; i < 300; ++i) {
    const std::string request = BuildPropertyRequest(kRequestPing, store, "", "stubborn");
    ASSERT_TRUE(requests->Write(request.data(), static_cast<uint32_t>(request.size()), nullptr));
  }
  // A well-behaved client is answered at once; its own ten-second wait for
  // each reply is the bound (the server used to spend thirty seconds on
  // each of the stubborn client's replies first).
  PropertyFileClient client(env_.Path("states.dat"), kStoreFile);
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(client.WriteString(nullptr, "K", std::to_string(i), false));
    std::string value;
    ASSERT_TRUE(client.ReadString(nullptr, "K", &value, false)) << i;
    EXPECT_EQ(std::to_string(i), value);
  }
  // The stubborn client still finds its first replies, whole and in order.
  std::vector<char> buffer(65535);
  uint32_t count = 0;
  ASSERT_TRUE(stubborn->Read(buffer.data(), static_cast<uint32_t>(buffer.size()), &count));
  EXPECT_EQ(BuildPropertyReply(true, ""), std::string(buffer.data(), count));
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

  // A store made before the mark existed keeps its values and gets marked;
  // a new (empty) file becomes a marked store.
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

}  // namespace
}  // namespace tw
