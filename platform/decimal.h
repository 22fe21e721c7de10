// Decimal text to integer with the rules of atoi, but without its undefined
// behaviour: texts from the wire, from files and from the property stores
// are converted here.
//
// Pure functions; thread-safe.
#ifndef TW_PLATFORM_DECIMAL_H_
#define TW_PLATFORM_DECIMAL_H_

#include <string_view>

namespace tw {

// Skips leading white space (" \t\n\v\f\r"), takes an optional sign and then
// the longest run of digits; anything after it is ignored, and a text
// without digits yields 0, as atoi does. A value beyond the range of int
// saturates at INT_MIN or INT_MAX instead of overflowing.
int DecimalToInt(std::string_view text);

}  // namespace tw

#endif  // TW_PLATFORM_DECIMAL_H_
