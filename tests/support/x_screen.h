// The X display seen from a test's side, through connections of its own
// (never the windows' GDK connection, so these may be used from any
// thread): a virtual X server started for the test, the screen's pixels,
// and plain X windows standing for a host's window or covering ours.
// Kept free of wxWidgets: the X11 headers' macros clash with it.
#ifndef TW_TESTS_SUPPORT_X_SCREEN_H_
#define TW_TESTS_SUPPORT_X_SCREEN_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tw::test {

// An Xvfb server on a free display number (-displayfd), without TCP, with
// one screen of `width` x `height`; DISPLAY names it while it lives.
class VirtualDisplay {
 public:
  VirtualDisplay(int width, int height);
  ~VirtualDisplay();
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  bool ok() const { return pid_ > 0; }
  // Why it did not start.
  const std::string& error() const { return error_; }
  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
  std::string error_;
};

struct ScreenPixels {
  int x = 0, y = 0, width = 0, height = 0;
  std::vector<uint8_t> rgb;  // width * height * 3, row by row
};

// The pixels of the root window's rectangle (cut to the screen); false with
// `*error` set when they cannot be read.
bool CaptureScreen(int x, int y, int width, int height, ScreenPixels* pixels, std::string* error);
// The screen's size.
bool ScreenSize(int* width, int* height);

// A plain X window filled with one colour, mapped at once (no window
// manager moves it). Its id is what a host would hand over as its window.
class PlainXWindow {
 public:
  PlainXWindow(int x, int y, int width, int height, uint32_t rgb);
  ~PlainXWindow();
  PlainXWindow(const PlainXWindow&) = delete;
  PlainXWindow& operator=(const PlainXWindow&) = delete;

  bool ok() const { return window_ != 0; }
  unsigned long id() const { return window_; }
  // Maps or unmaps it and waits until the server has done so.
  void SetMapped(bool mapped);

 private:
  void* display_ = nullptr;
  unsigned long window_ = 0;
};

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_X_SCREEN_H_
