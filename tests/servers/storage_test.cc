// The server's storage through its interface, on real repositories in the
// test's folder: the rules that serve_test.cc cannot reach through the wire
// (a clock that stands still or goes back, requests that fail half way,
// longer deferred queues, removed users), the content store, what a crash
// before commit leaves, and two connections racing. Every case runs on
// SQLite and, when PostgreSQL is installed, on a private PostgreSQL cluster.
#include "servers/twserver/storage.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "servers/twserver/postgres_storage.h"
#include "servers/twserver/repository.h"
#include "servers/twserver/sqlite_storage.h"
#include "tests/support/postgres_cluster.h"
#include "tests/support/test_env.h"

namespace tw::twserver {
namespace {

namespace fs = std::filesystem;

constexpr int H = kLockExclusive;
constexpr int S = kLockShared;

using test::Backend;
using test::BackendName;

class StorageTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    // The database and content store without a key pair: generating RSA
    // keys is the command line's business and slow under sanitizers.
    dir_ = env_.Path("repo");
    ASSERT_EQ(0, mkdir(dir_.c_str(), 0700));
    std::string error;
    if (GetParam() == Backend::kPostgres) {
      if (!databases_.installed()) GTEST_SKIP() << databases_.problem();
      database_ = databases_.New("storage");
      ASSERT_FALSE(database_.empty()) << databases_.problem();
      ASSERT_EQ(kOk, CreateRepository(dir_, RepositorySettings{}, &error, database_)) << error;
    } else {
      ASSERT_TRUE(ContentStore::Create(dir_ + "/content", &error)) << error;
      ASSERT_TRUE(
          SqliteStorage::CreateDatabase(dir_ + "/repository.db", RepositorySettings{}, &error))
          << error;
    }
    db_ = Open();
    ASSERT_TRUE(db_);
    ProductionEntry root;
    ASSERT_EQ(kOk, db_->GetRootProduction(&root));
    root_ = root.id;
  }

  std::unique_ptr<Storage> Open() {
    int result = 0;
    std::string error;
    auto storage = OpenRepository(
        dir_, [this] { return now_.load(); }, &result, &error);
    EXPECT_TRUE(storage) << error;
    return storage;
  }

  ContentRef Content(const std::string& bytes) {
    ContentRef ref;
    std::string error;
    EXPECT_TRUE(db_->Contents().Put(bytes, &ref, &error)) << error;
    return ref;
  }

  std::string MakeProduction(const std::string& parent, const std::string& name) {
    std::string id;
    EXPECT_EQ(kOk, db_->CreateProduction(parent, name, &id));
    return id;
  }

  std::string AddDoc(const std::string& production, const std::string& name,
                     const std::string& bytes = "v1") {
    std::vector<StoredVersion> out;
    EXPECT_EQ(kOk, db_->AddDocuments("alice", "added", {{production, name, Content(bytes)}}, &out,
                                     nullptr));
    return out.empty() ? std::string() : out[0].document_id;
  }

  int Lock(const std::string& user, std::vector<LockRequest> items, int type,
           LockFailure* failure = nullptr) {
    LockFailure ignored;
    return db_->AcquireLocks(user, items, type, failure != nullptr ? failure : &ignored);
  }

  int Release(const std::string& user, std::vector<std::string> ids) {
    LockFailure failure;
    return db_->ReleaseLocks(user, ids, &failure);
  }

  // The lock table as "user:H/S:rank" entries, held first.
  std::vector<std::string> Locks(const std::string& doc) {
    std::vector<LockEntry> entries;
    EXPECT_EQ(kOk, db_->ListLocks(doc, &entries));
    std::vector<std::string> out;
    for (const auto& e : entries) {
      out.push_back(e.user + ":" + (e.exclusive ? "H" : "S") + ":" + std::to_string(e.rank));
      EXPECT_EQ(e.deferred, e.rank != 0);
    }
    return out;
  }

  int CheckIn(const std::string& user, const std::string& doc, const std::string& bytes,
              std::vector<StoredVersion>* out = nullptr) {
    std::vector<StoredVersion> ignored;
    size_t index = 0;
    return db_->CheckIn(user, "change", false, {{doc, Content(bytes)}},
                        out != nullptr ? out : &ignored, &index);
  }

