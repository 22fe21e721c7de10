// vscc's shell completion (tools/vscc/completion): the bash function run in
// a real bash with the words a person typed, the zsh function checked by
// zsh itself, and both against "vscc --help" so that a command or option
// added there is offered by both.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/process.h"
#include "tests/support/help_text.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

const std::string kBashScript = std::string(TW_COMPLETION_DIR) + "/vscc.bash";
const std::string kZshScript = std::string(TW_COMPLETION_DIR) + "/_vscc";

// A word quoted for the shell.
std::string Quoted(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

class VsccCompletionTest : public ::testing::Test {
 protected:
  test::ProgramOutcome Run(const std::string& program, const std::vector<std::string>& args) {
    return test::RunProgram(program, args, env_.root());
  }

  // What the bash completion offers for `words`, the last one being
  // completed, in the folder `work`: sorted.
  std::vector<std::string> Complete(const std::vector<std::string>& words) {
    std::string line =
        "cd " + Quoted(work_) + " && source " + Quoted(kBashScript) + " && COMP_WORDS=(";
    for (const std::string& word : words) line += Quoted(word) + " ";
    line += "); COMP_CWORD=" + std::to_string(words.size() - 1) +
            "; _vscc 2>/dev/null; printf '%s\\n' \"${COMPREPLY[@]}\"";
    const test::ProgramOutcome o = Run(bash_, {"--norc", "--noprofile", "-c", line});
    EXPECT_EQ(0, o.exit) << o.err;
    std::vector<std::string> offered;
    std::istringstream lines(o.out);
    for (std::string l; std::getline(lines, l);) {
      if (!l.empty()) offered.push_back(l);
    }
    std::sort(offered.begin(), offered.end());
    return offered;
  }

  static bool Offers(const std::vector<std::string>& offered, const std::string& word) {
    return std::find(offered.begin(), offered.end(), word) != offered.end();
  }

  // Whether `script` names `word` as a word of its own (not a part of a
  // longer option).
  static bool Names(const std::string& script, const std::string& word) {
    const std::regex whole("(^|[\\s'\"({,|])" + word + "([\\s'\"\\[=,})|]|$)");
    return std::regex_search(script, whole);
  }

  void SetUp() override {
    bash_ = FindProgram("bash", std::string());
    if (bash_.empty()) GTEST_SKIP() << "bash is not installed";
    fs::create_directories(work_ + "/src");
    test::WriteFile(work_ + "/src.txt", "x");
    test::WriteFile(work_ + "/src/main.c", "x");
    test::WriteFile(work_ + "/notes.txt", "x");
  }

  test::TestEnv env_;
  const std::string work_ = env_.Path("work");
  std::string bash_;
};

TEST_F(VsccCompletionTest, BashOffersCommandsAliasesAndTheirOptions) {
  EXPECT_EQ((std::vector<std::string>{"checkin", "checkout"}), Complete({"vscc", "che"}));
  EXPECT_EQ((std::vector<std::string>{"st", "status"}), Complete({"vscc", "st"}));
  // Common options before the command take their values along.
  EXPECT_EQ((std::vector<std::string>{"checkin", "checkout"}),
            Complete({"vscc", "-C", "src", "--user", "alice", "ch"}));
  EXPECT_EQ((std::vector<std::string>{"--keep"}), Complete({"vscc", "checkin", "--k"}));
  // An alias takes its command's options; a command offers no one else's.
  const std::vector<std::string> ci = Complete({"vscc", "ci", "-"});
  for (const char* option : {"-m", "--keep", "--wip", "--yes", "--quiet"}) {
    EXPECT_TRUE(Offers(ci, option)) << option;
  }
  EXPECT_FALSE(Offers(ci, "--json"));
  EXPECT_FALSE(Offers(ci, "--shared"));
  EXPECT_EQ((std::vector<std::string>{"--json"}), Complete({"vscc", "status", "--j"}));
  EXPECT_EQ((std::vector<std::string>{"gui", "none", "script:", "tty"}),
            Complete({"vscc", "--ui", ""}));
  EXPECT_EQ((std::vector<std::string>{"gui"}), Complete({"vscc", "--ui", "g"}));
  EXPECT_EQ((std::vector<std::string>{"always", "auto"}), Complete({"vscc", "--color", "=", "a"}));
  EXPECT_EQ((std::vector<std::string>{"prop", "properties"}), Complete({"vscc", "help", "pro"}));
  EXPECT_EQ((std::vector<std::string>{"set"}), Complete({"vscc", "prop", "s"}));
}

TEST_F(VsccCompletionTest, BashOffersFilesForFileOperands) {
  EXPECT_EQ((std::vector<std::string>{"src", "src.txt"}), Complete({"vscc", "add", "sr"}));
  EXPECT_EQ((std::vector<std::string>{"src/main.c"}),
            Complete({"vscc", "ci", "-m", "a comment", "src/m"}));
  // bind and list take folders; a comment is no file.
  EXPECT_EQ((std::vector<std::string>{"src"}), Complete({"vscc", "bind", "sr"}));
  EXPECT_TRUE(Complete({"vscc", "checkin", "-m", "no"}).empty());
  // After "--" a word starting with "-" is an operand.
  test::WriteFile(work_ + "/-odd.txt", "x");
  EXPECT_EQ((std::vector<std::string>{"-odd.txt"}), Complete({"vscc", "add", "--", "-od"}));
}

TEST_F(VsccCompletionTest, BothShellsOfferEveryCommandAliasAndOptionOfTheHelp) {
  const test::ProgramOutcome help = Run("vscc", {"--help"});
  ASSERT_EQ(0, help.exit) << help.err;
  const std::vector<std::string> commands = test::ListedCommands(help.out);
  ASSERT_GE(commands.size(), 15u) << help.out;
  std::set<std::string> words = test::OptionsIn(help.out);
  for (const std::string& command : commands) {
    words.insert(command);
    const test::ProgramOutcome own = Run("vscc", {command, "--help"});
    ASSERT_EQ(0, own.exit) << own.err;
    const std::set<std::string> more = test::OptionsIn(own.out);
    words.insert(more.begin(), more.end());
  }
  const std::regex alias(R"(\b([a-z]+) = [a-z]+\b)");
  for (std::sregex_iterator it(help.out.begin(), help.out.end(), alias), end; it != end; ++it) {
    words.insert((*it)[1]);
  }
  words.erase("-u");  // "diff -u", the program's, not vscc's
  const std::string bash = test::ReadFile(kBashScript);
  const std::string zsh = test::ReadFile(kZshScript);
  for (const std::string& word : words) {
    EXPECT_TRUE(Names(bash, word)) << "vscc.bash does not offer " << word;
    EXPECT_TRUE(Names(zsh, word)) << "_vscc does not offer " << word;
  }
}

TEST_F(VsccCompletionTest, ZshTakesTheFunction) {
  const std::string zsh = FindProgram("zsh", std::string());
  if (zsh.empty()) GTEST_SKIP() << "zsh is not installed (scripts/setup installs it)";
  const test::ProgramOutcome syntax = Run(zsh, {"-n", kZshScript});
  EXPECT_EQ(0, syntax.exit) << syntax.err;
  // compinit finds it on the function path and binds it to vscc.
  const test::ProgramOutcome bound =
      Run(zsh, {"-f", "-c",
                "fpath=(" + Quoted(TW_COMPLETION_DIR) +
                    " $fpath); autoload -Uz compinit; compinit -u -d " +
                    Quoted(env_.Path("zcompdump")) + "; print -r -- $_comps[vscc]"});
  EXPECT_EQ(0, bound.exit) << bound.err;
  EXPECT_EQ("_vscc\n", bound.out) << bound.err;
}

}  // namespace
}  // namespace tw
