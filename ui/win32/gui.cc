// The windowed form on Windows: every dialog of the system runs its native
// template from the module's resources (dialogs/win32/dialogs.rc), driven
// through the same OpenDialog as the other forms, so that what a dialog does
// stays in the dialog. Message boxes are MessageBoxW, the folder chooser is
// the shell's, the status window is the modeless template 112.
//
// The common machinery: each window is an object with one message handler;
// the object that is about to be shown is registered as its thread's pending
// window (a process-wide list of {object, thread id} under a critical
// section), and the one shared dialog procedure takes it out of the list on
// the window's first message, binds it to the window and from then on routes
// every message to it.
//
// A dialog fills its controls from the request on opening (texts, values,
// combo items, enabled flags, list columns and rows, tree roots), reads the
// value controls back into the OpenDialog before each button press and
// shows what the dialog's callbacks changed after it. Tree items carry their
// model node; an item's children are listed when it is first expanded
// (TVN_ITEMEXPANDING) and a selection (TVN_SELCHANGED) runs on_select.
// Escape and the close box press Cancel when the dialog has it, its only
// button when it has one. Every window is centred over its owner, else over
// the work area, and pushed inside the work area. A text grows its dialog
// up to the work area; what still does not fit scrolls in the text itself.
//
// Where no window can be made (no desktop), or the module lacks the
// request's template, the dialog answers as the "none" form does (Cancel
// with its initial values) and says why in the diagnostic output.
//
// The windows' thread: the first thread that asks for a window (the host's
// thread that runs the exports) owns the windows; a dialog, message box or
// chooser asked for on any other thread (a connection's own thread asking
// whether to reconnect, while the export thread may be waiting for it) is
// answered as by nobody at once, never left waiting on a window nobody
// may see. A process whose window station is not visible (a service, a
// scheduled task) shows no windows at all.
//
// Threads: the pending list, the windows' thread and the status window's
// handle are guarded by their locks; no lock is held while a window is made
// or destroyed (destroying an active window activates its owner at once,
// and the host may call back in). A window and its object are used on the
// thread that made it.
#include "ui/gui.h"

#include "platform/decimal.h"
#include "ui/templates.h"

// After the seam's headers: <windows.h> renames MessageBox.
#include "platform/win32/win32_util.h"
// clang-format off
#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>
// clang-format on
#undef MessageBox

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "platform/debug_output.h"

namespace tw {

namespace {

using win32::Narrow;
using win32::Wide;

constexpr int kLogonTemplate = 101;
constexpr int kStatusTemplate = 112;
constexpr int kStatusText = 1024;
constexpr int kClosedIcon = 105;
constexpr int kOpenIcon = 106;
// Enough for a burst of paint and layout messages; a window that keeps
// posting to itself cannot hold a wait in the pump for ever.
constexpr int kPumpLimit = 200;
// The room a list view's header caption and its cells take beside their
// text, as its own sizing to content allows for them.
constexpr int kHeaderMargin = 16;
constexpr int kCellMargin = 14;

// Whether this process's window station is the interactive one: windows on
// any other (a service's, a scheduled task's) are never seen by anybody.
bool VisibleWindowStation() {
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  HWINSTA station = GetProcessWindowStation();
  return station != nullptr &&
         GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed) &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

// The windows' life: untried, up on one thread, failed (no visible
// desktop), or shut down at module unload.
class Windowing {
 public:
  static Windowing& Get() {
    static Windowing* windowing = new Windowing;  // outlives static destructors
    return *windowing;
  }

  // Takes the calling thread as the windows' own unless one was taken; true
  // when the windows are up on this thread, else says in the diagnostic
  // output that `what` is answered as by nobody.
  bool Enter(const char* what) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kUp && thread_ != GetCurrentThreadId() && Ended(thread_)) {
      // The host moved to another thread; the old one took its windows along.
      thread_ = GetCurrentThreadId();
    }
    if (state_ == State::kUntried) {
      state_ = VisibleWindowStation() ? State::kUp : State::kFailed;
      thread_ = GetCurrentThreadId();
      if (state_ == State::kFailed) {
        DebugLog("User interface: the window station is not visible; no windows are shown");
      }
    }
    if (state_ == State::kUp && thread_ == GetCurrentThreadId()) return true;
    const char* reason = state_ == State::kUp ? "asked on a thread that is not the windows' own"
                         : state_ == State::kShutDown ? "asked after the windows were shut down"
                                                      : "no windows can be shown";
    DebugLog("User interface: %s %s; nobody is asked", what, reason);
    return false;
  }

  bool UpOnThisThread() {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == State::kUp && thread_ == GetCurrentThreadId();
  }

  // Before any window was asked for, a wait on a thread of a visible
  // station still dispatches its host's messages.
  bool MayPumpOnThisThread() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kUntried) return VisibleWindowStation();
    return state_ == State::kUp && thread_ == GetCurrentThreadId();
  }

  bool Up() {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == State::kUp;
  }

  // Whether the windows were up on the calling thread; later requests are
  // answered as by nobody.
  bool Shutdown() {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool own = state_ == State::kUp && thread_ == GetCurrentThreadId();
    state_ = State::kShutDown;
    return own;
  }

 private:
  static bool Ended(DWORD thread) {
    HANDLE handle = OpenThread(SYNCHRONIZE, FALSE, thread);
    if (handle == nullptr) return true;  // no such thread any more
    const bool ended = WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
    CloseHandle(handle);
    return ended;
  }

  enum class State { kUntried, kUp, kFailed, kShutDown };
  std::mutex mutex_;
  State state_ = State::kUntried;  // guarded by mutex_
  DWORD thread_ = 0;               // guarded by mutex_
};

// The module whose resources hold the templates: the one this code is in.
HMODULE ThisModule() {
  static const char anchor = 0;
  static const HMODULE module = [] {
    HMODULE found = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&anchor), &found);
    return found;
  }();
  return module;
}

