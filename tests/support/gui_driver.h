// Driving the windowed user interface from a test, as a person would: the
// test queues steps, then calls the seam (a dialog, a message box); the
// steps run inside the windows' own event loops, one timer tick at a time,
// find the dialog and its controls by their ids, set values, post button
// clicks, answer GTK's native boxes and take screenshots.
//
// GuiUnavailable starts, on first use, an Xvfb server for the test program
// and the windows on the test's main thread; a test skips (with the reason)
// when the server cannot start, and in ThreadSanitizer builds, where GTK's
// own uninstrumented threads make every report meaningless.
//
// Threads: the test's main thread (the windows' thread); screenshots
// (x_screen.h) may be taken on any thread.
#ifndef TW_TESTS_SUPPORT_GUI_DRIVER_H_
#define TW_TESTS_SUPPORT_GUI_DRIVER_H_

#include <wx/dialog.h>
#include <wx/timer.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/x_screen.h"

namespace tw::test {

// Why windowed tests cannot run here, or empty when they can: Xvfb
// started and the windows came up (starting both on first use).
std::string GuiUnavailable();
// Why this build cannot test windows at all (ThreadSanitizer), or empty.
std::string BuildExcludesGui();
// Stops the windows and the server (from a gtest environment's TearDown).
void StopGui();

#define TW_REQUIRE_GUI()                                            \
  do {                                                              \
    const std::string why = ::tw::test::GuiUnavailable();           \
    if (!why.empty()) GTEST_SKIP() << "no windowed tests: " << why; \
  } while (0)

// The shown dialog with the template id `template_id`, or null.
wxDialog* FindDialog(int template_id);
// Control `id` of `dialog` as a T, or null.
template <typename T>
T* ControlOf(wxWindow* dialog, int id) {
  return dialog == nullptr ? nullptr : dynamic_cast<T*>(dialog->FindWindow(id));
}
// What a report list shows: its columns' captions and widths, and its
// cells row by row.
struct ReportListShown {
  std::vector<std::string> captions;
  std::vector<int> widths;
  std::vector<std::vector<std::string>> rows;
};
// Report list `id` of `dialog` as shown; a test failure when there is none.
ReportListShown ReadReportList(wxWindow* dialog, int id);
// Posts a click of button `id` of `dialog`, as the mouse would; false when
// there is no such button.
bool PostClick(wxWindow* dialog, int id);

// The texts of `dialog` that do not fit their controls (a caption, label,
// button, check box or radio button smaller than it needs, a group box
// narrower than its caption), each described; empty when none is cut.
std::vector<std::string> CutTexts(wxWindow* dialog);

// GTK's native boxes (message boxes, the folder chooser): the shown one
// whose title is `title`, or null.
void* FindNativeDialog(const std::string& title);
// What a native message box shows.
std::string NativeMessageText(void* dialog);
// GTK_MESSAGE_* of a native message box.
int NativeMessageType(void* dialog);
// Answers a native box with a GTK response id (GTK_RESPONSE_*).
void RespondNative(void* dialog, int response);
// The position and size of a native box on the screen.
bool NativeDialogRect(void* dialog, int* x, int* y, int* width, int* height);

// Where screenshots go: $TW_SCREENSHOT_DIR, else the build folder's
// "screenshots", else `fallback`.
std::string ScreenshotDir(const std::string& fallback);
// Whether the pixels hold a picture: more than a small share of them differ
// from the most common colour.
bool LooksDrawn(const ScreenPixels& pixels);
// Writes the pixels as a PNG file; false when it cannot.
bool WritePng(const ScreenPixels& pixels, const std::string& path);

// Steps run one per tick (a wxTimer, so they run in whatever event loop
// the windows are in) until each returns true. A step that is not done
// after `limit_ticks` makes the driver give up: the shown dialog is sent
// Escape or Cancel so that the test ends instead of hanging.
class GuiSteps : public wxTimer {
 public:
  using Step = std::function<bool()>;
  explicit GuiSteps(int limit_ticks = 600);
  ~GuiSteps() override;

  GuiSteps& Then(const std::string& what, Step step);
  // Starts ticking (every 20 ms).
  void Go();
  // Empty when every step ran; else the step the driver gave up on.
  std::string Stuck() const;

  // Common steps.
  // Waits for dialog `template_id` to be shown and drawn, then remembers it.
  GuiSteps& WaitForDialog(int template_id);
  // The dialog remembered by WaitForDialog.
  wxDialog* dialog() const { return dialog_; }
  // Takes a screenshot of the remembered dialog once two in a row agree,
  // and writes it to `path`; `pixels` (may be null) gets it too. A text
  // the dialog shows cut (CutTexts), or a dialog not wholly on the screen,
  // fails the test.
  GuiSteps& Screenshot(const std::string& path, ScreenPixels* pixels);
  GuiSteps& Click(int button);
  // Presses Escape in the remembered dialog.
  GuiSteps& Escape();
  GuiSteps& Do(const std::string& what, std::function<void(wxDialog*)> action);
  // Waits for the native box titled `title`, checks nothing, answers it.
  GuiSteps& AnswerNative(const std::string& title, int response, std::string* text = nullptr,
                         int* type = nullptr);

 private:
  void Notify() override;
  void GiveUp();

  struct Entry {
    std::string what;
    Step step;
  };
  std::deque<Entry> steps_;
  const int limit_ticks_;
  int ticks_ = 0;
  std::string stuck_;
  wxDialog* dialog_ = nullptr;
  std::shared_ptr<ScreenPixels> last_shot_;
};

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_GUI_DRIVER_H_
