#include "platform/guid.h"

#include <uuid/uuid.h>

#include <cstdio>
#include <cstring>

#include "platform/hex.h"

namespace tw {

namespace {

// libuuid keeps a uuid in RFC 4122 (big-endian) order; the Windows layout
// stores the first three groups little-endian. Swapping those groups converts
// either way.
void SwapGroups(uint8_t* b) {
  std::swap(b[0], b[3]);
  std::swap(b[1], b[2]);
  std::swap(b[4], b[5]);
  std::swap(b[6], b[7]);
}

}  // namespace

Guid Guid::New() {
  uuid_t u;
  uuid_generate_random(u);
  Guid g;
  std::memcpy(g.bytes.data(), u, 16);
  SwapGroups(g.bytes.data());
  return g;
}

Guid Guid::FromBytes(const uint8_t* sixteen_bytes) {
  Guid g;
  std::memcpy(g.bytes.data(), sixteen_bytes, 16);
  return g;
}

bool Guid::FromText(const std::string& text, Guid* out) {
  if (out == nullptr || text.size() != 36) return false;
  uint8_t rfc[16];
  size_t k = 0;
  for (size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      ++i;
      continue;
    }
    int hi = HexDigitValue(text[i]);
    int lo = HexDigitValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    rfc[k++] = static_cast<uint8_t>(hi << 4 | lo);
    i += 2;
  }
  std::memcpy(out->bytes.data(), rfc, 16);
  SwapGroups(out->bytes.data());
  return true;
}

std::string Guid::ToText() const {
  uint8_t b[16];
  std::memcpy(b, bytes.data(), 16);
  SwapGroups(b);
  // 8-4-4-4-12 digits.
  std::string text;
  text.reserve(36);
  for (size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    AppendHexByte(&text, b[i], HexCase::kLower);
  }
  return text;
}

std::string Guid::ToHexName() const {
  return HexText(bytes.data(), bytes.size());
}

}  // namespace tw
