// The TWServer command line, run as the built program: repository creation
// and its modes, settings, users with the password from standard input,
// show, serve's refusals (serving itself: serve_test.cc), usage errors and
// help. Setting, users and show run on SQLite and, when PostgreSQL is
// installed, on a database of the test run's cluster; init's files and
// modes and the usage errors are SQLite's (PostgreSQL's own init refusals:
// postgres_repository_test.cc).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "servers/twserver/repository.h"
#include "servers/twserver/storage.h"
#include "tests/support/postgres_cluster.h"
#include "tests/support/test_env.h"
#include "transport/socket.h"

namespace tw::twserver {
namespace {

using test::Backend;

// `text` with each run of spaces made one: a table's rows whatever the
// widths of its columns.
std::string Squeezed(const std::string& text) {
  std::string squeezed;
  for (const char c : text) {
    if (c != ' ' || squeezed.empty() || squeezed.back() != ' ') squeezed += c;
  }
  return squeezed;
}

class CliTest : public ::testing::Test {
 protected:
  // Runs TWServer with `args`, `input` as its standard input, and collects
  // what it prints.
  test::ProgramOutcome Run(const std::vector<std::string>& args, const std::string& input = "") {
    return test::RunProgram("TWServer", args, env_.root(), input);
  }

  // A repository made by the program, the way an administrator makes one.
  void Init(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"init", "--data", repo_};
    args.insert(args.end(), extra.begin(), extra.end());
    if (backend_ == Backend::kPostgres) {
      const std::string database = databases_.New("cli");
      ASSERT_FALSE(database.empty()) << databases_.problem();
      args.insert(args.end(), {"--database", database});
    }
    const test::ProgramOutcome o = Run(args);
    ASSERT_EQ(0, o.exit) << o.err;
  }

  std::unique_ptr<Storage> Open() {
    int result = 0;
    std::string error;
    auto storage = OpenRepository(repo_, nullptr, &result, &error);
    EXPECT_TRUE(storage) << error;
    return storage;
  }

  static unsigned Mode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
  }

  test::TestEnv env_;
  const std::string repo_ = env_.Path("repo");
  Backend backend_ = Backend::kSqlite;
  test::PostgresDatabases databases_;
};

// The commands whose work lies in the storage, on each backend.
class CliStorageTest : public CliTest, public ::testing::WithParamInterface<Backend> {
 protected:
  void SetUp() override {
    backend_ = GetParam();
    if (backend_ == Backend::kPostgres && !databases_.installed()) {
      GTEST_SKIP() << databases_.problem();
    }
  }

  // What the cases of documents start from: the Production "Games" under
  // the root holding the Document "map.dat" ("hello", added by alice with
  // `comment`), in the storage left open for the case to go on with.
  struct GamesWithMap {
    std::unique_ptr<Storage> storage;
    std::string root;    // the root Production's identifier
    std::string games;   // the identifier of "Games"
    ContentRef content;  // "hello"
    std::string map;     // the Document identifier of "map.dat"
  };
  void AddGamesWithMap(GamesWithMap* made, const std::string& comment = "") {
    made->storage = Open();
    ASSERT_TRUE(made->storage);
    ProductionEntry root;
    ASSERT_EQ(kOk, made->storage->GetRootProduction(&root));
    made->root = root.id;
    ASSERT_EQ(kOk, made->storage->CreateProduction(root.id, "Games", &made->games));
    std::string error;
    ASSERT_TRUE(made->storage->Contents().Put("hello", &made->content, &error)) << error;
    std::vector<StoredVersion> out;
    size_t index = 0;
    ASSERT_EQ(kOk, made->storage->AddDocuments(
                       "alice", comment, {{made->games, "map.dat", made->content}}, &out, &index));
    made->map = out[0].document_id;
  }
};

