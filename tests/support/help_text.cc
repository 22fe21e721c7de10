#include "tests/support/help_text.h"

#include <regex>
#include <sstream>

namespace tw::test {

std::vector<std::string> ListedCommands(const std::string& help) {
  std::vector<std::string> names;
  const size_t block = help.find("Commands:\n");
  if (block == std::string::npos) return names;
  std::istringstream lines(help.substr(block));
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line) && !line.empty()) {
    if (line.size() > 2 && line.compare(0, 2, "  ") == 0 && line[2] != ' ') {
      names.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
  }
  return names;
}

std::set<std::string> OptionsIn(const std::string& help) {
  std::set<std::string> options;
  const std::regex option(R"((^|[\s\[|,])(--?[a-zA-Z][a-zA-Z-]*))");
  for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it) {
    options.insert((*it)[2]);
  }
  return options;
}

}  // namespace tw::test
