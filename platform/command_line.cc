// The Windows command-line rules, which the system uses on every platform to
// split a parameter string into arguments and to write one argument back
// (declared in system_factory.h). Pure functions; any thread.
#include <string>
#include <vector>

#include "platform/system_factory.h"

namespace tw {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& parameters) {
  std::vector<std::string> args;
  const size_t n = parameters.size();
  size_t i = 0;
  for (;;) {
    while (i < n && IsBlank(parameters[i])) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n) {
      size_t slashes = 0;
      while (i < n && parameters[i] == '\\') {
        ++slashes;
        ++i;
      }
      if (i < n && parameters[i] == '"') {
        arg.append(slashes / 2, '\\');
        if (slashes % 2 == 1) {
          arg += '"';  // escaped quote
        } else if (quoted && i + 1 < n && parameters[i + 1] == '"') {
          arg += '"';  // "" inside quotes: a literal quote, still quoted
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
        continue;
      }
      arg.append(slashes, '\\');
      if (i >= n || (!quoted && IsBlank(parameters[i]))) break;
      arg += parameters[i++];
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::string QuoteCommandLineArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    out.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, '\\');  // before the closing quote
  out += '"';
  return out;
}

}  // namespace tw
