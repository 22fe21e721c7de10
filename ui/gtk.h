// The GTK and X11 calls of the windowed form that wxWidgets does not offer:
// starting GTK with a clear answer, dispatching its pending events, the
// geometry of a host's window given by its X window id, marking a window of
// ours as transient for it, and placing the native dialogs (message boxes,
// the folder chooser) that GTK builds and maps by itself. Kept apart from
// the wxWidgets code because the X11 headers define macros (None, Status,
// Bool...) that clash with it.
//
// Owner windows: a host names its window by its X11 window id (the XID,
// carried in the `void*` owner value), the only handle every toolkit can
// give on X11; null means no owner. Under Wayland, or for an id that names
// no viewable window, there is no owner rectangle and nothing is made
// transient.
//
// Threads: every function except GtkDisplayAvailable and GtkPrepare must be
// called on the thread that started GTK, after it started.
#ifndef TW_UI_GTK_H_
#define TW_UI_GTK_H_

#include <optional>
#include <string>

#include "ui/templates.h"

namespace tw {

// Whether $DISPLAY or $WAYLAND_DISPLAY is set and non-empty.
bool GtkDisplayAvailable();

// Prepares GTK's start on the calling thread (wxWidgets starts it with
// gtk_init_check): it must not touch the process's locale (the host owns
// it) and prefers X11 where both X11 and Wayland are offered. A host that
// runs GTK itself does so on its main thread, so then only that thread
// may show windows. False with `*why` set when there is no display or the
// thread may not use GTK. Call once, before GTK starts.
bool GtkPrepare(std::string* why);

// Dispatches the events and sources pending on GTK's main context, at most
// `limit` of them; returns how many were dispatched.
int GtkDispatchPending(int limit);

// Waits until the display server has handled every request sent so far, so
// that the events they cause (a map, an expose) are pending.
void GtkSyncDisplay();

// The rectangle, in root-window coordinates, of the X window `xid` when it
// is viewable; nullopt otherwise (no X11 display, a bad id, an unmapped
// window).
std::optional<UiRect> ForeignWindowRect(unsigned long xid);

// Realises the GTK window `gtk_widget` (a GtkWidget*) unless it is: its
// display-server window exists from then on, before it is shown.
void RealizeWindow(void* gtk_widget);

// Marks the GTK window `gtk_widget` as transient for the X window `xid`
// (realising it first), so that a window manager keeps it above the host's
// window. Does nothing without X11 or for a bad id.
void SetTransientForForeign(void* gtk_widget, unsigned long xid);

// Text labels: the GTK label `gtk_label` wraps its text, breaking a word
// longer than a line (a path) between characters. Returns the height it
// needs to show all of it at `width` pixels; 0 for a widget that is no
// label.
int GtkWrappedLabelHeight(void* gtk_label, int width);

// The height GTK's theme asks for the widget `gtk_widget` (its font's line
// and the theme's padding and border); 0 for a null widget.
int GtkPreferredHeight(void* gtk_widget);

// The X window id of the realised GTK window `gtk_widget`; 0 without X11
// or before it is realised.
unsigned long GtkWindowXid(void* gtk_widget);

// Native dialogs: while a NativeDialogPlacement is alive, the next GTK
// window that maps and is not excluded is moved to PlaceDialog(its size,
// `owner`, `work_area`) and, with an `owner_xid`, made transient for it.
// One at a time; nested scopes restore the outer one.
class NativeDialogPlacement {
 public:
  NativeDialogPlacement(std::optional<UiRect> owner, UiRect work_area, unsigned long owner_xid);
  ~NativeDialogPlacement();
  NativeDialogPlacement(const NativeDialogPlacement&) = delete;
  NativeDialogPlacement& operator=(const NativeDialogPlacement&) = delete;

  struct State {
    std::optional<UiRect> owner;
    UiRect work_area;
    unsigned long owner_xid = 0;
    bool used = false;
  };

 private:
  State state_;
  State* outer_;
};

// Removes the hook that places native dialogs (at shut-down).
void RemoveNativeDialogHook();

}  // namespace tw

#endif  // TW_UI_GTK_H_
