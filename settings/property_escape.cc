#include "settings/property_escape.h"

#include <utility>

namespace tw {

namespace {

// The code after "!" for a character, or 0 when it is not escaped.
char EscapeCode(char c, bool name) {
  switch (c) {
    case '!':
      return '0';
    case '\'':
      return '1';
    case '"':
      return '2';
    case '\r':
      return '3';
    case '\n':
      return '4';
    case '&':
      return '5';
    case '<':
      return '6';
    case '>':
      return '7';
    case '/':
      return '8';
    case '=':
      return name ? 'E' : 0;
    case ' ':
      return name ? '_' : 0;
    default:
      return 0;
  }
}

// The character for the code after "!", or -1 when there is none.
int Unescaped(char code, bool name) {
  switch (code) {
    case '0':
      return '!';
    case '1':
      return '\'';
    case '2':
      return '"';
    case '3':
      return '\r';
    case '4':
      return '\n';
    case '5':
      return '&';
    case '6':
      return '<';
    case '7':
      return '>';
    case '8':
      return '/';
    case 'E':
      return name ? '=' : -1;
    case '_':
      return name ? ' ' : -1;
    default:
      return -1;
  }
}

std::string Escape(std::string_view text, bool name) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const char code = EscapeCode(c, name);
    if (code != 0) {
      out += '!';
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

// One pass from the left gives what replacing the pairs one after another in
// reverse order gives: every "!" of escaped text starts a pair, and no
// decoded character is itself a code.
bool Unescape(std::string_view text, bool name, bool strict, std::string* out) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '!') {
      if (strict && EscapeCode(c, name) != 0) return false;
      result += c;
      continue;
    }
    const int decoded = i + 1 < text.size() ? Unescaped(text[i + 1], name) : -1;
    if (decoded < 0) {
      if (strict) return false;
      result += c;
      continue;
    }
    result += static_cast<char>(decoded);
    ++i;
  }
  *out = std::move(result);
  return true;
}

}  // namespace

std::string EscapePropertyName(std::string_view text) {
  return Escape(text, true);
}
std::string EscapePropertyValue(std::string_view text) {
  return Escape(text, false);
}

std::string UnescapePropertyName(std::string_view text) {
  std::string out;
  Unescape(text, true, false, &out);
  return out;
}

std::string UnescapePropertyValue(std::string_view text) {
  std::string out;
  Unescape(text, false, false, &out);
  return out;
}

bool ParseEscapedPropertyName(std::string_view text, std::string* out) {
  return Unescape(text, true, true, out);
}

bool ParseEscapedPropertyValue(std::string_view text, std::string* out) {
  return Unescape(text, false, true, out);
}

}  // namespace tw