void RegisterControls() {
  static const bool registered = [] {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES};
    return InitCommonControlsEx(&controls) != FALSE;
  }();
  (void)registered;
}

// One window's object: its handler returns whether it handled the message,
// with the dialog procedure's result in `*result`.
class NativeWindow {
 public:
  virtual ~NativeWindow() = default;
  virtual bool Handle(HWND window, UINT message, WPARAM wparam, LPARAM lparam, INT_PTR* result) = 0;
};

// The objects about to be shown, by thread.
struct PendingList {
  CRITICAL_SECTION lock;
  std::vector<std::pair<NativeWindow*, DWORD>> entries;
  PendingList() { InitializeCriticalSection(&lock); }
};
PendingList& Pending() {
  static PendingList* list = new PendingList;  // outlives static destructors
  return *list;
}

void AddPending(NativeWindow* object) {
  PendingList& list = Pending();
  EnterCriticalSection(&list.lock);
  list.entries.emplace_back(object, GetCurrentThreadId());
  LeaveCriticalSection(&list.lock);
}

// Takes the calling thread's pending object out of the list; with `object`
// only that one (a window that failed to appear leaves no entry behind).
NativeWindow* TakePending(NativeWindow* object = nullptr) {
  PendingList& list = Pending();
  const DWORD thread = GetCurrentThreadId();
  NativeWindow* taken = nullptr;
  EnterCriticalSection(&list.lock);
  for (auto it = list.entries.begin(); it != list.entries.end(); ++it) {
    if (it->second == thread && (object == nullptr || it->first == object)) {
      taken = it->first;
      list.entries.erase(it);
      break;
    }
  }
  LeaveCriticalSection(&list.lock);
  return taken;
}

INT_PTR CALLBACK SharedDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* object = reinterpret_cast<NativeWindow*>(GetWindowLongPtrW(window, DWLP_USER));
  if (object == nullptr) {
    object = TakePending();
    if (object == nullptr) return FALSE;
    SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(object));
  }
  INT_PTR result = FALSE;
  try {
    if (!object->Handle(window, message, wparam, lparam, &result)) return FALSE;
  } catch (const std::exception& e) {
    DebugLog("dialog message 0x%x: %s", message, e.what());
  } catch (...) {
    DebugLog("dialog message 0x%x: an unknown fault", message);
  }
  if (message == WM_NCDESTROY) SetWindowLongPtrW(window, DWLP_USER, 0);
  return result;
}

UiRect RectOf(const RECT& r) {
  return UiRect{r.left, r.top, r.right - r.left, r.bottom - r.top};
}

// Centres `window` over its owner (or parent), else over the work area of
// its monitor, and pushes it inside that work area; only its position
// changes.
void CentreWindow(HWND window) {
  RECT own;
  if (!GetWindowRect(window, &own)) return;
  HWND owner = GetWindow(window, GW_OWNER);
  if (owner == nullptr) owner = GetParent(window);
  std::optional<UiRect> over;
  RECT owner_rect;
  if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner) &&
      GetWindowRect(owner, &owner_rect)) {
    over = RectOf(owner_rect);
  }
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  RECT work;
  if (GetMonitorInfoW(MonitorFromWindow(owner ? owner : window, MONITOR_DEFAULTTONEAREST),
                      &monitor)) {
    work = monitor.rcWork;
  } else if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
    return;
  }
  const UiRect placed = PlaceDialog(own.right - own.left, own.bottom - own.top, over, RectOf(work));
  SetWindowPos(window, nullptr, placed.x, placed.y, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Layout from the measured text. The templates size their controls in
// dialog units of the dialog's font, which fits their own captions at any
// font; what a dialog fills in (a deep path in a question, a list's rows)
// is measured here, and the window makes room for it.

// The work area of the monitor `window` is on.
RECT WorkAreaOf(HWND window) {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  RECT work{0, 0, 1024, 768};
  if (GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) {
    work = monitor.rcWork;
  } else {
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  }
  return work;
}

// Moves `window` back inside the work area of its monitor, as the first
// placing does, when it grew past an edge; its size does not change.
void KeepInWorkArea(HWND window) {
  RECT own{};
  if (!GetWindowRect(window, &own)) return;
  const UiRect placed = PlaceDialog(own.right - own.left, own.bottom - own.top, RectOf(own),
                                    RectOf(WorkAreaOf(window)));
  if (placed.x == own.left && placed.y == own.top) return;
  SetWindowPos(window, nullptr, placed.x, placed.y, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// `child`'s rectangle in the client coordinates of `dialog`.
RECT ChildRect(HWND dialog, HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// Moves the children of `dialog` that `moves` picks by `dx`, `dy` pixels,
// grows `grown` by as much, and the dialog with it, which stays inside
// the work area (it may have been near an edge when it grew).
void MakeRoom(HWND dialog, HWND grown, int dx, int dy,
              const std::function<bool(const RECT&)>& moves) {
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    const RECT at = ChildRect(dialog, child);
    if (child == grown) {
      SetWindowPos(child, nullptr, 0, 0, at.right - at.left + dx, at.bottom - at.top + dy,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    } else if (moves(at)) {
      SetWindowPos(child, nullptr, at.left + dx, at.top + dy, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
  RECT own{};
  GetWindowRect(dialog, &own);
  SetWindowPos(dialog, nullptr, 0, 0, own.right - own.left + dx, own.bottom - own.top + dy,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  KeepInWorkArea(dialog);
}

// The height the static text `label` needs for `text` at its width, as it
// draws it: broken between words, a word longer than a line (a path)
// between characters.
int TextHeight(HWND label, const std::wstring& text) {
  HDC dc = GetDC(label);
  if (dc == nullptr) return 0;
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0)));
  RECT client{};
  GetClientRect(label, &client);
  RECT needed{0, 0, client.right, 0};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &needed,
            DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX | DT_EXPANDTABS);
  SelectObject(dc, old);
  ReleaseDC(label, dc);
  return needed.bottom - needed.top;
}

// A static text that needs more room than the work area leaves scrolls
// in itself, as in a pane of its own: it gets a vertical scroll bar, whose
// range is the text's height in pixels and whose page is the text's
// visible height, and draws its text from the scroll position on.

constexpr UINT_PTR kScrollingText = 1;  // the subclass's id

// The height of one line of `label`'s font.
int LineHeight(HWND label) {
  HDC dc = GetDC(label);
  if (dc == nullptr) return 16;
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0)));
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(label, dc);
  return std::max(1, static_cast<int>(metrics.tmHeight));
}

// The vertical scroll state of `label` into `info`: position, page, range
// and, while the thumb is dragged, its place. False, with every one of them
// zero, when `label` has none.
bool ReadScrollState(HWND label, SCROLLINFO* info) {
  *info = SCROLLINFO{};
  info->cbSize = sizeof *info;
  info->fMask = SIF_ALL;
  return GetScrollInfo(label, SB_VERT, info) != FALSE;
}

// Moves the text of `label` to the scroll position `position`, kept within
// the range.
void ScrollTextTo(HWND label, int position) {
  SCROLLINFO info;
  if (!ReadScrollState(label, &info)) return;
  const int last = std::max(0, info.nMax - static_cast<int>(info.nPage) + 1);
  position = std::clamp(position, 0, last);
  if (position == info.nPos) return;
  info.fMask = SIF_POS;
  info.nPos = position;
  SetScrollInfo(label, SB_VERT, &info, TRUE);
  InvalidateRect(label, nullptr, TRUE);
}

void PaintScrolledText(HWND label) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(label, &paint);
  if (dc == nullptr) return;
  RECT client{};
  GetClientRect(label, &client);
  // The colours the dialog gives its static texts.
  auto brush = reinterpret_cast<HBRUSH>(SendMessageW(GetParent(label), WM_CTLCOLORSTATIC,
                                                     reinterpret_cast<WPARAM>(dc),
                                                     reinterpret_cast<LPARAM>(label)));
  FillRect(dc, &client, brush != nullptr ? brush : GetSysColorBrush(COLOR_3DFACE));
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0)));
  SetBkMode(dc, TRANSPARENT);
  if (!IsWindowEnabled(label)) SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
  const int length = GetWindowTextLengthW(label);
  std::wstring text(static_cast<size_t>(std::max(length, 0)) + 1, L'\0');
  text.resize(static_cast<size_t>(std::max(GetWindowTextW(label, text.data(), length + 1), 0)));
  SCROLLINFO info;
  ReadScrollState(label, &info);
  RECT at = client;
  at.top -= info.nPos;
  const UINT centred =
      (GetWindowLongW(label, GWL_STYLE) & SS_TYPEMASK) == SS_CENTER ? DT_CENTER : 0;
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &at,
            DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX | DT_EXPANDTABS | centred);
  SelectObject(dc, old);
  EndPaint(label, &paint);
}

