// The keys under which update.ini stores file names (declared in
// system_factory.h). Pure functions; any thread.
#include <cstdint>
#include <string>

#include "platform/hex.h"
#include "platform/system_factory.h"

namespace tw {

bool IsValidUtf8(const std::string& text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t extra;
    uint32_t code;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      code = (code << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not UTF-8.
    static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return false;
    i += extra + 1;
  }
  return true;
}

std::string UpdateKeyFromName(const std::string& name) {
  const bool utf8 = IsValidUtf8(name);
  std::string key;
  key.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool escape = c == '%' || c == '/' || c < 0x20 || c == 0x7F || (c >= 0x80 && !utf8) ||
                  (i == 0 && c == '!');
    if (escape) {
      key += '%';
      AppendHexByte(&key, c);
    } else {
      key += static_cast<char>(c);
    }
  }
  return key;
}

std::string UpdateNameFromKey(const std::string& key) {
  std::string name;
  name.reserve(key.size());
  for (size_t i = 0; i < key.size(); ++i) {
    if (key[i] == '%' && i + 2 < key.size() && HexDigitValue(key[i + 1]) >= 0 &&
        HexDigitValue(key[i + 2]) >= 0) {
      name += static_cast<char>(HexDigitValue(key[i + 1]) * 16 + HexDigitValue(key[i + 2]));
      i += 2;
    } else {
      name += key[i];
    }
  }
  return name;
}

}  // namespace tw
