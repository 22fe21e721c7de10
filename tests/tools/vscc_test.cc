// vscc end to end: the built program, started as a user would start it (no
// terminal), against a real TWServer and TWPMSvr in the test's private
// folder. Two users work in two working folders of one Production; flags
// answer the provider's questions; what vscc prints is read back.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "messaging/field_ids.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "protocol/command.h"
#include "protocol/document_command.h"
#include "protocol/name_list_command.h"
#include "protocol/name_table.h"
#include "protocol/production_command.h"
#include "protocol/server_errors.h"
#include "settings/property_file_client.h"
#include "tests/support/fake_server.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/property_server.h"
#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"
#include "tests/support/wire_client.h"
#include "tools/vscc/json.h"
#include "tools/vscc/workspace.h"

namespace vscc {
namespace {

namespace fs = std::filesystem;
using tw::test::ReadFile;
using tw::test::WriteFile;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// Waits for `pid`, killing it after `seconds`: a vscc that waits for an
// answer nobody gives must fail the test, not hang it.
int WaitAtMost(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 100; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  tw::test::WaitExit(pid);
  return -1;
}

class VsccTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(property_server_.Start());
    ASSERT_TRUE(server_.Init());
    ASSERT_TRUE(server_.AddUser("alice", "alice pw"));
    ASSERT_TRUE(server_.AddUser("bob", "bob pw"));
    ASSERT_TRUE(server_.Start());
    setenv("VELTRANE_UI_RECORD", env_.Path("record.jsonl").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("VELTRANE_UI_RECORD");
    unsetenv("VISUAL");  // a test's editor stays its own
  }

  // Runs vscc in `folder` (below the test's folder) with standard input
  // from /dev/null; `password` goes to VELTRANE_PASSWORD when given.
  Result Vscc(const std::string& folder, std::vector<std::string> args,
              const char* password = nullptr) {
    const std::string dir = env_.Path(folder);
    fs::create_directories(dir);
    args.insert(args.begin(), {"-C", dir});
    if (password != nullptr) {
      setenv("VELTRANE_PASSWORD", password, 1);
    } else {
      unsetenv("VELTRANE_PASSWORD");
    }
    const std::string base = env_.Path("run" + std::to_string(++runs_));
    const pid_t pid =
        tw::test::SpawnRedirected(vscc_, args, "/dev/null", base + ".out", base + ".err");
    unsetenv("VELTRANE_PASSWORD");
    Result r;
    r.status = pid > 0 ? WaitAtMost(pid, 300) : -1;
    r.out = ReadFile(base + ".out");
    r.err = ReadFile(base + ".err");
    return r;
  }

  // `args` followed by the logon flags of `user`.
  std::vector<std::string> WithLogon(std::vector<std::string> args, const std::string& user) {
    for (const std::string& a :
         {std::string("--user"), user, std::string("--server"), std::string("127.0.0.1"),
          std::string("--port"), std::to_string(server_.port())}) {
      args.push_back(a);
    }
    return args;
  }

  // Binds the folder "w" as Alice to a new Production `production`, adds
  // a.txt ("one\n") to it and checks it out to her.
  void BindAddAndCheckOut(const std::string& production) {
    ASSERT_EQ(0, Vscc("w", WithLogon({"bind", "--new", production}, "alice"), "alice pw").status);
    WriteFile(env_.Path("w/a.txt"), "one\n");
    ASSERT_EQ(0, Vscc("w", {"add", "-m", "first", "a.txt"}, "alice pw").status);
    ASSERT_EQ(0, Vscc("w", {"checkout", "a.txt"}, "alice pw").status);
  }

  // `vscc status --json` in `folder`, parsed: path -> file object.
  std::map<std::string, JsonValue> Status(const std::string& folder, const char* password) {
    const Result r = Vscc(folder, {"status", "--json"}, password);
    EXPECT_EQ(0, r.status) << r.err;
    JsonValue v;
    std::string error;
    EXPECT_TRUE(ParseJson(r.out, &v, &error)) << error << "\n" << r.out;
    std::map<std::string, JsonValue> files;
    if (const JsonValue* list = v.Find("files")) {
      for (const JsonValue& f : list->array) files[f.StringAt("path")] = f;
    }
    return files;
  }

  // Runs vscc in `folder` on a new pseudo-terminal (its controlling
  // terminal, standard input and output), as a person at a terminal would,
  // and holds the conversation: for each (prompt, line) it waits for the
  // prompt, thinks `think_seconds` and types the line. Returns the exit
  // status; `seen` gets what the terminal showed.
  int OnTerminal(const std::string& folder, std::vector<std::string> args,
                 const std::vector<std::pair<std::string, std::string>>& conversation,
                 std::string* seen, int think_seconds = 0) {
    args.insert(args.begin(), {vscc_, "-C", env_.Path(folder)});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    unsetenv("VELTRANE_UI");  // vscc decides: a terminal
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      execv(argv[0], argv.data());
      _exit(127);
    }
    setenv("VELTRANE_UI", "none", 1);
    if (pid < 0) return -1;
    auto read_until = [&](const std::string& wanted) {
      for (int i = 0; i < 3000 && seen->find(wanted) == std::string::npos; ++i) {
        pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[4096];
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) return false;
        seen->append(buf, static_cast<size_t>(n));
      }
      return seen->find(wanted) != std::string::npos;
    };
    for (const auto& [prompt, line] : conversation) {
      if (!read_until(prompt)) break;
      std::this_thread::sleep_for(std::chrono::seconds(think_seconds));
      EXPECT_EQ(static_cast<ssize_t>(line.size()), write(master, line.data(), line.size()));
    }
    const int status = WaitAtMost(pid, 300);
    read_until("\x01never");  // the rest of what it printed
    close(master);
    return status;
  }

  tw::test::TestEnv env_;
  // The vscc a test runs: the built one, or an installed one.
  std::string vscc_ = tw::test::BinDir() + "/vscc";
  tw::test::PropertyServer property_server_;
  tw::test::TestServer server_{env_.Path("repo")};
  int runs_ = 0;
};

// The same cases for the vscc `cmake --install` lays out in a prefix of the
// test's own and registers with the installed TWSccSetup, as an
// administrator would install it: it finds its provider through the
// registry, not beside itself.
enum class Programs { kBuilt, kInstalled };

class VsccProgramsTest : public VsccTest, public ::testing::WithParamInterface<Programs> {
 protected:
  void SetUp() override {
    if (GetParam() == Programs::kInstalled) {
      const std::string prefix = env_.Path("prefix");
      tw::test::ProgramOutcome o = tw::test::RunProgram(
          TW_CMAKE_COMMAND, {"-DCMAKE_INSTALL_PREFIX=" + prefix, "-P", TW_INSTALL_SCRIPT},
          env_.root());
      ASSERT_EQ(0, o.exit) << o.out << o.err;
      o = tw::test::RunProgram(prefix + "/bin/TWSccSetup", {"register"}, env_.root());
      ASSERT_EQ(0, o.exit) << o.out << o.err;
      vscc_ = prefix + "/bin/vscc";
    }
    VsccTest::SetUp();
  }
};

INSTANTIATE_TEST_SUITE_P(Programs, VsccProgramsTest,
                         ::testing::Values(Programs::kBuilt, Programs::kInstalled),
                         [](const ::testing::TestParamInfo<Programs>& info) {
                           return info.param == Programs::kBuilt ? "Built" : "Installed";
                         });

TEST_F(VsccTest, ImportsNothingOfTheModule) {
  FILE* nm =
      popen(("nm -D --undefined-only '" + tw::test::BinDir() + "/vscc' | c++filt").c_str(), "r");
  ASSERT_NE(nullptr, nm);
  std::string symbols;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, nm)) > 0;) symbols.append(buf, n);
  ASSERT_EQ(0, pclose(nm));
  ASSERT_NE(std::string::npos, symbols.find("dlopen"));  // nm did list the imports
  EXPECT_EQ(std::string::npos, symbols.find("tw::")) << symbols;
  EXPECT_EQ(std::string::npos, symbols.find(" Scc")) << symbols;
}