LRESULT CALLBACK ScrollingTextProc(HWND label, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                   DWORD_PTR) {
  switch (message) {
    case WM_NCHITTEST:
      // A plain static text lets every click through to the dialog; its
      // scroll bar must take them.
      return DefWindowProcW(label, message, wparam, lparam);
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT fills it
    case WM_PAINT:
      PaintScrolledText(label);
      return 0;
    case WM_VSCROLL: {
      SCROLLINFO info;
      ReadScrollState(label, &info);
      const int line = LineHeight(label);
      switch (LOWORD(wparam)) {
        case SB_LINEUP:
          ScrollTextTo(label, info.nPos - line);
          break;
        case SB_LINEDOWN:
          ScrollTextTo(label, info.nPos + line);
          break;
        case SB_PAGEUP:
          ScrollTextTo(label, info.nPos - static_cast<int>(info.nPage));
          break;
        case SB_PAGEDOWN:
          ScrollTextTo(label, info.nPos + static_cast<int>(info.nPage));
          break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION:
          ScrollTextTo(label, info.nTrackPos);
          break;
        case SB_TOP:
          ScrollTextTo(label, 0);
          break;
        case SB_BOTTOM:
          ScrollTextTo(label, info.nMax);
          break;
        default:
          break;
      }
      return 0;
    }
    case WM_MOUSEWHEEL: {
      SCROLLINFO info;
      ReadScrollState(label, &info);
      const int notches = GET_WHEEL_DELTA_WPARAM(wparam) / WHEEL_DELTA;
      ScrollTextTo(label, info.nPos - notches * 3 * LineHeight(label));
      return 0;
    }
    case WM_SETTEXT: {
      // The static text draws its new text at once, unscrolled: drawn again.
      const LRESULT result = DefSubclassProc(label, message, wparam, lparam);
      InvalidateRect(label, nullptr, TRUE);
      return result;
    }
    case WM_NCDESTROY:
      RemoveWindowSubclass(label, &ScrollingTextProc, kScrollingText);
      break;
    default:
      break;
  }
  return DefSubclassProc(label, message, wparam, lparam);
}

