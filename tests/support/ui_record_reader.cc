#include "tests/support/ui_record_reader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>

#include "tests/support/test_env.h"

namespace tw::test {

namespace {

struct Value {
  enum Type { kString, kNumber, kBool, kObject } type = kString;
  std::string text;  // string contents, or the number's digits
  bool flag = false;
  std::vector<std::pair<std::string, Value>> members;
};

class Parser {
 public:
  explicit Parser(const std::string& s) : s_(s) {}

  bool ParseDocument(Value* v) {
    if (!ParseValue(v, 0)) return false;
    if (pos_ != s_.size()) return Fail("trailing bytes");
    return true;
  }
  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& what) {
    if (error_.empty()) error_ = what + " at byte " + std::to_string(pos_);
    return false;
  }
  void SkipBlanks() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t')) ++pos_;
  }
  bool Take(char c) {
    SkipBlanks();
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool TakeWord(const char* word) {
    const std::string w(word);
    if (s_.compare(pos_, w.size(), w) != 0) return false;
    pos_ += w.size();
    return true;
  }

  bool ParseValue(Value* v, int depth) {
    if (depth > 4) return Fail("nested too deep");
    SkipBlanks();
    if (pos_ >= s_.size()) return Fail("value expected");
    const char c = s_[pos_];
    if (c == '"') {
      v->type = Value::kString;
      return ParseString(&v->text);
    }
    if (c == '{') return ParseObject(v, depth);
    for (bool flag : {true, false}) {
      if (TakeWord(flag ? "true" : "false")) {
        v->type = Value::kBool;
        v->flag = flag;
        return true;
      }
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      v->type = Value::kNumber;
      const size_t start = pos_;
      if (s_[pos_] == '-') ++pos_;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
      v->text = s_.substr(start, pos_ - start);
      if (v->text == "-" || v->text.size() > 11) return Fail("bad number");
      return true;
    }
    return Fail("unexpected byte");
  }

  bool ParseObject(Value* v, int depth) {
    v->type = Value::kObject;
    ++pos_;
    if (Take('}')) return true;
    do {
      SkipBlanks();
      std::string key;
      if (pos_ >= s_.size() || s_[pos_] != '"' || !ParseString(&key)) return Fail("key expected");
      if (!Take(':')) return Fail("':' expected");
      Value member;
      if (!ParseValue(&member, depth + 1)) return false;
      v->members.emplace_back(std::move(key), std::move(member));
    } while (Take(','));
    if (!Take('}')) return Fail("'}' expected");
    return true;
  }

  static void AppendUtf8(std::string* out, unsigned code) {
    if (code < 0x80) {
      *out += static_cast<char>(code);
    } else if (code < 0x800) {
      *out += static_cast<char>(0xC0 | (code >> 6));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      *out += static_cast<char>(0xE0 | (code >> 12));
      *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | (code >> 18));
      *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool ParseHex4(unsigned* code) {
    if (s_.size() - pos_ < 4) return Fail("short \\u escape");
    *code = 0;
    for (int k = 0; k < 4; ++k) {
      const char h = s_[pos_++];
      *code <<= 4;
      if (h >= '0' && h <= '9')
        *code |= h - '0';
      else if (h >= 'a' && h <= 'f')
        *code |= h - 'a' + 10;
      else if (h >= 'A' && h <= 'F')
        *code |= h - 'A' + 10;
      else
        return Fail("bad \\u escape");
    }
    return true;
  }

  // Decodes one raw UTF-8 sequence (already known to start with a byte >= 0x80).
  bool TakeUtf8(std::string* out) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s_[k]); };
    const unsigned char lead = b(pos_);
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || s_.size() - pos_ < length) return Fail("bad UTF-8");
    unsigned code = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      if ((b(pos_ + k) & 0xC0) != 0x80) return Fail("bad UTF-8");
      code = (code << 6) | (b(pos_ + k) & 0x3F);
    }
    static const unsigned kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kMin[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return Fail("bad UTF-8");
    }
    out->append(s_, pos_, length);
    pos_ += length;
    return true;
  }

  bool ParseString(std::string* out) {
    ++pos_;  // opening quote
    while (pos_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[pos_]);
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return Fail("raw control byte in string");
      if (c >= 0x80) {
        if (!TakeUtf8(out)) return false;
        continue;
      }
      ++pos_;
      if (c != '\\') {
        *out += static_cast<char>(c);
        continue;
      }
      if (pos_ >= s_.size()) break;
      const char e = s_[pos_++];
      switch (e) {
        case '"':
          *out += '"';
          break;
        case '\\':
          *out += '\\';
          break;
        case '/':
          *out += '/';
          break;
        case 'b':
          *out += '\b';
          break;
        case 'f':
          *out += '\f';
          break;
        case 'n':
          *out += '\n';
          break;
        case 'r':
          *out += '\r';
          break;
        case 't':
          *out += '\t';
          break;
        case 'u': {
          unsigned code;
          if (!ParseHex4(&code)) return false;
          if (code >= 0xD800 && code <= 0xDBFF) {
            unsigned low;
            if (!TakeWord("\\u") || !ParseHex4(&low) || low < 0xDC00 || low > 0xDFFF) {
              return Fail("lone surrogate");
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return Fail("lone surrogate");
          }
          AppendUtf8(out, code);
          break;
        }
        default:
          return Fail("bad escape");
      }
    }
    return Fail("unterminated string");
  }

  const std::string& s_;
  size_t pos_ = 0;
  std::string error_;
};