TEST_F(CliTest, InitCreatesAPrivateRepositoryOrRefuses) {
  ASSERT_EQ(0, mkdir(repo_.c_str(), 0755));  // an existing empty folder is used and made private
  Init({"--root-name", "Depot", "--selector", "9", "--compression=0", "--lock-policy", "1"});
  EXPECT_EQ(0700u, Mode(repo_));
  EXPECT_EQ(0600u, Mode(repo_ + "/repository.db"));

  auto storage = Open();
  ASSERT_TRUE(storage);
  RepositorySettings s;
  ASSERT_EQ(kOk, storage->GetSettings(&s));
  EXPECT_EQ("Depot", s.root_name);
  EXPECT_EQ(9, s.selector);
  EXPECT_EQ(0, s.compression);
  EXPECT_EQ(1, s.lock_policy);

  // No key is kept: a serving server makes its logon keys in memory.
  EXPECT_FALSE(std::filesystem::exists(repo_ + "/server.key"));

  // An existing repository is refused and left alone.
  test::ProgramOutcome again = Run({"init", "--data", repo_});
  EXPECT_EQ(1, again.exit);
  EXPECT_NE(std::string::npos, again.err.find("already holds a repository")) << again.err;
  ASSERT_TRUE(Open());

  const std::string busy = env_.Path("busy");
  ASSERT_EQ(0, mkdir(busy.c_str(), 0700));
  test::WriteFile(busy + "/notes.txt", "mine");
  test::ProgramOutcome o = Run({"init", "--data", busy});
  EXPECT_EQ(1, o.exit);
  EXPECT_NE(std::string::npos, o.err.find("not empty"));
  EXPECT_EQ("mine", test::ReadFile(busy + "/notes.txt"));

  o = Run({"init", "--data", env_.Path("missing/parent/repo")});
  EXPECT_EQ(1, o.exit);
  EXPECT_FALSE(o.err.empty());
  EXPECT_EQ(2, Run({"init", "--data", env_.Path("r2"), "--selector", "2"}).exit);
  EXPECT_EQ(2, Run({"init", "--data", env_.Path("r2"), "extra"}).exit);
}

TEST_P(CliStorageTest, SetChangesOneSetting) {
  Init();
  EXPECT_EQ(0, Run({"set", "--data", repo_, "lock-policy", "2"}).exit);
  EXPECT_EQ(0, Run({"set", "root-name", "Depot", "--data", repo_}).exit);
  auto storage = Open();
  RepositorySettings s;
  ASSERT_EQ(kOk, storage->GetSettings(&s));
  EXPECT_EQ(2, s.lock_policy);
  EXPECT_EQ("Depot", s.root_name);

  // The root name is the first element of every path.
  std::string games, id;
  ProductionEntry root;
  ASSERT_EQ(kOk, storage->GetRootProduction(&root));
  ASSERT_EQ(kOk, storage->CreateProduction(root.id, "Games", &games));
  EXPECT_EQ(kOk, storage->LookupProduction("depot\\Games", &id));
  EXPECT_EQ(games, id);
  EXPECT_EQ(kPathNotFound, storage->LookupProduction("Veltrane\\Games", &id));

  for (const std::vector<std::string>& refused : {std::vector<std::string>{"selector", "3"},
                                                  {"selector", "01"},
                                                  {"lock-policy", "-1"},
                                                  {"root-name", "a:b"},
                                                  {"colour", "1"},
                                                  {"selector"}}) {
    std::vector<std::string> args{"set", "--data", repo_};
    args.insert(args.end(), refused.begin(), refused.end());
    EXPECT_EQ(2, Run(args).exit) << refused[0];
  }
  ASSERT_EQ(kOk, storage->GetSettings(&s));  // the defaults and what was set
  EXPECT_EQ(1, s.selector);
  EXPECT_EQ(1, s.compression);
  EXPECT_EQ(2, s.lock_policy);
  const test::ProgramOutcome o = Run({"set", "--data", env_.Path("nowhere"), "selector", "0"});
  EXPECT_EQ(1, o.exit);
  EXPECT_NE(std::string::npos, o.err.find("not a repository")) << o.err;
}

