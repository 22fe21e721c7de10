// GuiUserInterface on Linux: the windows' own module (ui/gui_module.h),
// loaded when the first window is asked for, and nothing loaded until then.
//
// Which file is loaded is settled when this code is loaded: the windows'
// module beside this code's own file is opened then and kept open, and the
// first window loads that very file (by its name while the name still
// gives it, else through the descriptor). A module replaced on disk
// meanwhile (an upgrade, an update) is not paired with windows of another
// build, and neither the current folder of a later moment nor a file
// planted there is ever looked at. The module's entry refuses a loader of
// another build all the same (ui/gui_module.h).
//
// Threads: the module is loaded once, under a lock, which the shutdown
// takes too; its table is published through an atomic pointer, so the calls
// that only ask whether windows are up never wait for a load.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/debug_output.h"
#include "platform/message_box.h"
#include "platform/path.h"
#include "platform/system_factory.h"
#include "platform/wx_lock.h"
#include "ui/gui.h"
#include "ui/gui_module.h"

namespace tw {

namespace {

// The windows' module file, opened when this code was loaded: its path,
// the descriptor and the file's identity; `fd` is -1 and `why` says why
// when it could not be opened.
struct ModuleFile {
  std::string path;
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
  std::string why;
};

ModuleFile OpenModuleFile() {
  ModuleFile file;
  const std::string dir = CodeDirectory();
  if (dir.empty()) {
    file.why = "the folder of the module is not known";
    return file;
  }
  file.path = NativeJoin(dir, kGuiModuleFile);
  file.fd = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (file.fd < 0 || ::fstat(file.fd, &st) != 0) {
    file.why = file.path + ": " + std::strerror(errno);
    if (file.fd >= 0) ::close(file.fd);
    file.fd = -1;
    return file;
  }
  file.device = st.st_dev;
  file.inode = st.st_ino;
  return file;
}

// Never destroyed: a window may be asked for while the process ends.
const ModuleFile& g_module_file = *new ModuleFile(OpenModuleFile());

bool IsModuleFile(const struct stat& st) {
  return st.st_dev == g_module_file.device && st.st_ino == g_module_file.inode;
}

std::atomic<const GuiModuleFunctions*> g_functions{nullptr};

std::mutex& LoadMutex() {
  static std::mutex* mutex = new std::mutex;  // outlives static destructors
  return *mutex;
}
bool g_settled = false;    // guarded by LoadMutex(): loaded, or never will be
bool g_shut_down = false;  // guarded by LoadMutex()

// Loads `path` and asks its entry for the functions: null when it cannot
// be loaded (`*refused` false: another try may succeed) or its entry
// refuses this loader (`*refused` true).
const GuiModuleFunctions* LoadFile(const std::string& path, bool* refused) {
  *refused = false;
  // Never unloaded: its windows and GTK live until the process ends.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    DebugLog("User interface: the windows cannot be shown: %s", why ? why : path.c_str());
    return nullptr;
  }
  const auto entry = reinterpret_cast<GuiModuleEntry>(::dlsym(handle, kGuiModuleEntry));
  const GuiModuleFunctions* functions = entry ? entry(kGuiModuleBuild, &WxStateLock()) : nullptr;
  if (functions == nullptr || functions->size != sizeof(GuiModuleFunctions)) {
    *refused = true;
    DebugLog(
        "User interface: the windows cannot be shown: %s is not of this build, or serves "
        "another copy of the module",
        path.c_str());
    return nullptr;
  }
  return functions;
}

// Loads the module once. Null when it cannot be loaded (said in the
// diagnostic output) or the windows were shut down. A failure that another
// try may not meet (the system short of memory or descriptors) is tried
// again with the next window.
const GuiModuleFunctions* Load() {
  std::lock_guard<std::mutex> lock(LoadMutex());
  if (g_shut_down || g_settled) return g_functions.load(std::memory_order_acquire);
  if (g_module_file.fd < 0) {
    g_settled = true;
    DebugLog("User interface: the windows cannot be shown: %s", g_module_file.why.c_str());
    return nullptr;
  }
  // The file by its own name while that still names it (so that debuggers
  // and profilers find it); else, or when the name came to give another
  // build between the look and the load, through the descriptor held since
  // the module was loaded - only while the descriptor is still that file.
  const GuiModuleFunctions* functions = nullptr;
  bool refused = false;
  struct stat st;
  if (::stat(g_module_file.path.c_str(), &st) == 0 && IsModuleFile(st)) {
    functions = LoadFile(g_module_file.path, &refused);
    if (functions == nullptr && !refused) return nullptr;
  }
  if (functions == nullptr) {
    if (::fstat(g_module_file.fd, &st) != 0 || !IsModuleFile(st)) {
      g_settled = true;
      DebugLog("User interface: the windows cannot be shown: %s is no longer open",
               g_module_file.path.c_str());
      return nullptr;
    }
    functions = LoadFile("/proc/self/fd/" + std::to_string(g_module_file.fd), &refused);
    if (functions == nullptr && !refused) return nullptr;
  }
  g_settled = true;
  if (functions != nullptr) g_functions.store(functions, std::memory_order_release);
  return functions;
}

// The module's functions for `what` (a window asked for), loading the
// module on the first such call; null, said in the diagnostic output, when
// there are no windows.
const GuiModuleFunctions* ForWindow(const char* what) {
  const GuiModuleFunctions* functions = g_functions.load(std::memory_order_acquire);
  if (functions == nullptr) functions = Load();
  if (functions == nullptr)
    DebugLog("User interface: %s no windows can be shown; nobody is asked", what);
  return functions;
}

// The module's functions when it is loaded; never loads it.
const GuiModuleFunctions* IfLoaded() {
  return g_functions.load(std::memory_order_acquire);
}

}  // namespace