  // Runs `sql` on the database behind the storage, past its rules: the
  // damage the consistency check must find.
  void Damage(const std::string& sql) {
    if (GetParam() == Backend::kPostgres) {
      PGconn* conn = PQconnectdb(database_.c_str());
      PGresult* result = PQexec(conn, sql.c_str());
      EXPECT_EQ(PGRES_COMMAND_OK, PQresultStatus(result)) << sql << ": " << PQerrorMessage(conn);
      PQclear(result);
      PQfinish(conn);
    } else {
      sqlite3* db = nullptr;
      ASSERT_EQ(SQLITE_OK, sqlite3_open((dir_ + "/repository.db").c_str(), &db));
      EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr))
          << sql << ": " << sqlite3_errmsg(db);
      sqlite3_close(db);
    }
  }

  std::vector<VersionInfo> Versions(const std::string& doc) {
    std::vector<VersionInfo> out;
    EXPECT_EQ(kOk, db_->ListVersions(doc, &out));
    return out;
  }

  test::TestEnv env_;
  test::PostgresDatabases databases_;  // dropped after the storages go
  std::string database_;               // the PostgreSQL address
  std::string dir_;
  std::atomic<int64_t> now_{1700000000000};
  std::unique_ptr<Storage> db_;
  std::string root_;
};

TEST_P(StorageTest, AddingIsAllOrNothingAndNamesTheFailingItem) {
  const auto fails = [&](std::vector<NewDocument> items, int code, size_t at) {
    std::vector<StoredVersion> out;
    size_t index = 99;
    EXPECT_EQ(code, db_->AddDocuments("alice", "", items, &out, &index));
    EXPECT_EQ(at, index);
  };
  AddDoc(root_, "main.c");
  fails({{root_, "new.c", Content("x")}, {root_, "MAIN.C", Content("x")}}, kDocumentExists, 1);
  fails({{root_, "new.c", Content("x")}, {"ffffffffffffffff", "b", Content("y")}}, kUnknownId, 1);
  fails({{root_, "new.c", ContentRef{std::string(64, 'a'), 1}}}, kContentIncomplete, 0);
  std::vector<DocumentInfo> info;
  ASSERT_EQ(kOk, db_->GetDocumentInfo("alice", root_, {"new.c"}, &info));
  EXPECT_EQ(0, info[0].flags);
}

TEST_P(StorageTest, CheckInNeedsAHeldLockAndIsAllOrNothing) {
  const std::string doc = AddDoc(root_, "a.c");
  ASSERT_EQ(kOk, Lock("bob", {{doc, false}}, H));
  ASSERT_EQ(kOk, Lock("alice", {{doc, true}}, S));  // queued only
  EXPECT_EQ(kNotCheckedOut, CheckIn("alice", doc, "v2"));

  std::vector<StoredVersion> out;
  ASSERT_EQ(kOk, CheckIn("bob", doc, "v2", &out));
  ASSERT_EQ(1u, out.size());
  EXPECT_EQ(2, out[0].version);
  EXPECT_EQ((std::vector<std::string>{"bob:H:0", "alice:S:1"}), Locks(doc));

  // Both items or neither: the second has no lock.
  const std::string other = AddDoc(root_, "b.c");
  size_t index = 0;
  EXPECT_EQ(
      kNotCheckedOut,
      db_->CheckIn("bob", "", false, {{doc, Content("v3")}, {other, Content("v3")}}, &out, &index));
  EXPECT_EQ(1u, index);
  EXPECT_EQ(kUnknownId,
            db_->CheckIn("bob", "", false, {{"ffffffffffffffff", Content("x")}}, &out, &index));
  EXPECT_EQ(2u, Versions(doc).size());

  ASSERT_EQ(kOk, db_->CheckIn("bob", "line1\nline2", true, {{doc, Content("v3")}}, &out, &index));
  const auto versions = Versions(doc);
  ASSERT_EQ(3u, versions.size());
  EXPECT_EQ("line1\nline2", versions[0].comment);
  EXPECT_TRUE(versions[0].work_in_progress);
  EXPECT_FALSE(versions[1].work_in_progress);
}

TEST_P(StorageTest, StampsStrictlyIncreasePerDocument) {
  const std::string doc = AddDoc(root_, "a.c");
  EXPECT_EQ("2023:11:14:22:13:20:000", Versions(doc)[0].stamp);  // UTC text of the clock
  ASSERT_EQ(kOk, Lock("alice", {{doc, false}}, H));
  std::vector<StoredVersion> out;
  ASSERT_EQ(kOk, CheckIn("alice", doc, "v2", &out));  // clock stands still
  EXPECT_EQ("2023:11:14:22:13:20:001", out[0].stamp);
  now_ -= 5000;  // and goes back
  ASSERT_EQ(kOk, CheckIn("alice", doc, "v3", &out));
  EXPECT_EQ("2023:11:14:22:13:20:002", out[0].stamp);
  now_ += 60000;
  ASSERT_EQ(kOk, CheckIn("alice", doc, "v4", &out));
  EXPECT_EQ("2023:11:14:22:14:15:000", out[0].stamp);
  // Two versions in one request are ordered too.
  size_t index = 0;
  ASSERT_EQ(kOk, db_->CheckIn("alice", "", false, {{doc, Content("v5")}, {doc, Content("v6")}},
                              &out, &index));
  EXPECT_EQ("2023:11:14:22:14:15:001", out[0].stamp);
  EXPECT_EQ("2023:11:14:22:14:15:002", out[1].stamp);
  EXPECT_EQ(6, out[1].version);
  // Another Document does not inherit the bump.
  std::vector<StoredVersion> added;
  ASSERT_EQ(kOk, db_->AddDocuments("alice", "", {{root_, "b.c", Content("b")}}, &added, &index));
  EXPECT_EQ("2023:11:14:22:14:15:000", added[0].stamp);
}

