// The system factory against the real system: real programs started in a
// private folder, the real update.ini, the real diagnostic output.
#include "platform/system_factory.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wx/fileconf.h>
#include <wx/log.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "platform/process.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

std::string HelperPath() {
  return test::BinDir() + "/platform_launch_helper";
}

// The launch helper's report, waited for (generously) when the program was
// detached: key → values in order of appearance.
using Report = std::multimap<std::string, std::string>;
Report AwaitReport(const std::string& path) {
  for (int i = 0; i < 3000 && !fs::exists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Report report;
  std::istringstream text(test::ReadFile(path));
  for (std::string line; std::getline(text, line);) {
    const size_t blank = line.find(' ');
    report.emplace(line.substr(0, blank), blank == std::string::npos ? "" : line.substr(blank + 1));
  }
  return report;
}

std::string One(const Report& report, const std::string& key) {
  auto it = report.find(key);
  return it == report.end() ? std::string("<missing>") : it->second;
}

std::vector<std::string> Args(const Report& report) {
  std::vector<std::string> args;
  auto range = report.equal_range("arg");
  for (auto it = range.first; it != range.second; ++it) args.push_back(it->second);
  return args;
}

bool HasChildren() {
  int status;
  return !(waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD);
}

// wxWidgets used without a wxApp reports misuse through its assert handler.
void FailOnWxAssert(const wxString& file, int line, const wxString& function,
                    const wxString& condition, const wxString& message) {
  ADD_FAILURE() << "wxWidgets assertion " << condition.utf8_string() << " in "
                << function.utf8_string() << ": " << message.utf8_string();
}

class SystemFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override { wxSetAssertHandler(&FailOnWxAssert); }
  void TearDown() override { wxSetDefaultAssertHandler(); }

  test::TestEnv env_;
  CRLsystemFactory& factory_ = GetSystemFactory();
};

TEST(SplitCommandLineTest, FollowsTheWindowsRules) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {R"("C:\My Files\a b.txt" -x)", {R"(C:\My Files\a b.txt)", "-x"}},
      {"  a \t  b  ", {"a", "b"}},
      {R"(a "" b)", {"a", "", "b"}},
      {R"(a\\\"b)", {R"(a\"b)"}},              // 3 backslashes: one and a literal quote
      {R"("a\\" b)", {R"(a\)", "b"}},          // 2 before the closing quote: one backslash
      {R"(a\b c\\d)", {R"(a\b)", R"(c\\d)"}},  // not before a quote: literal
      {R"(ab"c d"e)", {"abc de"}},
      {R"("a""b")", {R"(a"b)"}},
      {R"("open ended)", {"open ended"}},
  };
  for (const auto& [line, args] : cases) {
    EXPECT_THAT(SplitCommandLine(line), ElementsAreArray(args)) << line;
  }
  const std::vector<std::string> quoted = {"",          "two words", R"(C:\dir\)", R"(say "hi")",
                                           "tab\there", R"(\")"};
  std::string line;
  for (const auto& a : quoted) line += (line.empty() ? "" : " ") + QuoteCommandLineArgument(a);
  EXPECT_THAT(SplitCommandLine(line), ElementsAreArray(quoted)) << line;
}

// $VISUAL comes first; a blank one is passed over for $EDITOR, as unset.
TEST(UserEditorCommandTest, VisualThenEditorEachWithItsOptions) {
  test::ScopedEnv visual("VISUAL", "\"my vi\" -f");
  test::ScopedEnv editor("EDITOR", "nano -w");
  EXPECT_THAT(UserEditorCommand(), ElementsAre("my vi", "-f"));
  for (const char* blank : {"", "  \t "}) {
    test::ScopedEnv passed_over("VISUAL", blank);
    EXPECT_THAT(UserEditorCommand(), ElementsAre("nano", "-w")) << "VISUAL='" << blank << "'";
  }
  test::ScopedEnv unset("VISUAL", std::nullopt);
  EXPECT_THAT(UserEditorCommand(), ElementsAre("nano", "-w"));
  test::ScopedEnv none("EDITOR", " ");
  EXPECT_TRUE(UserEditorCommand().empty());
}

