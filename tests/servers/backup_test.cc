// `TWServer backup` and `restore` through the real programs: a backup taken
// while ten clients check in restores to a repository that `verify`
// accepts and that a server started on it serves with every version the
// backup holds, on SQLite and, when PostgreSQL is installed, on a database
// of the test run's cluster; the folders both refuse; a backup whose
// contents hold links is not restored through them; and the launcher that
// runs the PostgreSQL programs tells how they ended and bounds them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/process.h"
#include "protocol/lock_command.h"
#include "settings/property_escape.h"
#include "tests/support/serve_fixture.h"

namespace tw::twserver {
namespace {

using test::Backend;
using test::Error;
using test::Join;
using test::SplitField;
using test::WireClient;

constexpr int kClients = 10;

std::string Str(const MessagePtr& m, uint32_t id) {
  std::string value;
  if (m) m->GetString(id, &value);
  return value;
}

// What version `version` of Document `document` holds: its own bytes, so a
// version restored from another one's bytes shows.
std::string Content(int document, int version) {
  std::string text =
      "document " + std::to_string(document) + " version " + std::to_string(version) + "\n";
  while (text.size() < 3000) text += text.substr(0, 50) + std::to_string(text.size());
  return text;
}

class BackupTest : public test::ServeFixture, public ::testing::WithParamInterface<Backend> {
 protected:
  void SetUp() override { UseBackend(GetParam()); }

  // Adds one Document per client below a new Production; their identifiers.
  std::vector<std::string> AddDocuments(WireClient& c) {
    MessagePtr made = WireClient::Request("PRODUCTIONCMD", 4);
    made->SetString(101, Root(c));
    made->SetString(102, "Team");
    MessagePtr reply = c.Call(*made);
    const std::string production = Str(reply, 103);
    std::vector<std::string> names;
    std::vector<std::string> contents;
    for (int i = 0; i < kClients; ++i) {
      names.push_back("doc" + std::to_string(i) + ".txt");
      contents.push_back(Content(i, 1));
    }
    std::vector<std::string> paths;
    for (const std::string& content : contents) paths.push_back(LocalFile(content));
    MessagePtr r = AddRequest(production, names, paths);
    r->SetString(109, Join(paths));
    MessagePtr added = c.Call(*r);
    EXPECT_EQ(0, Error(added));
    return added ? SplitField(*added, 103) : std::vector<std::string>();
  }

  // Checks Document `id` out exclusively and checks in versions 2, 3, ...
  // until `stop` (and at least `at_least` of them); `done` counts them.
  void CheckInLoop(int document, const std::string& id, const std::atomic<bool>& stop,
                   std::atomic<int>* done) {
    auto c = Client();
    MessagePtr lock = WireClient::Request("ACQUIRELOCK");
    lock->SetString(100, id);
    lock->SetInt(101, 1);
    lock->SetInt(102, 0);
    lock->SetInt(103, kLockExclusive);
    lock->SetBoolList(104, {false});
    ASSERT_EQ(0, Error(c->Call(*lock)));
    for (int version = 2; !stop.load() || version < 4; ++version) {
      const std::string path =
          env_.Path("client" + std::to_string(document) + "-" + std::to_string(version));
      test::WriteFile(path, Content(document, version));
      MessagePtr r = WireClient::Request("DOCUMENTCMD", 2);
      r->SetString(101, id);
      r->SetRawField(102, FIELD_FILELIST, path.data(), path.size());
      r->SetInt(103, 0);
      r->SetString(104, path);
      r->SetString(105, EscapePropertyValue("version " + std::to_string(version)));
      r->SetIntList(106, {0});
      ASSERT_EQ(0, Error(c->Call(*r))) << "document " << document << " version " << version;
      done->store(version);
    }
  }

  // The content of `version` of `id` as the server on `port` sends it;
  // "(none)" when the fetch fails.
  static std::string Fetch(uint16_t port, const std::string& id, int version) {
    WireClient c;
    if (!c.Connect(port) || c.Logon("alice", "secret") != 0) return "(no logon)";
    MessagePtr r = WireClient::Request("DOCUMENTCMD", 4);
    r->SetString(101, id);
    r->SetIntList(102, {version});
    r->SetInt(103, 0);
    MessagePtr reply = c.Call(*r);
    if (Error(reply) != 0) return "(none)";
    const std::vector<std::string> files = SplitField(*reply, 106);
    if (files.size() != 1) return "(none)";
    const std::string content = test::ReadFile(files[0]);
    unlink(files[0].c_str());
    return content;
  }

