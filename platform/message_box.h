// Message boxes, as every layer may raise them, and the one way the layers
// below the user interface reach the person: ShowMessageBox (a question
// or a notice) and PumpUserInterfaceEvents (a turn for the windows while a
// call waits). The user interface (ui/) installs its own answers for both
// with SetUserPrompts when it starts; until then a box takes its default
// button and nothing is pumped, as when nobody is there to answer. So the
// transport, the messages and the session never name a dialog or a form.
//
// Threads: the prompts are stored atomically; either call may come from any
// thread, and the installed functions decide what they do there.
#ifndef TW_PLATFORM_MESSAGE_BOX_H_
#define TW_PLATFORM_MESSAGE_BOX_H_

#include <string>
#include <vector>

namespace tw {

// Message box answers and the closing buttons of dialogs carry the Windows
// button ids.
enum MessageBoxAnswer { kIdOk = 1, kIdCancel = 2, kIdYes = 6, kIdNo = 7 };

enum class MessageBoxButtons { kOk, kOkCancel, kYesNo, kYesNoCancel };
enum class MessageBoxIcon { kNone, kInformation, kExclamation, kError, kQuestion };

struct MessageBoxRequest {
  void* owner = nullptr;  // the host window, or null
  std::string title;
  std::string text;
  MessageBoxButtons buttons = MessageBoxButtons::kOk;
  MessageBoxIcon icon = MessageBoxIcon::kNone;
  int default_button = 0;  // an answer id among `buttons`; 0: the first button
};

// The answer ids of a button set, in the order the box shows them.
std::vector<int> MessageBoxButtonIds(MessageBoxButtons buttons);
// The button a box answers when nobody chooses: `default_button` when it is
// one of the box's buttons, else the first button of the set.
int DefaultMessageBoxAnswer(const MessageBoxRequest& request);
// "OK", "Cancel", "Yes", "No"; an empty text for any other id.
const char* MessageBoxAnswerName(int answer);

// The user interface's answers.
struct UserPrompts {
  int (*message_box)(const MessageBoxRequest& request) = nullptr;  // the answer id
  bool (*pump_events)() = nullptr;  // whether any event was dispatched
};
// Installs `prompts`; a null member goes back to the default for it.
void SetUserPrompts(const UserPrompts& prompts);

// Shows a message box through the installed prompts and returns the answer
// (a MessageBoxAnswer); without any, the box's default button.
int ShowMessageBox(void* owner, const std::string& title, const std::string& text,
                   MessageBoxButtons buttons, MessageBoxIcon icon);
// Dispatches the pending events of the user interface's windows when the
// calling thread is theirs (see ui/user_interface.h); false without
// prompts installed.
bool PumpUserInterfaceEvents();

}  // namespace tw

#endif  // TW_PLATFORM_MESSAGE_BOX_H_
