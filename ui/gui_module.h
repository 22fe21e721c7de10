// The windows' own module. On Linux the windowed form (ui/gui.h: wxWidgets
// on GTK) is built as a module of its own, libTWSccGui.so, beside the code
// that loads it. A process that never shows a window - every vscc command,
// a build host, a host with scripted answers - then never maps GTK and the
// seventy libraries it brings, whose loading was half the time of a short
// vscc command. GuiUserInterface (ui/gui_loader.cc) loads the module when
// the first window is asked for and calls the functions below; when it
// cannot be loaded, the form answers as "none" does, as it does where GTK
// cannot start.
//
// Both sides are built from this tree by one compiler, so the functions
// pass the seam's own types (OpenDialog and the requests, whose code the
// windows' module carries a copy of): only a module of the very same build
// may be used. Each build carries its own stamp (TW_GUI_BUILD, set when the
// build is configured); the entry compares the loader's with its own before
// it does anything else. The module gets the loader's WxStateLock, so that
// both sides serialise wxWidgets' start and end on one lock.
//
// Threads: as ui/gui.h says of GuiUserInterface.
#ifndef TW_UI_GUI_MODULE_H_
#define TW_UI_GUI_MODULE_H_

#include <cstddef>
#include <mutex>
#include <string>

#include "ui/user_interface.h"

namespace tw {

struct GuiModuleFunctions {
  size_t size;  // sizeof(GuiModuleFunctions) of the module's build
  void (*run_dialog)(OpenDialog& dialog);
  int (*run_message_box)(const MessageBoxRequest& request);  // the answer
  bool (*run_choose_folder)(void* owner, const std::string& title, std::string* folder);
  void (*show_status)(void* owner, const std::string& text);
  void (*hide_status)();
  bool (*start_windowing)();
  bool (*windowing_is_up)();
  bool (*pump_window_events)();
  void (*shutdown)();
};

constexpr char kGuiModuleFile[] = "libTWSccGui.so";
// The module's one export, extern "C": its functions when `build` is its
// own stamp, else null; `wx_state_lock` is the loader's WxStateLock (a
// second, different one is refused).
constexpr char kGuiModuleEntry[] = "TwGuiModuleFunctions";
using GuiModuleEntry = const GuiModuleFunctions* (*)(const char* build, std::mutex* wx_state_lock);
constexpr char kGuiModuleBuild[] = TW_GUI_BUILD;

}  // namespace tw

#endif  // TW_UI_GUI_MODULE_H_
