// Content collection beside uploads: however the two interleave, a version
// that was stored never loses its content. Collection runs with no minimum
// age here, the harshest case: an upload may then lose its fresh content
// and fail whole (206), but nothing half-stored remains. On SQLite and,
// when PostgreSQL is installed, on a database of the test run's cluster.
#include "servers/twserver/content_gc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "servers/twserver/repository.h"
#include "tests/support/postgres_cluster.h"
#include "tests/support/test_env.h"

namespace tw::twserver {
namespace {

using test::Backend;

class ContentGcTest : public ::testing::TestWithParam<Backend> {};

TEST_P(ContentGcTest, CollectionBesideUploadsNeverTakesAStoredVersionsContent) {
  test::TestEnv env;
  test::PostgresDatabases databases;
  std::string database;  // none: SQLite
  if (GetParam() == Backend::kPostgres) {
    if (!databases.installed()) GTEST_SKIP() << databases.problem();
    database = databases.New("gc");
    ASSERT_FALSE(database.empty()) << databases.problem();
  }
  const std::string dir = env.Path("repo");
  std::string error;
  ASSERT_EQ(kOk, CreateRepository(dir, RepositorySettings(), &error, database)) << error;
  int result = 0;
  std::unique_ptr<Storage> uploads = OpenRepository(dir, nullptr, &result, &error);
  std::unique_ptr<Storage> collector = OpenRepository(dir, nullptr, &result, &error);
  ASSERT_TRUE(uploads && collector) << error;
  ProductionEntry root;
  ASSERT_EQ(kOk, uploads->GetRootProduction(&root));

  std::atomic<bool> done{false};
  int added = 0, lost = 0;
  std::thread writer([&] {
    for (int i = 0; i < 150; ++i) {
      ContentRef ref;
      std::string put_error;
      // Every third content is one stored before, so renames meet twins.
      if (!uploads->Contents().Put("content " + std::to_string(i % 3 == 0 ? 0 : i), &ref,
                                   &put_error)) {
        ADD_FAILURE() << put_error;
        break;
      }
      std::vector<StoredVersion> out;
      size_t failed = 0;
      const int r = uploads->AddDocuments(
          "alice", "", {NewDocument{root.id, "doc" + std::to_string(i), ref}}, &out, &failed);
      if (r == kOk) {
        ++added;
      } else {
        EXPECT_EQ(kContentIncomplete, r);
        ++lost;
      }
    }
    done = true;
  });
  int rounds = 0;
  while (!done.load()) {
    CollectionReport report;
    ASSERT_EQ(kOk, CollectContents(*collector, 0, &report)) << collector->FailureText();
    ++rounds;
  }
  writer.join();
  EXPECT_GT(rounds, 0);
  EXPECT_EQ(150, added + lost);

  NameTable table;
  ASSERT_EQ(kOk, uploads->GetNameTable(2, root.id, false, &table));
  EXPECT_EQ(static_cast<size_t>(added), table.rows.size());
  for (const auto& row : table.rows) {
    std::vector<VersionInfo> versions;
    ASSERT_EQ(kOk, uploads->ListVersions(row[1], &versions));
    ASSERT_EQ(1u, versions.size());
    EXPECT_TRUE(uploads->Contents().Contains(versions[0].content)) << row[0];
  }
  // Once quiet, collection leaves exactly the referenced contents.
  CollectionReport report;
  ASSERT_EQ(kOk, CollectContents(*collector, 0, &report));
  std::unordered_set<std::string> referenced;
  ASSERT_EQ(kOk, collector->ReferencedContents(&referenced));
  EXPECT_EQ(referenced.size(), collector->Contents().ListOlderThan(0).size());
}

INSTANTIATE_TEST_SUITE_P(Backends, ContentGcTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         test::BackendName);

}  // namespace
}  // namespace tw::twserver