TEST_F(SystemFactoryTest, TempFileNamesAreFreshNamesInTmpdir) {
  const std::string first = factory_.TempFileName(false);
  const std::string second = factory_.TempFileName(false);
  ASSERT_FALSE(first.empty());
  EXPECT_NE(first, second);
  EXPECT_EQ(fs::path(first).parent_path(), fs::path(env_.Path("tmp")));
  EXPECT_EQ(fs::path(first).filename().string().rfind("CRL", 0), 0u) << first;
  EXPECT_FALSE(fs::exists(first)) << "placeholder left behind";
  EXPECT_TRUE(fs::is_regular_file(factory_.TempFileName(true)));
  ScopedEnv no_tmpdir("TMPDIR", env_.Path("missing"));
  EXPECT_EQ(factory_.TempFileName(false), "");
}

// A name that is not kept is never made and freed: nothing in the folder
// changes, so that another user watching a shared folder can neither learn
// the name nor take it before the file is created. A kept one is made.
TEST_F(SystemFactoryTest, ScratchNamesNotKeptLeaveNoTraceInTheFolder) {
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, env_.Path("tmp").c_str(), IN_CREATE | IN_DELETE), 0);
  std::set<std::string> names;
  for (int i = 0; i < 20; ++i) names.insert(factory_.TempFileName(false));
  EXPECT_EQ(names.size(), 20u);
  alignas(inotify_event) char events[4096];
  EXPECT_LT(read(watch, events, sizeof events), 0) << "the folder saw a file come and go";
  EXPECT_FALSE(factory_.TempFileName(true).empty());
  EXPECT_GT(read(watch, events, sizeof events), 0);
  close(watch);
}

// A scratch name carries its owner (this process: pid namespace, pid and
// start time). A later sweep removes a file whose owner is gone - a process
// that ended, or whose pid now belongs to a process started later - never a
// file of a live owner, one of another pid namespace, a link, or a name of
// another form. This process's own files go when it is about to end on a
// signal.
TEST_F(SystemFactoryTest, ScratchFilesOfGoneOwnersAreSweptAway) {
  unsigned long long start = 0;
  ASSERT_TRUE(ProcessStartTime(static_cast<int>(::getpid()), &start));
  const std::string kept = factory_.TempFileName(true);
  EXPECT_TRUE(IsTempFileName(kept));
  // "CRL<namespace>-<pid>-<start>-" and six characters.
  const std::string name = fs::path(kept).filename().string();
  ASSERT_GT(name.size(), 9u);
  const std::string own = name.substr(0, name.size() - 6);
  const std::string tail = "-" + std::to_string(::getpid()) + "-" + std::to_string(start) + "-";
  ASSERT_EQ(own.size() - tail.size(), own.rfind(tail)) << name;
  const std::string ns = own.substr(3, own.size() - tail.size() - 3);
  const std::string other_ns = std::to_string(std::stoull(ns) + 1);

  const std::string tmp = env_.Path("tmp");
  const std::map<std::string, bool> files = {
      // the pid, but another process
      {"CRL" + ns + "-" + std::to_string(::getpid()) + "-" + std::to_string(start + 1) + "-aaaaaa",
       true},
      {"CRL" + ns + "-999999999-5-bbbbbb", true},         // a process that ended
      {own + "cccccc", false},                            // live: this process
      {"CRL" + other_ns + "-999999999-5-dddddd", false},  // another pid namespace
      {"CRLab12cd", false},                               // no owner in the name
      {"CRL" + ns + "-999999999-5-ee-e", false},          // not a scratch name
  };
  for (const auto& [file, removed] : files) test::WriteFile(tmp + "/" + file, "partial");
  const std::string elsewhere = env_.Path("home/victim");
  test::WriteFile(elsewhere, "mine");
  const std::string link = tmp + "/CRL" + ns + "-999999999-5-ffffff";
  ASSERT_EQ(0, ::symlink(elsewhere.c_str(), link.c_str()));

  EXPECT_EQ(2u, RemoveAbandonedTempFiles());
  for (const auto& [file, removed] : files) {
    EXPECT_EQ(!removed, fs::exists(tmp + "/" + file)) << file;
  }
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ("mine", test::ReadFile(elsewhere));
  EXPECT_TRUE(fs::exists(kept));

  // On a signal: this process's own, nothing else.
  RemoveOwnTempFiles();  // not prepared: nothing
  EXPECT_TRUE(fs::exists(kept));
  PrepareOwnTempFileRemoval();
  RemoveOwnTempFiles();
  EXPECT_FALSE(fs::exists(kept));
  EXPECT_FALSE(fs::exists(tmp + "/" + own + "cccccc"));
  EXPECT_TRUE(fs::exists(tmp + "/CRLab12cd"));
  EXPECT_TRUE(fs::exists(tmp + "/CRL" + other_ns + "-999999999-5-dddddd"));
}

