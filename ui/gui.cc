// The windowed form, the windows' own module (ui/gui_module.h): starting
// and ending the windowing, the thread rule, owners and placement, message
// boxes, the folder chooser and the status window. The dialog windows are
// in ui/gui_dialog.cc.
//
// Threads: Windowing's state is guarded by its mutex; everything else here
// runs on the windowing thread only (GuiThreadState), which every entry
// point checks first.
#include <wx/app.h>
#include <wx/dirdlg.h>
#include <wx/display.h>
#include <wx/init.h>
#include <wx/log.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "platform/debug_output.h"
#include "platform/wx_lock.h"
#include "ui/gtk.h"
#include "ui/gui_module.h"
#include "ui/gui_window.h"

namespace tw {

namespace {

constexpr int kStatusTemplate = 112;
constexpr int kStatusText = 1024;
// Enough for a burst of expose, layout and paint events; a source that
// keeps itself pending cannot hold a wait in the pump for ever.
constexpr int kPumpLimit = 200;

wxString FromUtf8(const std::string& text) {
  return wxString::FromUTF8(text.data(), text.size());
}

// wxWidgets' log messages and failed checks go to the diagnostic output: a
// host that is not a wxWidgets program must never see a log window.
class DiagnosticLog : public wxLog {
 protected:
  void DoLogTextAtLevel(wxLogLevel, const wxString& text) override {
    DebugLog("wxWidgets: %s", text.utf8_string().c_str());
  }
};

void LogWxAssert(const wxString& file, int line, const wxString& function,
                 const wxString& condition, const wxString& message) {
  DebugLog("wxWidgets check failed: %s in %s (%s:%d): %s", condition.utf8_string().c_str(),
           function.utf8_string().c_str(), file.utf8_string().c_str(), line,
           message.utf8_string().c_str());
}

// Our application object: it exists for wxWidgets' sake; no event loop of
// it ever runs.
class WindowingApp : public wxApp {
 public:
  bool OnInit() override { return true; }
};

// What only the windowing thread touches.
struct GuiThreadState {
  std::set<wxWindow*> windows;            // ours, for owner handles
  gui::TemplateWindow* status = nullptr;  // the status window, when shown
  void* status_owner = nullptr;
};
GuiThreadState& ThreadState() {
  static GuiThreadState* state = new GuiThreadState;  // outlives static destructors
  return *state;
}

bool StartToolkit(std::string* why) {
  if (!GtkPrepare(why)) return false;
  // The log target, the application object and the main-thread identity
  // that wxWidgets records at its start are read by other threads' log
  // calls (see wx_lock.h): all of them change under the lock.
  std::lock_guard<std::mutex> lock(WxStateLock());
  // A host that is a wxWidgets program owns the application object and the
  // log target; taking them over would free what it still uses.
  if (wxTheApp != nullptr) {
    *why = "the host is a wxWidgets program";
    return false;
  }
  delete wxLog::SetActiveTarget(new DiagnosticLog);
  wxSetAssertHandler(&LogWxAssert);
  wxApp::SetInstance(new WindowingApp);
  // wxWidgets keeps the arguments for the life of the application.
  static char name[] = "TWSccApi";
  static char* argv[] = {name, nullptr};
  static int argc = 1;
  // Starting the application starts GTK (gtk_init_check), which fails
  // when the display cannot be opened. It also records this thread as
  // wxWidgets' main thread, which other threads' log calls read.
  if (!wxEntryStart(argc, argv)) {
    *why = "GTK cannot open the display";
    return false;
  }
  wxTheApp->SetExitOnFrameDelete(false);
  return true;
}

void CloseStatusWindow() {
  GuiThreadState& state = ThreadState();
  if (state.status == nullptr) return;
  state.windows.erase(state.status);
  // Deleted at once: no event loop runs to delete it later.
  delete state.status;
  state.status = nullptr;
  state.status_owner = nullptr;
}

// The windowing's life: untried, up on one thread, failed, or ended.
class Windowing {
 public:
  static Windowing& Get() {
    static Windowing* windowing = new Windowing;  // outlives static destructors
    return *windowing;
  }

