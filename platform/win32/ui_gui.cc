// The windowed form on Windows, until its native dialogs exist: "gui"
// answers as "none" (every dialog Cancel, every message box its default
// button, no status window) and never opens a window, so that a host that
// asks for windows gets a module that runs, not one that fails to load.
// The native dialogs replace this file. See platform/ui_gui.h.
//
// Threads: no state; any thread.
#include "platform/ui_gui.h"

#include "platform/debug_output.h"

namespace tw {

void GuiUserInterface::RunDialog(OpenDialog& dialog) {
  DebugLog("User interface: no windows on this system yet; the dialog is cancelled");
  dialog.Dismiss(false);
}

UserInterface::MessageBoxOutcome GuiUserInterface::RunMessageBox(const MessageBoxRequest& request) {
  MessageBoxOutcome outcome;
  outcome.answer = DefaultMessageBoxAnswer(request);
  return outcome;
}

bool GuiUserInterface::RunChooseFolder(void*, const std::string&, std::string*) {
  return false;
}

void GuiUserInterface::ShowStatus(void*, const std::string&) {}
void GuiUserInterface::HideStatus() {}

bool StartWindowing() {
  return false;
}
bool WindowingIsUp() {
  return false;
}
bool PumpUserInterfaceEvents() {
  return false;
}
void ShutdownUserInterface() {}

}  // namespace tw
