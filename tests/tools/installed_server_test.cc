// The server's programs as an administrator meets them after `cmake
// --install` into a prefix: TWServer and TWSccSetup run from there (their
// versions, TWServer's help, a repository backed up, restored and
// verified), and the systemd unit installed beside them names the installed
// TWServer and passes `systemd-analyze verify` where that tool exists.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "platform/process.h"
#include "tests/support/test_env.h"

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

TEST_F(InstalledServerTest, ARepositoryIsBackedUpRestoredAndVerified) {
  const std::string repo = env_.Path("repo");
  const std::string backup = env_.Path("backup");
  const std::string restored = env_.Path("restored");
  ASSERT_EQ(0, Server({"init", "--data", repo}).exit);
  ASSERT_EQ(0, Server({"user", "add", "--data", repo, "alice"}, "secret\n").exit);
  test::ProgramOutcome o = Server({"backup", "--data", repo, "--to", backup});
  ASSERT_EQ(0, o.exit) << o.err;
  EXPECT_TRUE(fs::is_regular_file(backup + "/backup.info"));
  EXPECT_EQ(1, Server({"backup", "--data", repo, "--to", backup}).exit);
  o = Server({"restore", "--from", backup, "--data", restored});
  ASSERT_EQ(0, o.exit) << o.err;
  o = Server({"verify", "--data", restored});
  EXPECT_EQ(0, o.exit) << o.err;
  EXPECT_TRUE(Has(o.out, "all present and sound")) << o.out;
  EXPECT_EQ("alice\n", Server({"user", "list", "--data", restored}).out);
  EXPECT_EQ(1, Server({"restore", "--from", backup, "--data", restored}).exit);
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
