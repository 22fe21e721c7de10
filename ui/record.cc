#include "ui/record.h"

#include <cstdlib>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/small_file.h"

namespace tw {

namespace {

void AppendRecordTail(std::string* line, const std::string& answer, bool unexpected) {
  *line += "}, \"answer\": ";
  *line += answer;
  *line += ", \"unexpected\": ";
  *line += unexpected ? "true" : "false";
  *line += '}';
}

}  // namespace

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
