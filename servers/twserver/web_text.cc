#include "servers/twserver/web_text.h"

#include <cctype>
#include <cstdio>

namespace tw::twserver {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unreserved(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Digits only, without overflow past 19 of them.
bool ParseOffset(std::string_view text, uint64_t* out) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  *out = value;
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string PercentEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (Unreserved(byte)) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

bool PercentDecode(std::string_view text, bool plus_is_space, std::string* out) {
  std::string decoded;
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
      const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
      if (high < 0 || low < 0) return false;
      decoded += static_cast<char>(high * 16 + low);
      i += 2;
    } else if (plus_is_space && text[i] == '+') {
      decoded += ' ';
    } else {
      decoded += text[i];
    }
  }
  *out = std::move(decoded);
  return true;
}

bool ParseForm(std::string_view text, std::map<std::string, std::string>* out) {
  while (!text.empty()) {
    const size_t end = text.find('&');
    const std::string_view pair = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (pair.empty()) continue;
    const size_t equals = pair.find('=');
    std::string name, value;
    if (!PercentDecode(pair.substr(0, equals), true, &name)) return false;
    if (equals != std::string_view::npos && !PercentDecode(pair.substr(equals + 1), true, &value)) {
      return false;
    }
    out->emplace(std::move(name), std::move(value));
  }
  return true;
}

std::string ContentTypeFor(std::string_view name) {
  static const struct {
    const char* extension;
    const char* type;
  } kTypes[] = {
      {"txt", "text/plain; charset=utf-8"},
      {"c", "text/plain; charset=utf-8"},
      {"cc", "text/plain; charset=utf-8"},
      {"cpp", "text/plain; charset=utf-8"},
      {"h", "text/plain; charset=utf-8"},
      {"md", "text/markdown; charset=utf-8"},
      {"csv", "text/csv; charset=utf-8"},
      {"xml", "application/xml"},
      {"json", "application/json"},
      {"pdf", "application/pdf"},
      {"zip", "application/zip"},
      {"gz", "application/gzip"},
      {"png", "image/png"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
      {"gif", "image/gif"},
      {"webp", "image/webp"},
      {"bmp", "image/bmp"},
      {"tif", "image/tiff"},
      {"tiff", "image/tiff"},
      {"wav", "audio/wav"},
      {"mp3", "audio/mpeg"},
      {"ogg", "audio/ogg"},
      {"mp4", "video/mp4"},
      {"mov", "video/quicktime"},
      {"webm", "video/webm"},
  };
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return "application/octet-stream";
  const std::string extension = Lower(name.substr(dot + 1));
  for (const auto& entry : kTypes) {
    if (extension == entry.extension) return entry.type;
  }
  return "application/octet-stream";
}

std::string AttachmentDisposition(std::string_view name) {
  std::string plain;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    plain += byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\' ? '_' : c;
  }
  return "attachment; filename=\"" + plain + "\"; filename*=UTF-8''" + PercentEncode(name);
}

std::string IsoStamp(std::string_view stamp) {
  int year, month, day, hour, minute, second, millis;
  char tail;
  const std::string text(stamp);
  if (std::sscanf(text.c_str(), "%4d:%2d:%2d:%2d:%2d:%2d:%3d%c", &year, &month, &day, &hour,
                  &minute, &second, &millis, &tail) != 7) {
    return std::string();
  }
  char out[32];
  std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month, day, hour, minute,
                second);
  return out;
}

RangeResult ParseRange(std::string_view header, uint64_t size, ByteRange* range) {
  header = Trim(header);
  constexpr std::string_view kUnit = "bytes=";
  if (header.size() <= kUnit.size() || Lower(header.substr(0, kUnit.size())) != kUnit) {
    return RangeResult::kWhole;
  }
  const std::string_view spec = Trim(header.substr(kUnit.size()));
  if (spec.find(',') != std::string_view::npos) return RangeResult::kWhole;
  const size_t dash = spec.find('-');
  if (dash == std::string_view::npos) return RangeResult::kWhole;
  const std::string_view first_text = Trim(spec.substr(0, dash));
  const std::string_view last_text = Trim(spec.substr(dash + 1));
  uint64_t first = 0, last = 0;
  if (first_text.empty()) {
    // The last N bytes.
    uint64_t suffix = 0;
    if (!ParseOffset(last_text, &suffix)) return RangeResult::kWhole;
    if (suffix == 0 || size == 0) return RangeResult::kUnsatisfiable;
    if (suffix > size) suffix = size;
    range->first = size - suffix;
    range->length = suffix;
    return RangeResult::kPartial;
  }
  if (!ParseOffset(first_text, &first)) return RangeResult::kWhole;
  if (last_text.empty()) {
    last = size == 0 ? 0 : size - 1;
  } else if (!ParseOffset(last_text, &last) || last < first) {
    return RangeResult::kWhole;
  }
  if (first >= size) return RangeResult::kUnsatisfiable;
  if (last >= size) last = size - 1;
  range->first = first;
  range->length = last - first + 1;
  return RangeResult::kPartial;
}

std::string CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const size_t end = header.find(';');
    const std::string_view pair = Trim(header.substr(0, end));
    header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
    const size_t equals = pair.find('=');
    if (equals != std::string_view::npos && Trim(pair.substr(0, equals)) == name) {
      return std::string(Trim(pair.substr(equals + 1)));
    }
  }
  return std::string();
}

}  // namespace tw::twserver