bool ParseControlId(const std::string& key, int* id) {
  if (key.empty() || key.size() > 9 || key.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *id = std::atoi(key.c_str());
  return true;
}

}  // namespace

bool ParseUiRecordLine(const std::string& line, UiRecordEntry* entry, std::string* error) {
  Parser parser(line);
  Value doc;
  if (!parser.ParseDocument(&doc)) {
    *error = parser.error();
    return false;
  }
  static const char* const kKeys[] = {"kind",    "id",     "title",     "texts",
                                      "enabled", "answer", "unexpected"};
  if (doc.type != Value::kObject || doc.members.size() != 7) {
    *error = "not an object of seven members";
    return false;
  }
  for (size_t k = 0; k < 7; ++k) {
    if (doc.members[k].first != kKeys[k]) {
      *error = std::string("member ") + std::to_string(k) + " is not " + kKeys[k];
      return false;
    }
  }
  const Value& kind = doc.members[0].second;
  const Value& id = doc.members[1].second;
  const Value& title = doc.members[2].second;
  const Value& texts = doc.members[3].second;
  const Value& enabled = doc.members[4].second;
  const Value& answer = doc.members[5].second;
  const Value& unexpected = doc.members[6].second;
  if (kind.type != Value::kString ||
      (kind.text != "dialog" && kind.text != "msgbox" && kind.text != "status") ||
      id.type != Value::kNumber || title.type != Value::kString || texts.type != Value::kObject ||
      enabled.type != Value::kObject || unexpected.type != Value::kBool ||
      (kind.text == "dialog" ? answer.type != Value::kNumber : answer.type != Value::kString)) {
    *error = "a member has the wrong type";
    return false;
  }
  entry->kind = kind.text;
  entry->id = std::atoi(id.text.c_str());
  entry->title = title.text;
  entry->answer = answer.text;
  entry->unexpected = unexpected.flag;
  for (const auto& [key, value] : texts.members) {
    int control;
    if (!ParseControlId(key, &control) || value.type != Value::kString) {
      *error = "bad texts member";
      return false;
    }
    entry->texts[control] = value.text;
  }
  for (const auto& [key, value] : enabled.members) {
    int control;
    if (!ParseControlId(key, &control) || value.type != Value::kBool) {
      *error = "bad enabled member";
      return false;
    }
    entry->enabled[control] = value.flag;
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
