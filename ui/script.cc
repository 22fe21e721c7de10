#include "ui/script.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/decimal.h"
#include "platform/letter_case.h"
#include "platform/small_file.h"
#include "ui/record.h"

namespace tw {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Splits one line into words by the quoting rules of the script; false with
// `error` set when a quote is not closed.
bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error) {
  size_t i = 0;
  const size_t n = line.size();
  while (true) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i == n || line[i] == '#') return true;
    std::string word;
    while (i < n && !IsBlank(line[i])) {
      if (line[i] != '"') {
        word += line[i++];
        continue;
      }
      ++i;  // opening quote
      bool closed = false;
      while (i < n) {
        const char c = line[i];
        if (c == '"') {
          closed = true;
          ++i;
          break;
        }
        if (c == '\\' && i + 1 < n && (line[i + 1] == '"' || line[i + 1] == '\\')) {
          word += line[i + 1];
          i += 2;
        } else {
          word += c;
          ++i;
        }
      }
      if (!closed) {
        *error = "unterminated quote";
        return false;
      }
    }
    words->push_back(std::move(word));
  }
}

// A control, template or button id: 1 to 9 decimal digits.
bool ParseId(const std::string& text, int* id) {
  uint64_t value = 0;
  if (!ParseDigits(text, 999999999, &value)) return false;
  *id = static_cast<int>(value);
  return true;
}

bool ParseAnswer(const std::string& text, int* answer) {
  static const struct {
    const char* name;
    int id;
  } kAnswers[] = {{"OK", kIdOk}, {"Cancel", kIdCancel}, {"Yes", kIdYes}, {"No", kIdNo}};
  for (const auto& a : kAnswers) {
    if (EqualIgnoringCase(text, a.name)) {
      *answer = a.id;
      return true;
    }
  }
  return false;
}

// Parses the words of one non-empty line into `entry`; returns an empty
// text on success, else what is wrong.
std::string ParseEntry(std::vector<std::string> words, UiScriptEntry* entry) {
  if (words[0] == "any") {
    words.erase(words.begin());
    if (words.empty() || (words[0] != "dialog" && words[0] != "msgbox")) {
      return "any must be followed by a dialog or msgbox line";
    }
    entry->any = true;
  }
  if (words[0] == "dialog") {
    entry->kind = UiScriptEntry::kDialog;
    if (words.size() < 3) return "dialog needs a template id and a button id";
    if (!ParseId(words[1], &entry->template_id)) return "bad template id '" + words[1] + "'";
    if (!ParseId(words[2], &entry->button)) return "bad button id '" + words[2] + "'";
    for (size_t k = 3; k < words.size(); ++k) {
      const size_t eq = words[k].find('=');
      int control = 0;
      if (eq == std::string::npos || !ParseId(words[k].substr(0, eq), &control)) {
        return "expected <control id>=<value>, found '" + words[k] + "'";
      }
      entry->values[control] = words[k].substr(eq + 1);
    }
    return "";
  }
  if (words[0] == "msgbox") {
    entry->kind = UiScriptEntry::kMessageBox;
    if (words.size() != 3) return "msgbox needs a title and one answer";
    entry->title = words[1];
    if (!ParseAnswer(words[2], &entry->button)) {
      return "answer must be OK, Cancel, Yes or No, found '" + words[2] + "'";
    }
    return "";
  }
  return "unknown keyword '" + words[0] + "'";
}

std::string Describe(const UiScriptEntry& entry) {
  if (entry.kind == UiScriptEntry::kDialog) {
    return "dialog " + std::to_string(entry.template_id) + " at " + entry.where;
  }
  return "msgbox \"" + entry.title + "\" at " + entry.where;
}

}  // namespace