  // Starts the windowing on this thread unless it was tried before; true
  // when it is up and this is its thread. Otherwise says in the diagnostic
  // output that `what` is answered as by nobody. The start runs outside the
  // lock: other threads asking meanwhile are answered at once (by nobody),
  // and a wait's pump hook on this thread does not block on it.
  bool Enter(const char* what) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (state_ == State::kUntried) {
      state_ = State::kStarting;
      thread_ = std::this_thread::get_id();
      lock.unlock();
      std::string why;
      const bool started = StartToolkit(&why);
      lock.lock();
      if (state_ == State::kStarting) {
        state_ = started ? State::kUp : State::kFailed;
      } else if (started) {
        // Shut down while it started, on another thread: GTK may be ended
        // on its own thread only, so it is left to the process's end.
        DebugLog(
            "User interface: the windows came up after the shutdown; left to the process's end");
      }
      if (!started) DebugLog("User interface: the windows cannot be shown: %s", why.c_str());
    }
    if (state_ == State::kUp && thread_ == std::this_thread::get_id()) return true;
    const char* reason = state_ == State::kUp ? "asked on a thread that is not the windows' own"
                         : state_ == State::kStarting ? "asked while the windows start"
                         : state_ == State::kShutDown ? "asked after the windows were shut down"
                                                      : "no windows can be shown";
    DebugLog("User interface: %s %s; nobody is asked", what, reason);
    return false;
  }

  bool UpOnThisThread() {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == State::kUp && thread_ == std::this_thread::get_id();
  }

  bool Up() {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == State::kUp;
  }

  void Shutdown() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kUp) {
      if (thread_ == std::this_thread::get_id()) {
        CloseStatusWindow();
        RemoveNativeDialogHook();
        std::lock_guard<std::mutex> wx_lock(WxStateLock());
        wxEntryCleanup();
      } else {
        // GTK may be used on its own thread only; the process ends with it.
        DebugLog(
            "User interface: the windows are left to the process's end (shut down on "
            "another thread)");
      }
    }
    state_ = State::kShutDown;
  }

 private:
  enum class State { kUntried, kStarting, kUp, kFailed, kShutDown };
  std::mutex mutex_;
  State state_ = State::kUntried;  // guarded by mutex_
  std::thread::id thread_;         // guarded by mutex_
};

UiRect ToUiRect(const wxRect& rect) {
  return UiRect{rect.x, rect.y, rect.width, rect.height};
}

long MessageBoxStyle(const MessageBoxRequest& request) {
  long style = 0;
  switch (request.buttons) {
    case MessageBoxButtons::kOk:
      style = wxOK;
      break;
    case MessageBoxButtons::kOkCancel:
      style = wxOK | wxCANCEL;
      break;
    case MessageBoxButtons::kYesNo:
      style = wxYES_NO;
      break;
    case MessageBoxButtons::kYesNoCancel:
      style = wxYES_NO | wxCANCEL;
      break;
  }
  switch (DefaultMessageBoxAnswer(request)) {
    case kIdCancel:
      style |= wxCANCEL_DEFAULT;
      break;
    case kIdNo:
      style |= wxNO_DEFAULT;
      break;
    case kIdOk:
      style |= wxOK_DEFAULT;
      break;
    default:
      style |= wxYES_DEFAULT;
      break;
  }
  switch (request.icon) {
    case MessageBoxIcon::kNone:
      style |= wxICON_NONE;
      break;
    case MessageBoxIcon::kInformation:
      style |= wxICON_INFORMATION;
      break;
    case MessageBoxIcon::kExclamation:
      style |= wxICON_EXCLAMATION;
      break;
    case MessageBoxIcon::kError:
      style |= wxICON_ERROR;
      break;
    case MessageBoxIcon::kQuestion:
      style |= wxICON_QUESTION;
      break;
  }
  return style;
}