// The Document list with and without the Documents of sub-Productions, which
// the wire tests do not ask for.
TEST_P(StorageTest, DocumentNameTable) {
  const std::string games = MakeProduction(root_, "Games");
  const std::string level = MakeProduction(games, "Level1");
  const std::string deep = MakeProduction(level, "Deep");
  const std::string g = AddDoc(games, "g.c");
  const std::string l = AddDoc(level, "l.c");
  const std::string d = AddDoc(deep, "d.c");
  NameTable t;
  ASSERT_EQ(kOk, db_->GetNameTable(2, games, false, &t));
  EXPECT_EQ((std::vector<std::string>{"Name", "Id"}), t.columns);
  EXPECT_EQ((std::vector<std::vector<std::string>>{{"g.c", g}}), t.rows);
  ASSERT_EQ(kOk, db_->GetNameTable(2, games, true, &t));
  EXPECT_EQ((std::vector<std::vector<std::string>>{
                {"g.c", g}, {"Level1\\l.c", l}, {"Level1\\Deep\\d.c", d}}),
            t.rows);
  EXPECT_EQ(kUnknownId, db_->GetNameTable(1, g, false, &t));  // a Document is no Production
  EXPECT_EQ(kMalformed, db_->GetNameTable(5, games, false, &t));
}

// ------------------------------------------------------------ locks

TEST_P(StorageTest, AUsersOwnLockChangesTypeOnlyWithoutConflict) {
  const std::string doc = AddDoc(root_, "a.c");
  ASSERT_EQ(kOk, Lock("alice", {{doc, false}}, S));
  EXPECT_EQ(kOk, Lock("bob", {{doc, false}}, S));
  EXPECT_EQ(kSharedConflict, Lock("alice", {{doc, false}}, H));
  EXPECT_EQ((std::vector<std::string>{"alice:S:0", "bob:S:0"}), Locks(doc));
  ASSERT_EQ(kOk, Release("bob", {doc}));
  EXPECT_EQ(kOk, Lock("alice", {{doc, false}}, H));
  EXPECT_EQ(kOk, Lock("alice", {{doc, false}}, H));  // again: kept
  EXPECT_EQ((std::vector<std::string>{"alice:H:0"}), Locks(doc));
  EXPECT_EQ(kExclusiveConflict, Lock("bob", {{doc, false}}, S));
  EXPECT_EQ(kOk, Lock("alice", {{doc, false}}, S));  // back to shared
  EXPECT_EQ(kOk, Lock("bob", {{doc, false}}, S));
  EXPECT_EQ((std::vector<std::string>{"alice:S:0", "bob:S:0"}), Locks(doc));
  EXPECT_EQ(kMalformed, Lock("bob", {{doc, false}}, 'X'));
}

TEST_P(StorageTest, DeferredQueue) {
  const std::string doc = AddDoc(root_, "a.c");
  ASSERT_EQ(kOk, Lock("alice", {{doc, false}}, H));
  ASSERT_EQ(kOk, Lock("bob", {{doc, true}}, S));
  ASSERT_EQ(kOk, Lock("carol", {{doc, true}}, S));
  ASSERT_EQ(kOk, Lock("dave", {{doc, true}}, H));
  ASSERT_EQ(kOk, Lock("erin", {{doc, true}}, S));
  LockFailure failure;
  EXPECT_EQ(kAlreadyQueued, Lock("carol", {{doc, true}}, H, &failure));
  EXPECT_EQ(doc, failure.document_id);
  EXPECT_EQ("a.c", failure.name);
  EXPECT_EQ((std::vector<std::string>{"alice:H:0", "bob:S:1", "carol:S:2", "dave:H:3", "erin:S:4"}),
            Locks(doc));

  // Released: the shared entries are granted, the exclusive one stops the
  // pass, and the one behind it keeps waiting.
  ASSERT_EQ(kOk, Release("alice", {doc}));
  EXPECT_EQ((std::vector<std::string>{"bob:S:0", "carol:S:0", "dave:H:1", "erin:S:2"}), Locks(doc));
  // Leaving the queue renumbers it; a release of one holder is not enough.
  ASSERT_EQ(kOk, Release("bob", {doc}));
  EXPECT_EQ((std::vector<std::string>{"carol:S:0", "dave:H:1", "erin:S:2"}), Locks(doc));
  ASSERT_EQ(kOk, Release("carol", {doc}));
  EXPECT_EQ((std::vector<std::string>{"dave:H:0", "erin:S:1"}), Locks(doc));
  // A queued user taking his place out lets the next advance.
  ASSERT_EQ(kOk, Lock("frank", {{doc, true}}, S));
  ASSERT_EQ(kOk, Release("erin", {doc}));
  EXPECT_EQ((std::vector<std::string>{"dave:H:0", "frank:S:1"}), Locks(doc));
  // Giving up exclusive for shared is a release too.
  ASSERT_EQ(kOk, Lock("dave", {{doc, false}}, S));
  EXPECT_EQ((std::vector<std::string>{"dave:S:0", "frank:S:0"}), Locks(doc));
}