TEST_F(SystemFactoryTest, ModuleDirectoryIsTheProgramsFolderWithoutOverride) {
  ScopedEnv no_module("VELTRANE_MODULE_DIR", std::nullopt);
  ScopedEnv no_global("VELTRANE_GLOBAL_DIR", std::nullopt);
  // Linked into this test program, the module is the program itself.
  EXPECT_EQ(fs::canonical(factory_.ModuleDirectory()), fs::canonical(test::BinDir()));
  EXPECT_EQ(factory_.GlobalDirectory(), factory_.ModuleDirectory());
}

// The log is written only into a plain file of the user's: a link planted
// at its name (towards another file of the user's) or a pipe gets nothing,
// and the caller never waits.
TEST_F(SystemFactoryTest, LogNeverFollowsALinkNorWaitsOnAPipe) {
  const std::string victim = env_.Path("home/.profile");
  test::WriteFile(victim, "mine\n");
  const std::string link = env_.Path("planted.log");
  ASSERT_EQ(0, symlink(victim.c_str(), link.c_str()));
  {
    ScopedEnv target("VELTRANE_DEBUG_OUTPUT", link);
    factory_.Log("%s", "a record");
  }
  EXPECT_EQ(test::ReadFile(victim), "mine\n");
  const std::string pipe = env_.Path("pipe.log");
  ASSERT_EQ(0, mkfifo(pipe.c_str(), 0600));
  ScopedEnv target("VELTRANE_DEBUG_OUTPUT", pipe);
  factory_.Log("%s", "a record");  // nobody reads the pipe: returns at once
  const std::string plain = env_.Path("plain.log");
  ScopedEnv plain_target("VELTRANE_DEBUG_OUTPUT", plain);
  factory_.Log("%s", "a record");
  EXPECT_EQ(test::ReadFile(plain), "a record\n");
}

TEST_F(SystemFactoryTest, LogWritesOneRecordCutAt4096Bytes) {
  factory_.Log("FilterWriteRequest - %s %d", "Buffer overflow", 7);
  EXPECT_EQ(test::ReadFile(env_.Path("debug.log")), "FilterWriteRequest - Buffer overflow 7\n");
  fs::remove(env_.Path("debug.log"));
  factory_.Log("%s", std::string(5000, 'x').c_str());
  EXPECT_EQ(test::ReadFile(env_.Path("debug.log")), std::string(4095, 'x') + "\n");
}

