// The user-interface seam: every dialog and message box of the system is one
// operation of UserInterface. Three implementations stand behind it: the
// wxWidgets one (real windows), the terminal one (prompts on /dev/tty, for
// the command-line host) and the scripted one (answers from a script,
// recording what each dialog showed). With no usable interface ("none") a
// dialog answers Cancel and a message box its default button, so that an
// export never waits for a person who is not there.
//
// The active implementation is chosen by the host process
// (SetUserInterface) or by $VELTRANE_UI: "gui", "tty", "script:<file>" or
// "none"; when neither says, "gui" where a display is available and "none"
// otherwise. Every dialog and message box shown is appended as one JSON line
// to $VELTRANE_UI_RECORD when that is set.
//
// Threads: operations are called on the host's thread; the active
// implementation is swapped under a lock.
#ifndef TW_DIALOGS_USER_INTERFACE_H_
#define TW_DIALOGS_USER_INTERFACE_H_

#include <memory>
#include <string>

namespace tw {

// Message box answers carry the Windows button ids.
enum MessageBoxAnswer { kIdOk = 1, kIdCancel = 2, kIdYes = 6, kIdNo = 7 };

enum class MessageBoxButtons { kOk, kOkCancel, kYesNo, kYesNoCancel };
enum class MessageBoxIcon { kNone, kInformation, kExclamation, kError, kQuestion };

struct MessageBoxRequest {
  void* owner = nullptr;  // the host window, or null
  std::string title;
  std::string text;
  MessageBoxButtons buttons = MessageBoxButtons::kOk;
  MessageBoxIcon icon = MessageBoxIcon::kNone;
  int default_button = 0;  // 0: the first button of `buttons`
};

class UserInterface {
 public:
  virtual ~UserInterface() = default;
  // Shows a message box and returns the answer (a MessageBoxAnswer).
  virtual int MessageBox(const MessageBoxRequest& request) = 0;
  // The modeless status window: shows or replaces its text; Hide closes it.
  virtual void ShowStatus(void* owner, const std::string& text) = 0;
  virtual void HideStatus() = 0;
};

// The active implementation (chosen on first use by the rules above).
UserInterface& ActiveUserInterface();
// Installs the host's choice; null returns to the environment's choice.
void SetUserInterface(std::unique_ptr<UserInterface> ui);

// Shorthand for the common case.
int ShowMessageBox(void* owner, const std::string& title, const std::string& text,
                   MessageBoxButtons buttons, MessageBoxIcon icon);

}  // namespace tw

#endif  // TW_DIALOGS_USER_INTERFACE_H_
