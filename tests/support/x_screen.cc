#include "tests/support/x_screen.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tw::test {

namespace {

// The lowest set bit's position of a colour mask, and its width.
void MaskShape(unsigned long mask, int* shift, int* bits) {
  *shift = 0;
  *bits = 0;
  if (mask == 0) return;
  while ((mask & 1) == 0) {
    mask >>= 1;
    ++*shift;
  }
  while (mask & 1) {
    mask >>= 1;
    ++*bits;
  }
}

uint8_t Channel(unsigned long pixel, unsigned long mask) {
  int shift, bits;
  MaskShape(mask, &shift, &bits);
  if (bits == 0) return 0;
  const unsigned long value = (pixel & mask) >> shift;
  return static_cast<uint8_t>(value * 255 / ((1ul << bits) - 1));
}

}  // namespace

VirtualDisplay::VirtualDisplay(int width, int height) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error_ = "no pipe";
    return;
  }
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  const pid_t pid = fork();
  if (pid < 0) {
    error_ = "cannot fork";
    close(fds[0]);
    close(fds[1]);
    return;
  }
  if (pid == 0) {
    // The server writes its display number to the pipe once it accepts
    // connections; its own chatter goes nowhere.
    fcntl(fds[1], F_SETFD, 0);
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    const std::string fd = std::to_string(fds[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0",
           screen.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  // Starting takes well under a second; the limit only keeps a broken
  // server from hanging the test.
  for (int waited = 0; waited < 30000;) {
    pollfd p{fds[0], POLLIN, 0};
    const int ready = poll(&p, 1, 100);
    if (ready < 0 && errno == EINTR) continue;
    waited += 100;
    if (ready == 0) continue;
    char c;
    const ssize_t got = read(fds[0], &c, 1);
    if (got <= 0 || c == '\n') break;
    number += c;
  }
  close(fds[0]);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
    error_ = "Xvfb did not start (is it installed? scripts/setup installs it)";
    return;
  }
  pid_ = pid;
  name_ = ":" + number;
  setenv("DISPLAY", name_.c_str(), 1);
  unsetenv("WAYLAND_DISPLAY");
}

VirtualDisplay::~VirtualDisplay() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

bool CaptureScreen(int x, int y, int width, int height, ScreenPixels* pixels, std::string* error) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    *error = "cannot open the display";
    return false;
  }
  const int screen_width = DisplayWidth(display, DefaultScreen(display));
  const int screen_height = DisplayHeight(display, DefaultScreen(display));
  const int left = std::max(0, x), top = std::max(0, y);
  const int right = std::min(screen_width, x + width), bottom = std::min(screen_height, y + height);
  bool ok = right > left && bottom > top;
  if (!ok) *error = "the rectangle lies off the screen";
  XImage* image = nullptr;
  if (ok) {
    image = XGetImage(display, DefaultRootWindow(display), left, top, right - left, bottom - top,
                      AllPlanes, ZPixmap);
    ok = image != nullptr;
    if (!ok) *error = "XGetImage failed";
  }
  if (ok) {
    pixels->x = left;
    pixels->y = top;
    pixels->width = right - left;
    pixels->height = bottom - top;
    pixels->rgb.resize(static_cast<size_t>(pixels->width) * pixels->height * 3);
    size_t at = 0;
    for (int row = 0; row < pixels->height; ++row) {
      for (int col = 0; col < pixels->width; ++col) {
        const unsigned long pixel = XGetPixel(image, col, row);
        pixels->rgb[at++] = Channel(pixel, image->red_mask);
        pixels->rgb[at++] = Channel(pixel, image->green_mask);
        pixels->rgb[at++] = Channel(pixel, image->blue_mask);
      }
    }
    XDestroyImage(image);
  }
  XCloseDisplay(display);
  return ok;
}

bool ScreenSize(int* width, int* height) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  *width = DisplayWidth(display, DefaultScreen(display));
  *height = DisplayHeight(display, DefaultScreen(display));
  XCloseDisplay(display);
  return true;
}

PlainXWindow::PlainXWindow(int x, int y, int width, int height, uint32_t rgb) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return;
  display_ = display;
  const int screen = DefaultScreen(display);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;  // placed where asked, by any window manager
  attributes.background_pixel = rgb;    // a 24-bit TrueColor screen
  window_ =
      XCreateWindow(display, RootWindow(display, screen), x, y, width, height, 0, CopyFromParent,
                    InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
  SetMapped(true);
}

PlainXWindow::~PlainXWindow() {
  auto* display = static_cast<Display*>(display_);
  if (display == nullptr) return;
  if (window_ != 0) XDestroyWindow(display, window_);
  XCloseDisplay(display);
}

void PlainXWindow::SetMapped(bool mapped) {
  auto* display = static_cast<Display*>(display_);
  if (display == nullptr || window_ == 0) return;
  if (mapped) {
    XMapRaised(display, window_);
  } else {
    XUnmapWindow(display, window_);
  }
  XSync(display, False);
}

}  // namespace tw::test
