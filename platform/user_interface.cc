#include "platform/user_interface.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/ui_record.h"
#include "platform/ui_script.h"
#include "platform/ui_terminal.h"
#include "platform/debug_output.h"

namespace tw {

std::vector<int> MessageBoxButtonIds(MessageBoxButtons buttons) {
  switch (buttons) {
    case MessageBoxButtons::kOk: return {kIdOk};
    case MessageBoxButtons::kOkCancel: return {kIdOk, kIdCancel};
    case MessageBoxButtons::kYesNo: return {kIdYes, kIdNo};
    case MessageBoxButtons::kYesNoCancel: return {kIdYes, kIdNo, kIdCancel};
  }
  return {kIdOk};
}

int DefaultMessageBoxAnswer(const MessageBoxRequest& request) {
  const std::vector<int> ids = MessageBoxButtonIds(request.buttons);
  for (int id : ids) {
    if (id == request.default_button) return id;
  }
  return ids.front();
}

const char* MessageBoxAnswerName(int answer) {
  switch (answer) {
    case kIdOk: return "OK";
    case kIdCancel: return "Cancel";
    case kIdYes: return "Yes";
    case kIdNo: return "No";
  }
  return "";
}

bool DialogRequest::IsEnabled(int control_id) const {
  auto it = enabled.find(control_id);
  return it == enabled.end() || it->second;
}

DialogResult CancelledDialog(const DialogRequest& request) {
  DialogResult result;
  result.button = kIdCancel;
  result.values = request.values;
  return result;
}

DialogResult UserInterface::ShowDialog(const DialogRequest& request) {
  DialogResult result = RunDialog(request);
  AppendUiRecord(DialogRecordLine(request, result));
  return result;
}

int UserInterface::MessageBox(const MessageBoxRequest& request) {
  const MessageBoxOutcome outcome = RunMessageBox(request);
  AppendUiRecord(MessageBoxRecordLine(request, outcome.answer, outcome.unexpected));
  return outcome.answer;
}

DialogResult NoUserInterface::RunDialog(const DialogRequest& request) {
  return CancelledDialog(request);
}

UserInterface::MessageBoxOutcome NoUserInterface::RunMessageBox(const MessageBoxRequest& request) {
  MessageBoxOutcome outcome;
  outcome.answer = DefaultMessageBoxAnswer(request);
  return outcome;
}

namespace {

// Stands where the windowed form will: until it exists, "gui" answers as
// "none" and never touches the display.
class GuiPlaceholder : public NoUserInterface {
 public:
  std::string Name() const override { return "gui"; }
};

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

std::shared_ptr<UserInterface> BuildFromChoice(const UserInterfaceChoice& choice) {
  switch (choice.kind) {
    case UserInterfaceChoice::kGui:
      return std::make_shared<GuiPlaceholder>();
    case UserInterfaceChoice::kTty:
      if (std::shared_ptr<UserInterface> tty = TerminalUserInterface::OpenTty()) return tty;
      DebugLog("User interface: /dev/tty cannot be opened; nobody will be asked");
      return std::make_shared<NoUserInterface>();
    case UserInterfaceChoice::kScript:
      return ScriptedUserInterface::FromFile(choice.script_path);
    case UserInterfaceChoice::kNone:
      break;
  }
  return std::make_shared<NoUserInterface>();
}

struct Selection {
  std::mutex mutex;
  std::shared_ptr<UserInterface> host;     // guarded by mutex
  std::shared_ptr<UserInterface> from_env; // guarded by mutex
  UserInterfaceChoice env_choice;          // guarded by mutex; what from_env was built for
};

// Never destroyed: the module's unload code releases the implementations
// after the static destructors of the process have run, so the selection
// itself must outlive them.
Selection& TheSelection() {
  static Selection* selection = new Selection;
  return *selection;
}

}  // namespace

UserInterfaceChoice ChooseUserInterface(const char* ui, bool display_available) {
  UserInterfaceChoice choice;
  if (ui == nullptr || *ui == '\0') {
    choice.kind = display_available ? UserInterfaceChoice::kGui : UserInterfaceChoice::kNone;
    return choice;
  }
  if (std::strcmp(ui, "gui") == 0) {
    choice.kind = UserInterfaceChoice::kGui;
  } else if (std::strcmp(ui, "tty") == 0) {
    choice.kind = UserInterfaceChoice::kTty;
  } else if (std::strncmp(ui, "script:", 7) == 0) {
    choice.kind = UserInterfaceChoice::kScript;
    choice.script_path = ui + 7;
  } else {
    if (std::strcmp(ui, "none") != 0) DebugLog("VELTRANE_UI=%s is not known; using none", ui);
    choice.kind = UserInterfaceChoice::kNone;
  }
  return choice;
}

UserInterfaceChoice ChooseUserInterfaceFromEnvironment() {
  return ChooseUserInterface(std::getenv("VELTRANE_UI"),
                             IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY"));
}

std::shared_ptr<UserInterface> ActiveUserInterface() {
  std::shared_ptr<UserInterface> replaced;  // destroyed outside the lock
  Selection& s = TheSelection();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.host) return s.host;
  const UserInterfaceChoice choice = ChooseUserInterfaceFromEnvironment();
  if (!s.from_env || !(choice == s.env_choice)) {
    replaced = std::move(s.from_env);
    s.from_env = BuildFromChoice(choice);
    s.env_choice = choice;
  }
  return s.from_env;
}

void SetUserInterface(std::shared_ptr<UserInterface> ui) {
  std::shared_ptr<UserInterface> old_host, old_env;  // destroyed outside the lock
  Selection& s = TheSelection();
  std::lock_guard<std::mutex> lock(s.mutex);
  old_host = std::move(s.host);
  s.host = std::move(ui);
  if (!s.host) old_env = std::move(s.from_env);
}

int ShowMessageBox(void* owner, const std::string& title, const std::string& text,
                   MessageBoxButtons buttons, MessageBoxIcon icon) {
  MessageBoxRequest request;
  request.owner = owner;
  request.title = title;
  request.text = text;
  request.buttons = buttons;
  request.icon = icon;
  return ActiveUserInterface()->MessageBox(request);
}

DialogResult ShowDialog(const DialogRequest& request) {
  return ActiveUserInterface()->ShowDialog(request);
}

}  // namespace tw
