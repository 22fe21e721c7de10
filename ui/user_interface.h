// The user-interface seam: every dialog and message box of the system goes
// through UserInterface. A dialog is described generically (DialogRequest:
// its template id, title, control texts, enabled flags and initial values)
// and answered generically (DialogResult: the closing button and the values
// read back), so that the scripted and terminal forms and the record serve
// every dialog; each typed dialog operation is a thin wrapper over
// ShowDialog.
//
// What a dialog does while it is open stays in the dialog, whatever the
// form: a tree control is described by its root item and a TreeSource
// (ui/tree.h) and loads children as items are opened; `on_button`
// runs when a button is pressed and decides whether the dialog closes
// (validation that keeps it open, an action such as a merge or a folder
// chooser); `on_select` runs when a tree's selection changes. A form drives
// an OpenDialog: it shows the texts, lets the person change values and walk
// trees, and calls Press for each button pressed until the dialog closes;
// OpenDialog runs the dialog's callbacks and writes the record, so every
// form behaves alike and a windowed form only has to call the same
// operations from its events.
//
// Implementations:
//   "none"      a dialog answers Cancel (2) with its initial values, a
//               message box its default button; nobody is ever waited for.
//   "script"    answers from a script file or from answers a test queues
//               (ui/script.h).
//   "tty"       prompts on /dev/tty (ui/terminal.h); when /dev/tty
//               cannot be opened it behaves as "none".
//   "gui"       the windowed form (ui/gui.h): real windows on
//               the display, started on the first dialog; it behaves as
//               "none" where no windows can be shown or on a thread other
//               than the one the windows started on. On Windows it is the
//               module's native dialog templates (ui/win32/gui.cc);
//               the windows start on the first thread that asks for one.
//
// Selection: an implementation installed by the host (SetUserInterface)
// wins. Otherwise $VELTRANE_UI decides ("gui", "tty", "script:<file>",
// "none"); when it is unset or empty, "gui" on Windows when the process's
// window station is visible and where $DISPLAY or $WAYLAND_DISPLAY is set,
// else "none"; "tty" is used only when asked for.
// An unknown value gives "none". The environment is consulted on every
// ActiveUserInterface() call while the host has installed nothing, and the
// implementation it chose is kept (a script keeps its place) until the
// choice changes; SetUserInterface(nullptr) drops the host's implementation
// and the kept one, so the next call builds afresh from the environment.
//
// Record: every dialog and message box shown, whatever the implementation,
// is appended as one JSON line to the file named by $VELTRANE_UI_RECORD
// (read at each record) when it is set; see ui/record.h. A dialog
// is recorded once per button pressed (with the texts shown when it was
// pressed), so a dialog kept open by its validation shows up once for each
// attempt, each followed by the message boxes that attempt raised. The status
// window is neither a dialog nor a message box; only the scripted form
// records it (kind "status"), so that tests can see it was shown.
//
// Threads: ActiveUserInterface() returns a snapshot (shared_ptr) taken under
// the selection lock, so a concurrent SetUserInterface never destroys an
// implementation that a caller still uses; the old one dies with its last
// snapshot. The implementations in this folder guard their own state with an
// internal lock and may be called from any thread; operations are meant to
// be called on the host's thread that runs the exports. A dialog's
// callbacks run on the thread that shows it and may raise message boxes and
// choosers on the same implementation (re-entrant on that thread).
#ifndef TW_UI_USER_INTERFACE_H_
#define TW_UI_USER_INTERFACE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/message_box.h"
#include "ui/tree.h"

