// vscc as `cmake --install` lays it out in a temporary prefix: the program
// runs from there, its manual pages are where man looks for them, and its
// completion where bash-completion and zsh load it from.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/process.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

class VsccInstallTest : public ::testing::Test {
 protected:
  test::ProgramOutcome Run(const std::string& program, const std::vector<std::string>& args) {
    return test::RunProgram(program, args, env_.root());
  }

  test::TestEnv env_;
  const std::string prefix_ = env_.Path("prefix");
};

TEST_F(VsccInstallTest, ProgramPagesAndCompletionLandWhereTheyBelong) {
  const test::ProgramOutcome installed =
      Run(TW_CMAKE_COMMAND, {"-DCMAKE_INSTALL_PREFIX=" + prefix_, "-P", TW_INSTALL_SCRIPT});
  ASSERT_EQ(0, installed.exit) << installed.out << installed.err;

  // The installed program is the built one.
  const std::string vscc = prefix_ + "/bin/vscc";
  const test::ProgramOutcome version = Run(vscc, {"--version"});
  EXPECT_EQ(0, version.exit) << version.err;
  EXPECT_EQ(Run("vscc", {"--version"}).out, version.out);
  EXPECT_EQ(0u, version.out.rfind("vscc (Veltrane) ", 0)) << version.out;
  const test::ProgramOutcome help = Run(vscc, {"--help"});
  EXPECT_EQ(0, help.exit) << help.err;
  EXPECT_EQ(0u, help.out.rfind("Usage: vscc ", 0)) << help.out;

  // The pages, stamped with that version.
  const std::string number = version.out.substr(16, version.out.size() - 17);
  const std::string man = prefix_ + "/share/man";
  for (const char* page : {"man1/vscc.1", "man8/TWServer.8", "man8/TWSccSetup.8"}) {
    const std::string text = test::ReadFile(man + "/" + page);
    EXPECT_NE(std::string::npos, text.find("\"Veltrane " + number + "\"")) << page;
  }
  const std::string man_program = FindProgram("man", std::string());
  if (!man_program.empty()) {
    // man finds each by its name below the installed tree.
    for (const auto& [section, name, file] :
         {std::tuple<std::string, std::string, std::string>{"1", "vscc", "man1/vscc.1"},
          {"8", "TWServer", "man8/TWServer.8"},
          {"8", "TWSccSetup", "man8/TWSccSetup.8"}}) {
      const test::ProgramOutcome where = Run(man_program, {"-M", man, "-w", section, name});
      EXPECT_EQ(0, where.exit) << name << ": " << where.err;
      EXPECT_EQ(man + "/" + file + "\n", where.out) << name;
    }
  }

  // The completion, under the names the shells load it by.
  const std::string bash_completion = prefix_ + "/share/bash-completion/completions/vscc";
  const std::string zsh_completion = prefix_ + "/share/zsh/site-functions/_vscc";
  EXPECT_TRUE(fs::is_regular_file(bash_completion));
  EXPECT_TRUE(fs::is_regular_file(zsh_completion));
  const std::string bash = FindProgram("bash", std::string());
  if (!bash.empty()) {
    const test::ProgramOutcome offered =
        Run(bash, {"--norc", "--noprofile", "-c",
                   "source '" + bash_completion +
                       "' && COMP_WORDS=(vscc che) && COMP_CWORD=1 && _vscc 2>/dev/null && "
                       "printf '%s\\n' \"${COMPREPLY[@]}\" | sort"});
    EXPECT_EQ(0, offered.exit) << offered.err;
    EXPECT_EQ("checkin\ncheckout\n", offered.out);
  }
  const std::string zsh = FindProgram("zsh", std::string());
  if (!zsh.empty()) {
    const test::ProgramOutcome bound =
        Run(zsh, {"-f", "-c",
                  "fpath=('" + prefix_ +
                      "/share/zsh/site-functions' $fpath); autoload -Uz "
                      "compinit; compinit -u -d '" +
                      env_.Path("zcompdump") + "'; print -r -- $_comps[vscc]"});
    EXPECT_EQ("_vscc\n", bound.out) << bound.err;
  }
}

}  // namespace
}  // namespace tw
