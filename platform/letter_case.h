// Letter case for the system's case-insensitive names and keys: only the
// ASCII letters A-Z and a-z change, whatever locale the host process set,
// so that a key written under one locale is found under another.
//
// Pure functions on strings; thread-safe.
#ifndef TW_PLATFORM_LETTER_CASE_H_
#define TW_PLATFORM_LETTER_CASE_H_

#include <string>
#include <string_view>

namespace tw {

std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
// Whether `a` and `b` are equal but for the case of ASCII letters.
bool EqualIgnoringCase(std::string_view a, std::string_view b);

}  // namespace tw

#endif  // TW_PLATFORM_LETTER_CASE_H_
