// A small JSON reader, enough for the user-interface record that the
// provider's dialogs append (one object per line) and for reading back what
// `vscc status --json` prints. Objects keep their members in order; numbers
// are doubles. Nesting is limited, so that a hostile line cannot exhaust the
// stack. Pure functions; thread-safe.
#ifndef TW_TOOLS_VSCC_JSON_H_
#define TW_TOOLS_VSCC_JSON_H_

#include <string>
#include <utility>
#include <vector>

namespace vscc {

struct JsonValue {
  enum Type { kNull, kBool, kNumber, kString, kArray, kObject };
  Type type = kNull;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::vector<JsonValue> array;
  std::vector<std::pair<std::string, JsonValue>> object;

  // The member `key` of an object, or null when there is none.
  const JsonValue* Find(const std::string& key) const;
  // Shorthands that give a default when the member is missing or of
  // another type.
  std::string StringAt(const std::string& key) const;
  bool BoolAt(const std::string& key) const;
  double NumberAt(const std::string& key, double fallback = 0) const;
};

// Parses exactly one JSON value (blanks around it allowed). False with
// `error` set otherwise.
bool ParseJson(const std::string& text, JsonValue* value, std::string* error);

}  // namespace vscc

#endif  // TW_TOOLS_VSCC_JSON_H_