namespace tw {

class OpenDialog;
class UserInterface;

// What a button's callback decides.
enum class ButtonOutcome { kClose, kKeepOpen };

// A tree control: its root item and where the children come from.
struct TreeControl {
  TreeItem root;
  TreeSource* source = nullptr;  // not owned; outlives ShowDialog; null: no children
};

// A report-style list view: its column captions with their widths in
// pixels, and its rows, one text per column. Read-only: a form shows it and
// nobody changes it, so it has no value. Its text form (ListText) is what
// the record holds for it and what the terminal prints.
struct ListColumn {
  std::string caption;
  int width = 100;
};
struct ListControl {
  std::vector<ListColumn> columns;
  std::vector<std::vector<std::string>> rows;
};
// The captions, then one line per row; the cells of a line are joined with
// a tab, and a tab or line break inside a cell is shown as a blank.
std::string ListText(const ListControl& list);

// What a dialog shows when it opens. Control ids are those of the dialog's
// template. Only `texts` and `enabled` are recorded, so a typed dialog puts
// there what a person would read (labels, button captions, the contents of
// a plain edit) and keeps secrets (a password) out of `texts`.
struct DialogRequest {
  void* owner = nullptr;
  int template_id = 0;
  std::string title;
  std::map<int, std::string> texts;  // control id -> text shown
  std::map<int, bool> enabled;       // control id -> enabled; unlisted: enabled
  // The controls whose values the dialog reads back, with their initial
  // values in the script form: an edit's text, "1"/"0" for a check box or
  // radio button, a combo box's text or index, a tree view's selected
  // display-name path joined with "\".
  std::map<int, std::string> values;
  // The caption beside a value control when its own text is not one (the
  // label "User Name:" beside edit 1001). Used for prompts; not recorded.
  std::map<int, std::string> labels;
  // Value controls whose contents are never echoed or shown (a password).
  std::set<int> secret;
  // Value controls that take a whole number only, within [first, second]
  // (a number-only edit, such as a port). A form refuses other text there
  // and asks again. Not recorded.
  std::map<int, std::pair<int64_t, int64_t>> numbers;
  // The entries a combo or list box offers, by control id, in display
  // order (the known servers of the logon dialog). Not recorded.
  std::map<int, std::vector<std::string>> items;
  // The buttons that close the dialog, in display order; empty means OK (1)
  // and Cancel (2). Captions come from `texts`.
  std::vector<int> buttons;
  int default_button = 0;  // 0: the first enabled button
  // Tree views by control id. A tree starts with nothing selected and its
  // root open (the root's children are listed when a form first shows or
  // walks it). Its value, in DialogResult::values and for the forms, is
  // the selected item's TreeModel::TextPath, empty when nothing is selected.
  std::map<int, TreeControl> trees;
  // Report-style list views by control id. The record shows each under
  // `texts` as its ListText (a `texts` entry of the same id wins).
  std::map<int, ListControl> lists;
  // Runs when a button is pressed, before the dialog closes, with the
  // values as they are; kKeepOpen keeps the dialog open for the next
  // attempt. Null: every button closes. Not run when nobody answers (the
  // dialog is then cancelled; see OpenDialog::Dismiss).
  std::function<ButtonOutcome(OpenDialog& dialog, int button)> on_button;
  // Runs after the selection of tree `tree` changed.
  std::function<void(OpenDialog& dialog, int tree)> on_select;

  bool IsEnabled(int control_id) const;
  // `buttons`, or OK and Cancel when it is empty.
  std::vector<int> ButtonsShown() const;
};

struct DialogResult {
  int button = kIdCancel;             // the id of the button that closed it
  std::map<int, std::string> values;  // read back, by control id
  // Set by an implementation that answered a dialog it was not prepared for
  // (the scripted one, on a dialog that does not match its next line).
  bool unexpected = false;
};

// The result of a dialog nobody answers: Cancel with the initial values.
DialogResult CancelledDialog(const DialogRequest& request);

// One dialog while it is shown: its current texts and values, its trees,
// and what pressing a button does. Built by ShowDialog and handed to the
// form, which changes values, walks trees and presses buttons until
// closed() (or dismisses it). Used on the dialog's thread only.
class OpenDialog {
 public:
  OpenDialog(UserInterface& ui, const DialogRequest& request);
  OpenDialog(const OpenDialog&) = delete;
  OpenDialog& operator=(const OpenDialog&) = delete;

  // The request as opened, with the texts as they are now (the labels the
  // dialog updated; an edit's text stays what it showed on opening, its
  // contents are its value).
  const DialogRequest& request() const { return current_; }
  // The window over which boxes raised while the dialog is open appear:
  // the form's own window once it has set one, else the dialog's owner.
  void* window() const { return window_ != nullptr ? window_ : current_.owner; }
  void set_window(void* window) { window_ = window; }

