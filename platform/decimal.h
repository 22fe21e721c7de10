// Decimal text to integer: every integer that comes from outside (the wire,
// files, the property stores, the dialogs, the command line) is read here,
// either with the forgiving rules of atoi, without its undefined behaviour,
// or strictly.
//
// Pure functions; thread-safe.
#ifndef TW_PLATFORM_DECIMAL_H_
#define TW_PLATFORM_DECIMAL_H_

#include <cstdint>
#include <string_view>

namespace tw {

// Skips leading white space (" \t\n\v\f\r"), takes an optional sign and then
// the longest run of digits; anything after it is ignored, and a text
// without digits yields 0, as atoi does. A value beyond the range of int
// saturates at INT_MIN or INT_MAX instead of overflowing.
int DecimalToInt(std::string_view text);

// The strict reading, for numbers that must be exactly right (ports,
// process ids, limits): blanks (" " and "\t") around the number are
// allowed, then an optional "-" or "+" and at least one digit, and nothing
// else. False, with `*value` untouched, for any other text and for a value
// outside [min, max]; never wraps, however many digits there are.
bool ParseDecimal(std::string_view text, int64_t min, int64_t max, int64_t* value);

// Digits and nothing else (no blanks, no sign), at most `max` (which is
// taken as at most INT64_MAX) and no more digits than `max` has, leading
// zeros included: the numbers a text form writes as bare digits (field
// numbers, counts, ids, indices). False, with `*value` untouched, for any
// other text; never wraps.
bool ParseDigits(std::string_view text, uint64_t max, uint64_t* value);

// A TCP port, 0 to 65535, read by ParseDecimal's rules. False (and `*port`
// untouched) for anything else: a port above 65535 is refused, never cut
// down to 16 bits.
bool ParsePort(std::string_view text, uint16_t* port);

}  // namespace tw

#endif  // TW_PLATFORM_DECIMAL_H_
