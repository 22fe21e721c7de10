// Globally unique identifiers in the Windows memory layout.
//
// A Guid is 16 bytes: Data1 (32-bit), Data2 (16-bit), Data3 (16-bit), each
// little-endian in memory, then the 8 bytes of Data4. Its text form is the 36
// lower-case characters xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx, where the first
// three groups print Data1..Data3 as numbers (so their bytes appear reversed
// relative to memory) and the last two groups print Data4 in order. A Windows
// peer reads exactly these bytes and this text. Values only; thread-safe.
#ifndef TW_PLATFORM_GUID_H_
#define TW_PLATFORM_GUID_H_

#include <array>
#include <cstdint>
#include <string>

namespace tw {

struct Guid {
  std::array<uint8_t, 16> bytes{};  // memory layout, as it travels on the wire

  // A new random (version 4) identifier from libuuid.
  static Guid New();
  // Parses the 36-character text form (either letter case). Returns false and
  // leaves *out untouched when the text is not a GUID.
  static bool FromText(const std::string& text, Guid* out);
  static Guid FromBytes(const uint8_t* sixteen_bytes);

  // The 36-character lower-case text form.
  std::string ToText() const;
  // The 16 memory bytes in storage order as 32 upper-case hex digits: the
  // name of a mailslot named after an identifier.
  std::string ToHexName() const;

  bool operator==(const Guid& o) const { return bytes == o.bytes; }
  bool operator!=(const Guid& o) const { return bytes != o.bytes; }
};

}  // namespace tw

#endif  // TW_PLATFORM_GUID_H_