TEST_P(CliStorageTest, Users) {
  Init();
  EXPECT_EQ(0, Run({"user", "add", "--data", repo_, "alice"}, "secret\n").exit);
  EXPECT_EQ(0, Run({"user", "add", "--data", repo_, "bob"}, "pw\r\n").exit);
  // Read while no connection of this process is open: closing any descriptor
  // of the file would drop the process's database locks.
  if (backend_ == Backend::kSqlite) {
    EXPECT_EQ(std::string::npos, test::ReadFile(repo_ + "/repository.db").find("secret"));
  }
  auto storage = Open();
  EXPECT_EQ(kOk, storage->CheckLogon("alice", LogonDigest("alice", "secret")));
  EXPECT_EQ(kOk, storage->CheckLogon("bob", LogonDigest("bob", "pw")));

  test::ProgramOutcome o = Run({"user", "add", "--data", repo_, "alice"}, "other\n");
  EXPECT_EQ(1, o.exit);
  EXPECT_NE(std::string::npos, o.err.find("exists"));
  EXPECT_EQ(1, Run({"user", "add", "--data", repo_, "carol"}, "").exit);
  EXPECT_EQ(1, Run({"user", "add", "--data", repo_, "carol"}, "\n").exit);

  o = Run({"user", "list", "--data", repo_});
  EXPECT_EQ(0, o.exit);
  EXPECT_EQ("alice\nbob\n", o.out);

  // A new password replaces the old one at the next logon.
  o = Run({"user", "passwd", "--data", repo_, "bob"}, "new pw\n");
  EXPECT_EQ(0, o.exit) << o.err;
  EXPECT_EQ(kOk, storage->CheckLogon("bob", LogonDigest("bob", "new pw")));
  EXPECT_EQ(kLogonRefused, storage->CheckLogon("bob", LogonDigest("bob", "pw")));
  EXPECT_EQ(kOk, storage->CheckLogon("alice", LogonDigest("alice", "secret")));
  o = Run({"user", "passwd", "--data", repo_, "carol"}, "pw\n");
  EXPECT_EQ(1, o.exit);
  EXPECT_NE(std::string::npos, o.err.find("no user carol")) << o.err;
  EXPECT_EQ(1, Run({"user", "passwd", "--data", repo_, "bob"}, "").exit);
  EXPECT_EQ(1, Run({"user", "passwd", "--data", repo_, "bob"}, "\n").exit);
  EXPECT_EQ(kOk, storage->CheckLogon("bob", LogonDigest("bob", "new pw")));
  const std::string log = test::ReadFile(repo_ + "/admin.log");
  EXPECT_NE(std::string::npos, log.find(" user passwd bob (by ")) << log;
  EXPECT_EQ(std::string::npos, log.find("new pw"));

  EXPECT_EQ(0, Run({"user", "remove", "--data", repo_, "alice"}).exit);
  EXPECT_EQ(1, Run({"user", "remove", "--data", repo_, "alice"}).exit);
  EXPECT_EQ("bob\n", Run({"user", "list", "--data", repo_}).out);
  EXPECT_EQ(kLogonRefused, storage->CheckLogon("alice", LogonDigest("alice", "secret")));
  EXPECT_EQ(1, Run({"user", "passwd", "--data", repo_, "alice"}, "back\n").exit);

  EXPECT_EQ(2, Run({"user", "rename", "--data", repo_, "bob"}).exit);
  EXPECT_EQ(2, Run({"user", "add", "--data", repo_}).exit);
}

TEST_P(CliStorageTest, ShowPrintsVersionsAndLocks) {
  Init();
  {
    GamesWithMap made;
    ASSERT_NO_FATAL_FAILURE(AddGamesWithMap(&made, "first\nline"));
    LockFailure failure;
    ASSERT_EQ(kOk,
              made.storage->AcquireLocks("alice", {{made.map, false}}, kLockExclusive, &failure));
    ASSERT_EQ(kOk, made.storage->AcquireLocks("bob", {{made.map, true}}, kLockShared, &failure));
    std::vector<StoredVersion> out;
    size_t index = 0;
    ASSERT_EQ(kOk, made.storage->CheckIn("alice", "second", true, {{made.map, made.content}}, &out,
                                         &index));
  }
  const test::ProgramOutcome o = Run({"show", "--data", repo_, "\\games\\MAP.dat"});
  ASSERT_EQ(0, o.exit) << o.err;
  const size_t v2 = o.out.find("  2  ");
  const size_t v1 = o.out.find("  1  ");
  ASSERT_NE(std::string::npos, v2) << o.out;
  ASSERT_NE(std::string::npos, v1) << o.out;
  EXPECT_LT(v2, v1);  // newest first
  EXPECT_NE(std::string::npos, o.out.find("work in progress"));
  EXPECT_NE(std::string::npos, o.out.find("\"first\\nline\""));  // no raw line break
  EXPECT_NE(std::string::npos, o.out.find("alice  exclusive  held"));
  EXPECT_NE(std::string::npos, o.out.find("bob  shared  deferred, rank 1"));

  EXPECT_EQ(1, Run({"show", "--data", repo_, "\\Games\\other.dat"}).exit);
  EXPECT_EQ(1, Run({"show", "--data", repo_, "\\Art\\map.dat"}).exit);
  EXPECT_EQ(2, Run({"show", "--data", repo_}).exit);
}

