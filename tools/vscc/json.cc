#include "tools/vscc/json.h"

#include <cstdlib>

#include "platform/hex.h"

namespace vscc {

namespace {

constexpr int kMaxDepth = 32;

class Parser {
 public:
  explicit Parser(const std::string& text) : text_(text) {}

  bool ParseDocument(JsonValue* value, std::string* error) {
    if (!ParseValue(value, 0)) {
      *error = error_ + " at offset " + std::to_string(pos_);
      return false;
    }
    SkipBlanks();
    if (pos_ != text_.size()) {
      *error = "trailing characters at offset " + std::to_string(pos_);
      return false;
    }
    return true;
  }

 private:
  bool Fail(const std::string& what) {
    error_ = what;
    return false;
  }

  void SkipBlanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool Literal(const char* word) {
    const std::string w(word);
    if (text_.compare(pos_, w.size(), w) != 0) return Fail("unexpected characters");
    pos_ += w.size();
    return true;
  }

  bool ParseValue(JsonValue* value, int depth) {
    if (depth > kMaxDepth) return Fail("nested too deeply");
    SkipBlanks();
    if (pos_ >= text_.size()) return Fail("value expected");
    const char c = text_[pos_];
    if (c == '{') return ParseObject(value, depth);
    if (c == '[') return ParseArray(value, depth);
    if (c == '"') {
      value->type = JsonValue::kString;
      return ParseString(&value->string);
    }
    if (c == 't' || c == 'f') {
      value->type = JsonValue::kBool;
      value->boolean = c == 't';
      return Literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') {
      value->type = JsonValue::kNull;
      return Literal("null");
    }
    return ParseNumber(value);
  }

  bool ParseNumber(JsonValue* value) {
    const size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    bool digits = false;
    while (pos_ < text_.size() &&
           ((text_[pos_] >= '0' && text_[pos_] <= '9') || text_[pos_] == '.' ||
            text_[pos_] == 'e' || text_[pos_] == 'E' || text_[pos_] == '+' || text_[pos_] == '-')) {
      digits = digits || (text_[pos_] >= '0' && text_[pos_] <= '9');
      ++pos_;
    }
    if (!digits) return Fail("value expected");
    const std::string number = text_.substr(start, pos_ - start);
    char* end = nullptr;
    value->type = JsonValue::kNumber;
    value->number = std::strtod(number.c_str(), &end);
    if (end == nullptr || *end != '\0') return Fail("bad number");
    return true;
  }

  static void AppendUtf8(unsigned code, std::string* out) {
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

  bool Hex4(unsigned* code) {
    if (pos_ + 4 > text_.size()) return Fail("short \\u escape");
    *code = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = tw::HexDigitValue(text_[pos_++]);
      if (digit < 0) return Fail("bad \\u escape");
      *code = (*code << 4) | static_cast<unsigned>(digit);
    }
    return true;
  }

  bool ParseString(std::string* out) {
    ++pos_;  // the opening quote
    out->clear();
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in a string");
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (pos_ >= text_.size()) break;
      const char e = text_[pos_++];
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
          if (!Hex4(&code)) return false;
          if (code >= 0xD800 && code < 0xDC00 && text_.compare(pos_, 2, "\\u") == 0) {
            pos_ += 2;
            unsigned low;
            if (!Hex4(&low)) return false;
            if (low < 0xDC00 || low >= 0xE000) return Fail("bad surrogate pair");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xD800 && code < 0xE000) {
            return Fail("lone surrogate");
          }
          AppendUtf8(code, out);
          break;
        }
        default:
          return Fail("bad escape");
      }
    }
    return Fail("unterminated string");
  }

  bool ParseArray(JsonValue* value, int depth) {
    ++pos_;
    value->type = JsonValue::kArray;
    SkipBlanks();
    if (pos_ < text_.size() && text_[pos_] == ']') {
      ++pos_;
      return true;
    }
    while (true) {
      value->array.emplace_back();
      if (!ParseValue(&value->array.back(), depth + 1)) return false;
      SkipBlanks();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == ']') {
        ++pos_;
        return true;
      }
      return Fail("',' or ']' expected");
    }
  }

  bool ParseObject(JsonValue* value, int depth) {
    ++pos_;
    value->type = JsonValue::kObject;
    SkipBlanks();
    if (pos_ < text_.size() && text_[pos_] == '}') {
      ++pos_;
      return true;
    }
    while (true) {
      SkipBlanks();
      if (pos_ >= text_.size() || text_[pos_] != '"') return Fail("member name expected");
      std::string key;
      if (!ParseString(&key)) return false;
      SkipBlanks();
      if (pos_ >= text_.size() || text_[pos_] != ':') return Fail("':' expected");
      ++pos_;
      value->object.emplace_back(std::move(key), JsonValue());
      if (!ParseValue(&value->object.back().second, depth + 1)) return false;
      SkipBlanks();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == '}') {
        ++pos_;
        return true;
      }
      return Fail("',' or '}' expected");
    }
  }

  const std::string& text_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace

const JsonValue* JsonValue::Find(const std::string& key) const {
  for (const auto& [name, member] : object) {
    if (name == key) return &member;
  }
  return nullptr;
}

std::string JsonValue::StringAt(const std::string& key) const {
  const JsonValue* v = Find(key);
  return v != nullptr && v->type == kString ? v->string : std::string();
}

bool JsonValue::BoolAt(const std::string& key) const {
  const JsonValue* v = Find(key);
  return v != nullptr && v->type == kBool && v->boolean;
}

double JsonValue::NumberAt(const std::string& key, double fallback) const {
  const JsonValue* v = Find(key);
  return v != nullptr && v->type == kNumber ? v->number : fallback;
}

bool ParseJson(const std::string& text, JsonValue* value, std::string* error) {
  *value = JsonValue();
  return Parser(text).ParseDocument(value, error);
}

}  // namespace vscc