  // A text shown (a label the dialog updates while open).
  void SetText(int control_id, const std::string& text);
  bool IsEnabled(int control_id) const { return current_.IsEnabled(control_id); }
  // Whether `button` is one of the buttons shown and enabled.
  bool CanPress(int button) const;

  // The value controls (those with values and the trees), by control id.
  const std::map<int, std::string>& values() const { return values_; }
  std::string Value(int control_id) const;
  // Sets a value as a person would type or choose it. For a tree, selects
  // the item that the path names, opening each item on the way (Find);
  // false with `*error` set, and nothing selected, when no item has that
  // path.
  bool SetValue(int control_id, const std::string& value, std::string* error = nullptr);

  // The model of tree `control_id`; null when it is no tree.
  TreeModel* tree(int control_id);
  // Selects `node` (null: nothing) in tree `control_id` and runs on_select
  // when the selection changed.
  void Select(int control_id, TreeNode* node);

  // Raised while the dialog is open, on the form that shows it, over it.
  int MessageBox(const std::string& title, const std::string& text, MessageBoxButtons buttons,
                 MessageBoxIcon icon);
  bool ChooseFolder(const std::string& title, std::string* folder);

  // A person pressed `button`: appends the record line, runs on_button and
  // returns true when the dialog closed with that button (its result holds
  // the values as they are then). A button that is not shown or is
  // disabled does nothing (false). A callback that throws keeps the dialog
  // open; the fault goes to the diagnostic output.
  bool Press(int button);
  // Nobody answers (no person, the input ended, the script does not
  // match): closes with Cancel and the initial values without asking the
  // dialog, and appends the record line.
  void Dismiss(bool unexpected);

  bool closed() const { return closed_; }
  // How the dialog closed; Cancel with the initial values until then.
  const DialogResult& result() const { return result_; }

 private:
  UserInterface& ui_;
  DialogRequest current_;
  std::map<int, std::string> values_;
  std::map<int, std::unique_ptr<TreeModel>> trees_;
  void* window_ = nullptr;
  bool closed_ = false;
  DialogResult result_;
};

// Marks the span of a dialog's callback in a windowed form: clicks,
// expansions and selections that events pumped meanwhile (a wait pumps
// them) would deliver are ignored while `*busy` is set.
class BusySpan {
 public:
  explicit BusySpan(bool* busy) : busy_(busy), was_(*busy) { *busy_ = true; }
  ~BusySpan() { *busy_ = was_; }
  BusySpan(const BusySpan&) = delete;
  BusySpan& operator=(const BusySpan&) = delete;

 private:
  bool* const busy_;
  const bool was_;
};

// A windowed form's press of `button`: nothing while `*busy` or when it
// cannot be pressed; else `read` takes the controls' values in, the press
// runs as a busy span, and `write` shows what the callbacks changed when
// the dialog stays open. True when it closed with `button`.
template <typename Read, typename Write>
bool PressFromWindow(OpenDialog& dialog, bool* busy, int button, Read read, Write write) {
  if (*busy || dialog.closed() || !dialog.CanPress(button)) return false;
  read();
  bool closed;
  {
    BusySpan span(busy);
    closed = dialog.Press(button);
  }
  if (!closed) write();
  return closed;
}

class UserInterface {
 public:
  virtual ~UserInterface() = default;

  // Shows a dialog modally until it closes (see OpenDialog) and returns how
  // it was closed; appends a record line per button pressed. Never throws
  // for a dialog nobody answers.
  DialogResult ShowDialog(const DialogRequest& request);
  // Shows a message box and returns the answer (a MessageBoxAnswer); appends
  // the record line.
  int MessageBox(const MessageBoxRequest& request);
  // A folder chooser titled `title` starting at `*folder`: true with
  // `*folder` replaced when a folder was chosen; false (unchanged) when
  // none was, or the form has no chooser.
  bool ChooseFolder(void* owner, const std::string& title, std::string* folder);

  // The modeless status window: shows it or replaces its text; HideStatus
  // closes it (harmless when none is shown).
  virtual void ShowStatus(void* owner, const std::string& text) = 0;
  virtual void HideStatus() = 0;

  // "none", "gui", "tty" or "script": for diagnostics and tests.
  virtual std::string Name() const = 0;