// Adds or removes `label`'s scroll bar (its client area narrows or widens).
void ShowTextScrollBar(HWND label, bool show) {
  const LONG_PTR style = GetWindowLongPtrW(label, GWL_STYLE);
  if (((style & WS_VSCROLL) != 0) == show) return;
  SetWindowLongPtrW(label, GWL_STYLE, show ? (style | WS_VSCROLL) : (style & ~WS_VSCROLL));
  if (show) {
    SetWindowSubclass(label, &ScrollingTextProc, kScrollingText, 0);
  } else {
    RemoveWindowSubclass(label, &ScrollingTextProc, kScrollingText);
  }
  SetWindowPos(label, nullptr, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  ShowScrollBar(label, SB_VERT, show ? TRUE : FALSE);
  InvalidateRect(label, nullptr, TRUE);
}

// Lets `label` scroll when `text` needs more height than it has, and sets
// the scroll range to the height the text takes at its width then; takes
// the scroll bar away when the text fits without it.
void FitTextScrolling(HWND label, const std::wstring& text) {
  RECT client{};
  GetClientRect(label, &client);
  const bool scrolling = (GetWindowLongPtrW(label, GWL_STYLE) & WS_VSCROLL) != 0;
  if (scrolling) {
    // Measured at the width it would have without the scroll bar.
    ShowTextScrollBar(label, false);
    if (TextHeight(label, text) <= client.bottom) return;
  } else if (TextHeight(label, text) <= client.bottom) {
    return;
  }
  ShowTextScrollBar(label, true);
  GetClientRect(label, &client);
  SCROLLINFO info{};
  info.cbSize = sizeof info;
  info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
  info.nMin = 0;
  info.nMax = std::max(TextHeight(label, text) - 1, 0);
  info.nPage = static_cast<UINT>(std::max<LONG>(client.bottom, 1));
  info.nPos = 0;
  SetScrollInfo(label, SB_VERT, &info, TRUE);
}

// Makes the static text `id` of `dialog` as high as its text needs (it never
// shrinks), moving what lies below it down, as far as the work area lets
// the dialog grow; beyond, the text scrolls.
void FitTextHeight(HWND dialog, int id) {
  HWND label = GetDlgItem(dialog, id);
  if (label == nullptr) return;
  const int length = GetWindowTextLengthW(label);
  std::wstring text(static_cast<size_t>(std::max(length, 0)) + 1, L'\0');
  text.resize(static_cast<size_t>(std::max(GetWindowTextW(label, text.data(), length + 1), 0)));
  RECT client{};
  GetClientRect(label, &client);
  const RECT own = [&] {
    RECT r{};
    GetWindowRect(dialog, &r);
    return r;
  }();
  const RECT work = WorkAreaOf(dialog);
  const int room = (work.bottom - work.top) - (own.bottom - own.top);
  const int grow =
      std::min(TextHeight(label, text) - static_cast<int>(client.bottom), std::max(room, 0));
  if (grow > 0) {
    const RECT at = ChildRect(dialog, label);
    MakeRoom(dialog, label, 0, grow, [&at](const RECT& r) { return r.top >= at.bottom; });
  }
  FitTextScrolling(label, text);
}

std::string WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(std::max(length, 0)) + 1, L'\0');
  const int got = GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
  return Narrow(text.data(), static_cast<size_t>(std::max(got, 0)));
}

// A list index written in decimal digits only (at most six).
bool ParseIndex(const std::string& value, size_t* index) {
  uint64_t parsed = 0;
  if (!ParseDigits(value, 999999, &parsed)) return false;
  *index = static_cast<size_t>(parsed);
  return true;
}

// The modal window of one OpenDialog.
class ModalDialog : public NativeWindow {
 public:
  ModalDialog(OpenDialog& dialog, const UiDialogTemplate& layout)
      : dialog_(dialog), layout_(layout) {}
  ~ModalDialog() override {
    if (images_ != nullptr) ImageList_Destroy(images_);
  }

  bool Handle(HWND window, UINT message, WPARAM wparam, LPARAM lparam, INT_PTR* result) override {
    switch (message) {
      case WM_INITDIALOG:
        window_ = window;
        dialog_.set_window(window);
        Open();
        CentreWindow(window);
        *result = TRUE;  // the dialog manager sets the focus
        return true;
      case WM_COMMAND:
        OnCommand(LOWORD(wparam), HIWORD(wparam));
        *result = TRUE;
        return true;
      case WM_NOTIFY:
        return OnNotify(reinterpret_cast<NMHDR*>(lparam), result);
      case WM_NCDESTROY:
        dialog_.set_window(nullptr);
        return false;
      default:
        return false;
    }
  }

 private:
  HWND Item(int id) const { return GetDlgItem(window_, id); }

  void Open() {
    const DialogRequest& request = dialog_.request();
    if (!request.title.empty()) SetWindowTextW(window_, Wide(request.title).c_str());
    const std::vector<int> shown = request.ButtonsShown();
    int default_button = 0;
    for (const UiControlTemplate& control : layout_.controls) {
      if (control.id == 0 || Item(control.id) == nullptr) continue;
      if (control.kind == UiControlKind::kButton &&
          std::find(shown.begin(), shown.end(), control.id) == shown.end()) {
        // A button the dialog does not offer is not there.
        hidden_.insert(control.id);
        ShowWindow(Item(control.id), SW_HIDE);
        EnableWindow(Item(control.id), FALSE);
        continue;
      }
      if (control.kind == UiControlKind::kComboBox ||
          control.kind == UiControlKind::kDropDownList) {
        FillItems(control);
      } else if (control.kind == UiControlKind::kReportList) {
        FillList(control);
      } else if (control.kind == UiControlKind::kTreeView) {
        FillRoot(control.id);
      }
    }
    // The first button the dialog offers, or the one it names.
    for (int id : shown) {
      if (Item(id) != nullptr && dialog_.CanPress(id) &&
          (default_button == 0 || id == request.default_button)) {
        default_button = id;
      }
    }
    WriteControls();
    if (default_button != 0) {
      SendMessageW(window_, DM_SETDEFID, static_cast<WPARAM>(default_button), 0);
      // The template's default button style follows the dialog's choice.
      for (int id : shown) {
        if (HWND button = Item(id)) {
          SendMessageW(button, BM_SETSTYLE, id == default_button ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON,
                       TRUE);
        }
      }
    }
    if (request.template_id == kLogonTemplate) {
      // Only the logon dialog carries the product's icon. Shared icons: the
      // system frees them, not the window.
      const LPARAM icon =
          reinterpret_cast<LPARAM>(LoadIconW(ThisModule(), MAKEINTRESOURCEW(kOpenIcon)));
      SendMessageW(window_, WM_SETICON, ICON_BIG, icon);
      SendMessageW(window_, WM_SETICON, ICON_SMALL, icon);
    }
  }