// Which command lines are wrong is VsccOptions' business; the program
// exits 2 for them with nothing on standard output, 0 for help.
TEST_P(VsccProgramsTest, UsageErrorsExitTwoAndHelpExitsZero) {
  const Result r = Vscc("w", {"checkin", "-m"});
  EXPECT_EQ(2, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(0u, r.err.rfind("vscc: ", 0)) << r.err;
  const Result help = Vscc("w", {"checkout", "--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.out.rfind("Usage: vscc checkout", 0));
  EXPECT_NE(std::string::npos, Vscc("w", {"--help"}).out.find("Dialogs:"));

  const Result version = Vscc("w", {"--version"});
  EXPECT_EQ(0, version.status);
  EXPECT_EQ(0u, version.out.rfind("vscc (Veltrane) ", 0)) << version.out;
  const Result typo = Vscc("w", {"chekout", "a.txt"});
  EXPECT_EQ(2, typo.status);
  EXPECT_NE(std::string::npos, typo.err.find("did you mean 'checkout'?")) << typo.err;
}

TEST_F(VsccTest, FindsTheProviderAndScriptOrSaysWhyNot) {
  // A dialog script that is no file is refused at once: a FIFO is never
  // waited on for a writer.
  ASSERT_EQ(0, ::mkfifo(env_.Path("answers").c_str(), 0600));
  Result r = Vscc("w", {"--ui", "script:" + env_.Path("answers"), "bind"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("cannot read the script")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("not a regular file")) << r.err;

  r = Vscc("w", {"--provider", env_.Path("none.so"), "prop", "get", "A", "B"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("none.so")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("--provider")) << r.err;

  // The registry's provider key names the module.
  ASSERT_EQ(tw::kRegistryOk, tw::OpenRegistryFile(env_.Path("registry.ini"))
                                 ->SetStrings({{"SOFTWARE\\SourceCodeControlProvider",
                                                "ProviderRegKey", "Software\\Halvorn\\Veltrane"},
                                               {"Software\\Halvorn\\Veltrane", "SCCServerPath",
                                                env_.Path("registered.so")}}));
  r = Vscc("w", {"prop", "get", "A", "B"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("registered.so")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("registry")) << r.err;

  // Not in a working folder: nothing to work on.
  r = Vscc("w", {"status"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("not in a working folder")) << r.err;
}

// A logon that fails says why: a server that takes no connection, a
// refused user, a missing password; a missing provider says how to
// register one.
TEST_P(VsccProgramsTest, ALogonFailureNamesItsCause) {
  // A port nobody listens on: a listener's, closed again.
  const int lone = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(0, bind(lone, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, getsockname(lone, reinterpret_cast<sockaddr*>(&address), &length));
  const std::string closed = std::to_string(ntohs(address.sin_port));
  close(lone);
  Result r = Vscc(
      "v",
      {"bind", "--production", "P", "--user", "alice", "--server", "127.0.0.1", "--port", closed},
      "alice pw");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos,
            r.err.find("the server at 127.0.0.1:" + closed + " did not accept a connection"))
      << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("Unable to connect to server")) << r.err;

  const std::string at = "127.0.0.1:" + std::to_string(server_.port());
  r = Vscc("v", WithLogon({"bind", "--new", "P"}, "alice"), "wrong");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("refused logon for 'alice' at " + at)) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("no password given")) << r.err;
  // The provider's box says no more than that line: it is left out.
  EXPECT_EQ(std::string::npos, r.err.find("Invalid Logon")) << r.err;
  ASSERT_EQ(0, Vscc("v", WithLogon({"bind", "--new", "P"}, "alice"), "alice pw").status);
  // Bob gives no password: Alice's stored one does not log him on.
  r = Vscc("b", WithLogon({"bind", "--production", "P"}, "bob"));
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("refused logon for 'bob' at " + at)) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("no password given")) << r.err;

  // vscc installed alone, nothing registered.
  fs::create_directories(env_.Path("lone"));
  fs::copy_file(vscc_, env_.Path("lone/vscc"));
  const tw::test::ScopedEnv no_registry("VELTRANE_REGISTRY_FILE", env_.Path("lone/registry.ini"));
  const pid_t pid =
      tw::test::SpawnRedirected(env_.Path("lone/vscc"), {"prop", "get", "A", "B"}, "/dev/null",
                                env_.Path("lone.out"), env_.Path("lone.err"));
  EXPECT_EQ(1, WaitAtMost(pid, 300));
  const std::string err = ReadFile(env_.Path("lone.err"));
  EXPECT_NE(std::string::npos, err.find("'TWSccSetup register'")) << err;
}

// A logon refused after a person took longer than --timeout over the logon
// dialog is told as refused; one given up on a server that took the
// connection and then stayed silent for --timeout is told as no answer, and
// the provider's default limit is not waited out. A --timeout that is no
// number of seconds is a usage error.
TEST_F(VsccTest, ALogonIsToldRefusedOrUnansweredByWhatHappenedNotByItsTime) {
  ASSERT_EQ(0, Vscc("w", WithLogon({"bind", "--new", "Slow"}, "alice"), "alice pw").status);
  const std::string port = std::to_string(server_.port());
  constexpr int kTimeout = 10;
  const std::string timeout = std::to_string(kTimeout);
  fs::create_directories(env_.Path("b"));
  std::string seen;
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(1, OnTerminal("b", {"bind", "--production", "Slow", "--timeout", timeout},
                          {{"User Name [", "alice\n"},
                           {"Password: ", "not alice's\n"},
                           {"Server [", "127.0.0.1\n"},
                           {"Port [", port + "\n"},
                           {"Close with (", "1\n"}},
                          &seen, 3));
  ASSERT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(kTimeout));
  EXPECT_NE(std::string::npos, seen.find("refused logon for 'alice' at 127.0.0.1:" + port)) << seen;
  EXPECT_EQ(std::string::npos, seen.find("did not answer")) << seen;

  // Takes the connection, reads the logon and never answers.
  tw::test::LoopbackPeer silent([](tw::test::LoopbackPeer::Connection&, tw::MessagePtr) {});
  started = std::chrono::steady_clock::now();
  const Result r = Vscc("s",
                        {"bind", "--production", "Slow", "--user", "alice", "--server", "127.0.0.1",
                         "--port", std::to_string(silent.port()), "--timeout", timeout},
                        "alice pw");
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("the server at 127.0.0.1:" +
                                          std::to_string(silent.port()) + " did not answer within"))
      << r.err;
  EXPECT_GE(silent.connections(), 1);
  // Given up after the timeout, long before the 60 s of the default.
  EXPECT_GE(waited, std::chrono::seconds(kTimeout));
  EXPECT_LT(waited, std::chrono::seconds(45));

  for (const char* bad : {"9", "x"}) {
    const Result usage = Vscc("s", {"status", "--timeout", bad});
    EXPECT_EQ(2, usage.status) << bad;
    EXPECT_EQ("", usage.out);
    EXPECT_NE(std::string::npos, usage.err.find("--timeout needs a number of seconds from 10 to "
                                                "600, not '" +
                                                std::string(bad) + "'"))
        << usage.err;
  }
}