 protected:
  struct MessageBoxOutcome {
    int answer = kIdCancel;
    bool unexpected = false;
  };
  // The implementation's part. RunDialog drives `dialog` until it is
  // closed (Press) or dismissed; returning with it still open cancels it.
  // MessageBox adds the record to RunMessageBox.
  virtual void RunDialog(OpenDialog& dialog) = 0;
  virtual MessageBoxOutcome RunMessageBox(const MessageBoxRequest& request) = 0;
  virtual bool RunChooseFolder(void* /*owner*/, const std::string& /*title*/,
                               std::string* /*folder*/) {
    return false;
  }

  // Let one implementation hand a dialog, box or chooser to another without
  // a second record line (the scripted form's "otherwise" form).
  static void RunDialogOf(UserInterface& ui, OpenDialog& dialog) { ui.RunDialog(dialog); }
  static MessageBoxOutcome RunMessageBoxOf(UserInterface& ui, const MessageBoxRequest& request) {
    return ui.RunMessageBox(request);
  }
  static bool RunChooseFolderOf(UserInterface& ui, void* owner, const std::string& title,
                                std::string* folder) {
    return ui.RunChooseFolder(owner, title, folder);
  }
};

// Nobody answers: dialogs are cancelled, message boxes take their default.
class NoUserInterface : public UserInterface {
 public:
  void ShowStatus(void*, const std::string&) override {}
  void HideStatus() override {}
  std::string Name() const override { return "none"; }

 protected:
  void RunDialog(OpenDialog& dialog) override;
  MessageBoxOutcome RunMessageBox(const MessageBoxRequest& request) override;
};

// What $VELTRANE_UI (or its absence) asks for.
struct UserInterfaceChoice {
  enum Kind { kNone, kGui, kTty, kScript };
  Kind kind = kNone;
  std::string script_path;  // for kScript

  bool operator==(const UserInterfaceChoice& other) const {
    return kind == other.kind && script_path == other.script_path;
  }
};
// The rule above as a pure function: `ui` is $VELTRANE_UI (null when unset),
// `display_available` whether $DISPLAY or $WAYLAND_DISPLAY is non-empty.
UserInterfaceChoice ChooseUserInterface(const char* ui, bool display_available);
// The same, from this process's environment.
UserInterfaceChoice ChooseUserInterfaceFromEnvironment();

// A new implementation of the form `choice` names, as the environment's
// choice builds it ("tty" without a terminal gives "none").
std::shared_ptr<UserInterface> MakeUserInterface(const UserInterfaceChoice& choice);

// The active implementation (never null); see Selection above.
std::shared_ptr<UserInterface> ActiveUserInterface();
// Installs the host's choice; null returns to the environment's choice and
// forgets the implementation kept for it.
void SetUserInterface(std::shared_ptr<UserInterface> ui);

// Dispatches the events pending for the windowed form's windows when its
// windows are up and the calling thread is theirs; returns whether any was
// dispatched. Does nothing (false) on any other thread, before the windows
// started and after they were shut down. A synchronous wait calls it
// (through PumpUserInterfaceEvents) between its slices, so that windows (the status window) keep
// painting. On Windows it dispatches whatever the calling thread's queue holds (the host's windows'
// messages too, with or without a status window), there also before the first window was asked for.
bool PumpWindowEvents();
// Ends the windowed form's windows (the status window is closed and
// wxWidgets released); later requests behave as "none". Called once at
// module unload, after every thread of the system has stopped, on the
// unloading thread: the windows are released only when that is their own
// thread, otherwise they are left to the process's end.
void ShutdownUserInterface();

// Makes the active implementation answer the message boxes of the layers
// below it and pump its events during their waits (platform/message_box.h).
// Done by the provider module when it is loaded, and by the first use of
// ActiveUserInterface or SetUserInterface; harmless when repeated.
void InstallUserInterfacePrompts();

// A shorthand on the active implementation (ShowMessageBox, declared in
// platform/message_box.h, reaches it too once the prompts are installed).
DialogResult ShowDialog(const DialogRequest& request);

}  // namespace tw

#endif  // TW_UI_USER_INTERFACE_H_