TEST_P(StorageTest, QueuedHolderIsUpgradedWhenOthersLeave) {
  const std::string doc = AddDoc(root_, "a.c");
  ASSERT_EQ(kOk, Lock("alice", {{doc, false}}, S));
  ASSERT_EQ(kOk, Lock("bob", {{doc, false}}, S));
  ASSERT_EQ(kOk, Lock("bob", {{doc, true}}, H));  // keeps shared, waits for exclusive
  EXPECT_EQ((std::vector<std::string>{"alice:S:0", "bob:S:0", "bob:H:1"}), Locks(doc));
  ASSERT_EQ(kOk, Release("alice", {doc}));
  EXPECT_EQ((std::vector<std::string>{"bob:H:0"}), Locks(doc));
}

// ------------------------------------------------------------ users

// Adding, listing and removing users is the command line's test; here the
// rules it cannot show.
TEST_P(StorageTest, UsersAndTheirLocks) {
  EXPECT_EQ("4A0A68B43B6CD5CF266FA02F196E2371", LogonDigest("alice", "secret"));
  ASSERT_EQ(kOk, db_->AddUser("alice", LogonDigest("alice", "secret")));
  ASSERT_EQ(kOk, db_->AddUser("Bob", LogonDigest("Bob", "pw")));
  EXPECT_EQ(kInvalidValue, db_->AddUser("a\nb", LogonDigest("a\nb", "x")));
  EXPECT_EQ(kInvalidValue, db_->AddUser("carol", "not a digest"));
  EXPECT_EQ(kOk, db_->CheckLogon("alice", "4a0a68b43b6cd5cf266fa02f196e2371"));
  EXPECT_EQ(kLogonRefused, db_->CheckLogon("ALICE", LogonDigest("ALICE", "secret")));
  EXPECT_EQ(kLogonRefused, db_->CheckLogon("alice", ""));

  // Removing a user gives up his locks; the queue advances.
  const std::string doc = AddDoc(root_, "a.c");
  ASSERT_EQ(kOk, Lock("alice", {{doc, false}}, H));
  ASSERT_EQ(kOk, Lock("Bob", {{doc, true}}, H));
  ASSERT_EQ(kOk, db_->RemoveUser("alice"));
  EXPECT_EQ((std::vector<std::string>{"Bob:H:0"}), Locks(doc));
}

// ------------------------------------------------------------ content and crashes

TEST_P(StorageTest, ContentStoreChunksAbortAndDuplicates) {
  const ContentStore& store = db_->Contents();
  std::string bytes(3 * 131072 + 5, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 300);
  std::string error;
  auto writer = store.NewWriter(&error);
  ASSERT_TRUE(writer) << error;
  for (size_t at = 0; at < bytes.size(); at += 131072) {
    ASSERT_TRUE(writer->Write(bytes.data() + at, std::min<size_t>(131072, bytes.size() - at)));
  }
  ContentRef ref;
  ASSERT_TRUE(writer->Finish(&ref)) << writer->error();
  EXPECT_EQ(bytes.size(), ref.size);
  EXPECT_TRUE(ContentStore::IsDigest(ref.sha256));
  EXPECT_EQ(bytes, test::ReadFile(store.PathOf(ref.sha256)));
  EXPECT_FALSE(writer->Write("more", 4));
  EXPECT_TRUE(store.Contains(ref));
  EXPECT_FALSE(store.Contains(ContentRef{ref.sha256, ref.size + 1}));

  // Known digest; identical bytes meet under one name.
  ContentRef abc;
  ASSERT_TRUE(store.Put("abc", &abc, &error));
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", abc.sha256);
  ContentRef again;
  ASSERT_TRUE(store.Put("abc", &again, &error));
  EXPECT_EQ(abc.sha256, again.sha256);

  // Aborted or abandoned writers leave no temporary file.
  auto aborted = store.NewWriter(&error);
  ASSERT_TRUE(aborted->Write("partial", 7));
  const std::string temp = aborted->temp_path();
  EXPECT_TRUE(fs::exists(temp));
  aborted->Abort();
  EXPECT_FALSE(fs::exists(temp));
  {
    auto abandoned = store.NewWriter(&error);
    abandoned->Write("partial", 7);
  }
  EXPECT_TRUE(fs::is_empty(store.TempFolder()));
}