UiScript ParseUiScript(const std::string& text, const std::string& source) {
  UiScript script;
  size_t start = 0;
  for (int line_number = 1; start < text.size(); ++line_number) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();

    const std::string where = source + ":" + std::to_string(line_number);
    std::vector<std::string> words;
    std::string error;
    if (SplitWords(line, &words, &error) && !words.empty() && words[0] == "otherwise") {
      if (words.size() != 2 || (words[1] != "none" && words[1] != "tty" && words[1] != "gui")) {
        error = "otherwise needs one of none, tty, gui";
      } else {
        script.fallback = ChooseUserInterface(words[1].c_str(), false).kind;
        script.fallback_given = true;
      }
    } else if (error.empty() && !words.empty()) {
      UiScriptEntry entry;
      entry.where = where;
      error = ParseEntry(words, &entry);
      if (error.empty()) script.entries.push_back(std::move(entry));
    }
    if (!error.empty()) script.errors.push_back(where + ": " + error);
  }
  return script;
}

std::shared_ptr<ScriptedUserInterface> ScriptedUserInterface::FromFile(const std::string& path) {
  auto ui = std::make_shared<ScriptedUserInterface>();
  std::string contents, error;
  if (ReadSmallFile(path, kMaxUiScriptBytes, &contents, &error)) {
    ui->AddScript(contents, path);
  } else {
    std::lock_guard<std::mutex> lock(ui->mutex_);
    ui->AddError(path + ": cannot read the script: " + error);
  }
  return ui;
}

size_t ScriptedUserInterface::AddScript(const std::string& text, const std::string& source) {
  UiScript script = ParseUiScript(text, source);
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : script.entries) {
    if (entry.any) {
      any_.push_back(std::move(entry));
    } else {
      pending_.push_back(std::move(entry));
    }
  }
  if (script.fallback_given) {
    fallback_kind_ = script.fallback;
    fallback_built_ = false;
  }
  for (const auto& error : script.errors) AddError(error);
  return script.errors.size();
}

void ScriptedUserInterface::QueueDialog(int template_id, int button,
                                        std::map<int, std::string> values) {
  UiScriptEntry entry;
  entry.kind = UiScriptEntry::kDialog;
  entry.template_id = template_id;
  entry.button = button;
  entry.values = std::move(values);
  entry.where = "queued";
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.push_back(std::move(entry));
}

void ScriptedUserInterface::QueueMessageBox(const std::string& title, int answer) {
  UiScriptEntry entry;
  entry.kind = UiScriptEntry::kMessageBox;
  entry.title = title;
  entry.button = answer;
  entry.where = "queued";
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.push_back(std::move(entry));
}

size_t ScriptedUserInterface::Remaining() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.size() + any_.size();
}

void ScriptedUserInterface::SetFallback(std::shared_ptr<UserInterface> fallback) {
  std::shared_ptr<UserInterface> old;  // destroyed outside the lock
  std::lock_guard<std::mutex> lock(mutex_);
  old = std::move(fallback_);
  fallback_ = std::move(fallback);
  fallback_built_ = true;
}

std::shared_ptr<UserInterface> ScriptedUserInterface::Fallback() {
  if (!fallback_built_) {
    fallback_built_ = true;
    if (fallback_kind_ != UserInterfaceChoice::kNone) {
      UserInterfaceChoice choice;
      choice.kind = fallback_kind_;
      fallback_ = MakeUserInterface(choice);
    }
  }
  // "none" (also a terminal that could not be opened) answers nothing.
  if (fallback_ && fallback_->Name() == "none") return nullptr;
  return fallback_;
}

std::vector<std::string> ScriptedUserInterface::Errors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_;
}

void ScriptedUserInterface::AddError(const std::string& error) {
  DebugLog("UI script: %s", error.c_str());
  errors_.push_back(error);
}

void ScriptedUserInterface::ShowStatus(void*, const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status_shown_ = true;
    status_text_ = text;
  }
  AppendUiRecord(StatusRecordLine(text, true));
}

void ScriptedUserInterface::HideStatus() {
  std::string text;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!status_shown_) return;
    status_shown_ = false;
    text = std::move(status_text_);
    status_text_.clear();
  }
  AppendUiRecord(StatusRecordLine(text, false));
}

