#include "tools/vscc/host_ui.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/decimal.h"
#include "platform/errno_text.h"
#include "platform/native_text.h"
#include "platform/small_file.h"
#include "tools/vscc/json.h"
#include "tools/vscc/system.h"

namespace vscc {

namespace {

// A user's script larger than this is refused (the seam refuses the same).
constexpr size_t kMaxScriptBytes = 1 << 20;

std::string Getenv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Newlines become blanks, so that a message box's text reads as one line.
std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      if (!out.empty() && out.back() != ' ') out += ' ';
      continue;
    }
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string FirstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

// A question's first paragraph: what it is about, without the explanation
// of its buttons.
std::string FirstParagraph(const std::string& text) {
  return OneLine(text.substr(0, text.find("\n\n")));
}

const char* DialogName(int id) {
  switch (id) {
    case kLogonDialog:
      return "logon dialog";
    case kAddDialog:
      return "add-Production dialog";
    case kBindDialog:
      return "bind dialog";
    case kOverwriteDialog:
      return "overwrite question";
    case kHistoryDialog:
      return "history dialog";
    case kPropertiesDialog:
      return "properties dialog";
    case kCheckoutOptionsDialog:
      return "check-out options dialog";
    case kCheckinOptionsDialog:
      return "check-in options dialog";
    case kEnvironmentDialog:
      return "environment settings dialog";
  }
  return "dialog";
}

const char* DialogHint(int id) {
  switch (id) {
    case kLogonDialog:
      return "Give --user, --server and --port, and the password in VELTRANE_PASSWORD.";
    case kBindDialog:
      return "Give --production PATH.";
    case kAddDialog:
      return "Give --parent PATH.";
    case kOverwriteDialog:
      return "Give --yes to overwrite or --no to keep the local files.";
    case kEnvironmentDialog:
      return "Run it on a terminal.";
  }
  return "";
}

// The template id of a dialog line "dialog ID BUTTON ...", else 0.
int DialogOfLine(const std::string& line) {
  if (line.rfind("dialog ", 0) != 0) return 0;
  return tw::DecimalToInt(line.substr(7, line.find(' ', 7) - 7));
}

// Whether a message box of `events` shows `text`.
// The provider's boxes of a failed logon.
constexpr char kLogonRefusedText[] = "Invalid Logon";
constexpr char kConnectFailedText[] = "Unable to connect to server";

bool ShowsMessage(const std::vector<UiEvent>& events, const char* text) {
  for (const UiEvent& e : events) {
    if (e.kind == "msgbox" && e.Text(0) == text) return true;
  }
  return false;
}

bool IsConnectionFailureBox(const UiEvent& e) {
  return e.kind == "msgbox" && (e.Text(0) == kLogonRefusedText || e.Text(0) == kConnectFailedText);
}

}  // namespace

std::string UiEvent::Text(int control) const {
  auto it = texts.find(control);
  return it == texts.end() ? std::string() : it->second;
}

bool ParseUiEvent(const std::string& line, UiEvent* event) {
  JsonValue value;
  std::string error;
  if (!ParseJson(line, &value, &error) || value.type != JsonValue::kObject) return false;
  event->kind = value.StringAt("kind");
  event->id = static_cast<int>(value.NumberAt("id"));
  // The record is UTF-8; vscc shows and compares narrow text of the process.
  event->title = tw::NativeFromUtf8(value.StringAt("title"));
  if (const JsonValue* texts = value.Find("texts")) {
    for (const auto& [key, text] : texts->object) {
      if (text.type == JsonValue::kString)
        event->texts[tw::DecimalToInt(key)] = tw::NativeFromUtf8(text.string);
    }
  }
  if (const JsonValue* enabled = value.Find("enabled")) {
    for (const auto& [key, flag] : enabled->object) {
      if (flag.type == JsonValue::kBool) event->enabled[tw::DecimalToInt(key)] = flag.boolean;
    }
  }
  if (const JsonValue* answer = value.Find("answer")) {
    if (answer->type == JsonValue::kNumber) {
      event->answer = std::to_string(static_cast<long>(answer->number));
    } else {
      event->answer = answer->string;
    }
  }
  event->unexpected = value.BoolAt("unexpected");
  return !event->kind.empty();
}

std::string ScriptWord(const std::string& value) {
  std::string word = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') word += '\\';
    word += c;
  }
  return word + "\"";
}

std::string TreePath(const std::string& path) {
  std::string tree = "/";
  std::string element;
  auto flush = [&] {
    if (element.empty()) return;
    tree += "\\" + element;
    element.clear();
  };
  for (char c : path) {
    if (c == '/' || c == '\\') {
      flush();
    } else {
      element += c;
    }
  }
  flush();
  return tree;
}