// Received files become contents under the digest the receiver made as the
// bytes came, or under the one read through where none was made; a digest
// that is no digest adopts nothing.
TEST_P(StorageTest, AdoptingReceivedFilesTakesTheDigestsGivenInTheirOrder) {
  const ContentStore& store = db_->Contents();
  const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const std::string empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  auto received = [&](const std::string& name, const std::string& bytes) {
    const std::string path = store.TempFolder() + "/" + name;
    test::WriteFile(path, bytes);
    return path;
  };
  std::vector<std::string> paths = {received("a", "abc"), received("b", ""), received("c", "xy")};
  std::vector<ContentRef> refs;
  std::string error;
  const std::vector<std::string> bogus = {abc, "ABC", ""};
  EXPECT_FALSE(store.AdoptAll(paths, &refs, &error, nullptr, &bogus));
  EXPECT_NE(std::string::npos, error.find("not a digest")) << error;
  for (const std::string& path : paths) EXPECT_TRUE(fs::exists(path)) << path;

  // The middle one is given; the others are read through.
  const std::vector<std::string> known = {"", empty};
  ASSERT_TRUE(store.AdoptAll(paths, &refs, &error, nullptr, &known)) << error;
  ASSERT_EQ(3u, refs.size());
  EXPECT_EQ(abc, refs[0].sha256);
  EXPECT_EQ(3u, refs[0].size);
  EXPECT_EQ(empty, refs[1].sha256);
  EXPECT_EQ(0u, refs[1].size);
  EXPECT_EQ(2u, refs[2].size);
  for (const ContentRef& ref : refs) {
    std::string problem;
    EXPECT_TRUE(store.Check(ref, &problem)) << problem;
  }
}

// Kept members follow their file into the store beside its content: the
// first ones a content gets stay, later ones are dropped, and collection
// takes them with the content. Neither a listing nor a check takes them
// for contents.
TEST_P(StorageTest, KeptMembersGoBesideTheirContentAndLeaveWithIt) {
  const ContentStore& store = db_->Contents();
  auto received = [&](const std::string& name, const std::string& bytes) {
    const std::string path = store.TempFolder() + "/" + name;
    test::WriteFile(path, bytes);
    return path;
  };
  const std::vector<std::string> paths = {received("a", "abc"), received("b", "xyz"),
                                          received("c", "abc")};
  const std::vector<std::string> members = {received("a.z", "first"), "",
                                            received("c.z", "second")};
  std::vector<ContentRef> refs;
  std::string error;
  ASSERT_TRUE(store.AdoptAll(paths, &refs, &error, nullptr, nullptr, &members)) << error;
  const std::string abc = store.MembersOf(refs[0].sha256);
  EXPECT_EQ(store.PathOf(refs[0].sha256) + ".z", abc);
  EXPECT_EQ("first", test::ReadFile(abc));
  EXPECT_FALSE(fs::exists(store.MembersOf(refs[1].sha256)));
  for (const std::string& path : members) {
    if (!path.empty()) {
      EXPECT_FALSE(fs::exists(path)) << path;
    }
  }
  EXPECT_EQ(abc, store.MembersForPath(store.PathOf(refs[0].sha256)));
  EXPECT_EQ("", store.MembersForPath(paths[0]));
  EXPECT_EQ("", store.MembersForPath(abc));

  // A content stored before without members gets these; one with members
  // keeps the shorter.
  const std::vector<std::string> again = {received("d", "xyz"), received("e", "abc")};
  const std::vector<std::string> more = {received("d.z", "late"), received("e.z", "longer")};
  ASSERT_TRUE(store.AdoptAll(again, &refs, &error, nullptr, nullptr, &more)) << error;
  const std::string xyz = store.MembersOf(refs[0].sha256);
  EXPECT_EQ("late", test::ReadFile(xyz));
  EXPECT_EQ("first", test::ReadFile(abc));
  EXPECT_FALSE(fs::exists(more[1]));
  const std::vector<std::string> last = {received("f", "abc")};
  const std::vector<std::string> shorter = {received("f.z", "1st")};
  ASSERT_TRUE(store.AdoptAll(last, &refs, &error, nullptr, nullptr, &shorter)) << error;
  EXPECT_EQ("1st", test::ReadFile(abc));
  EXPECT_FALSE(fs::exists(shorter[0]));

  std::vector<std::string> listed = store.ListOlderThan(0);
  EXPECT_EQ(2u, listed.size());
  std::string problem;
  ASSERT_EQ(1u, refs.size());
  EXPECT_TRUE(store.Check(refs[0], &problem)) << problem;
  EXPECT_EQ(3, store.RemoveIfOlder(refs[0].sha256, 0));
  EXPECT_FALSE(fs::exists(abc));
  EXPECT_TRUE(fs::exists(xyz));
}