bool ScriptedUserInterface::TakeDialogLine(const OpenDialog& dialog, UiScriptEntry* line) {
  return TakeLine(
      [&](const UiScriptEntry& e) {
        return e.kind == UiScriptEntry::kDialog && e.template_id == dialog.request().template_id &&
               dialog.CanPress(e.button);
      },
      line);
}

bool ScriptedUserInterface::TakeMessageBoxLine(const MessageBoxRequest& request, int* answer) {
  const std::vector<int> ids = MessageBoxButtonIds(request.buttons);
  UiScriptEntry line;
  if (!TakeLine(
          [&](const UiScriptEntry& e) {
            return e.kind == UiScriptEntry::kMessageBox && e.title == request.title &&
                   std::find(ids.begin(), ids.end(), e.button) != ids.end();
          },
          &line)) {
    return false;
  }
  *answer = line.button;
  return true;
}

bool ScriptedUserInterface::TakeLine(const std::function<bool(const UiScriptEntry&)>& matches,
                                     UiScriptEntry* line) {
  if (!pending_.empty() && matches(pending_.front())) {
    *line = std::move(pending_.front());
    pending_.pop_front();
    return true;
  }
  for (auto it = any_.begin(); it != any_.end(); ++it) {
    if (matches(*it)) {
      *line = std::move(*it);
      any_.erase(it);
      return true;
    }
  }
  return false;
}

void ScriptedUserInterface::RunDialog(OpenDialog& dialog) {
  const DialogRequest& request = dialog.request();
  // One line per attempt: the dialog stays open while its callbacks say so,
  // and the lines between answer what those callbacks raised. The lock is
  // not held while the dialog runs them.
  std::shared_ptr<UserInterface> fallback;
  while (true) {
    UiScriptEntry line;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!TakeDialogLine(dialog, &line)) {
        fallback = Fallback();
        if (!fallback) {
          DebugLog("UI script: unexpected dialog %d \"%s\"; next is %s", request.template_id,
                   request.title.c_str(),
                   pending_.empty() ? "nothing" : Describe(pending_.front()).c_str());
        }
        break;
      }
    }
    for (const auto& [control, value] : line.values) {
      if (!dialog.IsEnabled(control)) {
        DebugLog("UI script: %s sets disabled control %d; ignored", line.where.c_str(), control);
        continue;
      }
      std::string error;
      if (!dialog.SetValue(control, value, &error)) {
        std::lock_guard<std::mutex> lock(mutex_);
        AddError(line.where + ": control " + std::to_string(control) + ": " + error);
      }
    }
    if (dialog.Press(line.button)) return;
  }
  if (fallback) {
    RunDialogOf(*fallback, dialog);  // the person takes the dialog as it stands
  } else {
    dialog.Dismiss(true);
  }
}

UserInterface::MessageBoxOutcome ScriptedUserInterface::RunMessageBox(
    const MessageBoxRequest& request) {
  std::shared_ptr<UserInterface> fallback;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    MessageBoxOutcome outcome;
    if (TakeMessageBoxLine(request, &outcome.answer)) return outcome;
    fallback = Fallback();
    if (!fallback) {
      DebugLog("UI script: unexpected message box \"%s\"; next is %s", request.title.c_str(),
               pending_.empty() ? "nothing" : Describe(pending_.front()).c_str());
      outcome.answer = DefaultMessageBoxAnswer(request);
      outcome.unexpected = true;
      return outcome;
    }
  }
  return RunMessageBoxOf(*fallback, request);
}

bool ScriptedUserInterface::RunChooseFolder(void* owner, const std::string& title,
                                            std::string* folder) {
  std::shared_ptr<UserInterface> fallback;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fallback = Fallback();
  }
  return fallback && RunChooseFolderOf(*fallback, owner, title, folder);
}

}  // namespace tw