TEST_P(CliStorageTest, LocksListsHeldLocksAndQueuesByPathAndUser) {
  Init();
  EXPECT_EQ(0, Run({"user", "add", "--data", repo_, "alice"}, "secret\n").exit);
  EXPECT_EQ(0, Run({"user", "add", "--data", repo_, "bob"}, "pw\n").exit);
  EXPECT_EQ("No locks.\n", Run({"locks", "--data", repo_}).out);
  {
    GamesWithMap made;
    ASSERT_NO_FATAL_FAILURE(AddGamesWithMap(&made));
    Storage* const storage = made.storage.get();
    // "Gamesx" begins like "Games" but lies outside it.
    std::string art, gamesx;
    ASSERT_EQ(kOk, storage->CreateProduction(made.root, "Art", &art));
    ASSERT_EQ(kOk, storage->CreateProduction(made.root, "Gamesx", &gamesx));
    std::vector<StoredVersion> out;
    size_t index = 0;
    ASSERT_EQ(kOk, storage->AddDocuments("alice", "",
                                         {{art, "logo.png", made.content},
                                          {gamesx, "x.dat", made.content},
                                          {made.games, "free.dat", made.content}},
                                         &out, &index));
    LockFailure failure;
    ASSERT_EQ(kOk, storage->AcquireLocks("alice", {{made.map, false}}, kLockExclusive, &failure));
    ASSERT_EQ(kOk, storage->AcquireLocks("bob", {{made.map, true}}, kLockExclusive, &failure));
    ASSERT_EQ(kOk,
              storage->AcquireLocks("bob", {{out[0].document_id, false}}, kLockShared, &failure));
    ASSERT_EQ(kOk,
              storage->AcquireLocks("alice", {{out[1].document_id, false}}, kLockShared, &failure));
  }
  test::ProgramOutcome o = Run({"locks", "--data", repo_});
  ASSERT_EQ(0, o.exit) << o.err;
  EXPECT_EQ(
      "Document                User   Lock       State\n"
      "Veltrane\\Art\\logo.png   bob    shared     held\n"
      "Veltrane\\Games\\map.dat  alice  exclusive  held\n"
      "Veltrane\\Games\\map.dat  bob    exclusive  waits, rank 1\n"
      "Veltrane\\Gamesx\\x.dat   alice  shared     held\n",
      o.out);

  // The rows listed with `extra`, without the heading, each column one
  // space apart (the widths follow what is listed).
  const auto documents = [&](const std::vector<std::string>& extra) {
    std::vector<std::string> args{"locks", "--data", repo_};
    args.insert(args.end(), extra.begin(), extra.end());
    const test::ProgramOutcome listed = Run(args);
    EXPECT_EQ(0, listed.exit) << listed.err;
    std::vector<std::string> rows;
    std::string row;
    bool heading = true;
    for (const char c : Squeezed(listed.out)) {
      if (c != '\n') {
        row += c;
        continue;
      }
      if (!heading) rows.push_back(row);
      heading = false;
      row.clear();
    }
    return rows;
  };
  const std::string map_alice = "Veltrane\\Games\\map.dat alice exclusive held";
  const std::string map_bob = "Veltrane\\Games\\map.dat bob exclusive waits, rank 1";
  EXPECT_EQ((std::vector<std::string>{map_alice, map_bob}), documents({"\\games"}));
  EXPECT_EQ((std::vector<std::string>{map_alice, map_bob}), documents({"\\Games\\MAP.dat"}));
  EXPECT_EQ((std::vector<std::string>{map_alice, map_bob}), documents({"Veltrane\\Games"}));
  EXPECT_EQ(4u, documents({""}).size());  // the root
  EXPECT_EQ(2u, documents({"--user", "bob"}).size());
  EXPECT_EQ((std::vector<std::string>{map_bob}), documents({"--user", "bob", "\\Games"}));
  EXPECT_EQ("No locks.\n", Run({"locks", "--data", repo_, "\\Games\\free.dat"}).out);
  EXPECT_EQ("No locks.\n", Run({"locks", "--data", repo_, "--user", "alice", "\\Art"}).out);

  o = Run({"locks", "--data", repo_, "\\Nothing"});
  EXPECT_EQ(1, o.exit);
  EXPECT_NE(std::string::npos, o.err.find("Nothing")) << o.err;
  o = Run({"locks", "--data", repo_, "--user", "carol"});
  EXPECT_EQ(1, o.exit);
  EXPECT_NE(std::string::npos, o.err.find("no user carol")) << o.err;
  EXPECT_EQ(2, Run({"locks", "--data", repo_, "\\Games", "\\Art"}).exit);
}