TEST_P(StorageTest, StaleTemporariesAreRemovedOnOpen) {
  const std::string old_temp = db_->Contents().TempFolder() + "/dead.part";
  const std::string new_temp = db_->Contents().TempFolder() + "/live.part";
  test::WriteFile(old_temp, "x");
  test::WriteFile(new_temp, "x");
  fs::last_write_time(old_temp, fs::file_time_type::clock::now() - std::chrono::hours(48));
  db_ = Open();
  EXPECT_FALSE(fs::exists(old_temp));
  EXPECT_TRUE(fs::exists(new_temp));
}

// The temporary folder linked elsewhere (say to a shared scratch area): the
// repository does not open, and the cleanups, which remove old files and
// ownerless upload folders there, leave what is behind the link alone.
TEST_P(StorageTest, ALinkedTempFolderIsRefusedAndNothingBehindItIsRemoved) {
  const ContentStore& store = db_->Contents();
  const std::string outside = env_.Path("scratch");
  ASSERT_EQ(0, mkdir(outside.c_str(), 0700));
  test::WriteFile(outside + "/notes.txt", "someone's notes");
  fs::last_write_time(outside + "/notes.txt",
                      fs::file_time_type::clock::now() - std::chrono::hours(72));
  fs::create_directories(outside + "/uploads-mine");
  test::WriteFile(outside + "/uploads-mine/thesis.txt", "a thesis");
  fs::remove_all(store.TempFolder());
  fs::create_directory_symlink(outside, store.TempFolder());

  std::string error;
  EXPECT_FALSE(store.CheckTempFolder(&error));
  EXPECT_NE(std::string::npos, error.find("link")) << error;
  EXPECT_EQ(0, store.RemoveStaleTemporaries(0));
  EXPECT_EQ(0, store.RemoveAbandonedUploads());
  int result = 0;
  EXPECT_FALSE(OpenRepository(dir_, nullptr, &result, &error));
  EXPECT_EQ(kStorageFailure, result);
  EXPECT_NE(std::string::npos, error.find("tmp")) << error;
  EXPECT_TRUE(fs::exists(outside + "/notes.txt"));
  EXPECT_TRUE(fs::exists(outside + "/uploads-mine/thesis.txt"));
  ContentRef ref;
  EXPECT_FALSE(store.Put("through the link", &ref, &error));
  UploadFolder uploads;
  EXPECT_FALSE(store.OpenUploadFolder(&uploads, &error));
  EXPECT_EQ((std::vector<std::string>{"notes.txt", "uploads-mine"}), [&] {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(outside)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }());

  // Without the link, and without the folder at all, the store makes it
  // again and opens.
  fs::remove(store.TempFolder());
  EXPECT_TRUE(store.CheckTempFolder(&error)) << error;
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(store.TempFolder())));
  EXPECT_TRUE(Open());
}

// A content stamped a moment ahead of the clock (the file system's clock
// is finer than time()) is as young as can be, yet still a content: every
// listing shows it, and collection with no grace may take it.
TEST_P(StorageTest, ContentStampedAheadOfTheClockIsListedAndCollectable) {
  const ContentStore& store = db_->Contents();
  const ContentRef ahead = Content("stamped in the next second");
  const ContentRef now = Content("stamped now");
  fs::last_write_time(store.PathOf(ahead.sha256),
                      fs::file_time_type::clock::now() + std::chrono::seconds(30));
  std::vector<std::string> listed = store.ListOlderThan(0);
  std::sort(listed.begin(), listed.end());
  std::vector<std::string> both{ahead.sha256, now.sha256};
  std::sort(both.begin(), both.end());
  EXPECT_EQ(both, listed);
  // Neither is an hour old, however slow the machine: the one from the
  // future counts as new, not as older than any age.
  EXPECT_TRUE(store.ListOlderThan(3600).empty());
  EXPECT_EQ(-1, store.RemoveIfOlder(ahead.sha256, 3600));
  EXPECT_TRUE(store.Contains(ahead));
  EXPECT_EQ(static_cast<int64_t>(ahead.size), store.RemoveIfOlder(ahead.sha256, 0));
  EXPECT_FALSE(store.Contains(ahead));
}

