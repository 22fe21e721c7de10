// The server's programs as an administrator meets them after `cmake
// --install` into a prefix: TWServer and TWSccSetup run from there (their
// versions, TWServer's help, a repository backed up, restored and
// verified), the installed TWServer serves two users while the
// administrator lists and breaks locks, changes a password and rotates the
// log, and the systemd unit installed beside them names the installed
// TWServer and passes `systemd-analyze verify` where that tool exists.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/process.h"
#include "protocol/lock_command.h"
#include "tests/support/test_env.h"
#include "tests/support/wire_client.h"
#include "tools/vscc/json.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

class InstalledServerTest : public ::testing::Test {
 protected:
  // Installs the build into a prefix of the test's own, once per test.
  void SetUp() override {
    const test::ProgramOutcome installed =
        Run(TW_CMAKE_COMMAND, {"-DCMAKE_INSTALL_PREFIX=" + prefix_, "-P", TW_INSTALL_SCRIPT});
    ASSERT_EQ(0, installed.exit) << installed.out << installed.err;
  }

  test::ProgramOutcome Run(const std::string& program, const std::vector<std::string>& args,
                           const std::string& input = std::string()) {
    return test::RunProgram(program, args, env_.root(), input);
  }

  test::ProgramOutcome Server(const std::vector<std::string>& args,
                              const std::string& input = std::string()) {
    return Run(prefix_ + "/bin/TWServer", args, input);
  }

  static bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }

  test::TestEnv env_;
  const std::string prefix_ = env_.Path("prefix");
};

// The installed TWServer serving a repository with alice ("secret") and bob
// ("hunter2"): TestServer starts TWServer from TW_BIN_DIR, here the
// prefix's bin folder.
class InstalledServeTest : public InstalledServerTest {
 protected:
  void StartServer(const std::vector<std::string>& options = {}) {
    server_ = std::make_unique<test::TestServer>(repo_);
    ASSERT_TRUE(server_->Init());
    ASSERT_TRUE(server_->AddUser("alice", "secret"));
    ASSERT_TRUE(server_->AddUser("bob", "hunter2"));
    ASSERT_TRUE(server_->Start(options)) << server_->Log();
  }

  void TearDown() override {
    if (server_ && server_->pid() > 0) {
      EXPECT_EQ(0, server_->Stop()) << server_->Log();
    }
  }

  std::unique_ptr<test::WireClient> Client(const std::string& user, const std::string& password) {
    auto client = std::make_unique<test::WireClient>();
    EXPECT_TRUE(client->Connect(server_->port()));
    EXPECT_EQ(0, client->Logon(user, password)) << user;
    return client;
  }

  static std::string Str(const MessagePtr& m, uint32_t id) {
    std::string value;
    if (m) m->GetString(id, &value);
    return value;
  }

  static int Error(const MessagePtr& m) { return m ? m->GetErrorCode() : -12345; }

  // Adds the Documents `names` (contents "NAME 1") to the Production
  // \Team, made first; their identifiers.
  std::vector<std::string> AddToTeam(test::WireClient& c, const std::vector<std::string>& names) {
    MessagePtr root = test::WireClient::Request("PRODUCTIONCMD", 20);
    root->SetString(101, "");
    MessagePtr made = test::WireClient::Request("PRODUCTIONCMD", 4);
    made->SetString(101, Str(c.Call(*root), 101));
    made->SetString(102, "Team");
    const std::string team = Str(c.Call(*made), 103);
    std::vector<std::string> teams, paths;
    for (const std::string& name : names) {
      paths.push_back(LocalFile(name + " 1"));
      teams.push_back(team);
    }
    MessagePtr add = test::WireClient::Request("DOCUMENTCMD", 1);
    add->SetString(101, Joined(teams));
    add->SetString(102, Joined(names));
    const std::string files = Joined(paths);
    add->SetRawField(103, FIELD_FILELIST, files.data(), files.size());
    add->SetString(107, "");
    add->SetString(109, files);
    MessagePtr added = c.Call(*add);
    EXPECT_EQ(0, Error(added));
    return added ? test::SplitField(*added, 103) : std::vector<std::string>();
  }

  // ACQUIRELOCK (exclusive) of one Document, queued when `deferred`.
  static int Lock(test::WireClient& c, const std::string& id, bool deferred) {
    MessagePtr lock = test::WireClient::Request("ACQUIRELOCK");
    lock->SetString(100, id);
    lock->SetInt(101, 1);
    lock->SetInt(102, 0);
    lock->SetInt(103, kLockExclusive);
    lock->SetBoolList(104, {deferred});
    return Error(c.Call(*lock));
  }

