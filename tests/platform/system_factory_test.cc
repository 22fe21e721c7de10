// The system factory against the real system: real programs started in a
// private folder, the real update.ini, the real diagnostic output.
#include "platform/system_factory.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wx/fileconf.h>
#include <wx/log.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>

#include "tests/support/test_env.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// Sets (or with nullopt unsets) one environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string HelperPath() {
  return test::BinDir() + "/platform_launch_helper";
}

// The helper's report: key → values in order of appearance.
std::multimap<std::string, std::string> ParseReport(const std::string& text) {
  std::multimap<std::string, std::string> report;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    size_t blank = line.find(' ');
    report.emplace(line.substr(0, blank), blank == std::string::npos ? "" : line.substr(blank + 1));
    start = end + 1;
  }
  return report;
}

std::string One(const std::multimap<std::string, std::string>& report, const std::string& key) {
  auto it = report.find(key);
  return it == report.end() ? std::string("<missing>") : it->second;
}

std::vector<std::string> Args(const std::multimap<std::string, std::string>& report) {
  std::vector<std::string> args;
  auto range = report.equal_range("arg");
  for (auto it = range.first; it != range.second; ++it) args.push_back(it->second);
  return args;
}

// Waits (generously) for a detached program's report.
std::multimap<std::string, std::string> AwaitReport(const std::string& path) {
  for (int i = 0; i < 3000 && !fs::exists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ParseReport(test::ReadFile(path));
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

// ---- command lines -------------------------------------------------------

TEST(SplitCommandLineTest, FollowsTheWindowsRules) {
  struct Case {
    const char* line;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {R"("[File1]" "[File2]")", {"[File1]", "[File2]"}},
      {R"("C:\My Files\a b.txt" -x)", {R"(C:\My Files\a b.txt)", "-x"}},
      {"  a \t  b   c  ", {"a", "b", "c"}},
      {"", {}},
      {" \t ", {}},
      {R"("")", {""}},
      {R"(a "" b)", {"a", "", "b"}},
      {R"(a\"b)", {R"(a"b)"}},         // 1 backslash: literal quote
      {R"(a\\\"b)", {R"(a\"b)"}},      // 3: one backslash and a literal quote
      {R"("a\\" b)", {R"(a\)", "b"}},  // 2 before the closing quote: one backslash
      {R"(a\\\\"b c" d)", {R"(a\\b c)", "d"}},
      {R"(a\b c\\d e\)", {R"(a\b)", R"(c\\d)", R"(e\)"}},  // not before a quote: literal
      {R"(ab"c d"e)", {"abc de"}},
      {R"("a""b")", {R"(a"b)"}},
      {R"("open ended)", {"open ended"}},
  };
  for (const auto& c : cases) {
    EXPECT_THAT(SplitCommandLine(c.line), ElementsAreArray(c.args)) << c.line;
  }
}

TEST(SplitCommandLineTest, QuotedArgumentsComeBackUnchanged) {
  const std::vector<std::string> args = {
      "plain",     "",         "two words", R"(C:\dir\)", R"(say "hi")", R"(\\server\share\)",
      "tab\there", R"(end\\)", R"(\")",     "\"",
  };
  std::string line;
  for (const auto& a : args) line += (line.empty() ? "" : " ") + QuoteCommandLineArgument(a);
  EXPECT_THAT(SplitCommandLine(line), ElementsAreArray(args)) << line;
}

// ---- folders, names, identifiers ---------------------------------------------

TEST_F(SystemFactoryTest, TempFileNamesAreFreshNamesInTmpdir) {
  std::string first = factory_.TempFileName(false);
  std::string second = factory_.TempFileName(false);
  ASSERT_FALSE(first.empty());
  EXPECT_NE(first, second);
  for (const auto& name : {first, second}) {
    EXPECT_EQ(fs::path(name).parent_path(), fs::path(env_.Path("tmp")));
    EXPECT_EQ(fs::path(name).filename().string().rfind("CRL", 0), 0u) << name;
    EXPECT_FALSE(fs::exists(name)) << "placeholder left behind";
  }
  std::string kept = factory_.TempFileName(true);
  EXPECT_TRUE(fs::is_regular_file(kept));

  ScopedEnv no_tmpdir("TMPDIR", env_.Path("missing"));
  EXPECT_EQ(factory_.TempFileName(false), "");
}

TEST_F(SystemFactoryTest, ModuleDirectoryIsTheOverrideOrTheProgramsFolder) {
  {
    ScopedEnv module("VELTRANE_MODULE_DIR", env_.Path("mod/"));
    EXPECT_EQ(factory_.ModuleDirectory(), env_.Path("mod"));
  }
  ScopedEnv no_module("VELTRANE_MODULE_DIR", std::nullopt);
  // Linked into this test program, the module is the program itself.
  EXPECT_EQ(factory_.ModuleDirectory(), fs::canonical("/proc/self/exe").parent_path().string());
  EXPECT_EQ(fs::canonical(factory_.ModuleDirectory()), fs::canonical(test::BinDir()));

  EXPECT_EQ(factory_.GlobalDirectory(), env_.Path("global"));
  ScopedEnv no_global("VELTRANE_GLOBAL_DIR", std::nullopt);
  EXPECT_EQ(factory_.GlobalDirectory(), factory_.ModuleDirectory());
}

TEST_F(SystemFactoryTest, AppDataDirectoryFollowsXdgConfigHome) {
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", env_.Path("conf"));
    EXPECT_EQ(factory_.AppDataDirectory(), env_.Path("conf") + "/Halvorn");
  }
  ScopedEnv no_xdg("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_EQ(factory_.AppDataDirectory(), env_.Path("home") + "/.config/Halvorn");
}

TEST_F(SystemFactoryTest, UserNameIdentifiersAndFiles) {
  EXPECT_FALSE(factory_.UserName().empty());
  EXPECT_NE(factory_.NewFile(), nullptr);

  Guid a = factory_.NewIdentifier();
  EXPECT_NE(a, factory_.NewIdentifier());
  Guid parsed;
  ASSERT_TRUE(factory_.IdentifierFromText(a.ToText(), &parsed));
  EXPECT_EQ(parsed, a);
  EXPECT_FALSE(factory_.IdentifierFromText("not an identifier", &parsed));
  EXPECT_FALSE(factory_.IdentifierFromText(a.ToText(), nullptr));
}

TEST_F(SystemFactoryTest, OneInstanceForAllThreads) {
  std::vector<CRLsystemFactory*> seen(4);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = &GetSystemFactory(); });
  for (auto& t : threads) t.join();
  for (auto* f : seen) EXPECT_EQ(f, &factory_);
}

TEST_F(SystemFactoryTest, LogWritesOneRecordCutAt4096Bytes) {
  factory_.Log("FilterWriteRequest - %s %d", "Buffer overflow", 7);
  EXPECT_EQ(test::ReadFile(env_.Path("debug.log")), "FilterWriteRequest - Buffer overflow 7\n");

  fs::remove(env_.Path("debug.log"));
  std::string huge(5000, 'x');
  factory_.Log("%s", huge.c_str());
  EXPECT_EQ(test::ReadFile(env_.Path("debug.log")), std::string(4095, 'x') + "\n");
}

// ---- launching --------------------------------------------------------------

TEST_F(SystemFactoryTest, RunWithAnEmptyOrUnknownNameFails) {
  EXPECT_FALSE(factory_.Run("", "anything", true));
  EXPECT_FALSE(factory_.Run("", "", false));
  EXPECT_FALSE(factory_.Run(env_.Path("no-such-program"), "", true));
  EXPECT_FALSE(factory_.Run("no-such-program-anywhere", "", false));
  EXPECT_FALSE(HasChildren());
}

TEST_F(SystemFactoryTest, RunWithWaitReturnsAfterTheProgramEnded) {
  // A descriptor someone forgot to make close-on-exec must not reach the child.
  int leaked = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  std::string out = env_.Path("report");
  ASSERT_TRUE(
      factory_.Run(HelperPath(), QuoteCommandLineArgument(out) + R"( "two words" \"x)", true));
  close(leaked);

  ASSERT_TRUE(fs::exists(out)) << "Run returned before the program ended";
  auto report = ParseReport(test::ReadFile(out));
  EXPECT_THAT(Args(report), ElementsAre("two words", "\"x"));
  EXPECT_EQ(One(report, "ppid"), std::to_string(getpid()));
  EXPECT_EQ(One(report, "fds"), "0 1 2");
  EXPECT_FALSE(HasChildren());

  // Through the shell, as any program.
  std::string marker = env_.Path("marker");
  ASSERT_TRUE(factory_.Run("/bin/sh", "-c \"echo done > " + marker + "\"", true));
  EXPECT_EQ(test::ReadFile(marker), "done\n");
}

TEST_F(SystemFactoryTest, RunWithWaitWhileTheHostIgnoresSigchld) {
  struct sigaction ignore {
  }, saved{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &saved);
  std::string out = env_.Path("report");
  bool ran = factory_.Run(HelperPath(), QuoteCommandLineArgument(out), true);
  sigaction(SIGCHLD, &saved, nullptr);

  EXPECT_TRUE(ran);
  ASSERT_TRUE(fs::exists(out));
  EXPECT_EQ(One(ParseReport(test::ReadFile(out)), "sigchld"), "default");
}

TEST_F(SystemFactoryTest, RunWithoutWaitDetachesTheProgram) {
  int leaked = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  sigset_t term, saved;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &saved);
  std::string out = env_.Path("report");
  bool ran = factory_.Run(HelperPath(), QuoteCommandLineArgument(out) + " one", false);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  close(leaked);

  ASSERT_TRUE(ran);
  EXPECT_FALSE(HasChildren()) << "a child (or zombie) was left behind";
  auto report = AwaitReport(out);
  EXPECT_THAT(Args(report), ElementsAre("one"));
  // The intermediate child leads the new session, so the program can never
  // take a controlling terminal again.
  EXPECT_NE(One(report, "sid"), std::to_string(getsid(0))) << "still in the caller's session";
  EXPECT_NE(One(report, "ppid"), std::to_string(getpid()));
  EXPECT_EQ(One(report, "fds"), "0 1 2");
  EXPECT_EQ(One(report, "blocked"), "no");
}

TEST_F(SystemFactoryTest, DocumentsGoToXdgOpen) {
  // A stand-in opener first on the search path.
  fs::create_directories(env_.Path("bin"));
  fs::create_symlink(HelperPath(), env_.Path("bin/xdg-open"));
  ScopedEnv path("PATH", env_.Path("bin") + ":" + std::getenv("PATH"));
  ScopedEnv out("TW_HELPER_OUT", env_.Path("report"));
  std::string document = env_.Path("notes.txt");
  test::WriteFile(document, "text");

  ASSERT_TRUE(factory_.Run(document, "dropped parameters", true));
  EXPECT_THAT(Args(ParseReport(test::ReadFile(env_.Path("report")))), ElementsAre(document));
  fs::remove(env_.Path("report"));

  // Open: a relative name is taken from the given folder, which is also the
  // opener's working folder.
  ASSERT_TRUE(factory_.Open("notes.txt", env_.root()));
  auto report = AwaitReport(env_.Path("report"));
  EXPECT_THAT(Args(report), ElementsAre(document));
  EXPECT_EQ(One(report, "cwd"), env_.root());
  EXPECT_FALSE(HasChildren());

  EXPECT_FALSE(factory_.Open("missing.txt", env_.root()));
}

TEST_F(SystemFactoryTest, OpenStartsAProgramInTheGivenFolder) {
  ScopedEnv out("TW_HELPER_OUT", env_.Path("report"));
  ASSERT_TRUE(factory_.Open(HelperPath(), env_.Path("home")));
  auto report = AwaitReport(env_.Path("report"));
  EXPECT_EQ(One(report, "cwd"), env_.Path("home"));
  EXPECT_THAT(Args(report), IsEmpty());
  EXPECT_FALSE(factory_.Open(HelperPath(), env_.Path("no-such-folder")));
}

TEST_F(SystemFactoryTest, EditUsesVisualThenEditor) {
  ScopedEnv out("TW_HELPER_OUT", env_.Path("report"));
  {
    ScopedEnv visual("VISUAL", std::nullopt);
    ScopedEnv editor("EDITOR", std::nullopt);
    EXPECT_FALSE(factory_.Edit("file.txt", "", true));
  }
  ScopedEnv visual("VISUAL", "");
  ScopedEnv editor("EDITOR", HelperPath() + " --editor");
  ASSERT_TRUE(factory_.Edit("file.txt", "+3", true));
  EXPECT_THAT(Args(ParseReport(test::ReadFile(env_.Path("report")))),
              ElementsAre("--editor", "file.txt", "+3"));

  ScopedEnv visual_set("VISUAL", HelperPath() + " --visual");
  ASSERT_TRUE(factory_.Edit("file.txt", "", true));
  EXPECT_THAT(Args(ParseReport(test::ReadFile(env_.Path("report")))),
              ElementsAre("--visual", "file.txt"));
}

TEST_F(SystemFactoryTest, RunOnUserDesktopStartsDetachedAndAlwaysSucceeds) {
  EXPECT_TRUE(factory_.RunOnUserDesktop(env_.Path("no-such-program"), "x"));
  std::string out = env_.Path("report");
  EXPECT_TRUE(factory_.RunOnUserDesktop(HelperPath(), QuoteCommandLineArgument(out) + " a"));
  EXPECT_FALSE(HasChildren());
  auto report = AwaitReport(out);
  EXPECT_THAT(Args(report), ElementsAre("a"));
  EXPECT_EQ(One(report, "cwd"), "/");
  EXPECT_NE(One(report, "sid"), std::to_string(getsid(0)));
}

// ---- the update queue ---------------------------------------------------------

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
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", "/staging/default.usr"));
  ASSERT_TRUE(factory_.QueueRun("TWPMSvr"));
  ASSERT_TRUE(factory_.UnqueueFileUpdate("TWSccApi.so"));
  EXPECT_EQ(factory_.UpdateFilePath(), env_.Path("global/update.ini"));

  std::string text = test::ReadFile(env_.Path("global/update.ini"));
  EXPECT_NE(text.find("[UpdateFiles]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nTWSccApi.so=NULL\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\ndefault.usr=/staging/default.usr\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[Run]\nTWPMSvr=1\n"), std::string::npos) << text;

  EXPECT_FALSE(factory_.QueueRun(""));
  EXPECT_FALSE(factory_.QueueFileUpdate("x", "\xff\xfe"));
}

