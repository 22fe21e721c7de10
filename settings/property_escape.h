// The escaping of names and values in the property stores.
//
// A store line, request or tree text must never hold a raw line break, a
// path separator inside a name, or the characters the store reserves. Both
// names and values replace, in this order:
//
//   "!" -> "!0"   "'" -> "!1"   '"' -> "!2"   "\r" -> "!3"   "\n" -> "!4"
//   "&" -> "!5"   "<" -> "!6"   ">" -> "!7"   "/" -> "!8"
//
// and names (path segments) also "=" -> "!E" and " " -> "!_". The escape
// character goes first, so the mapping is reversible; every other byte,
// including 0x00 and bytes of 128 and above, stays as it is.
//
// Pure functions; thread-safe.
#ifndef TW_SETTINGS_PROPERTY_ESCAPE_H_
#define TW_SETTINGS_PROPERTY_ESCAPE_H_

#include <string>
#include <string_view>

namespace tw {

std::string EscapePropertyName(std::string_view text);
std::string EscapePropertyValue(std::string_view text);

// Undo the escaping. Like the store, they forgive what they do not know: a
// "!" that does not start a known pair is kept as it is.
std::string UnescapePropertyName(std::string_view text);
std::string UnescapePropertyValue(std::string_view text);

// The strict forms, for text that must have been produced by the escaping
// above: false (and *out untouched) when `text` holds an unknown or cut-off
// escape or a raw character that the escaping would have replaced.
bool ParseEscapedPropertyName(std::string_view text, std::string* out);
bool ParseEscapedPropertyValue(std::string_view text, std::string* out);

}  // namespace tw

#endif  // TW_SETTINGS_PROPERTY_ESCAPE_H_