// --timeout is set in the property file server's store of the process:
// without a server to reach or to start, vscc says so and does nothing
// rather than run without the limit asked for.
TEST_F(VsccTest, ATimeoutThatCannotBeSetIsSaidSo) {
  const std::string runtime = env_.Path("lone-runtime");
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
  fs::create_directories(env_.Path("no-server"));
  const tw::test::ScopedEnv no_server("VELTRANE_RUNTIME_DIR", runtime);
  const tw::test::ScopedEnv nothing_to_start("VELTRANE_MODULE_DIR", env_.Path("no-server"));
  const Result r = Vscc("w", {"--timeout", "10", "prop", "get", "A", "B"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos,
            r.err.find("--timeout cannot be applied: the property file server cannot be reached, "
                       "nor started from " +
                       env_.Path("no-server")))
      << r.err;
}

// An add of a folder and status leave out what the ignore rules name (the
// built-in list and the working folder's .vsccignore); a file named on the
// command line is added whatever they say, and a controlled file is shown.
TEST_P(VsccProgramsTest, IgnoredFilesAreNeitherAddedNorListed) {
  ASSERT_EQ(0, Vscc("w", WithLogon({"bind", "--new", "Ign"}, "alice"), "alice pw").status);
  for (const char* name : {"a.c", "a.c~", ".a.c.swp", ".git/config", "build/a.o", "src/build/b.o",
                           "src/x.log", "src/keep.log", "src/b.c", ".vsccignore"}) {
    fs::create_directories(fs::path(env_.Path(std::string("w/") + name)).parent_path());
    WriteFile(env_.Path(std::string("w/") + name), name);
  }
  WriteFile(env_.Path("w/.vsccignore"), "# output\nbuild/\n*.log\n!keep.log\n");
  Result r = Vscc("w", {"add", "-m", "tree", "."}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  r = Vscc("w", {"add", "src/x.log"}, "alice pw");  // named: taken
  ASSERT_EQ(0, r.status) << r.err;
  WriteFile(env_.Path("w/src/y.log"), "y");

  const auto files = Status("w", "alice pw");
  std::set<std::string> listed;
  for (const auto& [path, file] : files) {
    listed.insert(path);
    EXPECT_TRUE(file.BoolAt("controlled")) << path;
  }
  EXPECT_EQ((std::set<std::string>{".vsccignore", "a.c", "src/b.c", "src/keep.log", "src/x.log"}),
            listed);
  r = Vscc("w", {"status", "build"}, "alice pw");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("build is an ignored folder")) << r.err;
}

// A .vsccignore in a subfolder rules below it: its patterns are taken from
// there, override those above, and take files back in with '!'; an add of
// the tree and a status from the subfolder both follow them.
TEST_P(VsccProgramsTest, ANestedIgnoreFileRulesItsFolder) {
  ASSERT_EQ(0, Vscc("w", WithLogon({"bind", "--new", "Nested"}, "alice"), "alice pw").status);
  for (const char* name :
       {"a.log", "keep.log", "z.tmp", "gen/g.c", "src/a.log", "src/keep.log", "src/gen/g.c",
        "src/b.c", "src/deep/keep.log", "src/deep/z.tmp", "src/deep/d.c", "other/keep.log"}) {
    fs::create_directories(fs::path(env_.Path(std::string("w/") + name)).parent_path());
    WriteFile(env_.Path(std::string("w/") + name), name);
  }
  WriteFile(env_.Path("w/.vsccignore"), "*.log\n");
  WriteFile(env_.Path("w/src/.vsccignore"), "!keep.log\n/gen/\n");
  WriteFile(env_.Path("w/src/deep/.vsccignore"), "*.tmp\n");
  Result r = Vscc("w", {"add", "-m", "tree", "."}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;

  std::set<std::string> listed;
  for (const auto& [path, file] : Status("w", "alice pw")) {
    listed.insert(path);
    EXPECT_TRUE(file.BoolAt("controlled")) << path;
  }
  EXPECT_EQ((std::set<std::string>{".vsccignore", "z.tmp", "gen/g.c", "src/.vsccignore",
                                   "src/keep.log", "src/b.c", "src/deep/.vsccignore",
                                   "src/deep/keep.log", "src/deep/d.c"}),
            listed);

  // From the subfolder, a new file its own rules leave out is not listed;
  // one they take back in is, as not controlled.
  WriteFile(env_.Path("w/src/deep/new.tmp"), "n");
  WriteFile(env_.Path("w/src/deep/new.log"), "n");
  fs::create_directories(env_.Path("w/src/deep/more"));
  WriteFile(env_.Path("w/src/deep/more/keep.log"), "n");
  r = Vscc("w/src", {"status", "deep"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(std::string::npos, r.out.find("new.tmp")) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("new.log")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("no    -    -     -     Uncontrolled deep/more/keep.log"))
      << r.out;
}

TEST_F(VsccTest, BindingIsFoundFromASubfolder) {
  Result r = Vscc("w1", WithLogon({"bind", "--new", "Found"}, "alice"), "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("Created Production"));
  const std::string marker = ReadFile(env_.Path("w1/.vscc"));
  EXPECT_NE(std::string::npos, marker.find("user=alice"));
  EXPECT_EQ(std::string::npos, marker.find("alice pw"));  // never the password

  fs::create_directories(env_.Path("w1/sub/deeper"));
  WriteFile(env_.Path("w1/sub/deeper/a.txt"), "a\n");
  WriteFile(env_.Path("w1/top.txt"), "top\n");
  r = Vscc("w1/sub/deeper", {"add", "-m", "from below", "a.txt", "../../top.txt"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  // From the subfolder: the paths are relative to it, the default is it.
  r = Vscc("w1/sub", {"status"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("deeper/a.txt"));
  EXPECT_EQ(std::string::npos, r.out.find("top.txt"));
  // A path outside the working folder is refused.
  r = Vscc("w1/sub", {"status", "../../elsewhere"}, "alice pw");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("outside the working folder")) << r.err;

  // A second folder bound by the user's own script of answers.
  WriteFile(env_.Path("bind.script"), "dialog 109 1 1022=\"/\\Found\"\n");
  r = Vscc("w2", {"bind", "--ui", "script:" + env_.Path("bind.script")}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, ReadFile(env_.Path("w2/.vscc")).find("aux=\\Found")) << r.out;

  r = Vscc("w1/sub/deeper", {"unbind"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_FALSE(fs::exists(env_.Path("w1/.vscc")));
  EXPECT_EQ(1, Vscc("w1/sub", {"status"}, "alice pw").status);
}

// A command shows no window, so the windows' libraries (GTK and the rest)
// are never loaded: they would cost a short command half its time.
TEST_F(VsccTest, ACommandLoadsNoWindowLibraries) {
  ASSERT_EQ(0, Vscc("w", WithLogon({"bind", "--new", "Light"}, "alice"), "alice pw").status);
  const std::string trace = env_.Path("ld");
  setenv("LD_DEBUG", "files", 1);
  setenv("LD_DEBUG_OUTPUT", trace.c_str(), 1);
  const Result r = Vscc("w", {"status"}, "alice pw");
  unsetenv("LD_DEBUG");
  unsetenv("LD_DEBUG_OUTPUT");
  ASSERT_EQ(0, r.status) << r.err;
  std::string loaded;  // the loader's account of every process of the run
  for (const auto& entry : fs::directory_iterator(env_.Path(""))) {
    if (entry.path().filename().string().rfind("ld.", 0) == 0) {
      loaded += ReadFile(entry.path().string());
    }
  }
  EXPECT_NE(std::string::npos, loaded.find("libTWSccApi.so")) << "no account of the module";
  EXPECT_EQ(std::string::npos, loaded.find("libgtk-3")) << "GTK was loaded";
  EXPECT_EQ(std::string::npos, loaded.find("libwx_gtk3u_core")) << "the windows were loaded";
  EXPECT_EQ(std::string::npos, loaded.find("libTWSccGui.so")) << "the windows were loaded";
}

TEST_F(VsccTest, WithoutATerminalNobodyIsWaitedFor) {
  unsetenv("VELTRANE_UI");  // vscc decides: standard input is no terminal
  // The logon: no flags, no stored user or server.
  Result r = Vscc("v", {"bind", "--production", "Anything"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("SCC_E_CONNECTIONFAILURE (-29)")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("no server is configured: give --server")) << r.err;
  EXPECT_FALSE(fs::exists(env_.Path("v/.vscc")));

  // The bind dialog: nobody picks a Production.
  r = Vscc("w", WithLogon({"bind"}, "alice"), "alice pw");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("nobody answered the bind dialog")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("--production")) << r.err;
  EXPECT_FALSE(fs::exists(env_.Path("w/.vscc")));
  setenv("VELTRANE_UI", "none", 1);
}

TEST_F(VsccTest, TwoUsersInTwoWorkingFolders) {
  // Alice makes the Production and adds a tree; Bob binds a folder of his own.
  Result r = Vscc("alice", WithLogon({"bind", "--new", "Shared"}, "alice"), "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  WriteFile(env_.Path("alice/a.txt"), "one\n");
  WriteFile(env_.Path("alice/b.txt"), "bee\n");
  r = Vscc("alice", {"add", "-m", "first", "."}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("Veltrane: ")) << r.out;  // notices on stdout

  r = Vscc("bob", WithLogon({"bind", "--production", "Shared"}, "bob"), "bob pw");
  ASSERT_EQ(0, r.status) << r.err;
  r = Vscc("bob", {"get"}, "bob pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("one\n", ReadFile(env_.Path("bob/a.txt")));

  // Alice checks a.txt out; Bob sees it, and his check-out meets her lock.
  // (The status bits and the release at check-in themselves:
  // provider_operations_test.)
  ASSERT_EQ(0, Vscc("alice", {"checkout", "a.txt"}, "alice pw").status);
  auto bob_sees = Status("bob", "bob pw");
  ASSERT_EQ(2u, bob_sees.size());
  EXPECT_TRUE(bob_sees["a.txt"].BoolAt("controlled"));
  EXPECT_TRUE(bob_sees["a.txt"].BoolAt("checked_out_by_other"));
  EXPECT_FALSE(bob_sees["a.txt"].BoolAt("checked_out_by_me"));
  EXPECT_TRUE(bob_sees["a.txt"].BoolAt("exclusive"));
  EXPECT_FALSE(bob_sees["b.txt"].BoolAt("checked_out"));

  r = Vscc("bob", {"checkout", "a.txt"}, "bob pw");  // nobody to ask: No
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("\"Could not acquire lock.\"")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("--defer")) << r.err;
  r = Vscc("bob", {"checkout", "--no-defer", "a.txt"}, "bob pw");
  EXPECT_EQ(1, r.status);
  EXPECT_FALSE(Status("bob", "bob pw")["a.txt"].BoolAt("checked_out_by_me"));

  // Alice checks in a change; Bob's own edit meets the overwrite question.
  WriteFile(env_.Path("alice/a.txt"), "two\n");
  r = Vscc("alice", {"checkin", "-m", "two"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  fs::permissions(env_.Path("bob/a.txt"), fs::perms::owner_write, fs::perm_options::add);
  WriteFile(env_.Path("bob/a.txt"), "bob's\n");

  r = Vscc("bob", {"get", "a.txt"}, "bob pw");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("nobody answered the overwrite question")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("SCC_I_OPERATIONCANCELED (2)")) << r.err;
  EXPECT_EQ("bob's\n", ReadFile(env_.Path("bob/a.txt")));
  r = Vscc("bob", {"get", "--no", "a.txt"}, "bob pw");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("bob's\n", ReadFile(env_.Path("bob/a.txt")));
  r = Vscc("bob", {"get", "--yes", "."}, "bob pw");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("two\n", ReadFile(env_.Path("bob/a.txt")));

  // What the provider showed is in the caller's record too.
  bool question = false;
  for (const auto& e : tw::test::ReadUiRecord(env_.Path("record.jsonl"))) {
    question = question || (e.kind == "dialog" && e.id == 110 && e.answer == "1001");
  }
  EXPECT_TRUE(question);

  // Bob may queue for a lock Alice holds.
  ASSERT_EQ(0, Vscc("alice", {"checkout", "b.txt"}, "alice pw").status);
  r = Vscc("bob", {"checkout", "--defer", "b.txt"}, "bob pw");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("queued")) << r.err;
}

// The administrator breaks Alice's lock with `TWServer unlock --force`
// while she edits: her status no longer shows her as its holder, and her
// check-in of the file is refused with that reason, her edit kept.
TEST_P(VsccProgramsTest, ALockTheAdministratorBrokeIsSeenByItsHolder) {
  ASSERT_NO_FATAL_FAILURE(BindAddAndCheckOut("Broken"));
  WriteFile(env_.Path("w/a.txt"), "alice's edit\n");
  ASSERT_TRUE(Status("w", "alice pw")["a.txt"].BoolAt("checked_out_by_me"));

  std::string out;
  ASSERT_EQ(
      0, server_.Run({"unlock", "--data", server_.dir(), "--force", "\\Broken\\a.txt"}, "", &out))
      << out;
  JsonValue seen = Status("w", "alice pw")["a.txt"];
  EXPECT_FALSE(seen.BoolAt("checked_out_by_me"));
  EXPECT_FALSE(seen.BoolAt("checked_out"));
  const Result r = Vscc("w", {"checkin", "-m", "late", "a.txt"}, "alice pw");
  EXPECT_EQ(1, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.err.find("a.txt is edited here, but its lock is no longer yours"))
      << r.err;
  EXPECT_NE(std::string::npos, r.err.find("vscc checkout --no-get")) << r.err;
  EXPECT_EQ("alice's edit\n", ReadFile(env_.Path("w/a.txt")));
  ASSERT_EQ(0, server_.Run({"show", "--data", server_.dir(), "\\Broken\\a.txt"}, "", &out));
  EXPECT_EQ(std::string::npos, out.find("  2  ")) << out;

  // The way back the message gives: the lock taken again, the edit kept.
  Result again = Vscc("w", {"checkout", "--no-get", "a.txt"}, "alice pw");
  ASSERT_EQ(0, again.status) << again.err;
  EXPECT_EQ("alice's edit\n", ReadFile(env_.Path("w/a.txt")));
  again = Vscc("w", {"checkin", "-m", "late", "a.txt"}, "alice pw");
  ASSERT_EQ(0, again.status) << again.err;
  ASSERT_EQ(0, server_.Run({"show", "--data", server_.dir(), "\\Broken\\a.txt"}, "", &out));
  EXPECT_NE(std::string::npos, out.find("  2  ")) << out;
}

TEST_F(VsccTest, OnATerminalThePersonAnswersWhatTheFlagsDoNot) {
  ASSERT_EQ(0, Vscc("w", WithLogon({"bind", "--new", "Term"}, "alice"), "alice pw").status);
  WriteFile(env_.Path("w/a.txt"), "a\n");
  ASSERT_EQ(0, Vscc("w", {"add", "a.txt"}, "alice pw").status);
  // Bob logs on last: the stored password is his, so Alice's is asked for,
  // without echo; then her changed file raises the overwrite question.
  ASSERT_EQ(0, Vscc("b", WithLogon({"bind", "--production", "Term"}, "bob"), "bob pw").status);
  fs::permissions(env_.Path("w/a.txt"), fs::perms::owner_write, fs::perm_options::add);
  WriteFile(env_.Path("w/a.txt"), "mine\n");
  std::string seen;
  const int status = OnTerminal("w", {"get", "a.txt"},
                                {{"Password for 'alice': ", "alice pw\n"},
                                 {"Overwrite this file?", ""},
                                 {"Close with (", "1002\n"}},
                                &seen);
  EXPECT_EQ(0, status) << seen;
  // Why the password is asked for comes first.
  const size_t cause =
      seen.find("refused logon for 'alice' at 127.0.0.1:" + std::to_string(server_.port()) +
                "; the stored password was tried");
  EXPECT_NE(std::string::npos, cause) << seen;
  EXPECT_LT(cause, seen.find("Password for 'alice': ")) << seen;
  EXPECT_EQ(std::string::npos, seen.find("alice pw")) << seen;  // not echoed
  EXPECT_NE(std::string::npos, seen.find("is 'Renegade'")) << seen;
  EXPECT_EQ("mine\n", ReadFile(env_.Path("w/a.txt")));
}

// The logon dialog on a terminal: each field takes what it can hold (a
// password typed at the port is asked again, never taken as a port), and
// a letter presses a button.
TEST_P(VsccProgramsTest, TerminalQuestionsTakeLettersAndCheckEachField) {
  ASSERT_EQ(0, Vscc("w", WithLogon({"bind", "--new", "Term"}, "alice"), "alice pw").status);
  fs::create_directories(env_.Path("b"));
  std::string seen;
  const int status = OnTerminal(
      "b", {"bind", "--production", "Term"},
      {{"User Name [", "bob\n"},
       {"Password: ", "bob pw\n"},
       {"Server [", "127.0.0.1\n"},
       {"Port [", "bob pw\n"},
       {"Please answer with a number from 1 to 65535.", std::to_string(server_.port()) + "\n"},
       {"Close with (", "y\n"}},
      &seen);
  EXPECT_EQ(0, status) << seen;
  EXPECT_NE(std::string::npos, seen.find("Bound ")) << seen;
  EXPECT_NE(std::string::npos, ReadFile(env_.Path("b/.vscc")).find("user=bob"));
}

// A check-in without -m on a terminal takes its comment from the person's
// editor ($VISUAL, with its options; a blank $VISUAL leaves it to $EDITOR),
// leaving out the lines that start with '#'; an empty comment or a failed
// editor stops it, and the files stay checked out. A comment of lines is
// shown by its whole first line.
TEST_P(VsccProgramsTest, CheckinWithoutAMessageOnATerminalOpensTheEditor) {
  ASSERT_NO_FATAL_FAILURE(BindAddAndCheckOut("Ed"));
  WriteFile(env_.Path("w/a.txt"), "two\n");
  const std::string editor = env_.Path("editor.sh");
  auto use_editor = [&](const std::string& then) {
    WriteFile(editor, "#!/bin/sh\n[ \"$1\" = --wait ] || exit 9\ncp \"$2\" '" +
                          env_.Path("shown.txt") + "'\n" + then + "\n");
    fs::permissions(editor, fs::perms::owner_all);
  };
  std::string seen;

  use_editor("exit 0");  // saves the text as it came: comments only
  {
    tw::test::ScopedEnv blank("VISUAL", " ");
    tw::test::ScopedEnv other("EDITOR", editor + " --wait");
    EXPECT_EQ(1, OnTerminal("w", {"ci", "a.txt"}, {}, &seen)) << seen;
  }
  EXPECT_NE(std::string::npos, seen.find("the check-in comment is empty")) << seen;
  EXPECT_NE(std::string::npos, ReadFile(env_.Path("shown.txt")).find("\n#   a.txt\n"));
  setenv("VISUAL", (editor + " --wait").c_str(), 1);
  use_editor("exit 3");
  seen.clear();
  EXPECT_EQ(1, OnTerminal("w", {"ci", "a.txt"}, {}, &seen)) << seen;
  EXPECT_NE(std::string::npos, seen.find("failed (exit 3)")) << seen;
  EXPECT_TRUE(Status("w", "alice pw")["a.txt"].BoolAt("checked_out_by_me"));

  use_editor("printf '\\nFirst line\\n# left out\\nsecond line  \\n\\n' > \"$2\"");
  seen.clear();
  EXPECT_EQ(0, OnTerminal("w", {"ci", "a.txt"}, {}, &seen)) << seen;
  unsetenv("VISUAL");
  EXPECT_FALSE(Status("w", "alice pw")["a.txt"].BoolAt("checked_out_by_me"));
  // No comment file is left behind in the private folder.
  for (const auto& entry : fs::recursive_directory_iterator(env_.Path("runtime"))) {
    EXPECT_EQ(std::string::npos, entry.path().filename().string().find("vscc-comment"))
        << entry.path();
  }
  const Result r = Vscc("w", {"log", "a.txt"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("\tFirst line...\n")) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("left out")) << r.out;
}

// Only what a person sees on a terminal is coloured: status's locks and
// states, errors and the suggestion for a mistyped command; NO_COLOR (set
// and not empty), TERM=dumb, --color=never and output into a pipe or a
// file are plain, and --color=always colours even a pipe.
TEST_P(VsccProgramsTest, ColourOnATerminalOnly) {
  ASSERT_NO_FATAL_FAILURE(BindAddAndCheckOut("Paint"));
  WriteFile(env_.Path("w/new.txt"), "n\n");
  tw::test::ScopedEnv password("VELTRANE_PASSWORD", "alice pw");
  tw::test::ScopedEnv no_colour("NO_COLOR", std::nullopt);
  tw::test::ScopedEnv term("TERM", "xterm");
  const auto coloured = [](const std::string& text) {
    return text.find("\x1b[3") != std::string::npos || text.find("\x1b[1;3") != std::string::npos;
  };
  // The rows without their colour, as a pipe gets them.
  const auto rows = [](std::string text) {
    text = std::regex_replace(text, std::regex("\x1b\\[[0-9;]*m|\r"), "");
    std::string kept;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      if (line.find(".txt") != std::string::npos) kept += line + "\n";
    }
    return kept;
  };

  std::string seen;
  EXPECT_EQ(0, OnTerminal("w", {"status"}, {}, &seen)) << seen;
  EXPECT_NE(std::string::npos, seen.find("\x1b[32mCurrent\x1b[0m")) << seen;
  EXPECT_NE(std::string::npos, seen.find("\x1b[36mUncontrolled\x1b[0m")) << seen;
  EXPECT_NE(std::string::npos, seen.find("\x1b[32myes\x1b[0m")) << seen;  // checked out to me
  const Result piped = Vscc("w", {"status"}, "alice pw");
  ASSERT_EQ(0, piped.status) << piped.err;
  EXPECT_FALSE(coloured(piped.out + piped.err)) << piped.out;
  EXPECT_EQ(rows(piped.out), rows(seen));  // the columns line up as without colour
  EXPECT_NE("", rows(piped.out));

  seen.clear();
  EXPECT_EQ(2, OnTerminal("w", {"chekin"}, {}, &seen)) << seen;
  EXPECT_NE(std::string::npos, seen.find("\x1b[31mvscc: 'chekin' is not a vscc command")) << seen;
  EXPECT_NE(std::string::npos, seen.find("\x1b[1;32mdid you mean 'checkin'?\x1b[0m")) << seen;
  {
    tw::test::ScopedEnv empty("NO_COLOR", "");  // empty counts as unset
    seen.clear();
    EXPECT_EQ(2, OnTerminal("w", {"chekin"}, {}, &seen)) << seen;
    EXPECT_TRUE(coloured(seen)) << seen;
  }

  for (const auto& [name, value] : {std::pair<const char*, const char*>{"NO_COLOR", "1"},
                                    std::pair<const char*, const char*>{"TERM", "dumb"}}) {
    tw::test::ScopedEnv off(name, value);
    seen.clear();
    EXPECT_EQ(0, OnTerminal("w", {"status"}, {}, &seen)) << seen;
    EXPECT_FALSE(coloured(seen)) << name << "\n" << seen;
    EXPECT_NE(std::string::npos, seen.find("Current")) << seen;
    seen.clear();
    EXPECT_EQ(2, OnTerminal("w", {"chekin"}, {}, &seen)) << seen;
    EXPECT_FALSE(coloured(seen)) << name << "\n" << seen;
    EXPECT_NE(std::string::npos, seen.find("did you mean 'checkin'?")) << seen;
  }
  seen.clear();
  EXPECT_EQ(0, OnTerminal("w", {"status", "--color=never"}, {}, &seen)) << seen;
  EXPECT_FALSE(coloured(seen)) << seen;

  const Result typo = Vscc("w", {"chekin"});
  EXPECT_FALSE(coloured(typo.err)) << typo.err;
  const Result forced = Vscc("w", {"--color=always", "chekin"});
  EXPECT_NE(std::string::npos, forced.err.find("\x1b[1;32mdid you mean 'checkin'?\x1b[0m"))
      << forced.err;
}

// Two users on a nested tree, as with other clients: a fresh folder bound to
// the Production gets the whole tree, a teammate's new file deep down
// arrives, files nobody edited are brought up to date without a question,
// and only a file with local edits asks (or needs --yes); status shows each
// file's local state beside its locks.
TEST_F(VsccTest, TwoUsersOnANestedTree) {
  ASSERT_EQ(0, Vscc("alice", WithLogon({"bind", "--new", "Tree"}, "alice"), "alice pw").status);
  const std::vector<std::string> names = {"top.txt", "src/main.c", "src/lib/util.c",
                                          "src/lib/deep/x.c", "docs/readme.txt"};
  for (const std::string& name : names) {
    fs::create_directories(fs::path(env_.Path("alice/" + name)).parent_path());
    WriteFile(env_.Path("alice/" + name), "v1 of " + name + "\n");
  }
  Result r = Vscc("alice", {"add", "-m", "tree", "."}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;

  // Bob's fresh folder: the whole tree, and the list shows all of it.
  r = Vscc("bob", WithLogon({"bind", "--production", "Tree"}, "bob"), "bob pw");
  ASSERT_EQ(0, r.status) << r.err;
  r = Vscc("bob", {"list"}, "bob pw");
  ASSERT_EQ(0, r.status) << r.err;
  for (const std::string& name : names) {
    EXPECT_NE(std::string::npos, r.out.find(name + "\n")) << r.out;
  }
  EXPECT_EQ(std::string::npos, r.out.find("Veltrane:")) << "the list is all of standard output";
  r = Vscc("bob", {"get"}, "bob pw");
  ASSERT_EQ(0, r.status) << r.err;
  for (const std::string& name : names) {
    EXPECT_EQ("v1 of " + name + "\n", ReadFile(env_.Path("bob/" + name))) << name;
  }

  // A folder that is not here yet, in a third folder of Bob's.
  ASSERT_EQ(0, Vscc("bob2", WithLogon({"bind", "--production", "Tree"}, "bob"), "bob pw").status);
  r = Vscc("bob2", {"get", "src/lib"}, "bob pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("v1 of src/lib/deep/x.c\n", ReadFile(env_.Path("bob2/src/lib/deep/x.c")));
  EXPECT_TRUE(fs::exists(env_.Path("bob2/src/lib/util.c")));
  EXPECT_FALSE(fs::exists(env_.Path("bob2/src/main.c")));
  EXPECT_FALSE(fs::exists(env_.Path("bob2/top.txt")));

  // Alice adds a file deep down and changes two; Bob edits one of them.
  WriteFile(env_.Path("alice/src/lib/new.c"), "new\n");
  ASSERT_EQ(0, Vscc("alice", {"add", "src/lib/new.c"}, "alice pw").status);
  ASSERT_EQ(0, Vscc("alice", {"checkout", "src/main.c", "src/lib/util.c"}, "alice pw").status);
  WriteFile(env_.Path("alice/src/main.c"), "v2 of main\n");
  WriteFile(env_.Path("alice/src/lib/util.c"), "v2 of util\n");
  ASSERT_EQ(0, Vscc("alice", {"checkin", "-m", "v2"}, "alice pw").status);
  fs::permissions(env_.Path("bob/src/lib/util.c"), fs::perms::owner_write, fs::perm_options::add);
  WriteFile(env_.Path("bob/src/lib/util.c"), "bob's util\n");
  const struct timespec later[2] = {{std::time(nullptr) + 9, 0}, {std::time(nullptr) + 9, 0}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, env_.Path("bob/src/lib/util.c").c_str(), later, 0));

  auto bob_sees = Status("bob", "bob pw");
  EXPECT_EQ("Old", bob_sees["src/main.c"].StringAt("state"));
  EXPECT_EQ("Renegade", bob_sees["src/lib/util.c"].StringAt("state"));
  EXPECT_EQ("Missing", bob_sees["src/lib/new.c"].StringAt("state"));
  EXPECT_EQ("Current", bob_sees["src/lib/deep/x.c"].StringAt("state"));
  r = Vscc("bob", {"status", "src"}, "bob pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find(" state ")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Renegade     src/lib/util.c")) << r.out;

  // Without --yes: the old and the new file come, the edited one asks
  // nobody and stays.
  r = Vscc("bob", {"get"}, "bob pw");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("nobody answered the overwrite question")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("util.c' is 'Renegade'")) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("main.c' is 'Old'")) << r.err;
  EXPECT_EQ("v2 of main\n", ReadFile(env_.Path("bob/src/main.c")));
  EXPECT_EQ("new\n", ReadFile(env_.Path("bob/src/lib/new.c")));
  EXPECT_EQ("bob's util\n", ReadFile(env_.Path("bob/src/lib/util.c")));
  bool asked_about_old = false;
  for (const auto& e : tw::test::ReadUiRecord(env_.Path("record.jsonl"))) {
    asked_about_old =
        asked_about_old ||
        (e.kind == "dialog" && e.id == 110 && e.texts.count(1025) != 0 &&
         e.texts.at(1025).find("is 'Old'") != std::string::npos && e.answer != "1000");
  }
  EXPECT_FALSE(asked_about_old);
  r = Vscc("bob", {"get", "--no"}, "bob pw");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("bob's util\n", ReadFile(env_.Path("bob/src/lib/util.c")));
  r = Vscc("bob", {"get", "--yes", "src"}, "bob pw");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("v2 of util\n", ReadFile(env_.Path("bob/src/lib/util.c")));
  bob_sees = Status("bob", "bob pw");
  for (const auto& [path, file] : bob_sees) EXPECT_EQ("Current", file.StringAt("state")) << path;
  r = Vscc("bob", {"get"}, "bob pw");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("nothing to get")) << r.err;
}

// Lines of the server's log holding `pattern`.
int LogLines(const tw::test::TestServer& server, const std::string& pattern) {
  std::istringstream log(server.Log());
  int count = 0;
  for (std::string line; std::getline(log, line);) count += line.find(pattern) != std::string::npos;
  return count;
}

// The status of a tree of many folders is one listing and one information
// request, whatever the number of folders, and tells what the two queries
// of the host interface tell one by one.
TEST_F(VsccTest, StatusOfATreeOfManyFoldersAsksOnce) {
  ASSERT_EQ(0, Vscc("alice", WithLogon({"bind", "--new", "Wide"}, "alice"), "alice pw").status);
  std::vector<std::string> names = {"top.txt"};
  for (int i = 0; i < 12; ++i) {
    const std::string folder = "d" + std::to_string(i) + (i % 3 == 0 ? "/sub" : "");
    names.push_back(folder + "/a.txt");
    names.push_back(folder + "/b.txt");
  }
  for (const std::string& name : names) {
    fs::create_directories(fs::path(env_.Path("alice/" + name)).parent_path());
    WriteFile(env_.Path("alice/" + name), name + "\n");
  }
  Result r = Vscc("alice", {"add", "-m", "wide", "."}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_EQ(0, Vscc("alice", {"checkout", "d3/sub/a.txt"}, "alice pw").status);
  WriteFile(env_.Path("alice/d3/sub/a.txt"), "edited\n");
  fs::remove(env_.Path("alice/d7/b.txt"));
  WriteFile(env_.Path("alice/d5/loose.txt"), "not added\n");

  // The server logs a connection's end after every reply it sent on it.
  auto counted = [&](const std::vector<std::string>& args, int* info, int* lists) {
    const int ended = LogLines(server_, " closed by the client");
    const int info_before = LogLines(server_, "command=PRODUCTIONCMD sub=25 ");
    const int lists_before = LogLines(server_, "command=GETNAMELIST ");
    const Result run = Vscc("alice", args, "alice pw");
    for (int i = 0; i < 3000 && LogLines(server_, " closed by the client") == ended; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    *info = LogLines(server_, "command=PRODUCTIONCMD sub=25 ") - info_before;
    *lists = LogLines(server_, "command=GETNAMELIST ") - lists_before;
    return run;
  };
  int info = 0, lists = 0;
  r = counted({"status", "--json"}, &info, &lists);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(1, info) << "one information request for files in " << names.size() / 2 << " folders";
  EXPECT_EQ(1, lists);
  JsonValue v;
  std::string error;
  ASSERT_TRUE(ParseJson(r.out, &v, &error)) << error << "\n" << r.out;
  std::map<std::string, JsonValue> files;
  ASSERT_NE(nullptr, v.Find("files"));
  for (const JsonValue& f : v.Find("files")->array) files[f.StringAt("path")] = f;
  EXPECT_EQ(names.size() + 1, files.size()) << r.out;
  EXPECT_EQ("Current", files["d11/b.txt"].StringAt("state"));
  EXPECT_EQ(1, files["d11/b.txt"].NumberAt("status"));
  EXPECT_EQ("Modified", files["d3/sub/a.txt"].StringAt("state"));
  EXPECT_TRUE(files["d3/sub/a.txt"].BoolAt("checked_out_by_me"));
  EXPECT_EQ("Missing", files["d7/b.txt"].StringAt("state"));
  EXPECT_EQ("Uncontrolled", files["d5/loose.txt"].StringAt("state"));
  EXPECT_EQ(0, files["d5/loose.txt"].NumberAt("status"));

  // One file named: the information request alone.
  r = counted({"status", "d9/sub/b.txt"}, &info, &lists);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(1, info);
  EXPECT_EQ(0, lists);
  EXPECT_NE(std::string::npos, r.out.find("Current      d9/sub/b.txt")) << r.out;
}

// A Production named like a link in Bob's working folder: the link leads
// out of it, so nothing is written on the other side, and Bob is told.
TEST_F(VsccTest, NothingIsWrittenThroughALinkOutOfTheWorkingFolder) {
  ASSERT_EQ(0, Vscc("alice", WithLogon({"bind", "--new", "Links"}, "alice"), "alice pw").status);
  fs::create_directories(env_.Path("alice/link/sub"));
  WriteFile(env_.Path("alice/safe.txt"), "safe\n");
  WriteFile(env_.Path("alice/link/pwned.txt"), "pwned\n");
  WriteFile(env_.Path("alice/link/sub/.bash_profile"), "pwned\n");
  ASSERT_EQ(0, Vscc("alice", {"add", "."}, "alice pw").status);

  ASSERT_EQ(0, Vscc("bob", WithLogon({"bind", "--production", "Links"}, "bob"), "bob pw").status);
  const std::string outside = env_.Path("outside");
  fs::create_directories(outside);
  WriteFile(outside + "/pwned.txt", "keep\n");
  ASSERT_EQ(0, ::symlink("../outside", env_.Path("bob/link").c_str()));

  for (const std::vector<std::string>& args : {std::vector<std::string>{"get"},
                                               {"get", "--yes"},
                                               {"get", "--yes", "link/pwned.txt"},
                                               {"get", "--yes", "link"}}) {
    const Result r = Vscc("bob", args, "bob pw");
    EXPECT_EQ(1, r.status) << args.back();
    EXPECT_NE(std::string::npos, r.err.find("leads out of the working folder")) << r.err;
  }
  EXPECT_EQ("safe\n", ReadFile(env_.Path("bob/safe.txt")));
  EXPECT_EQ("keep\n", ReadFile(outside + "/pwned.txt"));
  EXPECT_FALSE(fs::exists(outside + "/sub"));
  std::set<std::string> there;
  for (const auto& entry : fs::directory_iterator(outside)) {
    there.insert(entry.path().filename().string());
  }
  EXPECT_EQ(std::set<std::string>{"pwned.txt"}, there);
  const Result list = Vscc("bob", {"list"}, "bob pw");
  EXPECT_EQ(1, list.status);
  EXPECT_EQ("safe.txt\n", list.out);
}

// The provider's scratch files ("CRL...") in the test's scratch folder.
std::vector<std::string> ScratchFiles(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("CRL", 0) == 0) names.push_back(name);
  }
  return names;
}

// A get cut short by Ctrl-C leaves no partial file behind (the server here
// sends the start of the file and then nothing more), and a later run
// removes what a process killed outright left, never a live process's file.
TEST_F(VsccTest, AnInterruptedGetLeavesNoScratchFile) {
  const std::string served = env_.Path("served.bin");
  WriteFile(served, std::string(4u << 20, 'x'));
  tw::test::LoopbackPeer peer([&](tw::test::LoopbackPeer::Connection& c, tw::MessagePtr m) {
    tw::MessagePtr reply = tw::test::MakeReply(*m);
    const std::string command = m->GetCommand();
    int sub = 0;
    m->GetInt(tw::kFieldSubCommand, &sub);
    std::string path;
    m->GetString(tw::lookup_production::kFieldPath, &path);
    if (command == tw::kProductionCommand && sub == tw::document_info::kSubCommand) {
      reply->SetString(tw::document_info::kReplyDocumentIds, "0000000000000002");
      reply->SetString(tw::document_info::kReplyVersions, "1");
      reply->SetString(tw::document_info::kReplyFlags, "1");
      reply->SetString(tw::document_info::kReplyStamps, "2024:01:01:00:00:00:000");
    } else if (command == tw::kProductionCommand && sub == tw::lookup_production::kSubCommand &&
               path.find("big.bin") != std::string::npos) {
      reply->SetInt(tw::ERRORCODE, tw::kServerPathNotFound);  // a file is no Production
    } else if (tw::test::AnswerLogon(command, *m, reply.get())) {
      // answered
    } else if (command == tw::name_list::kCommand) {
      reply->SetString(tw::name_list::kReplyTable, tw::NameTable().ToText());
    } else if (command == tw::kDocumentCommand) {
      reply->SetString(tw::fetch::kReplyDocumentIds, "0000000000000002");
      reply->SetString(tw::fetch::kReplyStamps, "2024:01:01:00:00:00:000");
      reply->SetRawField(tw::fetch::kReplyFiles, tw::FIELD_FILELIST, served.data(), served.size());
      c.SendThenStall(*reply, 1u << 20);
      return;
    }
    c.Send(*reply);
  });
  const std::string work = env_.Path("w");
  fs::create_directories(work);
  WriteFile(work + "/.vscc",
            "project=0000000000000001\naux=\\Peer\nlocal=" + work +
                "\nuser=alice\nserver=127.0.0.1\nport=" + std::to_string(peer.port()) + "\n");
  const std::string tmp = env_.Path("tmp");
  setenv("VELTRANE_PASSWORD", "pw", 1);
  const pid_t pid = tw::test::SpawnRedirected("vscc", {"-C", work, "get", "big.bin"}, "/dev/null",
                                              env_.Path("get.out"), env_.Path("get.err"));
  unsetenv("VELTRANE_PASSWORD");
  ASSERT_GT(pid, 0);
  // The file has begun to arrive.
  for (int i = 0; i < 6000 && ScratchFiles(tmp).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_FALSE(ScratchFiles(tmp).empty()) << ReadFile(env_.Path("get.err"));
  ASSERT_EQ(0, ::kill(pid, SIGINT));
  EXPECT_EQ(128 + SIGINT, WaitAtMost(pid, 60));
  EXPECT_EQ(std::vector<std::string>{}, ScratchFiles(tmp));
  EXPECT_FALSE(fs::exists(work + "/big.bin"));

  // Left by a process that is gone (this pid, another start time), or by
  // this live process: the next run removes the former only.
  unsigned long long start = 0;
  ASSERT_TRUE(tw::ProcessStartTime(static_cast<int>(::getpid()), &start));
  char link[64] = {};
  ASSERT_GT(::readlink("/proc/self/ns/pid", link, sizeof link - 1), 0);
  const std::string ns = std::to_string(std::strtoull(std::strchr(link, '[') + 1, nullptr, 10));
  const std::string owner = "CRL" + ns + "-" + std::to_string(::getpid()) + "-";
  const std::string mine = owner + std::to_string(start) + "-bbbbbb";
  const std::string gone = owner + std::to_string(start + 7) + "-aaaaaa";
  for (const std::string& name : {gone, mine}) WriteFile(tmp + "/" + name, std::string(1000, 'p'));
  const Result r = Vscc("w", {"status", "big.bin"}, "pw");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(std::vector<std::string>{mine}, ScratchFiles(tmp));
}

// The commands on top of the later exports: history, properties, diff, the
// user property file, the environment settings, the Production check and
// the client.
TEST_F(VsccTest, HistoryPropertiesAndDiff) {
  ASSERT_EQ(0, Vscc("w", WithLogon({"bind", "--new", "Hist"}, "alice"), "alice pw").status);
  WriteFile(env_.Path("w/a.txt"), "one\n");
  Result r = Vscc("w", {"add", "-m", "first version", "a.txt"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  // Each line of the list is a path as it is, without a full stop.
  EXPECT_NE(std::string::npos,
            r.out.find("Succeeded adding files:\n" + env_.Path("w/a.txt") + "\n"))
      << r.out;
  ASSERT_EQ(0, Vscc("w", {"checkout", "a.txt"}, "alice pw").status);
  WriteFile(env_.Path("w/a.txt"), "two\n");
  ASSERT_EQ(0, Vscc("w", {"ci", "-m", "second version", "a.txt"}, "alice pw").status);

  // A file the server does not hold has no history to show.
  WriteFile(env_.Path("w/new.txt"), "new\n");
  for (const char* command : {"history", "properties"}) {
    r = Vscc("w", {command, "new.txt"}, "alice pw");
    EXPECT_EQ(1, r.status) << command;
    EXPECT_NE(std::string::npos, r.err.find("new.txt is not controlled")) << r.err;
    EXPECT_EQ("", r.out);
  }
  EXPECT_EQ(1, Vscc("w", {"log", "gone.txt"}, "alice pw").status);

  r = Vscc("w", {"log", "a.txt"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("History of 'a.txt'")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("second version")) << r.out;

  ASSERT_EQ(0, Vscc("w", {"checkout", "a.txt"}, "alice pw").status);
  r = Vscc("w", {"properties", "a.txt"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("Properties of 'a.txt'")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("alice")) << r.out;

  WriteFile(env_.Path("w/a.txt"), "three\n");
  r = Vscc("w", {"diff", "a.txt"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("\n-two\n+three\n")) << r.out;
  EXPECT_FALSE(fs::exists(env_.Path("w/a.txt.[Tip]")));
  r = Vscc("w", {"diff", "--tool", "a.txt"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("two\n", ReadFile(env_.Path("w/a.txt.[Tip]")));  // left for the diff program
}

TEST_F(VsccTest, UserPropertiesEnvironmentProductionsAndClient) {
  Result r = Vscc("w", {"prop", "set", "UserProperties", "Colour", "deep blue"});
  ASSERT_EQ(0, r.status) << r.err;
  r = Vscc("w", {"prop", "get", "UserProperties", "Colour"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("deep blue\n", r.out);
  r = Vscc("w", {"prop", "get", "UserProperties", "Absent"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("\n", r.out);

  r = Vscc("w", {"env", "Painter"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("no editor actions stored")) << r.out;
  r = Vscc("w", {"env", "--show", "Painter"});  // nobody at a terminal
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("environment settings dialog")) << r.err;

  ASSERT_EQ(0, Vscc("w", WithLogon({"bind", "--new", "Listed"}, "alice"), "alice pw").status);
  r = Vscc("w", {"dirs", "Listed"}, "alice pw");
  EXPECT_EQ(0, r.status) << r.err;
  r = Vscc("w", {"dirs", "Not/There"}, "alice pw");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("SCC_E_")) << r.err;

  // No desktop client is installed: the provider says so, vscc fails.
  r = Vscc("w", {"client"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("Veltrane client not found")) << r.err;
}

TEST_F(VsccTest, OptionFlagsGoThroughTheOptionsDialogs) {
  ASSERT_EQ(0, Vscc("w", WithLogon({"bind", "--new", "Options"}, "alice"), "alice pw").status);
  WriteFile(env_.Path("w/a.txt"), "a\n");
  ASSERT_EQ(0, Vscc("w", {"add", "a.txt"}, "alice pw").status);

  Result r = Vscc("w", {"checkout", "--shared", "--no-get", "a.txt"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  auto files = Status("w", "alice pw");
  EXPECT_TRUE(files["a.txt"].BoolAt("checked_out_by_me"));
  EXPECT_FALSE(files["a.txt"].BoolAt("exclusive"));

  WriteFile(env_.Path("w/a.txt"), "b\n");
  r = Vscc("w", {"checkin", "--keep", "-m", "kept", "a.txt"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(Status("w", "alice pw")["a.txt"].BoolAt("checked_out_by_me"));

  int checkout_options = 0, checkin_options = 0;
  for (const auto& e : tw::test::ReadUiRecord(env_.Path("record.jsonl"))) {
    if (e.kind == "dialog" && e.id == 116 && e.answer == "1") ++checkout_options;
    if (e.kind == "dialog" && e.id == 119 && e.answer == "1") ++checkin_options;
  }
  EXPECT_EQ(1, checkout_options);
  EXPECT_EQ(1, checkin_options);

  // A check-in of a file that is gone names the provider's code.
  fs::remove(env_.Path("w/a.txt"));
  r = Vscc("w", {"checkin", "a.txt"}, "alice pw");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("SCC_E_FILENOTEXIST (-28)")) << r.err;
}

// Bob queues for a lock on a file of a nested folder; Alice checks in
// version 2; Bob's edit of version 1 is refused at check-in with both
// versions named and the way on, and nothing of either edit is lost.
TEST_F(VsccTest, AStaleCheckInIsRefusedAndTheWayOnIsSaid) {
  ASSERT_EQ(0, Vscc("alice", WithLogon({"bind", "--new", "Team"}, "alice"), "alice pw").status);
  fs::create_directories(env_.Path("alice/src/lib"));
  WriteFile(env_.Path("alice/src/lib/a.txt"), "v1\n");
  WriteFile(env_.Path("alice/top.txt"), "top v1\n");
  Result r = Vscc("alice", {"add", "-m", "first", "."}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_EQ(0, Vscc("bob", WithLogon({"bind", "--production", "Team"}, "bob"), "bob pw").status);
  r = Vscc("bob", {"get", "src/lib/a.txt"}, "bob pw");
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_EQ("v1\n", ReadFile(env_.Path("bob/src/lib/a.txt")));

  ASSERT_EQ(0, Vscc("alice", {"checkout", "src/lib/a.txt"}, "alice pw").status);
  r = Vscc("bob/src", {"checkout", "--defer", "lib/a.txt"}, "bob pw");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("SCC_E_FILEISCHECKEDOUT (-12)")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("you are queued for it")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("'vscc checkout FILE'")) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("is locked by alice (exclusive lock)")) << r.out;

  WriteFile(env_.Path("alice/src/lib/a.txt"), "v2 by alice\n");
  ASSERT_EQ(0, Vscc("alice", {"checkin", "-m", "two", "src"}, "alice pw").status);

  // The lock is Bob's now; his copy is still version 1.
  fs::permissions(env_.Path("bob/src/lib/a.txt"), fs::perms::owner_write, fs::perm_options::add);
  WriteFile(env_.Path("bob/src/lib/a.txt"), "v1 edited by bob\n");
  r = Vscc("bob", {"checkin", "-m", "mine", "src/lib/a.txt"}, "bob pw");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("checkin failed: SCC_E_CHECKINCONFLICT (-9)")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("'vscc get FILE'")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("'vscc diff FILE'")) << r.err;
  EXPECT_NE(std::string::npos,
            r.out.find("the server has version 2, and your copy is based on version 1"))
      << r.out;
  EXPECT_EQ("v1 edited by bob\n", ReadFile(env_.Path("bob/src/lib/a.txt")));
  EXPECT_TRUE(Status("bob", "bob pw")["src/lib/a.txt"].BoolAt("checked_out_by_me"));

  // A check-out brings the newer version down, asking first about his edit.
  r = Vscc("bob", {"checkout", "--no", "src/lib/a.txt"}, "bob pw");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("is checked out to you already")) << r.err;
  EXPECT_NE(std::string::npos,
            r.out.find("the server has version 2, while your copy is based on version 1"))
      << r.out;
  EXPECT_EQ("v1 edited by bob\n", ReadFile(env_.Path("bob/src/lib/a.txt")));

  // Alice's version beside his, then his edit on top of it.
  r = Vscc("bob", {"get", "-r", "2", "-o", "theirs.txt", "src/lib/a.txt"}, "bob pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("v2 by alice\n", ReadFile(env_.Path("bob/theirs.txt")));
  r = Vscc("bob", {"get", "--yes", "src/lib/a.txt"}, "bob pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("v2 by alice\n", ReadFile(env_.Path("bob/src/lib/a.txt")));
  WriteFile(env_.Path("bob/src/lib/a.txt"), "v2 by alice\nand bob\n");
  r = Vscc("bob", {"checkin", "-m", "both", "src/lib/a.txt"}, "bob pw");
  EXPECT_EQ(0, r.status) << r.err;
  r = Vscc("alice", {"get", "--yes", "src/lib/a.txt"}, "alice pw");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("v2 by alice\nand bob\n", ReadFile(env_.Path("alice/src/lib/a.txt")));

  // A deferred lock granted on a copy nobody edited: the check-out, and an
  // undo, bring the newer version down without a question.
  ASSERT_EQ(0, Vscc("bob", {"get", "top.txt"}, "bob pw").status);
  auto queue_behind_alice = [&](const std::string& text) {
    ASSERT_EQ(0, Vscc("alice", {"checkout", "top.txt"}, "alice pw").status);
    ASSERT_EQ(1, Vscc("bob", {"checkout", "--defer", "top.txt"}, "bob pw").status);
    WriteFile(env_.Path("alice/top.txt"), text);
    ASSERT_EQ(0, Vscc("alice", {"checkin", "-m", "top", "top.txt"}, "alice pw").status);
    EXPECT_EQ("Old", Status("bob", "bob pw")["top.txt"].StringAt("state"));
  };
  queue_behind_alice("top v2\n");
  r = Vscc("bob", {"checkout", "top.txt"}, "bob pw");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("top v2\n", ReadFile(env_.Path("bob/top.txt")));
  EXPECT_NE(fs::perms::none,
            fs::status(env_.Path("bob/top.txt")).permissions() & fs::perms::owner_write);
  ASSERT_EQ(0, Vscc("bob", {"undo", "top.txt"}, "bob pw").status);

  queue_behind_alice("top v3\n");
  r = Vscc("bob", {"undo", "top.txt"}, "bob pw");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("top v3\n", ReadFile(env_.Path("bob/top.txt")));
  auto files = Status("bob", "bob pw");
  EXPECT_FALSE(files["top.txt"].BoolAt("checked_out"));
  EXPECT_EQ("Current", files["top.txt"].StringAt("state"));
}

TEST_F(VsccTest, GetBringsAnyStoredVersion) {
  ASSERT_EQ(0, Vscc("w", WithLogon({"bind", "--new", "Old"}, "alice"), "alice pw").status);
  fs::create_directories(env_.Path("w/doc"));
  WriteFile(env_.Path("w/doc/v.txt"), "one\n");
  ASSERT_EQ(0, Vscc("w", {"add", "doc/v.txt"}, "alice pw").status);
  ASSERT_EQ(0, Vscc("w", {"checkout", "doc/v.txt"}, "alice pw").status);
  WriteFile(env_.Path("w/doc/v.txt"), "two\n");
  ASSERT_EQ(0, Vscc("w", {"checkin", "-m", "two", "doc/v.txt"}, "alice pw").status);

  Result r = Vscc("w/doc", {"get", "-r", "1", "-o", "../one.txt", "v.txt"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("one\n", ReadFile(env_.Path("w/one.txt")));
  EXPECT_EQ("two\n", ReadFile(env_.Path("w/doc/v.txt")));
  r = Vscc("w", {"get", "-r", "7", "doc/v.txt"}, "alice pw");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("SCC_E_NOSPECIFIEDVERSION (-13)")) << r.err;
  EXPECT_EQ(2, Vscc("w", {"get", "-r", "x", "doc/v.txt"}).status);
  EXPECT_EQ(2, Vscc("w", {"get", "-r", "1", "doc/v.txt", "one.txt"}).status);

  // Version 1 as the working file: it reads as out of date, and a check-in
  // of it is refused until the latest is brought down.
  r = Vscc("w", {"get", "-r", "1", "doc/v.txt"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("one\n", ReadFile(env_.Path("w/doc/v.txt")));
  ASSERT_EQ(0, Vscc("w", {"checkout", "--no-get", "doc/v.txt"}, "alice pw").status);
  WriteFile(env_.Path("w/doc/v.txt"), "one, edited\n");
  r = Vscc("w", {"checkin", "-m", "stale", "doc/v.txt"}, "alice pw");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("SCC_E_CHECKINCONFLICT (-9)")) << r.err;
  // Local edits are asked about; nobody answers here.
  r = Vscc("w", {"get", "-r", "2", "doc/v.txt"}, "alice pw");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("get stopped: SCC_I_OPERATIONCANCELED (2)")) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("failed: SCC_I_")) << r.err;
  EXPECT_EQ("one, edited\n", ReadFile(env_.Path("w/doc/v.txt")));
}

TEST_F(VsccTest, EachFileOfAnAddHasItsOwnOutcome) {
  ASSERT_EQ(0, Vscc("w", WithLogon({"bind", "--new", "Names"}, "alice"), "alice pw").status);
  fs::create_directories(env_.Path("w/art"));
  WriteFile(env_.Path("w/art/Hero.txt"), "the hero\n");
  WriteFile(env_.Path("w/art/hero.txt"), "another\n");
  Result r = Vscc("w", {"add", "art"}, "alice pw");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("SCC_E_FILEALREADYEXISTS (-10)")) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("/art/hero.txt' and '")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("would be one Document in the same Production")) << r.out;
  // Named alone later, it is not taken for the controlled one.
  r = Vscc("w", {"add", "art/hero.txt"}, "alice pw");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.out.find("differs only in letter case from")) << r.out;
  EXPECT_EQ(std::string::npos, r.err.find("is controlled already; left out")) << r.err;
  EXPECT_NE(fs::perms::none,
            fs::status(env_.Path("w/art/hero.txt")).permissions() & fs::perms::owner_write);
  // Its status tells it apart from the controlled one beside it.
  auto states = Status("w", "alice pw");
  EXPECT_TRUE(states["art/Hero.txt"].BoolAt("controlled"));
  EXPECT_EQ("Current", states["art/Hero.txt"].StringAt("state"));
  EXPECT_FALSE(states["art/hero.txt"].BoolAt("controlled"));
  EXPECT_EQ("Uncontrolled", states["art/hero.txt"].StringAt("state"));

  fs::create_directories(env_.Path("w/odd"));
  for (const char* name : {"a.txt", "back\\slash.txt", "b:c.txt", "d.txt"}) {
    WriteFile(env_.Path(std::string("w/odd/") + name), name);
  }
  r = Vscc("w", {"add", "odd"}, "alice pw");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("SCC_E_INVALIDFILEPATH (-24)")) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("back\\slash.txt' holds")) << r.out;
  EXPECT_NE(std::string::npos,
            r.out.find("does not take the name of '" + env_.Path("w/odd/b:c.txt")))
      << r.out;
  // Its status query made the uncontrolled files read-only; the add leaves
  // those it could not take writable again.
  for (const char* name : {"back\\slash.txt", "b:c.txt"}) {
    EXPECT_NE(fs::perms::none, fs::status(env_.Path(std::string("w/odd/") + name)).permissions() &
                                   fs::perms::owner_write)
        << name;
  }
  auto files = Status("w", "alice pw");
  EXPECT_TRUE(files["odd/a.txt"].BoolAt("controlled"));
  EXPECT_TRUE(files["odd/d.txt"].BoolAt("controlled"));
  EXPECT_FALSE(files["odd/b:c.txt"].BoolAt("controlled"));
}

// The progress notices of each line of `text` that tells `verb` (in order):
// the percentages, after checking that every such line has the full form.
std::vector<int> ProgressPercents(const std::string& text, const std::string& verb,
                                  const std::string& name) {
  static const std::regex line(
      "Veltrane: (Sending|Receiving) (.+): ([0-9]+)% \\(([0-9.]+) of "
      "([0-9.]+) MiB(, [0-9.]+ MB/s)?\\)");
  std::vector<int> percents;
  std::istringstream lines(text);
  for (std::string l; std::getline(lines, l);) {
    if (l.find("Veltrane: " + verb) != 0) continue;
    std::smatch m;
    EXPECT_TRUE(std::regex_match(l, m, line)) << l;
    if (m.empty()) continue;
    EXPECT_EQ(name, m[2].str());
    EXPECT_EQ("64.0", m[5].str());
    percents.push_back(std::stoi(m[3].str()));
  }
  return percents;
}

// A 64 MiB file there and back: its progress comes as status notices, in
// order, ending at 100%, shown with --progress and never without (no
// terminal); a small file tells none.
TEST_F(VsccTest, LargeTransfersTellTheirProgress) {
  Result r = Vscc("w1", WithLogon({"bind", "--new", "Big"}, "alice"), "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  std::string big(64u << 20, '\0');
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i >> 12);
  WriteFile(env_.Path("w1/big.bin"), big);
  WriteFile(env_.Path("w1/small.txt"), "small\n");
  r = Vscc("w1", {"add", "--progress", "-m", "large", "big.bin", "small.txt"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  const std::vector<int> sent = ProgressPercents(r.err, "Sending", "big.bin");
  ASSERT_FALSE(sent.empty()) << r.err;
  EXPECT_TRUE(std::is_sorted(sent.begin(), sent.end())) << r.err;
  EXPECT_EQ(100, sent.back());
  EXPECT_EQ(1, std::count(sent.begin(), sent.end(), 100)) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("small.txt:")) << r.err;
  EXPECT_EQ(std::string::npos, r.out.find("%")) << r.out;  // not among the notices

  r = Vscc("w2", WithLogon({"bind", "--production", "Big"}, "alice"), "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  r = Vscc("w2", {"get", "--progress", "big.bin"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  const std::vector<int> received = ProgressPercents(r.err, "Receiving", "big.bin");
  ASSERT_FALSE(received.empty()) << r.err;
  EXPECT_TRUE(std::is_sorted(received.begin(), received.end())) << r.err;
  EXPECT_EQ(100, received.back());
  EXPECT_TRUE(ReadFile(env_.Path("w2/big.bin")) == big);

  // Without --progress and without a terminal: not a word of it.
  ASSERT_EQ(0, Vscc("w1", {"checkout", "big.bin"}, "alice pw").status);
  r = Vscc("w1", {"checkin", "-m", "again", "big.bin"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(std::string::npos, (r.out + r.err).find("Sending")) << r.out << r.err;
}

// Against a server that misbehaves on purpose (tests/support/fake_server.h),
// in a working folder bound to its one Production.
class VsccHostileServerTest : public VsccTest {
 protected:
  void SetUp() override {
    VsccTest::SetUp();
    Workspace w;
    w.project_name = tw::test::kFakeProductionId;
    w.aux_path = "\\Hostile";
    w.local_path = env_.Path("hostile");
    w.user = "alice";
    w.server = "127.0.0.1";
    w.port = std::to_string(fake_.port());
    fs::create_directories(w.local_path);
    WriteFile(w.local_path + "/" + kWorkspaceFile, FormatWorkspace(w));
  }

  tw::test::FakeServer fake_{env_.Path("fake")};
};

// A name the server chose that holds a line break is one line of what vscc
// prints: in the list of the Production's Documents, and in the notice of
// the files a get brought.
TEST_F(VsccHostileServerTest, NamesWithLineBreaksArePrintedOnOneLine) {
  fake_.AddDocument("two\nlines.txt", "x");
  fake_.AddDocument("plain.txt", "y");
  Result r = Vscc("hostile", {"list"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("two^Jlines.txt\nplain.txt\n", r.out);
  r = Vscc("hostile", {"get"}, "alice pw");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("Succeeded getting file\ntwo^Jlines.txt\nplain.txt\n"))
      << r.out;
  EXPECT_EQ("x", ReadFile(env_.Path("hostile/two\nlines.txt")));
}

// A server that answers `get a.txt b.txt` with each file under the other's
// identifier has neither written: vscc fails and says why.
TEST_F(VsccHostileServerTest, SwappedFetchReplyWritesNeitherFile) {
  fake_.AddDocument("a.txt", "contents of a");
  fake_.AddDocument("b.txt", "contents of b");
  fake_.SetFetchHook(
      [](tw::test::LoopbackPeer::Connection&, const tw::CRLMSGmessage&, tw::CRLMSGmessage* reply) {
        for (uint32_t field : {tw::fetch::kReplyDocumentIds, tw::fetch::kReplyFiles}) {
          uint32_t type = 0;
          std::string text;
          reply->GetRawField(field, &type, &text);
          const size_t cut = text.find('?');
          const std::string swapped = text.substr(cut + 1) + "?" + text.substr(0, cut);
          reply->SetRawField(field, type, swapped.data(), swapped.size());
        }
        return true;
      });
  const Result r = Vscc("hostile", {"get", "a.txt", "b.txt"}, "alice pw");
  EXPECT_NE(0, r.status);
  EXPECT_FALSE(fs::exists(env_.Path("hostile/a.txt")));
  EXPECT_FALSE(fs::exists(env_.Path("hostile/b.txt")));
  EXPECT_NE(std::string::npos,
            (r.out + r.err)
                .find("The server's reply names other Documents than those asked for; no file "
                      "was written."))
      << r.out << r.err;
}

// A Document named like vscc's own binding file, in the working folder or
// a folder below it, is never listed nor written: a get would otherwise
// point the next command in that folder at a server of the Document's
// choosing, which would then be sent the user's logon.
TEST_F(VsccHostileServerTest, DocumentsNamedLikeTheBindingFileAreLeftOut) {
  const std::string binding = ReadFile(env_.Path("hostile/.vscc"));
  const std::string planted =
      "project=0000000000000001\naux=\\Elsewhere\nlocal=/\nuser=alice\nserver=192.0.2.1\n"
      "port=1\n";
  fake_.AddDocument("ok.txt", "ok");
  fake_.AddDocument(".vscc", planted);
  fake_.AddDocument("sub\\.vscc", planted);
  Result r = Vscc("hostile", {"list"}, "alice pw");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("ok.txt\n", r.out);
  EXPECT_NE(std::string::npos, r.err.find("sub/.vscc")) << r.err;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"get", "--yes"}, {"get", "--yes", "sub"}}) {
    r = Vscc("hostile", args, "alice pw");
    EXPECT_EQ(1, r.status) << args.back();
    EXPECT_NE(std::string::npos, r.err.find("binding file")) << r.err;
    EXPECT_EQ(binding, ReadFile(env_.Path("hostile/.vscc")));
    EXPECT_FALSE(fs::exists(env_.Path("hostile/sub/.vscc")));
  }
  EXPECT_EQ("ok", ReadFile(env_.Path("hostile/ok.txt")));
}

}  // namespace
}  // namespace vscc