TEST_F(SystemFactoryTest, AwkwardNamesSurviveTheRoundTrip) {
  const std::vector<std::string> names = {
      "/opt/veltrane/lib/libTWSccApi.so",
      "name with blanks",
      "a=b",
      "[x]",
      "!bang",
      "#hash",
      "100%",
      "line\nbreak",
      "caf\xc3\xa9",
      "bad\xff",
  };
  for (const auto& name : names) {
    EXPECT_EQ(UpdateKeyFromName(name).find('/'), std::string::npos);
    EXPECT_EQ(UpdateNameFromKey(UpdateKeyFromName(name)), name);
    ASSERT_TRUE(factory_.QueueFileUpdate(name, "source of " + name.substr(0, 3))) << name;
  }
  EXPECT_EQ(UpdateKeyFromName("plain-name_1.so"), "plain-name_1.so");

  auto entries = ReadSection(factory_.UpdateFilePath(), "UpdateFiles");
  ASSERT_EQ(entries.size(), names.size());
  for (const auto& name : names) EXPECT_EQ(entries[name], "source of " + name.substr(0, 3)) << name;
}

TEST_F(SystemFactoryTest, ConcurrentQueueingLosesNoEntry) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 10; ++i) {
        std::string name = "f" + std::to_string(t) + "_" + std::to_string(i);
        EXPECT_TRUE(factory_.QueueFileUpdate(name, name));
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ReadSection(factory_.UpdateFilePath(), "UpdateFiles").size(), 40u);
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
