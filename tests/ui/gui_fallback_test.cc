// The windowed form where no windows can be shown: without a display, with
// a display nobody serves, and on a thread other than the one where a host
// that is a GTK program runs GTK, it answers as "none" (dialogs Cancel with
// their initial values, message boxes their default button, no folder, no
// status window, nothing pumped), says why in the diagnostic output and
// never crashes. Each case runs in a child process of its own, since a
// process tries to start its windows once.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/support/gui_driver.h"
#include "tests/support/test_env.h"
#include "tests/support/x_screen.h"
#include "ui/gui.h"
#include "ui/user_interface.h"

namespace tw {
namespace {

// Everything a host may ask, answered as by nobody; exits 0 when so, else
// prints what differed and exits 1.
[[noreturn]] void AskEverything(const std::string& debug_log, const char* expected_reason) {
  auto ui = std::make_shared<GuiUserInterface>();
  SetUserInterface(ui);
  DialogRequest request;
  request.template_id = 101;
  request.title = "Halvorn Veltrane";
  request.values = {{1001, "alice"}};
  const DialogResult result = ShowDialog(request);
  const int answer = ShowMessageBox(nullptr, "Veltrane", "Overwrite?", MessageBoxButtons::kYesNo,
                                    MessageBoxIcon::kQuestion);
  std::string folder = "/start";
  const bool chose = ui->ChooseFolder(nullptr, "Please select a working local folder...", &folder);
  ui->ShowStatus(nullptr, "Logging on...");
  ui->HideStatus();
  const bool pumped = PumpUserInterfaceEvents();
  const bool up = WindowingIsUp();
  ShutdownUserInterface();
  const std::string log = test::ReadFile(debug_log);

  std::string wrong;
  if (result.button != kIdCancel || result.values.at(1001) != "alice") wrong += "dialog; ";
  if (answer != kIdYes) wrong += "message box; ";
  if (chose || folder != "/start") wrong += "folder; ";
  if (pumped || up) wrong += "windows up; ";
  if (ui->Name() != "gui") wrong += "name; ";
  if (log.find(expected_reason) == std::string::npos) wrong += "log: " + log;
  if (!wrong.empty()) {
    fprintf(stderr, "wrong: %s\n", wrong.c_str());
    std::_Exit(1);
  }
  std::_Exit(0);
}

TEST(GuiFallbackDeathTest, WithoutADisplayNobodyIsAsked) {
  test::TestEnv env;
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  EXPECT_EXIT(AskEverything(env.Path("debug.log"), "no display"), ::testing::ExitedWithCode(0), "");
}

TEST(GuiFallbackDeathTest, WithADisplayNobodyServesNobodyIsAsked) {
  test::TestEnv env;
  // A display number no X server of this machine uses.
  setenv("DISPLAY", ":65123", 1);
  unsetenv("WAYLAND_DISPLAY");
  EXPECT_EXIT(AskEverything(env.Path("debug.log"), "GTK cannot open the display"),
              ::testing::ExitedWithCode(0), "");
}

// Where the windows' own module is missing - here a copy of this program in
// a folder without libTWSccGui.so - the windowed form answers as nobody
// does and names the file it looked for. The copy runs this very test.
TEST(GuiFallbackDeathTest, WithoutTheWindowsModuleNobodyIsAsked) {
  // The copy works in the folder of the test that started it, and leaves
  // its clearing to that test.
  if (const char* log = std::getenv("TW_GUI_FALLBACK_COPY")) {
    AskEverything(log, "libTWSccGui.so: No such file or directory");
  }
  test::TestEnv env;
  setenv("DISPLAY", ":65123", 1);
  unsetenv("WAYLAND_DISPLAY");
  const std::string copy = env.Path("copy/ui_gui_fallback_test");
  std::filesystem::create_directories(env.Path("copy"));
  std::filesystem::copy_file("/proc/self/exe", copy);
  std::filesystem::permissions(copy, std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  setenv("TW_GUI_FALLBACK_COPY", env.Path("debug.log").c_str(), 1);
  const test::ProgramOutcome outcome = test::RunProgram(
      copy, {"--gtest_filter=GuiFallbackDeathTest.WithoutTheWindowsModuleNobodyIsAsked"},
      env.Path(""));
  unsetenv("TW_GUI_FALLBACK_COPY");
  // The copy asked and exited 0 from within the test: it never got to
  // gtest's report of a passed test.
  EXPECT_EQ(0, outcome.exit) << outcome.out << outcome.err;
  EXPECT_NE(std::string::npos, outcome.out.find("WithoutTheWindowsModuleNobodyIsAsked"))
      << outcome.out;
  EXPECT_EQ(std::string::npos, outcome.out.find("PASSED")) << outcome.out;
}

// A host that is a GTK program (GTK started on its main thread) asks from
// a worker thread: nobody is asked, GTK is left to its thread.
[[noreturn]] void GtkHostAsksFromAWorker(const std::string& debug_log) {
  if (!gtk_init_check(nullptr, nullptr)) {
    fprintf(stderr, "the host's GTK did not start\n");
    std::_Exit(2);
  }
  auto ui = std::make_shared<GuiUserInterface>();
  DialogResult result;
  std::thread worker([&] {
    DialogRequest request;
    request.template_id = 119;
    request.values = {{1037, "1"}};
    result = ui->ShowDialog(request);
  });
  worker.join();
  const std::string log = test::ReadFile(debug_log);
  if (result.button != kIdCancel || result.values.at(1037) != "1" || WindowingIsUp() ||
      log.find("the host's own GTK runs on another thread") == std::string::npos) {
    fprintf(stderr, "wrong: button %d, log %s\n", result.button, log.c_str());
    std::_Exit(1);
  }
  std::_Exit(0);
}

TEST(GuiFallbackDeathTest, AGtkHostsWorkerThreadIsAnsweredAsByNobody) {
  const std::string excluded = test::BuildExcludesGui();
  if (!excluded.empty()) GTEST_SKIP() << excluded;
  test::TestEnv env;
  test::VirtualDisplay display(640, 480);
  if (!display.ok()) GTEST_SKIP() << "no windowed tests: " << display.error();
  EXPECT_EXIT(GtkHostAsksFromAWorker(env.Path("debug.log")), ::testing::ExitedWithCode(0), "");
}

TEST(GuiFallback, TheEnvironmentChoosesTheWindowsOnlyWithADisplay) {
  test::TestEnv env;
  unsetenv("VELTRANE_UI");
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  EXPECT_EQ(ActiveUserInterface()->Name(), "none");
  setenv("DISPLAY", ":65123", 1);
  // Chosen, but nothing starts until a dialog asks.
  EXPECT_EQ(ActiveUserInterface()->Name(), "gui");
  EXPECT_FALSE(WindowingIsUp());
  EXPECT_FALSE(PumpUserInterfaceEvents());
  SetUserInterface(nullptr);
  unsetenv("DISPLAY");
}

}  // namespace
}  // namespace tw
