#include "platform/hex.h"

namespace tw {

namespace {

const char* Digits(HexCase letters) {
  return letters == HexCase::kUpper ? "0123456789ABCDEF" : "0123456789abcdef";
}

}  // namespace

std::string HexText(const void* bytes, size_t count, HexCase letters) {
  const char* digits = Digits(letters);
  const auto* in = static_cast<const uint8_t*>(bytes);
  std::string text(2 * count, '\0');
  for (size_t i = 0; i < count; ++i) {
    text[2 * i] = digits[in[i] >> 4];
    text[2 * i + 1] = digits[in[i] & 0x0F];
  }
  return text;
}

void AppendHexByte(std::string* out, uint8_t byte, HexCase letters) {
  const char* digits = Digits(letters);
  out->push_back(digits[byte >> 4]);
  out->push_back(digits[byte & 0x0F]);
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace tw
