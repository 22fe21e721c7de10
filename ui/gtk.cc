#include "ui/gtk.h"

#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace tw {

namespace {

// The placement waiting for the next native dialog, and the hook that
// applies it. GTK's thread only.
NativeDialogPlacement::State* pending_placement = nullptr;
guint show_signal = 0;
gulong show_hook = 0;

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

#ifdef GDK_WINDOWING_X11
// The default display when it is an X11 one.
GdkDisplay* X11Display() {
  GdkDisplay* display = gdk_display_get_default();
  return display != nullptr && GDK_IS_X11_DISPLAY(display) ? display : nullptr;
}
#endif

void MakeTransient(GtkWidget* widget, unsigned long xid) {
  SetTransientForForeign(widget, xid);
}

// Runs at the start of every "show": a native dialog shown while a
// placement waits is moved before GTK computes its first position, so that
// it appears in place rather than jumping there.
gboolean OnShow(GSignalInvocationHint*, guint count, const GValue* params, gpointer) {
  if (pending_placement == nullptr || pending_placement->used || count < 1) return TRUE;
  GObject* object = G_OBJECT(g_value_get_object(&params[0]));
  // Native dialogs are GtkDialogs; the windows built by wxWidgets are not.
  if (object == nullptr || !GTK_IS_DIALOG(object)) return TRUE;
  GtkWindow* window = GTK_WINDOW(object);
  pending_placement->used = true;
  GtkRequisition natural{0, 0};
  gtk_widget_get_preferred_size(GTK_WIDGET(window), nullptr, &natural);
  int width = 0, height = 0;
  gtk_window_get_default_size(window, &width, &height);
  if (width < natural.width) width = natural.width;
  if (height < natural.height) height = natural.height;
  const UiRect placed =
      PlaceDialog(width, height, pending_placement->owner, pending_placement->work_area);
  gtk_window_set_position(window, GTK_WIN_POS_NONE);
  gtk_window_move(window, placed.x, placed.y);
  if (pending_placement->owner_xid != 0 && gtk_window_get_transient_for(window) == nullptr) {
    // Realised during this very "show", after the hook: mark it then.
    g_signal_connect_data(window, "realize", G_CALLBACK(+[](GtkWidget* widget, gpointer xid) {
                            MakeTransient(widget, reinterpret_cast<unsigned long>(xid));
                          }),
                          reinterpret_cast<gpointer>(pending_placement->owner_xid), nullptr,
                          G_CONNECT_AFTER);
  }
  return TRUE;
}

}  // namespace

bool GtkDisplayAvailable() {
  return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
}

bool GtkPrepare(std::string* why) {
  if (!GtkDisplayAvailable()) {
    *why = "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)";
    return false;
  }
  if (gdk_display_manager_get_default_display(gdk_display_manager_get()) != nullptr) {
    // The host runs GTK itself, on its main thread: GTK may be used there
    // only, and its settings are the host's (nothing is changed here).
    if (syscall(SYS_gettid) != getpid()) {
      *why = "the host's own GTK runs on another thread";
      return false;
    }
    return true;
  }
  // Owner windows are X window ids and native dialogs are placed by
  // position, both of which only X11 offers; Wayland stays the fallback.
  // Set only when GTK is not up yet: it is GTK's own state once it runs.
  gdk_set_allowed_backends("x11,*");
  // The locale is the host's: GTK would otherwise set it from the
  // environment, changing how the host and this module read and print
  // numbers.
  gtk_disable_setlocale();
  return true;
}

int GtkDispatchPending(int limit) {
  int dispatched = 0;
  while (dispatched < limit && gtk_events_pending()) {
    gtk_main_iteration_do(FALSE);
    ++dispatched;
  }
  return dispatched;
}

void GtkSyncDisplay() {
  if (GdkDisplay* display = gdk_display_get_default()) gdk_display_sync(display);
}