// Alice holds the lock, Bob waits for it: a user who only waits holds
// nothing to break, and the path is found whatever its letter case.
TEST_P(CliStorageTest, UnlockBreaksHeldLocksOnlyAndSaysWhoHoldsNone) {
  Init();
  {
    GamesWithMap made;
    ASSERT_NO_FATAL_FAILURE(AddGamesWithMap(&made));
    LockFailure failure;
    ASSERT_EQ(kOk,
              made.storage->AcquireLocks("alice", {{made.map, false}}, kLockExclusive, &failure));
    ASSERT_EQ(kOk, made.storage->AcquireLocks("bob", {{made.map, true}}, kLockExclusive, &failure));
  }
  test::ProgramOutcome o =
      Run({"unlock", "--data", repo_, "--force", "--user", "bob", "\\Games\\map.dat"});
  EXPECT_EQ(1, o.exit);
  EXPECT_NE(std::string::npos, o.err.find("bob holds no lock of \\Games\\map.dat")) << o.err;
  EXPECT_EQ(std::string::npos, o.err.find("bob holds a lock")) << o.err;
  o = Run({"locks", "--data", repo_});
  EXPECT_NE(std::string::npos, Squeezed(o.out).find("map.dat alice exclusive held")) << o.out;
  EXPECT_NE(std::string::npos, Squeezed(o.out).find("map.dat bob exclusive waits, rank 1"))
      << o.out;

  o = Run({"unlock", "--data", repo_, "--force", "\\GAMES\\Map.DAT"});
  EXPECT_EQ(0, o.exit) << o.err;
  EXPECT_NE(std::string::npos, o.out.find("broke alice (exclusive); granted bob (exclusive)"))
      << o.out;
  o = Run({"locks", "--data", repo_});
  EXPECT_NE(std::string::npos, Squeezed(o.out).find("map.dat bob exclusive held")) << o.out;
  EXPECT_EQ(std::string::npos, o.out.find("alice")) << o.out;
  o = Run({"unlock", "--data", repo_, "--force", "--user", "alice", "\\Games\\map.dat"});
  EXPECT_EQ(1, o.exit);
  EXPECT_NE(std::string::npos, o.err.find("alice holds no lock of")) << o.err;
}

