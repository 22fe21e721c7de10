#include "tests/support/ui_record_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <utility>

#include "platform/decimal.h"
#include "tests/support/test_env.h"
#include "tools/vscc/json.h"

namespace tw::test {

namespace {

using vscc::JsonValue;

// Whether `s` is well-formed UTF-8 (no overlong forms, no surrogates):
// the JSON reader passes raw bytes through, the record must not hold junk.
bool ValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const auto lead = static_cast<unsigned char>(s[i]);
    const size_t length = lead < 0x80    ? 1
                          : lead >= 0xF0 ? 4
                          : lead >= 0xE0 ? 3
                          : lead >= 0xC0 ? 2
                                         : 0;
    if (length == 0 || lead > 0xF4 || s.size() - i < length) return false;
    unsigned code = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      code = (code << 6) | (b & 0x3F);
    }
    static const unsigned kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kMin[length] || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

bool ParseControlId(const std::string& key, int* id) {
  if (key.empty() || key.size() > 9 || key.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *id = DecimalToInt(key);
  return true;
}

bool Whole(const JsonValue& v) {
  return v.type == JsonValue::kNumber && std::floor(v.number) == v.number &&
         std::fabs(v.number) < 1e11;
}

}  // namespace

bool ParseUiRecordLine(const std::string& line, UiRecordEntry* entry, std::string* error) {
  if (!ValidUtf8(line)) {
    *error = "bad UTF-8";
    return false;
  }
  JsonValue doc;
  if (!vscc::ParseJson(line, &doc, error)) return false;
  static const char* const kKeys[] = {"kind",    "id",     "title",     "texts",
                                      "enabled", "answer", "unexpected"};
  if (doc.type != JsonValue::kObject || doc.object.size() != 7) {
    *error = "not an object of seven members";
    return false;
  }
  for (size_t k = 0; k < 7; ++k) {
    if (doc.object[k].first != kKeys[k]) {
      *error = std::string("member ") + std::to_string(k) + " is not " + kKeys[k];
      return false;
    }
  }
  const JsonValue& kind = doc.object[0].second;
  const JsonValue& id = doc.object[1].second;
  const JsonValue& title = doc.object[2].second;
  const JsonValue& texts = doc.object[3].second;
  const JsonValue& enabled = doc.object[4].second;
  const JsonValue& answer = doc.object[5].second;
  const JsonValue& unexpected = doc.object[6].second;
  if (kind.type != JsonValue::kString ||
      (kind.string != "dialog" && kind.string != "msgbox" && kind.string != "status") ||
      !Whole(id) || title.type != JsonValue::kString || texts.type != JsonValue::kObject ||
      enabled.type != JsonValue::kObject || unexpected.type != JsonValue::kBool ||
      (kind.string == "dialog" ? !Whole(answer) : answer.type != JsonValue::kString)) {
    *error = "a member has the wrong type";
    return false;
  }
  entry->kind = kind.string;
  entry->id = static_cast<int>(id.number);
  entry->title = title.string;
  entry->answer = kind.string == "dialog" ? std::to_string(static_cast<long long>(answer.number))
                                          : answer.string;
  entry->unexpected = unexpected.boolean;
  for (const auto& [key, value] : texts.object) {
    int control;
    if (!ParseControlId(key, &control) || value.type != JsonValue::kString) {
      *error = "bad texts member";
      return false;
    }
    entry->texts[control] = value.string;
  }
  for (const auto& [key, value] : enabled.object) {
    int control;
    if (!ParseControlId(key, &control) || value.type != JsonValue::kBool) {
      *error = "bad enabled member";
      return false;
    }
    entry->enabled[control] = value.boolean;
  }
  return true;
}

std::vector<UiRecordEntry> ReadUiRecord(const std::string& path) {
  std::vector<UiRecordEntry> entries;
  const std::string contents = ReadFile(path);
  size_t start = 0;
  while (start < contents.size()) {
    size_t end = contents.find('\n', start);
    if (end == std::string::npos) {
      ADD_FAILURE() << path << ": last record line has no line feed";
      end = contents.size();
    }
    const std::string line = contents.substr(start, end - start);
    start = end + 1;
    UiRecordEntry entry;
    std::string error;
    if (ParseUiRecordLine(line, &entry, &error)) {
      entries.push_back(std::move(entry));
    } else {
      ADD_FAILURE() << path << ": " << error << ": " << line;
    }
  }
  return entries;
}

}  // namespace tw::test