TEST_F(SystemFactoryTest, RunWithWaitReturnsAfterTheProgramEnded) {
  EXPECT_FALSE(factory_.Run("", "anything", true));
  EXPECT_FALSE(factory_.Run("no-such-program-anywhere", "", false));
  // A descriptor someone forgot to make close-on-exec must not reach the child.
  const int leaked = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  const std::string out = env_.Path("report");
  ASSERT_TRUE(
      factory_.Run(HelperPath(), QuoteCommandLineArgument(out) + R"( "two words" \"x)", true));
  close(leaked);
  ASSERT_TRUE(fs::exists(out)) << "Run returned before the program ended";
  const Report report = AwaitReport(out);
  EXPECT_THAT(Args(report), ElementsAre("two words", "\"x"));
  EXPECT_EQ(One(report, "ppid"), std::to_string(getpid()));
  EXPECT_EQ(One(report, "fds"), "0 1 2");
  EXPECT_FALSE(HasChildren());
}

TEST_F(SystemFactoryTest, RunWithWaitWhileTheHostIgnoresSigchld) {
  struct sigaction ignore {};
  struct sigaction saved {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &saved);
  const std::string out = env_.Path("report");
  const bool ran = factory_.Run(HelperPath(), QuoteCommandLineArgument(out), true);
  sigaction(SIGCHLD, &saved, nullptr);
  EXPECT_TRUE(ran);
  ASSERT_TRUE(fs::exists(out));
  EXPECT_EQ(One(AwaitReport(out), "sigchld"), "default");
}

TEST_F(SystemFactoryTest, RunWithoutWaitDetachesTheProgram) {
  const int leaked = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  sigset_t term, saved;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &saved);
  const std::string out = env_.Path("report");
  const bool ran = factory_.Run(HelperPath(), QuoteCommandLineArgument(out) + " one", false);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  close(leaked);
  ASSERT_TRUE(ran);
  EXPECT_FALSE(HasChildren()) << "a child (or zombie) was left behind";
  const Report report = AwaitReport(out);
  EXPECT_THAT(Args(report), ElementsAre("one"));
  // The intermediate child leads the new session, so the program can never
  // take a controlling terminal again.
  EXPECT_NE(One(report, "sid"), std::to_string(getsid(0))) << "still in the caller's session";
  EXPECT_NE(One(report, "ppid"), std::to_string(getpid()));
  EXPECT_EQ(One(report, "fds"), "0 1 2");
  EXPECT_EQ(One(report, "blocked"), "no");

  // On the user's desktop: detached, from "/", and never a failure.
  EXPECT_TRUE(factory_.RunOnUserDesktop(env_.Path("no-such-program"), "x"));
  const std::string desk = env_.Path("desk");
  EXPECT_TRUE(factory_.RunOnUserDesktop(HelperPath(), QuoteCommandLineArgument(desk) + " a"));
  EXPECT_EQ(One(AwaitReport(desk), "cwd"), "/");
}

TEST_F(SystemFactoryTest, DocumentsGoToXdgOpen) {
  // A stand-in opener first on the search path.
  fs::create_directories(env_.Path("bin"));
  fs::create_symlink(HelperPath(), env_.Path("bin/xdg-open"));
  ScopedEnv path("PATH", env_.Path("bin") + ":" + std::getenv("PATH"));
  ScopedEnv out("TW_HELPER_OUT", env_.Path("report"));
  const std::string document = env_.Path("notes.txt");
  test::WriteFile(document, "text");
  ASSERT_TRUE(factory_.Run(document, "dropped parameters", true));
  EXPECT_THAT(Args(AwaitReport(env_.Path("report"))), ElementsAre(document));
  fs::remove(env_.Path("report"));

  // Open: a relative name is taken from the given folder, which is also the
  // opener's working folder.
  ASSERT_TRUE(factory_.Open("notes.txt", env_.root()));
  const Report report = AwaitReport(env_.Path("report"));
  EXPECT_THAT(Args(report), ElementsAre(document));
  EXPECT_EQ(One(report, "cwd"), env_.root());
  EXPECT_FALSE(factory_.Open("missing.txt", env_.root()));
  EXPECT_FALSE(factory_.Open(HelperPath(), env_.Path("no-such-folder")));
}