  void FillItems(const UiControlTemplate& control) {
    HWND combo = Item(control.id);
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    auto items = dialog_.request().items.find(control.id);
    if (items == dialog_.request().items.end()) return;
    for (const std::string& item : items->second) {
      SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
    }
    if (control.kind == UiControlKind::kDropDownList) {
      index_values_[control.id] = IsIndexValue(dialog_.Value(control.id), items->second);
    }
  }

  void FillList(const UiControlTemplate& control) {
    auto found = dialog_.request().lists.find(control.id);
    if (found == dialog_.request().lists.end()) return;
    const ListControl& list = found->second;
    HWND view = Item(control.id);
    SendMessageW(view, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    for (size_t i = 0; i < list.columns.size(); ++i) {
      std::wstring caption = Wide(list.columns[i].caption);
      LVCOLUMNW column{};
      column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
      column.pszText = caption.data();
      column.cx = list.columns[i].width;
      column.iSubItem = static_cast<int>(i);
      SendMessageW(view, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
    }
    for (size_t row = 0; row < list.rows.size(); ++row) {
      for (size_t cell = 0; cell < list.rows[row].size() && cell < list.columns.size(); ++cell) {
        std::wstring text = Wide(list.rows[row][cell]);
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(row);
        item.iSubItem = static_cast<int>(cell);
        item.pszText = text.data();
        SendMessageW(view, cell == 0 ? LVM_INSERTITEMW : LVM_SETITEMTEXTW, cell == 0 ? 0 : row,
                     reinterpret_cast<LPARAM>(&item));
      }
    }
    FitColumns(view, list);
  }

  // Each column as wide as its caption and its widest cell need (the
  // dialog's width is the least); a list too narrow for its columns grows,
  // and the dialog with it, as far as the work area allows (beyond, it
  // scrolls sideways).
  void FitColumns(HWND view, const ListControl& list) {
    const auto text_width = [view](const std::string& text) {
      const std::wstring wide = Wide(text);
      return static_cast<int>(
          SendMessageW(view, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(wide.c_str())));
    };
    int total = 0;
    for (size_t i = 0; i < list.columns.size(); ++i) {
      int width =
          std::max(list.columns[i].width, text_width(list.columns[i].caption) + kHeaderMargin);
      for (const std::vector<std::string>& row : list.rows) {
        if (i < row.size()) width = std::max(width, text_width(row[i]) + kCellMargin);
      }
      SendMessageW(view, LVM_SETCOLUMNWIDTH, i, MAKELPARAM(width, 0));
      total += width;
    }
    RECT client{};
    GetClientRect(view, &client);
    const RECT own = [this] {
      RECT r{};
      GetWindowRect(window_, &r);
      return r;
    }();
    const RECT work = WorkAreaOf(window_);
    const int room = (work.right - work.left) - (own.right - own.left);
    const int grow = std::min(
        total + GetSystemMetrics(SM_CXVSCROLL) - static_cast<int>(client.right), std::max(room, 0));
    if (grow <= 0) return;
    // What stands at the list's right edge (the buttons) keeps its place there.
    const RECT at = ChildRect(window_, view);
    MakeRoom(window_, view, grow, 0, [&at](const RECT& r) { return r.right >= at.right; });
  }

  // The root item, opened: its children are listed as the dialog opens.
  void FillRoot(int id) {
    TreeModel* model = dialog_.tree(id);
    if (model == nullptr) return;
    HWND tree = Item(id);
    if (images_ == nullptr) {
      images_ = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 2, 0);
      for (int icon : {kClosedIcon, kOpenIcon}) {
        HICON handle = static_cast<HICON>(
            LoadImageW(ThisModule(), MAKEINTRESOURCEW(icon), IMAGE_ICON, 16, 16, 0));
        ImageList_AddIcon(images_, handle);
        if (handle != nullptr) DestroyIcon(handle);
      }
    }
    SendMessageW(tree, TVM_SETIMAGELIST, TVSIL_NORMAL, reinterpret_cast<LPARAM>(images_));
    HTREEITEM root = InsertItem(tree, TVI_ROOT, model->root());
    if (Fill(id, root)) SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(root));
  }

  HTREEITEM InsertItem(HWND tree, HTREEITEM parent, TreeNode* node) {
    std::wstring text = Wide(node->item().ShownText());
    TVINSERTSTRUCTW insert{};
    insert.hParent = parent;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_CHILDREN;
    insert.item.pszText = text.data();
    insert.item.lParam = reinterpret_cast<LPARAM>(node);
    insert.item.iImage = 0;          // closed
    insert.item.iSelectedImage = 1;  // the selected item shows the open folder
    // Unknown until it is opened: it shows a button until then.
    insert.item.cChildren = (!node->listed() || !node->children().empty()) ? 1 : 0;
    return reinterpret_cast<HTREEITEM>(
        SendMessageW(tree, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
  }

  static TreeNode* NodeOf(HWND tree, HTREEITEM item) {
    TVITEMW data{};
    data.mask = TVIF_PARAM | TVIF_HANDLE;
    data.hItem = item;
    if (item == nullptr || !SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data)))
      return nullptr;
    return reinterpret_cast<TreeNode*>(data.lParam);
  }

