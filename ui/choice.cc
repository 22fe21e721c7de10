// Which form of the user-interface seam answers: the one the host
// installed, else the one the environment chooses, built on demand and kept
// while the choice stays the same.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/debug_output.h"
#include "ui/gui.h"
#include "ui/script.h"
#include "ui/terminal.h"
#include "ui/user_interface.h"

namespace tw {

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