std::optional<UiRect> ForeignWindowRect(unsigned long xid) {
#ifdef GDK_WINDOWING_X11
  GdkDisplay* display = X11Display();
  if (display == nullptr || xid == 0) return std::nullopt;
  Display* x = GDK_DISPLAY_XDISPLAY(display);
  // A bad id is an X error, which must not reach the default handler (it
  // would end the process): GDK's trap catches it.
  gdk_x11_display_error_trap_push(display);
  XWindowAttributes attributes;
  bool ok = XGetWindowAttributes(x, static_cast<Window>(xid), &attributes) != 0 &&
            attributes.map_state == IsViewable;
  int root_x = 0, root_y = 0;
  Window child = 0;
  if (ok) {
    ok = XTranslateCoordinates(x, static_cast<Window>(xid), attributes.root, 0, 0, &root_x, &root_y,
                               &child) != 0;
  }
  if (gdk_x11_display_error_trap_pop(display) != 0) ok = false;
  if (!ok) return std::nullopt;
  return UiRect{root_x, root_y, attributes.width, attributes.height};
#else
  return std::nullopt;
#endif
}

void RealizeWindow(void* gtk_widget) {
  if (gtk_widget != nullptr && !gtk_widget_get_realized(GTK_WIDGET(gtk_widget))) {
    gtk_widget_realize(GTK_WIDGET(gtk_widget));
  }
}

void SetTransientForForeign(void* gtk_widget, unsigned long xid) {
#ifdef GDK_WINDOWING_X11
  GdkDisplay* display = X11Display();
  if (display == nullptr || xid == 0 || gtk_widget == nullptr) return;
  RealizeWindow(gtk_widget);
  GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(gtk_widget));
  if (window == nullptr || !GDK_IS_X11_WINDOW(window)) return;
  gdk_x11_display_error_trap_push(display);
  XSetTransientForHint(GDK_DISPLAY_XDISPLAY(display), GDK_WINDOW_XID(window),
                       static_cast<Window>(xid));
  gdk_x11_display_error_trap_pop_ignored(display);
#endif
}

int GtkWrappedLabelHeight(void* gtk_label, int width) {
  if (gtk_label == nullptr || !GTK_IS_LABEL(gtk_label)) return 0;
  GtkLabel* label = GTK_LABEL(gtk_label);
  gtk_label_set_line_wrap(label, TRUE);
  gtk_label_set_line_wrap_mode(label, PANGO_WRAP_WORD_CHAR);
  // Laid out here as the label lays itself out at that width: GTK's own
  // size request would first widen a label to what its cached minimum was.
  PangoLayout* layout =
      gtk_widget_create_pango_layout(GTK_WIDGET(label), gtk_label_get_text(label));
  pango_layout_set_width(layout, width * PANGO_SCALE);
  pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  int text_width = 0, text_height = 0;
  pango_layout_get_pixel_size(layout, &text_width, &text_height);
  g_object_unref(layout);
  return text_height;
}

int GtkPreferredHeight(void* gtk_widget) {
  if (gtk_widget == nullptr || !GTK_IS_WIDGET(gtk_widget)) return 0;
  int minimum = 0, natural = 0;
  gtk_widget_get_preferred_height(GTK_WIDGET(gtk_widget), &minimum, &natural);
  return std::max(minimum, natural);
}

unsigned long GtkWindowXid(void* gtk_widget) {
#ifdef GDK_WINDOWING_X11
  if (gtk_widget == nullptr || X11Display() == nullptr) return 0;
  GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(gtk_widget));
  if (window == nullptr || !GDK_IS_X11_WINDOW(window)) return 0;
  return GDK_WINDOW_XID(window);
#else
  return 0;
#endif
}

NativeDialogPlacement::NativeDialogPlacement(std::optional<UiRect> owner, UiRect work_area,
                                             unsigned long owner_xid)
    : outer_(pending_placement) {
  state_.owner = owner;
  state_.work_area = work_area;
  state_.owner_xid = owner_xid;
  if (show_hook == 0) {
    show_signal = g_signal_lookup("show", GTK_TYPE_WIDGET);
    show_hook = g_signal_add_emission_hook(show_signal, 0, &OnShow, nullptr, nullptr);
  }
  pending_placement = &state_;
}

NativeDialogPlacement::~NativeDialogPlacement() {
  pending_placement = outer_;
}

void RemoveNativeDialogHook() {
  if (show_hook != 0) g_signal_remove_emission_hook(show_signal, show_hook);
  show_hook = 0;
  pending_placement = nullptr;
}

}  // namespace tw