  // Lists the children of `item` (once) and adds them as items; false when
  // they cannot be listed now.
  bool Fill(int id, HTREEITEM item) {
    HWND tree = Item(id);
    TreeNode* node = NodeOf(tree, item);
    TreeModel* model = dialog_.tree(id);
    if (node == nullptr || model == nullptr) return false;
    if (filled_.count(node)) return true;
    bool listed;
    {
      BusySpan busy(&busy_);
      listed = model->Open(node);
    }
    if (!listed) return false;
    for (const auto& child : node->children()) InsertItem(tree, item, child.get());
    filled_.insert(node);
    TVITEMW data{};
    data.mask = TVIF_CHILDREN | TVIF_HANDLE;
    data.hItem = item;
    data.cChildren = node->children().empty() ? 0 : 1;
    SendMessageW(tree, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&data));
    return true;
  }

  std::string ReadValue(int id, UiControlKind kind) const {
    HWND control = Item(id);
    switch (kind) {
      case UiControlKind::kEdit:
      case UiControlKind::kPasswordEdit:
      case UiControlKind::kNumberEdit:
      case UiControlKind::kComboBox:
        return WindowText(control);
      case UiControlKind::kDropDownList: {
        const LRESULT selected = SendMessageW(control, CB_GETCURSEL, 0, 0);
        if (selected == CB_ERR) return std::string();
        auto index = index_values_.find(id);
        if (index != index_values_.end() && index->second) return std::to_string(selected);
        const LRESULT length = SendMessageW(control, CB_GETLBTEXTLEN, selected, 0);
        std::wstring text(static_cast<size_t>(std::max<LRESULT>(length, 0)) + 1, L'\0');
        SendMessageW(control, CB_GETLBTEXT, selected, reinterpret_cast<LPARAM>(text.data()));
        return Narrow(text.c_str(), wcslen(text.c_str()));
      }
      case UiControlKind::kRadioButton:
      case UiControlKind::kCheckBox:
        return SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? "1" : "0";
      default:
        return std::string();
    }
  }

  void WriteValue(int id, UiControlKind kind, const std::string& value) {
    if (ReadValue(id, kind) == value) return;  // untouched: the caret stays put
    HWND control = Item(id);
    switch (kind) {
      case UiControlKind::kEdit:
      case UiControlKind::kPasswordEdit:
      case UiControlKind::kNumberEdit:
      case UiControlKind::kComboBox:
        SetWindowTextW(control, Wide(value).c_str());
        break;
      case UiControlKind::kDropDownList: {
        auto index = index_values_.find(id);
        size_t selected = 0;
        if (index != index_values_.end() && index->second) {
          // A value that is no index (a callback's slip) selects nothing.
          SendMessageW(control, CB_SETCURSEL,
                       ParseIndex(value, &selected) ? selected : static_cast<WPARAM>(-1), 0);
        } else {
          SendMessageW(control, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                       reinterpret_cast<LPARAM>(Wide(value).c_str()));
        }
        break;
      }
      case UiControlKind::kRadioButton:
      case UiControlKind::kCheckBox:
        SendMessageW(control, BM_SETCHECK, value == "1" ? BST_CHECKED : BST_UNCHECKED, 0);
        break;
      default:
        break;
    }
  }

  // The controls' values into the dialog, as a person left them.
  void ReadControls() {
    for (const UiControlTemplate& control : layout_.controls) {
      if (control.id == 0 || !IsValueKind(control.kind) || Item(control.id) == nullptr ||
          dialog_.values().count(control.id) == 0)
        continue;
      const std::string value = ReadValue(control.id, control.kind);
      if (value != dialog_.Value(control.id)) dialog_.SetValue(control.id, value);
    }
  }

  // The dialog's texts, values and enabled flags into the controls, after
  // its callbacks may have changed them.
  void WriteControls() {
    const DialogRequest& request = dialog_.request();
    for (const UiControlTemplate& control : layout_.controls) {
      HWND item = control.id == 0 ? nullptr : Item(control.id);
      if (item == nullptr || hidden_.count(control.id)) continue;
      if (IsValueKind(control.kind) && dialog_.values().count(control.id)) {
        WriteValue(control.id, control.kind, dialog_.Value(control.id));
      } else if (!IsValueKind(control.kind) && control.kind != UiControlKind::kTreeView &&
                 control.kind != UiControlKind::kReportList && request.texts.count(control.id)) {
        const std::string& text = request.texts.at(control.id);
        if (WindowText(item) != text) {
          SetWindowTextW(item, Wide(text).c_str());
          if (control.kind == UiControlKind::kText || control.kind == UiControlKind::kCentredText) {
            FitTextHeight(window_, control.id);
          }
        }
      }
      const BOOL enabled = request.IsEnabled(control.id) ? TRUE : FALSE;
      if ((IsWindowEnabled(item) != FALSE) != (enabled != FALSE)) EnableWindow(item, enabled);
    }
  }

  void Press(int button) {
    if (PressFromWindow(
            dialog_, &busy_, button, [this] { ReadControls(); }, [this] { WriteControls(); })) {
      EndDialog(window_, button);
    }
  }

  void OnCommand(int id, int code) {
    const std::vector<int> shown = dialog_.request().ButtonsShown();
    const bool offered = std::find(shown.begin(), shown.end(), id) != shown.end();
    if (id == IDCANCEL && code == BN_CLICKED && !offered) {
      // Escape or the close box on a dialog without Cancel: its only button.
      if (shown.size() == 1) Press(shown.front());
      return;
    }
    if (code != BN_CLICKED || !offered) return;
    // A button's id may be a value control's id in another template only;
    // here it must be a button the template has.
    const UiControlTemplate* control = layout_.Find(id);
    if (control != nullptr && control->kind != UiControlKind::kButton) return;
    Press(id);
  }

  bool OnNotify(const NMHDR* header, INT_PTR* result) {
    if (header == nullptr) return false;
    const int id = static_cast<int>(header->idFrom);
    // Trees notify as they are torn down too; a closed dialog is done.
    if (dialog_.tree(id) == nullptr || dialog_.closed()) return false;
    const auto* tree = reinterpret_cast<const NMTREEVIEWW*>(header);
    switch (header->code) {
      case TVN_ITEMEXPANDINGW: {
        bool refuse = false;
        if (tree->action & TVE_EXPAND) refuse = busy_ || !Fill(id, tree->itemNew.hItem);
        SetWindowLongPtrW(window_, DWLP_MSGRESULT, refuse ? TRUE : FALSE);
        *result = TRUE;
        return true;
      }
      case TVN_SELCHANGINGW:
        SetWindowLongPtrW(window_, DWLP_MSGRESULT, busy_ ? TRUE : FALSE);
        *result = TRUE;
        return true;
      case TVN_SELCHANGEDW: {
        TreeNode* node = tree->itemNew.hItem != nullptr
                             ? reinterpret_cast<TreeNode*>(tree->itemNew.lParam)
                             : nullptr;
        {
          BusySpan busy(&busy_);
          dialog_.Select(id, node);
        }
        WriteControls();
        *result = TRUE;
        return true;
      }
      default:
        return false;
    }
  }

  OpenDialog& dialog_;
  const UiDialogTemplate& layout_;
  HWND window_ = nullptr;
  HIMAGELIST images_ = nullptr;
  std::set<const TreeNode*> filled_;  // items whose children are items
  std::map<int, bool> index_values_;  // drop-down lists read back as an index
  std::set<int> hidden_;              // the template's buttons the dialog does not offer
  bool busy_ = false;
};

