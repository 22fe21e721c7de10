// The manual pages (docs/man, stamped with the version into the build
// folder) against the programs' own help: every command and option the
// help of vscc, TWServer and TWSccSetup names is described in its page, and
// every page renders without a formatter warning.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "platform/process.h"
#include "tests/support/help_text.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

class VsccManPagesTest : public ::testing::Test {
 protected:
  test::ProgramOutcome Run(const std::string& program, const std::vector<std::string>& args) {
    return test::RunProgram(program, args, env_.root());
  }

  // The page as a reader sees its words: roff's escaped minus signs and
  // font changes taken out.
  static std::string PageText(const std::string& name) {
    std::string text = test::ReadFile(std::string(TW_MAN_DIR) + "/" + name);
    EXPECT_FALSE(text.empty()) << name;
    text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
    return std::regex_replace(text, std::regex(R"(\\f[BIRP])"), "");
  }

  // A command's heading in a page: a ".B" line or a ".TP" term naming it.
  static bool HasHeading(const std::string& page, const std::string& command) {
    return page.find("\n.B " + command + " ") != std::string::npos ||
           page.find("\n.B " + command + "\n") != std::string::npos;
  }

  test::TestEnv env_;
};

TEST_F(VsccManPagesTest, VsccPageDescribesEveryCommandAliasAndOption) {
  const std::string page = PageText("vscc.1");
  const test::ProgramOutcome help = Run("vscc", {"--help"});
  ASSERT_EQ(0, help.exit) << help.err;
  const std::vector<std::string> commands = test::ListedCommands(help.out);
  ASSERT_GE(commands.size(), 15u) << help.out;
  std::set<std::string> options = test::OptionsIn(help.out);
  for (const std::string& command : commands) {
    EXPECT_TRUE(HasHeading(page, command)) << "vscc.1 has no entry for " << command;
    const test::ProgramOutcome own = Run("vscc", {command, "--help"});
    ASSERT_EQ(0, own.exit) << command << ": " << own.err;
    const std::set<std::string> more = test::OptionsIn(own.out);
    options.insert(more.begin(), more.end());
  }
  ASSERT_TRUE(options.count("--json") && options.count("-m") && options.count("--no-get"));
  for (const std::string& option : options) {
    EXPECT_NE(std::string::npos, page.find(option)) << "vscc.1 does not name " << option;
  }
  // "Aliases: ci = checkin, co = checkout, ..."
  const std::regex alias(R"(\b([a-z]+) = ([a-z]+)\b)");
  int aliases = 0;
  for (std::sregex_iterator it(help.out.begin(), help.out.end(), alias), end; it != end; ++it) {
    ++aliases;
    EXPECT_NE(std::string::npos, page.find("(alias " + (*it)[1].str() + ")"))
        << "vscc.1 does not give " << (*it)[1] << " as the alias of " << (*it)[2];
  }
  EXPECT_GE(aliases, 5) << help.out;
  for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "COMMANDS", "OPTIONS",
                              "ENVIRONMENT", "FILES", "EXIT STATUS", "EXAMPLES", "SEE ALSO"}) {
    EXPECT_NE(std::string::npos, page.find("\n.SH " + std::string(section) + "\n")) << section;
  }
  for (const char* variable :
       {"VISUAL", "EDITOR", "NO_COLOR", "VELTRANE_PASSWORD", "VELTRANE_UI"}) {
    EXPECT_NE(std::string::npos, page.find(variable)) << variable;
  }
  for (const char* file : {".vscc", ".vsccignore"}) {
    EXPECT_NE(std::string::npos, page.find("\n.I " + std::string(file) + "\n")) << file;
  }
}