// The answer of a box closed with `result`: the button pressed, or for a
// box closed without one its Cancel, else its No, else its OK.
int AnswerOf(const MessageBoxRequest& request, int result) {
  int answer = 0;
  switch (result) {
    case wxID_OK:
      answer = kIdOk;
      break;
    case wxID_YES:
      answer = kIdYes;
      break;
    case wxID_NO:
      answer = kIdNo;
      break;
    default:
      answer = kIdCancel;
      break;
  }
  const std::vector<int> ids = MessageBoxButtonIds(request.buttons);
  auto has = [&ids](int id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); };
  if (has(answer)) return answer;
  for (int fallback : {kIdCancel, kIdNo, kIdOk}) {
    if (has(fallback)) return fallback;
  }
  return ids.front();
}

}  // namespace

namespace gui {

Owner ResolveOwner(void* handle) {
  Owner owner;
  if (handle == nullptr) return owner;
  for (wxWindow* window : ThreadState().windows) {
    if (window == handle || WindowHandle(window) == handle) {
      owner.window = window;
      owner.rect = ToUiRect(window->GetScreenRect());
      return owner;
    }
  }
  const auto xid = static_cast<unsigned long>(reinterpret_cast<uintptr_t>(handle));
  owner.rect = ForeignWindowRect(xid);
  if (owner.rect) owner.xid = xid;
  return owner;
}

void* WindowHandle(wxWindow* window) {
  RealizeWindow(window->GetHandle());
  const unsigned long xid = GtkWindowXid(window->GetHandle());
  if (xid != 0) return reinterpret_cast<void*>(static_cast<uintptr_t>(xid));
  return window;
}

UiRect WorkArea(const std::optional<UiRect>& near) {
  int index = wxNOT_FOUND;
  if (near) {
    index = wxDisplay::GetFromPoint(wxPoint(near->x + near->width / 2, near->y + near->height / 2));
  }
  if (index == wxNOT_FOUND) index = 0;
  return ToUiRect(wxDisplay(static_cast<unsigned>(index)).GetClientArea());
}

void PlaceWindow(wxWindow* window, const Owner& owner) {
  const wxSize size = window->GetSize();
  const UiRect placed = PlaceDialog(size.x, size.y, owner.rect, WorkArea(owner.rect));
  window->Move(placed.x, placed.y);
  if (owner.window == nullptr && owner.xid != 0) {
    SetTransientForForeign(window->GetHandle(), owner.xid);
  }
}

void PaintNow(wxWindow* window) {
  // Twice: the first round gets the window mapped and exposed, the second
  // paints what the expose invalidated.
  for (int round = 0; round < 2; ++round) {
    GtkSyncDisplay();
    GtkDispatchPending(kPumpLimit);
    window->Update();
  }
}

WindowRegistration::WindowRegistration(wxWindow* window) : window_(window) {
  ThreadState().windows.insert(window_);
}

WindowRegistration::~WindowRegistration() {
  ThreadState().windows.erase(window_);
}

}  // namespace gui

