// Hexadecimal text: bytes as pairs of hex digits and hex digits back to
// their values. Every hex text of the system is written and read here:
// digests, keys, identifiers, GUID names, escapes in file names and keys,
// dumps.
//
// Pure functions; thread-safe.
#ifndef TW_PLATFORM_HEX_H_
#define TW_PLATFORM_HEX_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace tw {

enum class HexCase { kUpper, kLower };

// Two digits per byte, most significant first.
std::string HexText(const void* bytes, size_t count, HexCase letters = HexCase::kUpper);
// Appends the two digits of `byte` to `*out`.
void AppendHexByte(std::string* out, uint8_t byte, HexCase letters = HexCase::kUpper);
// The value of one hex digit of either case; -1 for any other character.
int HexDigitValue(char c);

}  // namespace tw

#endif  // TW_PLATFORM_HEX_H_
