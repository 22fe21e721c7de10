// The scripted user interface: answers dialogs and message boxes from a
// script (the file of VELTRANE_UI=script:<file>) or from answers a test
// queues in-process, in order.
//
// Script syntax, one line per expected dialog or message box:
//   dialog <template id> <button id> [<control id>=<value> ...]
//   msgbox "<title>" <OK|Cancel|Yes|No>
// and two forms for a host that knows some answers but not when, or
// whether, their questions come (a command-line host answering from its
// flags):
//   any dialog ... | any msgbox ...   an answer out of order, taken once by
//                  the first dialog (or attempt of a dialog kept open) or box
//                  it matches that the next ordered line does not answer
//   otherwise none|tty|gui   the form that answers what the script does not
//                  (default none; the last such line counts)
// Blanks separate words. "#" at the start of a word (outside quotes) starts
// a comment that runs to the end of the line. Double quotes group blanks
// into a word ("a b", or 1005="New name"); inside quotes \" is a quote and
// \\ a backslash, and any other backslash stays as it is, so a tree path
// reads 1022="/\Games\Level 1". Outside quotes a backslash is an ordinary
// character. A carriage return before the line feed is ignored. The answer
// word of msgbox is matched without regard to case. A malformed line is
// reported (Errors() and the diagnostic output) and skipped.
//
// Matching: a dialog takes the next line when that line is a dialog line of
// the same template id whose button is one the dialog shows and has
// enabled. The line's values are set as a person would set them (a value
// for a disabled control is ignored: nobody can change a greyed control);
// a tree's value is the text path of the item to select, "/" or the root's
// display name first ("/\Games\Level1", "\Games\Level1"), and the item is
// reached by opening the root and every item on the way, so its children
// come from the dialog's real source. A path that names no item leaves
// nothing selected and is reported (Errors()). Then the line's button is
// pressed. When the dialog stays open (its validation refused, or the
// button ran an action), the lines that follow answer the message boxes it
// raised and then the same dialog again; values set by earlier lines stay.
// A message box takes the next line when that line is a msgbox line with
// exactly its title and an answer among its buttons. When the next line
// does not match, the first matching "any" line answers and is used up.
// Anything else, or anything after the script is used up, goes to the
// "otherwise" form when that is "tty" (and /dev/tty opens) or "gui": it
// takes over the dialog as it stands (values set by earlier lines stay) or
// answers the box as it would alone. Without one it is unexpected: the
// ordered line stays for the next caller, the dialog answers Cancel with
// its initial values and the message box its default button, and the
// record marks it unexpected. The folder chooser takes no line; it goes to
// the "otherwise" form, else chooses nothing (a dialog's folder is set
// through its edit). The status window takes no line; showing it
// (or changing its text) and closing it are recorded as kind "status".
//
// Threads: every operation takes the object's lock; answers are taken in
// the order the callers get the lock. The lock is not held while a
// dialog's callbacks run, so they can raise message boxes of their own.
// Nor is it held while the "otherwise" form runs.
#ifndef TW_UI_SCRIPT_H_
#define TW_UI_SCRIPT_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ui/user_interface.h"

namespace tw {

struct UiScriptEntry {
  enum Kind { kDialog, kMessageBox };
  Kind kind = kDialog;
  int template_id = 0;                // dialog
  int button = kIdCancel;             // dialog: closing button; msgbox: answer id
  std::map<int, std::string> values;  // dialog
  std::string title;                  // msgbox
  std::string where;                  // "<source>:<line>", for reports
  bool any = false;                   // an "any" line: out of order, once
};

struct UiScript {
  std::vector<UiScriptEntry> entries;
  std::vector<std::string> errors;  // "<source>:<line>: <what is wrong>"
  // The "otherwise" form: kNone, kTty or kGui.
  UserInterfaceChoice::Kind fallback = UserInterfaceChoice::kNone;
  bool fallback_given = false;  // the script has an "otherwise" line
};

// Parses a script text; never throws. `source` names it in reports.
UiScript ParseUiScript(const std::string& text, const std::string& source);

// Script files larger than this are refused as a whole.
constexpr size_t kMaxUiScriptBytes = 1 << 20;

class ScriptedUserInterface : public UserInterface {
 public:
  ScriptedUserInterface() = default;

  // Reads the script file `path`; a file that cannot be read, or is larger
  // than kMaxUiScriptBytes, gives an empty script and an error.
  static std::shared_ptr<ScriptedUserInterface> FromFile(const std::string& path);

  // Appends the entries of a script text after those already queued;
  // returns the number of malformed lines.
  size_t AddScript(const std::string& text, const std::string& source);
  // Queue one answer, as a script line would.
  void QueueDialog(int template_id, int button, std::map<int, std::string> values = {});
  void QueueMessageBox(const std::string& title, int answer);

  // Entries not yet taken, ordered and "any" ones together.
  size_t Remaining() const;
  // Installs the form that answers what the script does not, instead of the
  // one its "otherwise" line names (null: nobody, as "none").
  void SetFallback(std::shared_ptr<UserInterface> fallback);
  // Every problem found in the scripts given so far.
  std::vector<std::string> Errors() const;

  void ShowStatus(void* owner, const std::string& text) override;
  void HideStatus() override;
  std::string Name() const override { return "script"; }

 protected:
  void RunDialog(OpenDialog& dialog) override;
  MessageBoxOutcome RunMessageBox(const MessageBoxRequest& request) override;
  bool RunChooseFolder(void* owner, const std::string& title, std::string* folder) override;

 private:
  void AddError(const std::string& error);  // requires mutex_
  // The line that answers the dialog as it stands, or the box, taken out
  // of the script: the next ordered line, else the first "any" line.
  bool TakeDialogLine(const OpenDialog& dialog, UiScriptEntry* line);      // requires mutex_
  bool TakeMessageBoxLine(const MessageBoxRequest& request, int* answer);  // requires mutex_
  // Both through this: the first line `matches` takes, in that order.
  bool TakeLine(const std::function<bool(const UiScriptEntry&)>& matches,
                UiScriptEntry* line);  // requires mutex_
  // The "otherwise" form, built on first use; null when nobody answers.
  std::shared_ptr<UserInterface> Fallback();  // requires mutex_

  mutable std::mutex mutex_;
  std::deque<UiScriptEntry> pending_;  // guarded by mutex_
  std::vector<UiScriptEntry> any_;     // guarded by mutex_; in script order
  UserInterfaceChoice::Kind fallback_kind_ = UserInterfaceChoice::kNone;  // guarded by mutex_
  std::shared_ptr<UserInterface> fallback_;                               // guarded by mutex_
  bool fallback_built_ = false;                                           // guarded by mutex_
  std::vector<std::string> errors_;                                       // guarded by mutex_
  bool status_shown_ = false;                                             // guarded by mutex_
  std::string status_text_;                                               // guarded by mutex_
};

}  // namespace tw

#endif  // TW_UI_SCRIPT_H_