  int Run(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::string ignored;
    return server_->Run(args, "", out != nullptr ? out : &ignored);
  }
};

TEST_P(BackupTest, TakenWhileTenClientsCheckInRestoresToTheSameVersions) {
  StartServer();
  auto alice = Client();
  const std::vector<std::string> ids = AddDocuments(*alice);
  ASSERT_EQ(static_cast<size_t>(kClients), ids.size());

  std::atomic<bool> stop{false};
  std::vector<std::atomic<int>> done(kClients);
  for (auto& d : done) d.store(1);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] { CheckInLoop(i, ids[static_cast<size_t>(i)], stop, &done[i]); });
  }
  // Every client checks in before the backup starts and goes on during it.
  for (int i = 0; i < kClients; ++i) {
    for (int wait = 0; done[i].load() < 2 && wait < 12000; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // A backup proves nothing about serving unless check-ins completed while
  // it ran: one that none overlapped (a machine that scheduled it alone)
  // is taken again into a new folder.
  std::vector<int> before(kClients);
  std::vector<int> after(kClients);
  std::string backup;
  int backed_up = -1;
  int overlapped = 0;
  std::string out;
  for (int attempt = 0; attempt < 20 && overlapped == 0; ++attempt) {
    for (int i = 0; i < kClients; ++i) before[i] = done[i].load();
    backup = env_.Path("backup" + std::to_string(attempt));
    backed_up = Run({"backup", "--data", server_->dir(), "--to", backup}, &out);
    for (int i = 0; i < kClients; ++i) after[i] = done[i].load();
    if (backed_up != 0) break;
    for (int i = 0; i < kClients; ++i) overlapped += after[i] - before[i];
  }
  stop.store(true);
  for (std::thread& t : clients) t.join();
  ASSERT_EQ(0, backed_up) << server_->Log();
  EXPECT_NE(std::string::npos, out.find("Backed up")) << out;
  ASSERT_GE(overlapped, 1) << "no check-in completed while a backup ran";

  std::vector<std::string> restore{"restore", "--from", backup, "--data", env_.Path("restored")};
  if (backend_ == Backend::kPostgres) {
    const std::string database = databases_.New("restored");
    ASSERT_FALSE(database.empty()) << databases_.problem();
    restore.insert(restore.end(), {"--database", database});
  }
  ASSERT_EQ(0, Run(restore, &out)) << out;
  ASSERT_EQ(0, Run({"verify", "--data", env_.Path("restored")}, &out)) << out;
  const std::string checked = "Checked ";
  ASSERT_EQ(0u, out.rfind(checked, 0)) << out;
  const int restored_versions = std::stoi(out.substr(checked.size()));

  test::TestServer restored(env_.Path("restored"));
  ASSERT_TRUE(restored.Start()) << restored.Log();
  int versions = 0;
  for (int i = 0; i < kClients; ++i) {
    const std::string& id = ids[static_cast<size_t>(i)];
    // The newest version the backup holds lies between what was checked
    // in when it started and when it ended; every one up to it is whole.
    const std::string latest = Fetch(restored.port(), id, 0);
    int newest = 0;
    for (int v = before[i]; v <= after[i] + 1 && newest == 0; ++v) {
      if (latest == Content(i, v)) newest = v;
    }
    ASSERT_NE(0, newest) << "document " << i << ": " << latest.substr(0, 40) << " not within "
                         << before[i] << ".." << after[i] + 1;
    for (int v = 1; v <= newest; ++v) {
      EXPECT_EQ(Content(i, v), Fetch(restored.port(), id, v)) << "document " << i << " v" << v;
    }
    // Nothing checked in after the snapshot came along.
    EXPECT_EQ("(none)", Fetch(restored.port(), id, newest + 1)) << "document " << i;
    versions += newest;
  }
  // Every version the restored repository holds is one of those.
  EXPECT_EQ(versions, restored_versions);
  EXPECT_EQ(0, restored.Stop()) << restored.Log();
}

TEST_P(BackupTest, RefusesFoldersInUseAndIncompleteBackups) {
  StartServer();
  auto alice = Client();
  ASSERT_EQ(static_cast<size_t>(kClients), AddDocuments(*alice).size());
  const std::string dir = server_->dir();

  // A backup folder that holds something is left as it was.
  const std::string full = env_.Path("full");
  std::filesystem::create_directory(full);
  test::WriteFile(full + "/keep.txt", "mine");
  std::string out;
  EXPECT_EQ(1, Run({"backup", "--data", dir, "--to", full}));
  EXPECT_EQ("mine", test::ReadFile(full + "/keep.txt"));
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(full),
                             std::filesystem::directory_iterator()));

  const std::string backup = env_.Path("backup");
  ASSERT_EQ(0, Run({"backup", "--data", dir, "--to", backup}, &out)) << out;
  EXPECT_NE(std::string::npos, out.find(std::to_string(kClients) + " contents")) << out;
  // Contents are linked where the file system allows: no second copy.
  EXPECT_NE(std::string::npos, out.find("(" + std::to_string(kClients) + " linked, 0 copied)"))
      << out;

  std::string database;
  std::vector<std::string> on_database;
  if (backend_ == Backend::kPostgres) {
    database = databases_.New("restored");
    ASSERT_FALSE(database.empty()) << databases_.problem();
    on_database = {"--database", database};
  }
  const auto restore = [&](const std::string& from, const std::string& into) {
    std::vector<std::string> args{"restore", "--from", from, "--data", into};
    args.insert(args.end(), on_database.begin(), on_database.end());
    return Run(args);
  };
  // Never over a repository, the live one least of all.
  EXPECT_EQ(1, restore(backup, dir));
  EXPECT_EQ(0, Run({"verify", "--data", dir}));
  // Not into a folder that holds anything.
  EXPECT_EQ(1, restore(backup, full));
  EXPECT_EQ("mine", test::ReadFile(full + "/keep.txt"));
  // A backup without its info file is incomplete: nothing is made.
  const std::string partial = env_.Path("partial");
  std::filesystem::copy(backup, partial, std::filesystem::copy_options::recursive);
  std::filesystem::remove(partial + "/backup.info");
  EXPECT_EQ(1, restore(partial, env_.Path("from-partial")));
  EXPECT_FALSE(std::filesystem::exists(env_.Path("from-partial")));
  // Nor is one that lost a content in storage, whatever its info says.
  const std::string lacking = env_.Path("lacking");
  std::filesystem::copy(backup, lacking, std::filesystem::copy_options::recursive);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(lacking + "/content")) {
    if (entry.is_regular_file() && entry.path().filename().string().size() == 64) {
      std::filesystem::remove(entry.path());
      break;
    }
  }
  std::vector<std::string> from_lacking{"restore", "--from", lacking, "--data",
                                        env_.Path("from-lacking")};
  if (backend_ == Backend::kPostgres) {
    from_lacking.insert(from_lacking.end(), {"--database", databases_.New("lacking")});
  }
  EXPECT_EQ(1, Run(from_lacking));
  EXPECT_FALSE(std::filesystem::exists(env_.Path("from-lacking")));
  // The backup's kind of metadata decides whether --database is wanted.
  if (backend_ == Backend::kPostgres) {
    EXPECT_EQ(1, Run({"restore", "--from", backup, "--data", env_.Path("no-database")}));
  } else {
    EXPECT_EQ(1, Run({"restore", "--from", backup, "--data", env_.Path("no-database"), "--database",
                      "postgresql://localhost/x"}));
  }
  EXPECT_FALSE(std::filesystem::exists(env_.Path("no-database")));

  ASSERT_EQ(0, restore(backup, env_.Path("restored")));
  EXPECT_EQ(0, Run({"verify", "--data", env_.Path("restored")}));
  // A restored database does not take a second restore.
  if (backend_ == Backend::kPostgres) {
    EXPECT_NE(0, restore(backup, env_.Path("again")));
    EXPECT_FALSE(std::filesystem::exists(env_.Path("again")));
  }
}