TEST_P(CliStorageTest, VerifyListsVersionsWhoseContentIsMissingOrDamaged) {
  Init();
  ContentRef hello;
  ContentRef world;
  {
    auto storage = Open();
    ProductionEntry root;
    ASSERT_EQ(kOk, storage->GetRootProduction(&root));
    std::string error;
    ASSERT_TRUE(storage->Contents().Put("hello", &hello, &error));
    ASSERT_TRUE(storage->Contents().Put("world", &world, &error));
    std::vector<StoredVersion> out;
    size_t index = 0;
    ASSERT_EQ(kOk, storage->AddDocuments(
                       "alice", "", {{root.id, "a", hello}, {root.id, "b", hello}}, &out, &index));
    LockFailure failure;
    ASSERT_EQ(kOk, storage->AcquireLocks("alice", {{out[0].document_id, false}}, kLockExclusive,
                                         &failure));
    ASSERT_EQ(kOk,
              storage->CheckIn("alice", "", false, {{out[0].document_id, world}}, &out, &index));
  }
  test::ProgramOutcome o = Run({"verify", "--data", repo_});
  EXPECT_EQ(0, o.exit) << o.err << o.out;
  EXPECT_EQ("Checked 3 versions and 2 contents: all present and sound\n", o.out);

  // The same size, other bytes; and a content gone.
  auto storage = Open();
  const std::string world_file = storage->Contents().PathOf(world.sha256);
  ASSERT_EQ(0, unlink(world_file.c_str()));
  test::WriteFile(world_file, "WORLD");
  ASSERT_EQ(0, unlink(storage->Contents().PathOf(hello.sha256).c_str()));
  o = Run({"verify", "--data", repo_});
  EXPECT_EQ(1, o.exit);
  EXPECT_NE(std::string::npos, o.err.find("3 of 3 versions")) << o.err;
  const std::vector<std::string> expected{
      "Veltrane\\a 1 " + hello.sha256 + " missing\n",
      "Veltrane\\a 2 " + world.sha256 + " its bytes have the digest ",
      "Veltrane\\b 1 " + hello.sha256 + " missing\n"};
  size_t at = 0;
  const std::string rows = Squeezed(o.out);
  for (const std::string& line : expected) {
    at = rows.find(line, at);
    EXPECT_NE(std::string::npos, at) << line << "\n" << o.out;
  }
  // A file of another size is told as such.
  test::WriteFile(world_file, "worlds");
  o = Run({"verify", "--data", repo_});
  EXPECT_NE(std::string::npos, o.out.find("6 bytes instead of 5")) << o.out;
}

TEST_F(CliTest, ServeRefusesWhatItCannotServe) {
  EXPECT_EQ(1, Run({"serve", "--data", repo_, "--port", "0"}).exit);  // no repository
  Init();
  // A port another socket listens on.
  std::unique_ptr<CIOSocket> taken = CreateSocket();
  ASSERT_EQ(kSocketOk, taken->Listen(4, 0, kSocketStream));
  NetAddress address;
  ASSERT_EQ(kSocketOk, taken->LocalAddress(&address));
  test::ProgramOutcome o =
      Run({"serve", "--data", repo_, "--port", std::to_string(address.Port())});
  EXPECT_EQ(1, o.exit);
  EXPECT_NE(std::string::npos, o.err.find("cannot listen")) << o.err;
  EXPECT_EQ(2, Run({"serve", "--data", repo_, "--port", "http"}).exit);
  EXPECT_EQ(2, Run({"serve", "--data", repo_, "--log", ""}).exit);
}

TEST_F(CliTest, UsageErrorsAndHelp) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"init"},
           {"init", "--data"},
           {"init", "--data", repo_, "--colour", "red"},
           {"show", "-x", "--data", repo_, "\\a"},
           {"unlock", "--data", repo_, "\\a"},
           {"unlock", "--data", repo_, "--force=yes", "\\a"},
       }) {
    const test::ProgramOutcome o = Run(args);
    EXPECT_EQ(2, o.exit) << (args.empty() ? "(none)" : args[0]);
    EXPECT_NE(std::string::npos, o.err.find("Usage: TWServer"));
  }
  EXPECT_FALSE(Mode(repo_) != 0) << "a usage error created the repository";

  test::ProgramOutcome o = Run({"--version"});
  EXPECT_EQ(0, o.exit);
  EXPECT_EQ(0u, o.out.find("TWServer (Veltrane) ")) << o.out;
  EXPECT_GT(o.out.find_first_of("0123456789"), 0u);

  o = Run({"--help"});
  EXPECT_EQ(0, o.exit);
  EXPECT_EQ(0u, o.out.find("Usage: TWServer <command>"));
  for (const char* command :
       {"init", "set", "user", "show", "locks", "unlock", "verify", "serve"}) {
    o = Run({command, "--help"});
    EXPECT_EQ(0, o.exit) << command;
    EXPECT_EQ(0u, o.out.find(std::string("Usage: TWServer ") + command)) << o.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, CliStorageTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         test::BackendName);

}  // namespace
}  // namespace tw::twserver
