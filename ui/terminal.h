// The terminal user interface, for the command-line host: dialogs and
// message boxes become prompts on /dev/tty (or on a pair of descriptors a
// test hands in).
//
// A message box prints its title and text and asks for one of its buttons
// (the name or its first letter, without regard to case; y/yes and n/no
// mean OK and Cancel where no Yes or No is offered; an empty answer takes
// the default button). A dialog prints its title and its other texts, then
// asks for each enabled value control in control-id order, showing the
// current value as the default (an empty answer keeps it; a secret control
// is read with echo off when the input is a terminal and its value is never
// shown; a number-only control asks again until the answer is a number in
// its range), then asks for the button to press among the enabled buttons
// (its id, its caption, the letter its caption marks ("&Yes": y), or the
// first letter of its caption when no other button starts so; y/yes and
// n/no mean OK and Cancel where no button is marked so; empty: the default
// button). A tree is walked by number:
// the selected item's children are listed (opening it), a number selects
// one of them (the root while nothing is selected), 0 moves to the item
// above, and an empty answer keeps the selection. When the dialog stays
// open after the button (its validation refused, or the button ran an
// action) it is shown again with its values as they are. When the input
// ends, the dialog answers Cancel with its initial values and the message
// box its default button. The folder chooser asks for a folder (empty: none
// chosen). The status window prints its text as a line.
//
// Texts from elsewhere (file names, server data) are printed with control
// characters shown as ^X and invalid or C1 bytes as "?", so that nothing
// printed can steer the terminal.
//
// Threads: one conversation at a time (the object's lock is held for the
// whole of a dialog or message box, and a dialog's callbacks raise their
// boxes inside it on the same thread); the descriptors are fixed at
// construction.
#ifndef TW_UI_TERMINAL_H_
#define TW_UI_TERMINAL_H_

#include <memory>
#include <mutex>
#include <string>

#include "platform/terminal_text.h"
#include "ui/user_interface.h"

namespace tw {

class TerminalUserInterface : public UserInterface {
 public:
  // Talks through `in_fd` and `out_fd`, which stay the caller's to close and
  // must outlive the object.
  TerminalUserInterface(int in_fd, int out_fd);
  ~TerminalUserInterface() override;
  TerminalUserInterface(const TerminalUserInterface&) = delete;
  TerminalUserInterface& operator=(const TerminalUserInterface&) = delete;

  // Opens the controlling terminal (/dev/tty) for both directions; null when
  // the process has none.
  static std::shared_ptr<TerminalUserInterface> OpenTty();

  void ShowStatus(void* owner, const std::string& text) override;
  void HideStatus() override {}
  std::string Name() const override { return "tty"; }

 protected:
  void RunDialog(OpenDialog& dialog) override;
  MessageBoxOutcome RunMessageBox(const MessageBoxRequest& request) override;
  bool RunChooseFolder(void* owner, const std::string& title, std::string* folder) override;

 private:
  // One round of a dialog; each is false when the input has ended.
  bool AskValue(OpenDialog& dialog, int id);
  bool WalkTree(OpenDialog& dialog, int id);
  bool AskButton(const OpenDialog& dialog, int* button);
  // Reads one line without its line feed; false when the input has ended
  // or failed. Lines longer than 4096 bytes are cut.
  bool ReadLine(std::string* line);
  void Write(const std::string& text);
  // Prints `prompt` and reads the answer; a secret one with echo off when
  // the input is a terminal.
  bool Ask(const std::string& prompt, std::string* answer, bool secret = false);

  // Held for a whole conversation; a dialog's callbacks raise boxes and
  // choosers inside it on the same thread.
  std::recursive_mutex mutex_;
  const int in_fd_;
  const int out_fd_;
  int owned_fd_ = -1;  // /dev/tty when OpenTty opened it
};

}  // namespace tw

#endif  // TW_UI_TERMINAL_H_