void GuiUserInterface::RunDialog(OpenDialog& dialog) {
  const std::string what = "dialog " + std::to_string(dialog.request().template_id);
  if (const GuiModuleFunctions* f = ForWindow(what.c_str())) {
    f->run_dialog(dialog);
  } else {
    dialog.Dismiss(false);
  }
}

UserInterface::MessageBoxOutcome GuiUserInterface::RunMessageBox(const MessageBoxRequest& request) {
  const std::string what = "message box \"" + request.title + "\"";
  const GuiModuleFunctions* f = ForWindow(what.c_str());
  MessageBoxOutcome outcome;
  outcome.answer = f != nullptr ? f->run_message_box(request) : DefaultMessageBoxAnswer(request);
  return outcome;
}

bool GuiUserInterface::RunChooseFolder(void* owner, const std::string& title, std::string* folder) {
  const std::string what = "folder chooser \"" + title + "\"";
  const GuiModuleFunctions* f = ForWindow(what.c_str());
  return f != nullptr && f->run_choose_folder(owner, title, folder);
}

void GuiUserInterface::ShowStatus(void* owner, const std::string& text) {
  if (const GuiModuleFunctions* f = ForWindow("the status window")) f->show_status(owner, text);
}

void GuiUserInterface::HideStatus() {
  if (const GuiModuleFunctions* f = IfLoaded()) f->hide_status();
}

bool StartWindowing() {
  const GuiModuleFunctions* f = ForWindow("starting the windows");
  return f != nullptr && f->start_windowing();
}

bool WindowingIsUp() {
  const GuiModuleFunctions* f = IfLoaded();
  return f != nullptr && f->windowing_is_up();
}

bool PumpWindowEvents() {
  const GuiModuleFunctions* f = IfLoaded();
  return f != nullptr && f->pump_window_events();
}

void ShutdownUserInterface() {
  // Under the load lock: a load under way finishes first and is shut down
  // here; none starts afterwards.
  std::lock_guard<std::mutex> lock(LoadMutex());
  g_shut_down = true;
  if (const GuiModuleFunctions* f = IfLoaded()) f->shutdown();
}

}  // namespace tw