// The request's owner when it is a window, else the calling thread's active
// window (the host's).
HWND OwnerWindow(void* owner) {
  HWND window = static_cast<HWND>(owner);
  if (window != nullptr && IsWindow(window)) return window;
  return GetActiveWindow();
}

bool HasTemplate(int template_id) {
  return FindResourceW(ThisModule(), MAKEINTRESOURCEW(template_id),
                       MAKEINTRESOURCEW(5) /* RT_DIALOG */) != nullptr;
}

class StatusWindow;

// The status window: one per process, on the windows' thread. Changed on
// that thread only; the lock lets another thread's HideStatus find it.
struct StatusState {
  std::mutex mutex;
  HWND window = nullptr;           // guarded by mutex
  void* owner = nullptr;           // guarded by mutex
  StatusWindow* object = nullptr;  // guarded by mutex
};
StatusState& Status() {
  static StatusState* state = new StatusState;  // outlives static destructors
  return *state;
}

// Forgets the status window and returns it, for the caller to destroy
// outside the lock.
HWND TakeStatusLocked(StatusState& state) {
  HWND window = state.window;
  state.window = nullptr;
  state.owner = nullptr;
  state.object = nullptr;
  return window;
}

// The status window's object; once its window is made the window owns it
// and deletes it as the window goes, however it goes (HideStatus, the close
// box, the owner's end).
class StatusWindow : public NativeWindow {
 public:
  bool Handle(HWND window, UINT message, WPARAM, LPARAM, INT_PTR* result) override {
    if (message == WM_INITDIALOG) {
      SetDlgItemTextW(window, kStatusText, Wide(text_).c_str());
      FitTextHeight(window, kStatusText);
      CentreWindow(window);
      *result = TRUE;
      return true;
    }
    if (message == WM_CLOSE) {
      DestroyWindow(window);
      *result = TRUE;
      return true;
    }
    if (message == WM_NCDESTROY) {
      StatusState& state = Status();
      {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.window == window) TakeStatusLocked(state);
      }
      if (adopted_) delete this;
    }
    return false;
  }
  std::string text_;
  bool adopted_ = false;  // the window deletes the object
};