// Every entry of a section of update.ini, read back as the updater would.
std::map<std::string, std::string> ReadSection(const std::string& path, const char* section) {
  wxLogNull quiet;
  wxFileConfig config(wxEmptyString, wxEmptyString, wxString::FromUTF8(path), wxEmptyString,
                      wxCONFIG_USE_LOCAL_FILE | wxCONFIG_USE_RELATIVE_PATH);
  std::map<std::string, std::string> entries;
  config.SetPath(wxString("/") + section);
  wxString key;
  long cookie = 0;
  for (bool more = config.GetFirstEntry(key, cookie); more;
       more = config.GetNextEntry(key, cookie)) {
    entries[UpdateNameFromKey(key.utf8_string())] = config.Read(key).utf8_string();
  }
  return entries;
}

TEST_F(SystemFactoryTest, UpdateQueueWritesUpdateIni) {
  ASSERT_TRUE(factory_.QueueFileUpdate("TWSccApi.so", "/staging/TWSccApi.so"));
  ASSERT_TRUE(factory_.QueueRun("TWPMSvr"));
  ASSERT_TRUE(factory_.UnqueueFileUpdate("TWSccApi.so"));
  EXPECT_EQ(factory_.UpdateFilePath(), env_.Path("global/update.ini"));
  const std::string text = test::ReadFile(env_.Path("global/update.ini"));
  EXPECT_NE(text.find("[UpdateFiles]\nTWSccApi.so=NULL\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[Run]\nTWPMSvr=1\n"), std::string::npos) << text;
  EXPECT_FALSE(factory_.QueueFileUpdate("x", "\xff\xfe"));
}

TEST_F(SystemFactoryTest, AwkwardNamesSurviveConcurrentQueueing) {
  const std::vector<std::string> names = {"/opt/veltrane/lib/libTWSccApi.so",
                                          "a=b",
                                          "[x]",
                                          "#hash",
                                          "!bang",
                                          "100%",
                                          "line\nbreak",
                                          "bad\xff"};
  for (const auto& name : names) {
    ASSERT_TRUE(factory_.QueueFileUpdate(name, "source of " + name.substr(0, 3))) << name;
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 10; ++i) {
        const std::string name = "f" + std::to_string(t) + "_" + std::to_string(i);
        EXPECT_TRUE(factory_.QueueFileUpdate(name, name));
      }
    });
  }
  for (auto& t : threads) t.join();
  auto entries = ReadSection(factory_.UpdateFilePath(), "UpdateFiles");
  EXPECT_EQ(entries.size(), names.size() + 40);
  for (const auto& name : names) {
    EXPECT_EQ(entries[name], "source of " + name.substr(0, 3)) << name;
  }
}

TEST_F(SystemFactoryTest, StartUpdaterRunsTwUpdateWithTheQueue) {
  fs::create_directories(env_.Path("mod"));
  fs::create_symlink(HelperPath(), env_.Path("mod/TWUpdate"));
  ScopedEnv module("VELTRANE_MODULE_DIR", env_.Path("mod"));
  ScopedEnv global("VELTRANE_GLOBAL_DIR", env_.Path("global dir"));
  ScopedEnv out("TW_HELPER_OUT", env_.Path("report"));
  fs::create_directories(env_.Path("global dir"));
  ASSERT_TRUE(factory_.QueueRun("TWPMSvr"));
  ASSERT_TRUE(factory_.StartUpdater());
  EXPECT_THAT(Args(AwaitReport(env_.Path("report"))),
              ElementsAre(env_.Path("global dir/update.ini")));
  EXPECT_FALSE(HasChildren());
  ScopedEnv empty_module("VELTRANE_MODULE_DIR", env_.Path("global dir"));
  EXPECT_FALSE(factory_.StartUpdater());
}

}  // namespace
}  // namespace tw
