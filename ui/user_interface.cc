#include "ui/user_interface.h"

#include <algorithm>
#include <exception>

#include "platform/debug_output.h"
#include "ui/record.h"

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

}  // namespace tw
