#include "servers/twserver/names.h"

#include "platform/hex.h"
#include "platform/letter_case.h"

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
  return LowerCase(name);
}

std::string Printable(std::string_view text) {
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7f) {
      out += "\\x";
      AppendHexByte(&out, u);
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace tw::twserver