TEST_P(StorageTest, ContentWithoutCommitLeavesNoVersion) {
  const std::string doc = AddDoc(root_, "a.c", "v1");
  ASSERT_EQ(kOk, Lock("alice", {{doc, false}}, H));
  // The new content reaches the store, then the server dies before the
  // check-in's transaction.
  Content("v2 that never got committed");
  db_.reset();
  db_ = Open();
  const auto versions = Versions(doc);
  ASSERT_EQ(1u, versions.size());
  std::vector<FetchedVersion> out;
  size_t index = 0;
  ASSERT_EQ(kOk, db_->Fetch({{doc, 0}}, &out, &index));
  EXPECT_EQ("v1", test::ReadFile(out[0].content_path));
  EXPECT_EQ((std::vector<std::string>{"alice:H:0"}), Locks(doc));
}

TEST_P(StorageTest, OpenRefusesWhatIsNoRepository) {
  int result = 0;
  std::string error;
  EXPECT_FALSE(OpenRepository(env_.Path("nothing"), nullptr, &result, &error));
  EXPECT_EQ(kNotRepository, result);
  ASSERT_EQ(0, mkdir(env_.Path("other").c_str(), 0700));
  test::WriteFile(env_.Path("other/repository.db"), "not a database at all, just text");
  EXPECT_FALSE(OpenRepository(env_.Path("other"), nullptr, &result, &error));
  EXPECT_EQ(kStorageFailure, result);
  EXPECT_FALSE(error.empty());
}

// ------------------------------------------------------------ the consistency check

// Each rule the check enforces, broken on purpose past the storage: the
// check names every one, and a sound database gives no problem at all.
TEST_P(StorageTest, TheConsistencyCheckFindsEachBrokenRule) {
  const std::string a = AddDoc(root_, "a.c");
  const std::string b = AddDoc(root_, "b.c");
  const std::string c = AddDoc(root_, "c.c");
  const std::string d = AddDoc(root_, "d.c");
  ASSERT_EQ(kOk, Lock("alice", {{b, false}, {d, false}}, H));
  ASSERT_EQ(kOk, CheckIn("alice", b, "v2"));
  ASSERT_EQ(kOk, CheckIn("alice", b, "v3"));
  ASSERT_EQ(kOk, CheckIn("alice", d, "v2"));
  ASSERT_EQ(kOk, Lock("bob", {{b, true}}, S));  // queued behind alice
  std::vector<std::string> problems;
  ASSERT_EQ(kOk, db_->CheckConsistency(&problems));
  EXPECT_TRUE(problems.empty()) << problems[0];

  const auto seq = [](const std::string& id) {
    return "(SELECT seq FROM documents WHERE id = '" + id + "')";
  };
  // Two exclusive holders of a.
  Damage("INSERT INTO locks(document, user_name, exclusive) VALUES(" + seq(a) + ", 'x', 1)");
  Damage("INSERT INTO locks(document, user_name, exclusive) VALUES(" + seq(a) + ", 'y', 1)");
  // b's version 2 gone and its queue ranked from 2.
  Damage("DELETE FROM versions WHERE version = 2 AND document = " + seq(b));
  Damage("UPDATE lock_queue SET rank = 2 WHERE document = " + seq(b));
  // c's queue head waits for nobody.
  Damage("INSERT INTO lock_queue(document, user_name, exclusive, rank) VALUES(" + seq(c) +
         ", 'z', 1, 1)");
  // d's second version stamped before its first.
  Damage("UPDATE versions SET stamp_ms = 0 WHERE version = 2 AND document = " + seq(d));
  ASSERT_EQ(kOk, db_->CheckConsistency(&problems));
  std::string all;
  for (const std::string& p : problems) all += p + "\n";
  for (const std::string& expected :
       {"a lock beside an exclusive one: Document " + a,
        "versions not numbered 1..current: Document " + b, "queue ranks not 1..n: Document " + b,
        std::string("a queue head that could be granted"), "stamps not rising: Document " + d}) {
    EXPECT_NE(std::string::npos, all.find(expected)) << expected << " in:\n" << all;
  }
  EXPECT_EQ(5u, problems.size()) << all;
}

// ------------------------------------------------------------ two connections

