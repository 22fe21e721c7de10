// The windows of the windowed form (ui/gui.h), shared by its two
// files: a dialog window built from its template (TemplateWindow), the
// modal run of an OpenDialog in one, and what every window of the form
// needs: its owner resolved, its place on the screen, its painting.
//
// Threads: the windowing thread only.
#ifndef TW_UI_GUI_WINDOW_H_
#define TW_UI_GUI_WINDOW_H_

#include <wx/dialog.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ui/templates.h"
#include "ui/user_interface.h"

namespace tw::gui {

// Whom a window belongs to: one of our own windows, or a host window (its X
// window id, when it is viewable), with its rectangle on the screen; all
// empty for no owner.
struct Owner {
  wxWindow* window = nullptr;
  unsigned long xid = 0;
  std::optional<UiRect> rect;
};
Owner ResolveOwner(void* handle);

// The handle of our window `window` as owners and OpenDialog::window() give
// it: its X window id when it has one, else the pointer.
void* WindowHandle(wxWindow* window);

// The work area of the display under `near` (the primary display without).
UiRect WorkArea(const std::optional<UiRect>& near);

// Moves `window` (sized already) to its place over `owner` and, for a host
// owner, makes it transient for the host's window.
void PlaceWindow(wxWindow* window, const Owner& owner);

// Gets `window` drawn now: waits for the display server, dispatches the
// pending events (its expose among them) and paints what is invalid.
void PaintNow(wxWindow* window);

// Our windows, so that an owner handle naming one is recognised; a window
// is registered for the lifetime of this object.
class WindowRegistration {
 public:
  explicit WindowRegistration(wxWindow* window);
  ~WindowRegistration();
  WindowRegistration(const WindowRegistration&) = delete;
  WindowRegistration& operator=(const WindowRegistration&) = delete;

 private:
  wxWindow* const window_;
};

class WrappingText;

// A dialog window laid out from its template (or, for a template id the
// table does not know, from the request alone), showing `request` with
// `values`. The window's id is the template id, each control's id its
// control id.
class TemplateWindow : public wxDialog {
 public:
  TemplateWindow(wxWindow* parent, const DialogRequest& request,
                 const std::map<int, std::string>& values, long style);

  // Shows `text` in the static text or caption `id`, growing the window
  // when the text needs more room.
  void SetControlText(int id, const std::string& text);
  // Grows the window to the size its contents need (it never shrinks),
  // staying inside the work area.
  void GrowToFit();

 protected:
  struct Control {
    UiControlKind kind;
    wxWindow* window;
    bool index_value = false;  // a list whose value is the selected index
  };
  const std::map<int, Control>& controls() const { return controls_; }
  const UiDialogTemplate& layout() const { return layout_; }

  // Wraps the data texts at a width that fits the dialog and the work area,
  // each as high as its lines need; a text the work area cannot hold
  // scrolls in its pane.
  void FitTexts();

  // The value a value control shows, in the request's form.
  std::string ReadValue(const Control& control) const;
  void WriteValue(const Control& control, const std::string& value);

 private:
  void Build(const DialogRequest& request, const std::map<int, std::string>& values);
  wxWindow* MakeControl(wxWindow* parent, const UiControlTemplate& control,
                        const DialogRequest& request, const std::map<int, std::string>& values,
                        bool first_radio);

  struct WrappedText {
    WrappingText* label;
    wxWindow* pane;  // the scrolled pane it sits in, or null
  };

  UiDialogTemplate layout_;
  std::map<int, Control> controls_;
  std::vector<WrappedText> texts_;
};

// Runs `dialog` as a modal window until it closes or the window is closed.
void RunModalDialog(OpenDialog& dialog);

}  // namespace tw::gui

#endif  // TW_UI_GUI_WINDOW_H_