// Notices the provider shows as OK boxes: the script answers them and vscc
// prints them afterwards. "Veltrane" twice: a logon can fail and be tried
// again in one command.
constexpr const char* kNoticeTitles[] = {kProductTitle, kProductTitle, kDeferredAlreadyTitle,
                                         kClientNotFoundTitle};

HostUi::HostUi() {
  for (const char* title : kNoticeTitles) answered_titles_.insert(title);
}
HostUi::~HostUi() = default;

bool HostUi::Setup(const std::string& ui, std::string* error) {
  std::string mode = ui;
  const bool given = !mode.empty();
  if (mode.empty()) mode = Getenv("VELTRANE_UI");
  if (mode.empty()) mode = IsTerminal(0) ? "tty" : "none";

  if (mode == "tty") {
    terminal_ = HaveTerminal();
    fallback_ = terminal_ ? "tty" : "none";
    person_ = terminal_;
  } else if (mode == "gui") {
    fallback_ = "gui";
    person_ = !Getenv("DISPLAY").empty() || !Getenv("WAYLAND_DISPLAY").empty();
  } else if (mode.rfind("script:", 0) == 0) {
    user_script_name_ = mode.substr(7);
    std::string reason;
    if (!tw::ReadSmallFile(user_script_name_, kMaxScriptBytes, &user_script_, &reason)) {
      *error = "cannot read the script " + user_script_name_ + ": " + reason;
      return false;
    }
  } else if (mode != "none" && given) {
    *error = "--ui must be gui, tty, none or script:FILE, not '" + mode + "'";
    return false;
  }

  user_record_ = Getenv("VELTRANE_UI_RECORD");
  record_ = ScratchFile::Create("vscc-record", error);
  if (!record_) return false;
  SetEnvironment("VELTRANE_UI_RECORD", record_->path());
  return true;
}

void HostUi::SetLogon(const std::string& user, const std::string& server, const std::string& port) {
  user_ = user;
  server_ = server;
  port_ = port;
}

bool HostUi::AnswersLogon() const {
  return !person_ || !user_.empty() || !server_.empty() || !port_.empty() || have_password_;
}

void HostUi::Answer(const std::string& line) {
  lines_.push_back(line);
  if (const int id = DialogOfLine(line); id != 0) answered_dialogs_.insert(id);
  if (line.rfind("msgbox ", 0) == 0) {
    // The title is the quoted word after "msgbox".
    const size_t open = line.find('"'), close = line.rfind('"');
    if (open != std::string::npos && close > open) {
      answered_titles_.insert(line.substr(open + 1, close - open - 1));
    }
  }
}

void HostUi::AnswerNextCall(const std::string& line) {
  next_call_lines_.push_back(line);
  if (const int id = DialogOfLine(line); id != 0) answered_dialogs_.insert(id);
}

void HostUi::AnswerQuestion(const std::string& title, int yes, const std::string& hint) {
  if (yes < 0 && person_) return;
  if (yes < 0) defaulted_[title] = hint;
  Answer("msgbox " + ScriptWord(title) + (yes > 0 ? " Yes" : " No"));
}

std::string HostUi::ScriptText() const {
  std::string text = "# Answers from vscc's command line\n";
  if (!user_script_.empty()) {
    text += "# " + user_script_name_ + "\n" + user_script_;
    if (text.back() != '\n') text += '\n';
  }
  for (const std::string& line : next_call_lines_) text += line + "\n";
  if (AnswersLogon()) {
    std::string line = "any dialog " + std::to_string(kLogonDialog) + " 1";
    if (!user_.empty()) line += " " + std::to_string(kLogonUser) + "=" + ScriptWord(user_);
    if (!server_.empty()) line += " " + std::to_string(kLogonServer) + "=" + ScriptWord(server_);
    if (!port_.empty()) line += " " + std::to_string(kLogonPort) + "=" + ScriptWord(port_);
    if (have_password_) {
      line += " " + std::to_string(kLogonPassword) + "=" + ScriptWord(password_);
    }
    text += line + "\n";
  }
  for (const char* title : kNoticeTitles) text += "any msgbox " + ScriptWord(title) + " OK\n";
  for (const std::string& line : lines_) text += "any " + line + "\n";
  text += "otherwise " + fallback_ + "\n";
  return text;
}

bool HostUi::Activate(std::string* error) {
  for (const std::string* value : {&user_, &server_, &port_, &password_}) {
    if (value->find_first_of("\r\n") != std::string::npos) {
      *error = "a logon value holds a line break";
      return false;
    }
  }
  std::unique_ptr<ScratchFile> next = ScratchFile::Create("vscc-script", error);
  if (!next) return false;
  if (!next->Write(ScriptText())) {
    *error = "cannot write the dialog script: " + tw::ErrnoReason(errno);
    return false;
  }
  SetEnvironment("VELTRANE_UI", "script:" + next->path());
  scripts_.push_back(std::move(next));
  answered_in_order_ = next_call_lines_.size();
  next_call_lines_.clear();
  return true;
}