TEST_P(StorageTest, TwoConnectionsRacingForOneExclusiveLock) {
  std::unique_ptr<Storage> other = Open();
  ASSERT_TRUE(other);
  constexpr int kRounds = 25;
  std::vector<std::string> docs;
  for (int i = 0; i < kRounds; ++i) docs.push_back(AddDoc(root_, "d" + std::to_string(i)));

  std::atomic<int> ready{0};
  std::vector<int> results[2];
  std::atomic<int> round{-1};
  const auto racer = [&](int who, Storage* storage) {
    const std::string user = who == 0 ? "alice" : "bob";
    for (int r = 0; r < kRounds; ++r) {
      ready.fetch_add(1);
      while (round.load() < r) std::this_thread::yield();
      LockFailure failure;
      results[who].push_back(storage->AcquireLocks(user, {{docs[r], false}}, H, &failure));
      // Writers that do more than lock, on Documents of their own.
      std::vector<StoredVersion> out;
      size_t index = 0;
      NewDocument item{root_, user + std::to_string(r), ContentRef{}};
      std::string error;
      storage->Contents().Put(user, &item.content, &error);
      results[who].push_back(storage->AddDocuments(user, "", {item}, &out, &index));
    }
  };
  std::thread a(racer, 0, db_.get());
  std::thread b(racer, 1, other.get());
  for (int r = 0; r < kRounds; ++r) {
    while (ready.load() < 2 * (r + 1)) std::this_thread::yield();
    round.store(r);
  }
  a.join();
  b.join();

  for (int r = 0; r < kRounds; ++r) {
    const int lock_a = results[0][2 * r];
    const int lock_b = results[1][2 * r];
    EXPECT_TRUE((lock_a == kOk && lock_b == kExclusiveConflict) ||
                (lock_b == kOk && lock_a == kExclusiveConflict))
        << "round " << r << ": " << lock_a << " " << lock_b;
    EXPECT_EQ(kOk, results[0][2 * r + 1]);
    EXPECT_EQ(kOk, results[1][2 * r + 1]);
    EXPECT_EQ(1u, Locks(docs[r]).size());
  }
}

// Writers on several connections at once that all read the same queue to
// place themselves at its end: each must see the places taken before it
// (a writer serialised after it, or run again), so the ranks stay 1..n.
TEST_P(StorageTest, QueuePlacesTakenAtOnceFromSeveralConnectionsStayDense) {
  const std::string doc = AddDoc(root_, "queued.txt");
  ASSERT_EQ(kOk, Lock("alice", {{doc, false}}, H));
  constexpr int kConnections = 3;
  constexpr int kThreadsEach = 2;
  constexpr int kPlacesEach = 4;
  std::vector<std::unique_ptr<Storage>> storages;
  for (int c = 0; c < kConnections; ++c) {
    storages.push_back(Open());
    ASSERT_TRUE(storages.back());
  }
  std::atomic<bool> go{false};
  std::vector<std::vector<int>> results(kConnections * kThreadsEach);
  std::vector<std::thread> threads;
  for (int t = 0; t < kConnections * kThreadsEach; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      Storage* storage = storages[static_cast<size_t>(t % kConnections)].get();
      for (int i = 0; i < kPlacesEach; ++i) {
        const std::string user = "u" + std::to_string(t) + "-" + std::to_string(i);
        LockFailure failure;
        results[static_cast<size_t>(t)].push_back(
            storage->AcquireLocks(user, {{doc, true}}, i % 2 == 0 ? H : S, &failure));
      }
    });
  }
  go.store(true);
  for (std::thread& t : threads) t.join();
  for (const std::vector<int>& each : results) {
    for (int result : each) EXPECT_EQ(kOk, result);
  }

  std::vector<LockEntry> entries;
  ASSERT_EQ(kOk, db_->ListLocks(doc, &entries));
  constexpr int kPlaces = kConnections * kThreadsEach * kPlacesEach;
  ASSERT_EQ(size_t{1 + kPlaces}, entries.size());
  EXPECT_EQ("alice", entries[0].user);
  for (int rank = 1; rank <= kPlaces; ++rank) {
    EXPECT_TRUE(entries[static_cast<size_t>(rank)].deferred);
    EXPECT_EQ(rank, entries[static_cast<size_t>(rank)].rank);
  }
  std::vector<std::string> problems;
  ASSERT_EQ(kOk, db_->CheckConsistency(&problems));
  EXPECT_TRUE(problems.empty()) << problems.front();

  // The head comes next, whichever connection queued it.
  const std::string head = entries[1].user;
  ASSERT_EQ(kOk, Release("alice", {doc}));
  ASSERT_EQ(kOk, db_->ListLocks(doc, &entries));
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(head, entries[0].user);
  EXPECT_FALSE(entries[0].deferred);
}

INSTANTIATE_TEST_SUITE_P(Backends, StorageTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres), BackendName);

}  // namespace
}  // namespace tw::twserver
