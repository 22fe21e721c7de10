#include "servers/twserver/names.h"

namespace tw::twserver {

bool IsValidName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameBytes || name == "." || name == "..") return false;
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return false;
    switch (c) {
      case '\\':
      case '/':
      case ':':
      case '?':
      case ',':
      case '*':
      case '"':
      case '<':
      case '>':
      case '|':
        return false;
      default:
        break;
    }
  }
  return true;
}

std::string FoldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

std::vector<std::string> SplitPath(std::string_view path) {
  std::vector<std::string> elements;
  size_t start = 0;
  for (;;) {
    const size_t end = path.find('\\', start);
    if (end == std::string_view::npos) {
      elements.emplace_back(path.substr(start));
      return elements;
    }
    elements.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace tw::twserver