namespace {

void RunDialogWindow(OpenDialog& dialog) {
  const std::string what = "dialog " + std::to_string(dialog.request().template_id);
  if (!Windowing::Get().Enter(what.c_str())) {
    dialog.Dismiss(false);
    return;
  }
  gui::RunModalDialog(dialog);
}

int RunMessageBoxWindow(const MessageBoxRequest& request) {
  const std::string what = "message box \"" + request.title + "\"";
  if (!Windowing::Get().Enter(what.c_str())) return DefaultMessageBoxAnswer(request);
  const gui::Owner owner = gui::ResolveOwner(request.owner);
  wxMessageDialog box(owner.window, FromUtf8(request.text), FromUtf8(request.title),
                      MessageBoxStyle(request));
  NativeDialogPlacement placement(owner.rect, gui::WorkArea(owner.rect), owner.xid);
  return AnswerOf(request, box.ShowModal());
}

bool RunFolderChooser(void* owner_handle, const std::string& title, std::string* folder) {
  const std::string what = "folder chooser \"" + title + "\"";
  if (!Windowing::Get().Enter(what.c_str())) return false;
  const gui::Owner owner = gui::ResolveOwner(owner_handle);
  wxDirDialog chooser(owner.window, FromUtf8(title), FromUtf8(*folder));
  NativeDialogPlacement placement(owner.rect, gui::WorkArea(owner.rect), owner.xid);
  if (chooser.ShowModal() != wxID_OK) return false;
  *folder = chooser.GetPath().utf8_string();
  return true;
}

void ShowStatusWindow(void* owner_handle, const std::string& text) {
  if (!Windowing::Get().Enter("the status window")) return;
  GuiThreadState& state = ThreadState();
  if (state.status != nullptr && state.status_owner != owner_handle) CloseStatusWindow();
  DialogRequest request;
  request.template_id = kStatusTemplate;
  request.texts[kStatusText] = text;
  const gui::Owner owner = gui::ResolveOwner(owner_handle);
  if (state.status == nullptr) {
    state.status = new gui::TemplateWindow(owner.window, request, {},
                                           wxCAPTION | (owner.window ? 0 : wxDIALOG_NO_PARENT));
    // Wide enough for the usual texts, so that it does not jump as they
    // change; a longer one makes it grow.
    state.status->GetSizer()->SetMinSize(state.status->FromDIP(wxSize(320, 64)));
    state.status->GetSizer()->SetSizeHints(state.status);
    state.status_owner = owner_handle;
    state.windows.insert(state.status);
    gui::PlaceWindow(state.status, owner);
    state.status->Show();
  } else {
    const wxSize before = state.status->GetSize();
    state.status->SetControlText(kStatusText, text);
    // It stays centred over its owner when it had to grow.
    if (state.status->GetSize() != before) gui::PlaceWindow(state.status, owner);
  }
  gui::PaintNow(state.status);
}

void HideStatusWindow() {
  if (!Windowing::Get().UpOnThisThread()) return;
  CloseStatusWindow();
}

bool StartWindows() {
  return Windowing::Get().Enter("starting the windows");
}

bool WindowsAreUp() {
  return Windowing::Get().Up();
}

bool PumpEvents() {
  if (!Windowing::Get().UpOnThisThread()) return false;
  return GtkDispatchPending(kPumpLimit) > 0;
}

void ShutdownWindows() {
  Windowing::Get().Shutdown();
}

std::mutex* g_wx_state_lock = nullptr;  // set once, before any other call

}  // namespace

// The loader's lock (ui/gui_module.h).
std::mutex& WxStateLock() {
  return *g_wx_state_lock;
}

}  // namespace tw

extern "C" __attribute__((visibility("default"))) const tw::GuiModuleFunctions*
TwGuiModuleFunctions(const char* build, std::mutex* wx_state_lock) {
  static const tw::GuiModuleFunctions functions = {sizeof(tw::GuiModuleFunctions),
                                                   &tw::RunDialogWindow,
                                                   &tw::RunMessageBoxWindow,
                                                   &tw::RunFolderChooser,
                                                   &tw::ShowStatusWindow,
                                                   &tw::HideStatusWindow,
                                                   &tw::StartWindows,
                                                   &tw::WindowsAreUp,
                                                   &tw::PumpEvents,
                                                   &tw::ShutdownWindows};
  if (build == nullptr || std::strcmp(build, tw::kGuiModuleBuild) != 0) return nullptr;
  if (wx_state_lock == nullptr) return nullptr;
  // One lock for the life of the process: a loader that came with another
  // would leave the windows' start and end unserialised with the first.
  static std::mutex* const lock = wx_state_lock;
  if (lock != wx_state_lock) return nullptr;
  tw::g_wx_state_lock = lock;
  return &functions;
}