  // Checks in `contents` as the next version of the Document `id`.
  int CheckIn(test::WireClient& c, const std::string& id, const std::string& contents) {
    const std::string file = LocalFile(contents);
    MessagePtr check_in = test::WireClient::Request("DOCUMENTCMD", 2);
    check_in->SetString(101, id);
    check_in->SetRawField(102, FIELD_FILELIST, file.data(), file.size());
    check_in->SetInt(103, 0);
    check_in->SetString(104, file);
    check_in->SetString(105, "");
    check_in->SetIntList(106, {0});
    return Error(c.Call(*check_in));
  }

  std::string LocalFile(const std::string& contents) {
    const std::string path = env_.Path("local" + std::to_string(++local_files_));
    test::WriteFile(path, contents);
    return path;
  }

  static std::string Joined(const std::vector<std::string>& items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) out += (i ? "?" : "") + items[i];
    return out;
  }

  // Waits (a minute at most) until the file at `path` holds `part`.
  static bool WaitForText(const std::string& path, const std::string& part) {
    for (int i = 0; i < 6000; ++i) {
      if (Has(test::ReadFile(path), part)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  const std::string repo_ = env_.Path("repo");
  test::ScopedEnv installed_programs_{"TW_BIN_DIR", prefix_ + "/bin"};
  std::unique_ptr<test::TestServer> server_;
  int local_files_ = 0;
};

TEST_F(InstalledServerTest, ProgramsTellTheirVersionAndTheServerItsCommands) {
  const test::ProgramOutcome server = Server({"--version"});
  ASSERT_EQ(0, server.exit) << server.err;
  EXPECT_EQ(std::string("TWServer (Veltrane) ") + TW_PROJECT_VERSION + "\n", server.out);
  const test::ProgramOutcome setup = Run(prefix_ + "/bin/TWSccSetup", {"--version"});
  ASSERT_EQ(0, setup.exit) << setup.err;
  EXPECT_EQ(std::string("TWSccSetup (Veltrane) ") + TW_PROJECT_VERSION + "\n", setup.out);
  EXPECT_TRUE(Has(Run(prefix_ + "/bin/TWSccSetup", {"--help"}).out, "--version"));

  const test::ProgramOutcome help = Server({"--help"});
  ASSERT_EQ(0, help.exit);
  for (const char* command : {"init", "user", "locks", "unlock", "serve", "verify", "backup",
                              "restore", "--log-format"}) {
    EXPECT_TRUE(Has(help.out, command)) << command << " missing from\n" << help.out;
  }
  EXPECT_TRUE(Has(Server({"backup", "--help"}).out, "Usage: TWServer backup")) << "backup --help";
  EXPECT_TRUE(Has(Server({"restore", "--help"}).out, "Usage: TWServer restore"));
}

// Alice holds a lock, Bob waits for it; the administrator lists both and
// breaks Alice's, which passes the lock to Bob, is written to admin.log and
// makes Alice's next check-in fail.
TEST_F(InstalledServeTest, TheAdministratorListsAndBreaksAHeldLock) {
  StartServer();
  auto alice = Client("alice", "secret");
  auto bob = Client("bob", "hunter2");
  const std::vector<std::string> ids = AddToTeam(*alice, {"a.txt", "b.txt"});
  ASSERT_EQ(2u, ids.size());
  ASSERT_EQ(0, Lock(*alice, ids[0], false));
  ASSERT_EQ(0, Lock(*bob, ids[0], true));

  test::ProgramOutcome o = Server({"locks", "--data", repo_});
  ASSERT_EQ(0, o.exit) << o.err;
  std::istringstream lines(o.out);
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(3u, rows.size()) << o.out;
  EXPECT_EQ(0u, rows[0].rfind("Document", 0)) << o.out;
  for (const auto& [row, user, state] :
       {std::tuple<size_t, std::string, std::string>{1, "alice", "held"},
        {2, "bob", "waits, rank 1"}}) {
    EXPECT_TRUE(Has(rows[row], "Veltrane\\Team\\a.txt")) << rows[row];
    EXPECT_TRUE(Has(rows[row], "  " + user + "  ")) << rows[row];
    EXPECT_TRUE(Has(rows[row], "exclusive  " + state)) << rows[row];
  }
  o = Server({"locks", "--data", repo_, "--user", "alice", "\\Team\\b.txt"});
  EXPECT_EQ("No locks.\n", o.out) << o.err;

  // Without --force nothing is broken.
  EXPECT_EQ(2, Server({"unlock", "--data", repo_, "\\Team\\a.txt"}).exit);
  o = Server({"unlock", "--data", repo_, "--force", "\\Team\\a.txt", "--user", "alice"});
  ASSERT_EQ(0, o.exit) << o.err;
  const std::string admin_log = test::ReadFile(repo_ + "/admin.log");
  std::string broke;
  std::istringstream admin(admin_log);
  for (std::string line; std::getline(admin, line);) {
    if (Has(line, "unlock ")) broke = line;
  }
  EXPECT_TRUE(Has(broke, "\\Team\\a.txt")) << admin_log;
  EXPECT_TRUE(Has(broke, "broke alice (exclusive)")) << admin_log;
  EXPECT_TRUE(Has(broke, "granted bob (exclusive)")) << admin_log;

  o = Server({"locks", "--data", repo_});
  EXPECT_FALSE(Has(o.out, "alice")) << o.out;
  EXPECT_TRUE(Has(o.out, "bob")) << o.out;
  EXPECT_NE(0, CheckIn(*alice, ids[0], "alice's edit"));
  EXPECT_EQ(0, CheckIn(*bob, ids[0], "bob's edit"));
  // Nobody holds b.txt: there is nothing to break.
  EXPECT_EQ(1, Server({"unlock", "--data", repo_, "--force", "\\Team\\b.txt"}).exit);
}

// `user passwd` takes the new password from standard input while the server
// serves: the old one is refused from then on, the new one logs on.
TEST_F(InstalledServeTest, APasswordChangedFromStandardInputTakesEffectAtTheNextLogon) {
  StartServer();
  const test::ProgramOutcome o =
      Server({"user", "passwd", "--data", repo_, "alice"}, "a new one\n");
  ASSERT_EQ(0, o.exit) << o.err;
  test::WireClient old_password;
  ASSERT_TRUE(old_password.Connect(server_->port()));
  EXPECT_NE(0, old_password.Logon("alice", "secret"));
  test::WireClient new_password;
  ASSERT_TRUE(new_password.Connect(server_->port()));
  EXPECT_EQ(0, new_password.Logon("alice", "a new one"));
  EXPECT_TRUE(Has(test::ReadFile(repo_ + "/admin.log"), "alice"));
  // Bob's stays as it was.
  Client("bob", "hunter2");
}

// Log rotation: the log moved aside and SIGHUP sent, the server says so in
// the new file and writes every later line there.
TEST_F(InstalledServeTest, SighupReopensTheLogFileAfterItWasMoved) {
  const std::string log = env_.Path("twserver.log");
  StartServer({"--log", log});
  Client("alice", "secret");
  ASSERT_TRUE(WaitForText(log, "user=alice")) << test::ReadFile(log);
  fs::rename(log, log + ".1");
  ASSERT_EQ(0, kill(server_->pid(), SIGHUP));
  ASSERT_TRUE(WaitForText(log, "log reopened")) << test::ReadFile(log + ".1");
  Client("bob", "hunter2");
  ASSERT_TRUE(WaitForText(log, "user=bob")) << test::ReadFile(log);
  EXPECT_EQ(0, server_->Stop());
  const std::string moved = test::ReadFile(log + ".1");
  EXPECT_FALSE(Has(moved, "user=bob")) << moved;
  EXPECT_FALSE(Has(moved, "log reopened")) << moved;
  EXPECT_TRUE(Has(moved, "user=alice")) << moved;
}

// --log-format json: every line one object with `time` first, then a
// message or the members of a command's entry.
TEST_F(InstalledServeTest, AJsonLogHoldsOneObjectALine) {
  StartServer({"--log-format", "json"});
  {
    auto alice = Client("alice", "secret");
    const std::vector<std::string> ids = AddToTeam(*alice, {"a.txt"});
    ASSERT_EQ(1u, ids.size());
    EXPECT_EQ(0, Lock(*alice, ids[0], false));
  }
  ASSERT_EQ(0, server_->Stop());
  std::istringstream lines(server_->Log());
  int messages = 0;
  int locks = 0;
  for (std::string line; std::getline(lines, line);) {
    vscc::JsonValue value;
    std::string error;
    ASSERT_TRUE(vscc::ParseJson(line, &value, &error)) << error << ": " << line;
    ASSERT_EQ(vscc::JsonValue::kObject, value.type) << line;
    ASSERT_FALSE(value.object.empty()) << line;
    EXPECT_EQ("time", value.object[0].first) << line;
    if (value.Find("command") == nullptr) {
      EXPECT_FALSE(value.StringAt("message").empty()) << line;
      ++messages;
      continue;
    }
    for (const char* member : {"connection", "user", "sub", "result", "ms"}) {
      EXPECT_NE(nullptr, value.Find(member)) << member << " missing from " << line;
    }
    if (value.StringAt("command") == "ACQUIRELOCK") {
      ++locks;
      EXPECT_EQ("alice", value.StringAt("user"));
      EXPECT_EQ(0, value.NumberAt("result", -1));
      const vscc::JsonValue* paths = value.Find("paths");
      ASSERT_NE(nullptr, paths) << line;
      ASSERT_EQ(1u, paths->array.size()) << line;
      EXPECT_EQ("Veltrane\\Team\\a.txt", paths->array[0].string);
    }
  }
  EXPECT_GE(messages, 1);
  EXPECT_EQ(1, locks) << server_->Log();
}

// A backup taken while the server serves restores to a repository with the
// same users and versions, which verify accepts; a content gone from it
// makes verify fail and name the version.
TEST_F(InstalledServeTest, ARepositoryIsBackedUpRestoredAndVerified) {
  const std::string backup = env_.Path("backup");
  const std::string restored = env_.Path("restored");
  StartServer();
  {
    auto alice = Client("alice", "secret");
    const std::vector<std::string> ids = AddToTeam(*alice, {"a.txt", "b.txt"});
    ASSERT_EQ(2u, ids.size());
    ASSERT_EQ(0, Lock(*alice, ids[0], false));
    ASSERT_EQ(0, CheckIn(*alice, ids[0], "a.txt 2"));
  }
  test::ProgramOutcome o = Server({"backup", "--data", repo_, "--to", backup});
  ASSERT_EQ(0, o.exit) << o.err;
  EXPECT_TRUE(fs::is_regular_file(backup + "/backup.info"));
  EXPECT_EQ(1, Server({"backup", "--data", repo_, "--to", backup}).exit);
  o = Server({"restore", "--from", backup, "--data", restored});
  ASSERT_EQ(0, o.exit) << o.err;
  o = Server({"verify", "--data", restored});
  EXPECT_EQ(0, o.exit) << o.err;
  EXPECT_TRUE(Has(o.out, "Checked 3 versions and 3 contents: all present and sound")) << o.out;
  EXPECT_EQ("alice\nbob\n", Server({"user", "list", "--data", restored}).out);
  EXPECT_EQ(Server({"show", "--data", repo_, "\\Team\\a.txt"}).out,
            Server({"show", "--data", restored, "\\Team\\a.txt"}).out);
  EXPECT_EQ(1, Server({"restore", "--from", backup, "--data", restored}).exit);

  // One content gone (the restored repository's own link to it).
  std::vector<fs::path> contents;
  for (const auto& entry : fs::recursive_directory_iterator(restored + "/content")) {
    if (entry.is_regular_file() && !Has(entry.path().string(), "/content/tmp")) {
      contents.push_back(entry.path());
    }
  }
  ASSERT_EQ(3u, contents.size());
  fs::remove(contents[0]);
  o = Server({"verify", "--data", restored});
  EXPECT_EQ(1, o.exit) << o.out;
  EXPECT_TRUE(Has(o.out, "Veltrane\\Team\\")) << o.out;
  EXPECT_TRUE(Has(o.err, "1 of 3 versions")) << o.err;
  // The backup and the served repository keep theirs.
  EXPECT_EQ(0, Server({"verify", "--data", repo_}).exit);
}

TEST_F(InstalledServerTest, TheSystemdUnitNamesTheInstalledServerAndVerifies) {
  const std::string unit = prefix_ + "/lib/systemd/system/veltrane-twserver.service";
  ASSERT_TRUE(fs::is_regular_file(unit));
  const std::string text = test::ReadFile(unit);
  EXPECT_TRUE(Has(text, "ExecStart=" + prefix_ + "/bin/TWServer serve --data ")) << text;
  for (const char* setting :
       {"StateDirectory=veltrane", "User=veltrane", "ProtectSystem=strict", "ProtectHome=yes",
        "NoNewPrivileges=yes", "PrivateTmp=yes", "ReadWritePaths=", "ExecReload=/bin/kill -HUP"}) {
    EXPECT_TRUE(Has(text, setting)) << setting;
  }
  EXPECT_TRUE(Has(test::ReadFile(prefix_ + "/lib/sysusers.d/veltrane.conf"), "u veltrane "));

  const std::string analyze = FindProgram("systemd-analyze", std::string());
  if (analyze.empty()) GTEST_SKIP() << "systemd-analyze is not installed: the unit is not verified";
  // The manual pages are not looked up: the unit's own settings are checked.
  const test::ProgramOutcome verified = Run(analyze, {"verify", "--man=no", unit});
  EXPECT_EQ(0, verified.exit) << verified.err;
  // A setting it cannot parse is only a warning: none may be given.
  EXPECT_FALSE(Has(verified.err, unit)) << verified.err;
  EXPECT_FALSE(Has(verified.out, unit)) << verified.out;
}

}  // namespace
}  // namespace tw
