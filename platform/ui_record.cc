#include "platform/ui_record.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/native_text.h"
#include "platform/small_file.h"

namespace tw {

namespace {

void AppendEscapedByte(std::string* out, unsigned char c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", c);
  *out += buf;
}

void AppendRecordTail(std::string* line, const std::string& answer, bool unexpected) {
  *line += "}, \"answer\": ";
  *line += answer;
  *line += ", \"unexpected\": ";
  *line += unexpected ? "true" : "false";
  *line += '}';
}

}  // namespace

size_t Utf8SequenceLength(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

std::string JsonQuote(const std::string& native) {
  // JSON is UTF-8; the system's strings are narrow in the process's encoding.
  const std::string text = Utf8FromNative(native);
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const size_t length = Utf8SequenceLength(text, i);
      if (length == 0) {
        AppendEscapedByte(&out, c);
        ++i;
      } else {
        out.append(text, i, length);
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20) {
          AppendEscapedByte(&out, c);
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

std::string DialogRecordLine(const DialogRequest& request, const DialogResult& result) {
  std::string line = "{\"kind\": \"dialog\", \"id\": " + std::to_string(request.template_id) +
                     ", \"title\": " + JsonQuote(request.title) + ", \"texts\": {";
  std::map<int, std::string> texts = request.texts;
  for (const auto& [id, list] : request.lists) texts.emplace(id, ListText(list));
  const char* separator = "";
  for (const auto& [id, text] : texts) {
    line += separator;
    line += JsonQuote(std::to_string(id)) + ": " + JsonQuote(text);
    separator = ", ";
  }
  line += "}, \"enabled\": {";
  separator = "";
  for (const auto& [id, enabled] : request.enabled) {
    line += separator;
    line += JsonQuote(std::to_string(id)) + ": " + (enabled ? "true" : "false");
    separator = ", ";
  }
  AppendRecordTail(&line, std::to_string(result.button), result.unexpected);
  return line;
}

std::string MessageBoxRecordLine(const MessageBoxRequest& request, int answer, bool unexpected) {
  std::string line = "{\"kind\": \"msgbox\", \"id\": 0, \"title\": " + JsonQuote(request.title) +
                     ", \"texts\": {\"0\": " + JsonQuote(request.text) + "}, \"enabled\": {";
  const char* separator = "";
  for (int id : MessageBoxButtonIds(request.buttons)) {
    line += separator;
    line += JsonQuote(std::to_string(id)) + ": true";
    separator = ", ";
  }
  const char* name = MessageBoxAnswerName(answer);
  AppendRecordTail(&line, *name ? JsonQuote(name) : std::to_string(answer), unexpected);
  return line;
}

std::string StatusRecordLine(const std::string& text, bool shown) {
  std::string line = "{\"kind\": \"status\", \"id\": 112, \"title\": " + JsonQuote("Veltrane") +
                     ", \"texts\": {\"1024\": " + JsonQuote(text) + "}, \"enabled\": {";
  AppendRecordTail(&line, JsonQuote(shown ? "shown" : "closed"), false);
  return line;
}

void AppendUiRecord(const std::string& line) {
  const char* path = std::getenv("VELTRANE_UI_RECORD");
  if (path == nullptr || *path == '\0') return;
  std::string error;
  if (!AppendToFile(path, line + '\n', &error)) DebugLog("UI record: %s", error.c_str());
}

}  // namespace tw
