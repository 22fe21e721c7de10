// The windowed form of the user-interface seam: every dialog of the system
// as a real window built with wxWidgets on GTK, from the template table
// (ui/templates.h) and the dialog's request, driven through the
// same OpenDialog as the scripted and terminal forms.
//
// The host is not a wxWidgets program. The windowing starts lazily, on the
// first dialog, message box, chooser or status window, on the thread that
// asks, and only with a display where GTK starts (ui/gtk.h); it
// creates a wxApp of its own (wxEntryStart) but never runs an event loop
// between calls: dialogs run their own modal loops, the status window is
// repainted when its text changes, and waits pump pending events through
// PumpWindowEvents. When the windowing cannot start, or a request
// comes from any thread but the one it started on, the form behaves as
// "none" (dialogs Cancel, message boxes their default button) and says why
// in the diagnostic output. ShutdownUserInterface ends it at module unload,
// after every thread of the system has stopped.
//
// What a person sees:
//   - a dialog: the template's controls with their ids (FindWindow(id) on
//     the dialog finds each; the dialog's own id is the template id), texts
//     from the request, the template's captions elsewhere, values and items
//     from the request, the enabled flags; the default button takes Enter;
//     Escape and the close box press Cancel (2) when the dialog has it, the
//     only button when it has one, and otherwise do nothing. A button press
//     reads the controls into the OpenDialog and presses it; the dialog
//     stays open when the dialog's callback says so, and shows the values
//     and texts the callback changed. Tree views list an item's children
//     when it is first expanded; items show a closed folder, the selected
//     one an open folder. While a callback runs, the dialog ignores further
//     clicks and expansions (a wait inside it pumps events).
//   - a message box: wxMessageDialog with the requested buttons, icon and
//     default; closing it without a button answers Cancel, else No, else
//     OK, whichever the box has.
//   - the folder chooser: wxDirDialog with the given title, starting at the
//     given folder.
//   - the status window (template 112): modeless, its text centred; each
//     new text is laid out (the window grows to fit, never cutting it),
//     painted, and the pending events are dispatched.
//   - placement: every window is centred over its owner (one of our own
//     windows, or a host window named by its X window id, see
//     ui/gtk.h), else over the work area, then pushed inside the
//     work area.
//
// Combo box and drop-down list values: the text, or the selected index
// when the dialog gave the initial value as an index (a number within the
// items that is no item's text); read back in the same form. Report list
// rows are the request's items for the list, cells separated by tabs.
// Controls a template does not have are not shown (their values pass back
// unchanged); a template id the table does not know is laid out from the
// request alone (texts as lines, each value an edit, trees, buttons).
//
// On Linux the windows are a module of their own, loaded with the first
// window asked for (ui/gui_module.h); the class here forwards to it.
//
// On Windows the same class is the native form instead: the module's own
// dialog templates run by the Win32 dialog manager (ui/win32/gui.cc).
//
// Threads: the object may be called from any thread; only the windowing
// thread gets windows.
#ifndef TW_UI_GUI_H_
#define TW_UI_GUI_H_

#include <string>

#include "ui/user_interface.h"

namespace tw {

class GuiUserInterface : public UserInterface {
 public:
  void ShowStatus(void* owner, const std::string& text) override;
  void HideStatus() override;
  std::string Name() const override { return "gui"; }

 protected:
  void RunDialog(OpenDialog& dialog) override;
  MessageBoxOutcome RunMessageBox(const MessageBoxRequest& request) override;
  bool RunChooseFolder(void* owner, const std::string& title, std::string* folder) override;
};

// Starts the windowing on the calling thread unless it was tried before;
// true when it is up and this is its thread. For tests and hosts that want
// to know before the first dialog.
bool StartWindowing();
// Whether the windowing is up (on whichever thread).
bool WindowingIsUp();

#ifdef _WIN32
// Whether this process's window station is the interactive one (WSF_VISIBLE):
// a service's or a scheduled task's windows are never seen.
bool WindowStationIsVisible();
#endif

}  // namespace tw

#endif  // TW_UI_GUI_H_
