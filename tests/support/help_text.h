// Words a program's help text names, for tests that hold the help against
// the manual pages and the shell completion.
#ifndef TW_TESTS_SUPPORT_HELP_TEXT_H_
#define TW_TESTS_SUPPORT_HELP_TEXT_H_

#include <set>
#include <string>
#include <vector>

namespace tw::test {

// The entries of the "Commands:" block of a general help: the first word
// of each line indented by exactly two spaces.
std::vector<std::string> ListedCommands(const std::string& help);

// Every option a help text names ("--json", "-m", "--no-get").
std::set<std::string> OptionsIn(const std::string& help);

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_HELP_TEXT_H_
