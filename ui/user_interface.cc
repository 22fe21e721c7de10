#include "ui/user_interface.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>

#include "platform/debug_output.h"
#include "ui/gui.h"
#include "ui/record.h"
#include "ui/script.h"
#include "ui/terminal.h"

namespace tw {

std::string ListText(const ListControl& list) {
  auto append_line = [](std::string* text, const std::vector<std::string>& cells) {
    if (!text->empty()) *text += '\n';
    for (size_t i = 0; i < cells.size(); ++i) {
      if (i > 0) *text += '\t';
      for (char c : cells[i]) *text += (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
    }
  };
  std::string text;
  std::vector<std::string> captions;
  for (const ListColumn& column : list.columns) captions.push_back(column.caption);
  append_line(&text, captions);
  for (const auto& row : list.rows) append_line(&text, row);
  return text;
}

bool DialogRequest::IsEnabled(int control_id) const {
  auto it = enabled.find(control_id);
  return it == enabled.end() || it->second;
}

std::vector<int> DialogRequest::ButtonsShown() const {
  if (buttons.empty()) return {kIdOk, kIdCancel};
  return buttons;
}

DialogResult CancelledDialog(const DialogRequest& request) {
  DialogResult result;
  result.button = kIdCancel;
  result.values = request.values;
  return result;
}

OpenDialog::OpenDialog(UserInterface& ui, const DialogRequest& request)
    : ui_(ui), current_(request), values_(request.values) {
  for (const auto& [id, control] : request.trees) {
    trees_[id] = std::make_unique<TreeModel>(control.root, control.source);
    values_[id].clear();  // a tree opens with nothing selected
    current_.values[id].clear();
  }
  result_ = CancelledDialog(current_);
}

void OpenDialog::SetText(int control_id, const std::string& text) {
  current_.texts[control_id] = text;
}

std::string OpenDialog::Value(int control_id) const {
  auto it = values_.find(control_id);
  return it == values_.end() ? std::string() : it->second;
}

bool OpenDialog::SetValue(int control_id, const std::string& value, std::string* error) {
  TreeModel* model = tree(control_id);
  if (model == nullptr) {
    values_[control_id] = value;
    return true;
  }
  std::string why;
  TreeNode* node = model->Find(value, &why);
  Select(control_id, node);
  if (!why.empty() && error != nullptr) *error = why;
  return why.empty();
}

TreeModel* OpenDialog::tree(int control_id) {
  auto it = trees_.find(control_id);
  return it == trees_.end() ? nullptr : it->second.get();
}

void OpenDialog::Select(int control_id, TreeNode* node) {
  TreeModel* model = tree(control_id);
  if (model == nullptr || model->selected() == node) return;
  model->Select(node);
  values_[control_id] = node == nullptr ? std::string() : TreeModel::TextPath(node);
  if (current_.on_select) current_.on_select(*this, control_id);
}

int OpenDialog::MessageBox(const std::string& title, const std::string& text,
                           MessageBoxButtons buttons, MessageBoxIcon icon) {
  MessageBoxRequest request;
  request.owner = window();
  request.title = title;
  request.text = text;
  request.buttons = buttons;
  request.icon = icon;
  return ui_.MessageBox(request);
}

bool OpenDialog::ChooseFolder(const std::string& title, std::string* folder) {
  return ui_.ChooseFolder(window(), title, folder);
}

bool OpenDialog::CanPress(int button) const {
  const std::vector<int> shown = current_.ButtonsShown();
  return std::find(shown.begin(), shown.end(), button) != shown.end() && IsEnabled(button);
}

bool OpenDialog::Press(int button) {
  if (closed_) return true;
  if (!CanPress(button)) return false;
  DialogResult pressed;
  pressed.button = button;
  pressed.values = values_;
  AppendUiRecord(DialogRecordLine(current_, pressed));

  ButtonOutcome outcome = ButtonOutcome::kClose;
  if (current_.on_button) {
    try {
      outcome = current_.on_button(*this, button);
    } catch (const std::exception& e) {
      DebugLog("Dialog %d: button %d failed: %s", current_.template_id, button, e.what());
      outcome = ButtonOutcome::kKeepOpen;
    } catch (...) {
      DebugLog("Dialog %d: button %d failed", current_.template_id, button);
      outcome = ButtonOutcome::kKeepOpen;
    }
  }
  if (outcome == ButtonOutcome::kKeepOpen) return false;
  result_.button = button;
  result_.values = values_;
  result_.unexpected = false;
  closed_ = true;
  return true;
}

void OpenDialog::Dismiss(bool unexpected) {
  if (closed_) return;
  result_ = CancelledDialog(current_);
  result_.unexpected = unexpected;
  closed_ = true;
  AppendUiRecord(DialogRecordLine(current_, result_));
}

DialogResult UserInterface::ShowDialog(const DialogRequest& request) {
  OpenDialog dialog(*this, request);
  RunDialog(dialog);
  dialog.Dismiss(false);  // a form that gave up on it: Cancel
  return dialog.result();
}

int UserInterface::MessageBox(const MessageBoxRequest& request) {
  const MessageBoxOutcome outcome = RunMessageBox(request);
  AppendUiRecord(MessageBoxRecordLine(request, outcome.answer, outcome.unexpected));
  return outcome.answer;
}

bool UserInterface::ChooseFolder(void* owner, const std::string& title, std::string* folder) {
  std::string chosen = *folder;
  if (!RunChooseFolder(owner, title, &chosen)) return false;
  *folder = std::move(chosen);
  return true;
}

void NoUserInterface::RunDialog(OpenDialog& dialog) {
  dialog.Dismiss(false);
}

UserInterface::MessageBoxOutcome NoUserInterface::RunMessageBox(const MessageBoxRequest& request) {
  MessageBoxOutcome outcome;
  outcome.answer = DefaultMessageBoxAnswer(request);
  return outcome;
}

#ifndef _WIN32
namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace
#endif

std::shared_ptr<UserInterface> MakeUserInterface(const UserInterfaceChoice& choice) {
  switch (choice.kind) {
    case UserInterfaceChoice::kGui:
      return std::make_shared<GuiUserInterface>();
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

namespace {

struct Selection {
  std::mutex mutex;
  std::shared_ptr<UserInterface> host;      // guarded by mutex
  std::shared_ptr<UserInterface> from_env;  // guarded by mutex
  UserInterfaceChoice env_choice;           // guarded by mutex; what from_env was built for
};

// Never destroyed: the module's unload code releases the implementations
// after the static destructors of the process have run, so the selection
// itself must outlive them.
Selection& TheSelection() {
  static Selection* selection = new Selection;
  return *selection;
}

// Whoever uses the seam gets the lower layers' boxes answered by it too.
void EnsurePromptsInstalled() {
  static std::once_flag once;
  std::call_once(once, InstallUserInterfacePrompts);
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
#ifdef _WIN32
  // Windows shown on a window station nobody sees (a service's, a
  // scheduled task's) would wait for ever.
  const bool display_available = WindowStationIsVisible();
#else
  const bool display_available = IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
#endif
  return ChooseUserInterface(std::getenv("VELTRANE_UI"), display_available);
}

std::shared_ptr<UserInterface> ActiveUserInterface() {
  EnsurePromptsInstalled();
  std::shared_ptr<UserInterface> replaced;  // destroyed outside the lock
  Selection& s = TheSelection();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.host) return s.host;
  const UserInterfaceChoice choice = ChooseUserInterfaceFromEnvironment();
  if (!s.from_env || !(choice == s.env_choice)) {
    replaced = std::move(s.from_env);
    s.from_env = MakeUserInterface(choice);
    s.env_choice = choice;
  }
  return s.from_env;
}

void SetUserInterface(std::shared_ptr<UserInterface> ui) {
  EnsurePromptsInstalled();
  std::shared_ptr<UserInterface> old_host, old_env;  // destroyed outside the lock
  Selection& s = TheSelection();
  std::lock_guard<std::mutex> lock(s.mutex);
  old_host = std::move(s.host);
  s.host = std::move(ui);
  if (!s.host) old_env = std::move(s.from_env);
}

namespace {

int AskActiveUserInterface(const MessageBoxRequest& request) {
  return ActiveUserInterface()->MessageBox(request);
}

}  // namespace

void InstallUserInterfacePrompts() {
  UserPrompts prompts;
  prompts.message_box = &AskActiveUserInterface;
  prompts.pump_events = &PumpWindowEvents;
  SetUserPrompts(prompts);
}

DialogResult ShowDialog(const DialogRequest& request) {
  return ActiveUserInterface()->ShowDialog(request);
}

}  // namespace tw