TEST_P(BackupTest, RestoreTakesNoLinkFromTheBackup) {
  StartServer();
  auto alice = Client();
  ASSERT_EQ(static_cast<size_t>(kClients), AddDocuments(*alice).size());
  const std::string backup = env_.Path("backup");
  ASSERT_EQ(0, Run({"backup", "--data", server_->dir(), "--to", backup}));
  std::vector<std::filesystem::path> prefixes;
  for (const auto& entry : std::filesystem::directory_iterator(backup + "/content")) {
    if (entry.path().filename().string().size() == 2) prefixes.push_back(entry.path());
  }
  ASSERT_LE(2u, prefixes.size());
  const std::string outside = env_.Path("outside");
  std::filesystem::create_directory(outside);
  test::WriteFile(outside + "/secret", "not a content of this repository");

  const auto restore = [&](const std::string& name) {
    std::vector<std::string> args{"restore", "--from", backup, "--data", env_.Path(name)};
    if (backend_ == Backend::kPostgres)
      args.insert(args.end(), {"--database", databases_.New(name)});
    std::string out;
    const int code = Run(args, &out);
    // Whatever the outcome, the new repository holds no link.
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(env_.Path(name), ec), end;
         !ec && it != end; it.increment(ec)) {
      EXPECT_FALSE(it->is_symlink()) << it->path();
    }
    return code;
  };

  // A content replaced by a link to a file elsewhere.
  const std::filesystem::path content = std::filesystem::directory_iterator(prefixes[0])->path();
  std::filesystem::rename(content, env_.Path("kept-content"));
  std::filesystem::create_symlink(outside + "/secret", content);
  EXPECT_EQ(1, restore("through-file-link"));
  EXPECT_FALSE(std::filesystem::exists(env_.Path("through-file-link")));
  std::filesystem::remove(content);
  std::filesystem::rename(env_.Path("kept-content"), content);

  // A prefix folder replaced by a link to a folder elsewhere.
  std::filesystem::rename(prefixes[1], outside + "/" + prefixes[1].filename().string());
  std::filesystem::create_directory_symlink(outside + "/" + prefixes[1].filename().string(),
                                            prefixes[1]);
  EXPECT_EQ(1, restore("through-folder-link"));
  EXPECT_FALSE(std::filesystem::exists(env_.Path("through-folder-link")));
  EXPECT_EQ("not a content of this repository", test::ReadFile(outside + "/secret"));
}