// Peeks, checks for the status window's dialog messages, translates and
// dispatches the calling thread's pending messages until none remain (or
// the limit); returns how many were dispatched.
int PumpPending(HWND dialog) {
  int count = 0;
  MSG message;
  while (count < kPumpLimit && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    ++count;
    if (message.message == WM_QUIT) {
      // Not ours: the host's loop must see it.
      PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    if (dialog != nullptr && IsDialogMessageW(dialog, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return count;
}

}  // namespace

void GuiUserInterface::RunDialog(OpenDialog& dialog) {
  const int template_id = dialog.request().template_id;
  if (!Windowing::Get().Enter(("dialog " + std::to_string(template_id)).c_str())) {
    dialog.Dismiss(false);
    return;
  }
  const UiDialogTemplate* layout = FindDialogTemplate(template_id);
  if (layout == nullptr || !HasTemplate(template_id)) {
    DebugLog("dialog %d: the module has no such template; nobody answers it", template_id);
    dialog.Dismiss(false);
    return;
  }
  RegisterControls();
  ModalDialog window(dialog, *layout);
  AddPending(&window);
  const INT_PTR shown = DialogBoxParamW(ThisModule(), MAKEINTRESOURCEW(template_id),
                                        OwnerWindow(dialog.request().owner), &SharedDialogProc, 0);
  const DWORD error = GetLastError();
  TakePending(&window);  // left behind when the window never appeared
  dialog.set_window(nullptr);
  if (!dialog.closed()) {
    if (shown == -1) {
      DebugLog("dialog %d cannot be shown: %s", template_id, win32::SystemMessage(error).c_str());
    }
    dialog.Dismiss(false);
  }
}

UserInterface::MessageBoxOutcome GuiUserInterface::RunMessageBox(const MessageBoxRequest& request) {
  MessageBoxOutcome outcome;
  outcome.answer = DefaultMessageBoxAnswer(request);
  if (!Windowing::Get().Enter(("message box \"" + request.title + "\"").c_str())) return outcome;
  HWND owner = OwnerWindow(request.owner);
  // Without an owner the box still disables the thread's other windows.
  UINT style = owner == nullptr ? MB_TASKMODAL : 0;
  switch (request.buttons) {
    case MessageBoxButtons::kOk:
      style |= MB_OK;
      break;
    case MessageBoxButtons::kOkCancel:
      style |= MB_OKCANCEL;
      break;
    case MessageBoxButtons::kYesNo:
      style |= MB_YESNO;
      break;
    case MessageBoxButtons::kYesNoCancel:
      style |= MB_YESNOCANCEL;
      break;
  }
  switch (request.icon) {
    case MessageBoxIcon::kInformation:
      style |= MB_ICONINFORMATION;
      break;
    case MessageBoxIcon::kExclamation:
      style |= MB_ICONEXCLAMATION;
      break;
    case MessageBoxIcon::kError:
      style |= MB_ICONERROR;
      break;
    case MessageBoxIcon::kQuestion:
      style |= MB_ICONQUESTION;
      break;
    case MessageBoxIcon::kNone:
      break;
  }
  const std::vector<int> ids = MessageBoxButtonIds(request.buttons);
  const auto place = std::find(ids.begin(), ids.end(), outcome.answer) - ids.begin();
  style |= place == 1 ? MB_DEFBUTTON2 : place == 2 ? MB_DEFBUTTON3 : MB_DEFBUTTON1;
  const int answer =
      MessageBoxW(owner, Wide(request.text).c_str(), Wide(request.title).c_str(), style);
  if (answer == 0) {
    DebugLog("message box \"%s\" cannot be shown: %s", request.title.c_str(),
             win32::SystemMessage(GetLastError()).c_str());
  } else {
    outcome.answer = answer;  // IDOK, IDCANCEL, IDYES and IDNO are the seam's ids
  }
  return outcome;
}

namespace {

int CALLBACK ChooserStart(HWND window, UINT message, LPARAM, LPARAM data) {
  if (message == BFFM_INITIALIZED && data != 0) {
    SendMessageW(window, BFFM_SETSELECTIONW, TRUE, data);
    CentreWindow(window);
  }
  return 0;
}

}  // namespace

bool GuiUserInterface::RunChooseFolder(void* owner, const std::string& title, std::string* folder) {
  if (!Windowing::Get().Enter("the folder chooser")) return false;
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const std::wstring wide_title = Wide(title);
  const std::wstring start = Wide(*folder);
  BROWSEINFOW browse{};
  browse.hwndOwner = OwnerWindow(owner);
  browse.lpszTitle = wide_title.c_str();
  browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  browse.lpfn = &ChooserStart;
  browse.lParam = reinterpret_cast<LPARAM>(start.c_str());
  bool chosen = false;
  if (PIDLIST_ABSOLUTE list = SHBrowseForFolderW(&browse)) {
    // Room for the longest path the file system takes, not MAX_PATH.
    std::wstring path(32768, L'\0');
    if (SHGetPathFromIDListEx(list, path.data(), static_cast<DWORD>(path.size()), GPFIDL_DEFAULT)) {
      // A folder whose name the code page lacks is given in its short form,
      // which still names it; one that cannot be named at all is Cancel.
      path.resize(wcslen(path.c_str()));
      *folder = win32::NarrowPath(path);
      chosen = !folder->empty();
    } else {
      DebugLog(
          "the folder chooser: the chosen item is no folder of the file system (%s); "
          "answered as Cancel",
          win32::SystemMessage(GetLastError()).c_str());
    }
    CoTaskMemFree(list);
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return chosen;
}

void GuiUserInterface::ShowStatus(void* owner, const std::string& text) {
  if (!Windowing::Get().Enter("the status window")) return;
  StatusState& state = Status();
  HWND window;
  StatusWindow* object;
  HWND stale = nullptr;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.window != nullptr && (state.owner != owner || !IsWindow(state.window)))
      stale = TakeStatusLocked(state);
    window = state.window;
    object = state.object;
  }
  // Destroyed outside the lock: the owner it activates may call back in.
  if (stale != nullptr && IsWindow(stale)) DestroyWindow(stale);
  if (window == nullptr) {
    if (!HasTemplate(kStatusTemplate)) return;
    RegisterControls();
    object = new StatusWindow;
    object->text_ = text;
    AddPending(object);
    HWND made = CreateDialogParamW(ThisModule(), MAKEINTRESOURCEW(kStatusTemplate),
                                   OwnerWindow(owner), &SharedDialogProc, 0);
    TakePending(object);
    if (made == nullptr) {
      DebugLog("the status window cannot be shown: %s",
               win32::SystemMessage(GetLastError()).c_str());
      delete object;
      return;
    }
    object->adopted_ = true;
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      state.window = made;
      state.owner = owner;
      state.object = object;
    }
    window = made;
    ShowWindow(made, SW_SHOWNOACTIVATE);
  } else {
    object->text_ = text;
    SetDlgItemTextW(window, kStatusText, Wide(text).c_str());
    FitTextHeight(window, kStatusText);
  }
  if (!IsWindow(window)) return;  // closed as it was shown
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  PumpPending(window);
}

void GuiUserInterface::HideStatus() {
  StatusState& state = Status();
  const bool own = Windowing::Get().UpOnThisThread();
  HWND window;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    window = own ? TakeStatusLocked(state) : state.window;
  }
  if (window == nullptr) return;
  // Outside the lock: destroying the active window activates its owner at
  // once, and a host that calls back in then must find the lock free.
  if (own) {
    DestroyWindow(window);
  } else {
    PostMessageW(window, WM_CLOSE, 0, 0);  // its own thread destroys it
  }
}

bool StartWindowing() {
  RegisterControls();
  return Windowing::Get().Enter("starting the windows");
}

bool WindowingIsUp() {
  return Windowing::Get().Up();
}

bool WindowStationIsVisible() {
  return VisibleWindowStation();
}

// Dispatches the calling thread's pending messages, the host's included: a
// long wait inside an export must not stall the host's windows, whether or
// not a status window is shown.
bool PumpWindowEvents() {
  if (!Windowing::Get().MayPumpOnThisThread()) return false;
  HWND window;
  {
    StatusState& state = Status();
    std::lock_guard<std::mutex> lock(state.mutex);
    window = state.window;
  }
  return PumpPending(window) > 0;
}

void ShutdownUserInterface() {
  const bool own = Windowing::Get().Shutdown();
  StatusState& state = Status();
  HWND window = nullptr;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (own) window = TakeStatusLocked(state);
  }
  if (window != nullptr) DestroyWindow(window);
}

}  // namespace tw