// Each cause of a failed logon vscc names, and the first run's hint, are
// explained in the help and the page, with what to do.
TEST_F(VsccManPagesTest, LogonFailuresAndTheFirstRunAreExplained) {
  const test::ProgramOutcome help = Run("vscc", {"--help"});
  ASSERT_EQ(0, help.exit) << help.err;
  std::string page = PageText("vscc.1");
  const size_t diagnostics = page.find("\n.SH DIAGNOSTICS\n");
  ASSERT_NE(std::string::npos, diagnostics);
  page = page.substr(diagnostics, page.find("\n.SH ", diagnostics + 1) - diagnostics);
  for (const char* cause :
       {"no server is configured", "did not accept a connection", "did not answer within N s",
        "refused logon for 'USER' at ADDR:PORT", "no password given"}) {
    EXPECT_NE(std::string::npos, help.out.find(cause)) << cause;
  }
  for (const char* cause : {"\"no server is configured\"", "did not accept a connection\"",
                            "did not answer within N s\"",
                            "\"refused logon for 'USER' at ADDR:PORT\"", "\"no password given\""}) {
    EXPECT_NE(std::string::npos, page.find(cause)) << cause;
  }
  for (const char* remedy : {"VELTRANE_PASSWORD", "TWServer user passwd", "--server"}) {
    EXPECT_NE(std::string::npos, help.out.find(remedy)) << remedy;
    EXPECT_NE(std::string::npos, page.find(remedy)) << remedy;
  }
  EXPECT_NE(std::string::npos, help.out.find("First run:")) << help.out;
  EXPECT_NE(std::string::npos, help.out.find("'TWSccSetup register'")) << help.out;
  EXPECT_NE(std::string::npos, page.find("TWSccSetup register")) << page;
}

TEST_F(VsccManPagesTest, ServerAndSetupPagesDescribeEveryCommandAndOption) {
  for (const auto& [program, name] : {std::pair<std::string, std::string>{"TWServer", "TWServer.8"},
                                      {"TWSccSetup", "TWSccSetup.8"}}) {
    const std::string page = PageText(name);
    const test::ProgramOutcome help = Run(program, {"--help"});
    ASSERT_EQ(0, help.exit) << help.err;
    const std::vector<std::string> commands = test::ListedCommands(help.out);
    ASSERT_GE(commands.size(), 4u) << help.out;
    std::set<std::string> options;
    for (const std::string& command : commands) {
      EXPECT_TRUE(HasHeading(page, command)) << name << " has no entry for " << command;
      const test::ProgramOutcome own = Run(program, {command, "--help"});
      ASSERT_EQ(0, own.exit) << program << " " << command << ": " << own.err;
      const std::set<std::string> more = test::OptionsIn(own.out);
      options.insert(more.begin(), more.end());
    }
    for (const std::string& option : options) {
      EXPECT_NE(std::string::npos, page.find(option)) << name << " does not name " << option;
    }
    for (const char* section :
         {"NAME", "SYNOPSIS", "DESCRIPTION", "COMMANDS", "FILES", "EXIT STATUS", "SEE ALSO"}) {
      EXPECT_NE(std::string::npos, page.find("\n.SH " + std::string(section) + "\n"))
          << name << " " << section;
    }
  }
  // The repository folder's layout.
  const std::string server = PageText("TWServer.8");
  for (const char* file : {"repository.db", "database.address", "content/", "admin.log"}) {
    EXPECT_NE(std::string::npos, server.find("\n.I " + std::string(file) + "\n")) << file;
  }
}

// The formatter on the PATH, or empty.
TEST_F(VsccManPagesTest, PagesRenderWithoutWarnings) {
  const std::string groff = FindProgram("groff", std::string());
  if (groff.empty()) GTEST_SKIP() << "groff is not installed (scripts/setup installs it)";
  for (const char* name : {"vscc.1", "TWServer.8", "TWSccSetup.8"}) {
    const std::string page = std::string(TW_MAN_DIR) + "/" + name;
    // -ww: every warning; -z: no output, the warnings alone.
    const test::ProgramOutcome checked = Run(groff, {"-man", "-Tutf8", "-ww", "-z", page});
    EXPECT_EQ(0, checked.exit) << name;
    EXPECT_EQ("", checked.err) << name;
    // Plain text: no bold or underline by overstriking or escapes.
    const test::ProgramOutcome shown = Run(groff, {"-man", "-Tutf8", "-P-cbou", page});
    EXPECT_EQ(0, shown.exit) << name;
    EXPECT_NE(std::string::npos, shown.out.find("SEE ALSO")) << name;
    EXPECT_EQ(std::string::npos, shown.out.find("@PROJECT_VERSION@")) << name;
  }
}

}  // namespace
}  // namespace tw