// An operator moved a large content to another disk and linked it back:
// the server serves it through the link, and a backup holds its bytes, not
// the link, so that the backup restores.
TEST_P(BackupTest, AContentLinkedBackByHandIsBackedUpAsItsBytes) {
  StartServer();
  auto alice = Client();
  ASSERT_EQ(static_cast<size_t>(kClients), AddDocuments(*alice).size());
  std::filesystem::path content;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(server_->dir() + "/content")) {
    if (entry.is_regular_file() && entry.path().filename().string().size() == 64) {
      content = entry.path();
      break;
    }
  }
  ASSERT_FALSE(content.empty());
  const std::string moved = env_.Path("other-disk-content");
  std::filesystem::rename(content, moved);
  std::filesystem::create_symlink(moved, content);

  const std::string backup = env_.Path("backup");
  std::string out;
  ASSERT_EQ(0, Run({"backup", "--data", server_->dir(), "--to", backup}, &out)) << out;
  EXPECT_NE(std::string::npos, out.find("(" + std::to_string(kClients - 1) + " linked, 1 copied)"))
      << out;
  const std::filesystem::path kept = backup / std::filesystem::relative(content, server_->dir());
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(kept))) << kept;
  EXPECT_EQ(test::ReadFile(moved), test::ReadFile(kept.string()));

  std::vector<std::string> args{"restore", "--from", backup, "--data", env_.Path("restored")};
  if (backend_ == Backend::kPostgres) args.insert(args.end(), {"--database", databases_.New("r")});
  ASSERT_EQ(0, Run(args, &out)) << out;
  EXPECT_EQ(0, Run({"verify", "--data", env_.Path("restored")}));
}

INSTANTIATE_TEST_SUITE_P(Backends, BackupTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         test::BackendName);

// The launcher that runs pg_dump and pg_restore: how the program ended is
// told, one that runs past its limit is ended, and it inherits no
// descriptor but the standard three.
TEST(LaunchWithLimit, TellsHowTheProgramEnded) {
  const std::string shell = FindProgram("sh", std::string());
  ASSERT_FALSE(shell.empty());
  LaunchRequest request;
  LaunchOutcome outcome;
  request.argv = {shell, "-c", "exit 7"};
  ASSERT_TRUE(LaunchAndWait(request, std::chrono::minutes(5), &outcome));
  EXPECT_EQ(LaunchOutcome::End::kExited, outcome.end);
  EXPECT_EQ(7, outcome.status);

  request.argv = {shell, "-c", "kill -TERM $$"};
  ASSERT_TRUE(LaunchAndWait(request, std::chrono::minutes(5), &outcome));
  EXPECT_EQ(LaunchOutcome::End::kSignalled, outcome.end);
  EXPECT_EQ(SIGTERM, outcome.status);

  // A descriptor left open across exec by mistake does not reach it.
  const int stray = open("/dev/null", O_RDONLY);
  ASSERT_LE(3, stray);
  request.argv = {shell, "-c",
                  "if test -e /proc/self/fd/" + std::to_string(stray) + "; then exit 3; fi"};
  ASSERT_TRUE(LaunchAndWait(request, std::chrono::minutes(5), &outcome));
  close(stray);
  EXPECT_EQ(LaunchOutcome::End::kExited, outcome.end);
  EXPECT_EQ(0, outcome.status) << "the descriptor was inherited";

  request.argv = {"/nonexistent/program"};
  EXPECT_FALSE(LaunchAndWait(request, std::chrono::minutes(5), &outcome));
}

TEST(LaunchWithLimit, EndsAProgramThatRunsPastItsLimit) {
  LaunchRequest request;
  request.argv = {FindProgram("sleep", std::string()), "600"};
  ASSERT_FALSE(request.argv[0].empty());
  LaunchOutcome outcome;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(LaunchAndWait(request, std::chrono::milliseconds(200), &outcome));
  EXPECT_EQ(LaunchOutcome::End::kTimedOut, outcome.end);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::minutes(5));
}

}  // namespace
}  // namespace tw::twserver