std::vector<UiEvent> HostUi::TakeEvents() {
  std::vector<UiEvent> events;
  if (!record_) return events;
  const std::string text = record_->ReadFrom(record_offset_);
  const size_t end = text.rfind('\n');
  if (end == std::string::npos) return events;
  record_offset_ += end + 1;
  const std::string lines = text.substr(0, end + 1);
  // The user's copy of the record: a failure is told once, and the run
  // goes on.
  std::string error;
  if (!user_record_.empty() && !tw::AppendToFile(user_record_, lines, &error) &&
      !user_record_failed_) {
    user_record_failed_ = true;
    std::fprintf(stderr, "vscc: VELTRANE_UI_RECORD: %s\n", error.c_str());
  }
  std::istringstream in(lines);
  std::string line;
  while (std::getline(in, line)) {
    UiEvent event;
    if (ParseUiEvent(line, &event)) events.push_back(std::move(event));
  }
  return events;
}

void HostUi::Report(const std::vector<UiEvent>& events, Console* console) const {
  size_t answered_in_order = answered_in_order_;
  for (const UiEvent& e : events) {
    if (answered_in_order > 0 && e.kind == "dialog" && e.id == kOverwriteDialog && !e.unexpected) {
      --answered_in_order;
      continue;
    }
    if (e.kind == "msgbox") {
      // A person saw it already when the terminal or the window showed it.
      if (PersonAnswered(e)) continue;
      // The failed command's own line names the cause (the user refused,
      // the address that took no connection); these boxes add nothing to it.
      if (IsConnectionFailureBox(e)) continue;
      auto defaulted = defaulted_.find(e.title);
      if (defaulted != defaulted_.end() && e.answer == "No") {
        console->Error("\"" + e.title + "\" " + FirstParagraph(e.Text(0)) +
                       " -- nobody to ask, answered No (" + defaulted->second + ")");
      } else if (answered_titles_.count(e.title) != 0 && e.answer != "OK") {
        console->Note("\"" + e.title + "\" " + FirstParagraph(e.Text(0)) + " -- answered " +
                      e.answer);
      } else {
        console->Error(e.title + ": " + OneLine(e.Text(0)));
      }
    } else if (e.kind == "dialog") {
      const std::string name = DialogName(e.id);
      if (e.unexpected) {
        std::string message = "nobody answered the " + name + " \"" + e.title + "\" (" +
                              std::to_string(e.id) + "), so it was cancelled";
        if (e.id == kOverwriteDialog) message += ": " + FirstLine(e.Text(kOverwriteText));
        const std::string hint = DialogHint(e.id);
        if (!hint.empty()) message += (e.id == kOverwriteDialog ? " " : ". ") + hint;
        console->Error(message);
      } else if (e.answer == "2") {
        console->Error("the " + name + " \"" + e.title + "\" was cancelled");
      } else if (e.id == kOverwriteDialog && !person_) {
        const char* answer = e.answer == std::to_string(kYesToAll)  ? "Yes To All"
                             : e.answer == std::to_string(kNoToAll) ? "No To All"
                                                                    : e.answer.c_str();
        console->Note(FirstLine(e.Text(kOverwriteText)) + " -- answered " + answer);
      }
    }
  }
}

bool HostUi::PersonAnswered(const UiEvent& e) const {
  if (!person_ || e.unexpected) return false;
  if (e.kind == "msgbox") return answered_titles_.count(e.title) == 0;
  if (e.kind != "dialog") return false;
  if (e.id == kLogonDialog) return !AnswersLogon();
  return answered_dialogs_.count(e.id) == 0;
}

bool HostUi::PersonAnswered(const std::vector<UiEvent>& events) const {
  for (const UiEvent& e : events) {
    if (PersonAnswered(e)) return true;
  }
  return false;
}

bool HostUi::LogonRefused(const std::vector<UiEvent>& events) {
  return ShowsMessage(events, kLogonRefusedText);
}

bool HostUi::ConnectFailed(const std::vector<UiEvent>& events) {
  return ShowsMessage(events, kConnectFailedText);
}

std::string HostUi::LogonValue(const std::vector<UiEvent>& events, int control) const {
  const std::string given = control == kLogonUser     ? user_
                            : control == kLogonServer ? server_
                            : control == kLogonPort   ? port_
                                                      : std::string();
  if (!given.empty()) return given;
  for (const UiEvent& e : events) {
    if (e.kind == "dialog" && e.id == kLogonDialog) return e.Text(control);
  }
  return "";
}

bool HostUi::Cancelled(const std::vector<UiEvent>& events, int id) {
  for (const UiEvent& e : events) {
    if (e.kind == "dialog" && e.id == id && (e.unexpected || e.answer == "2")) return true;
  }
  return false;
}

}  // namespace vscc
