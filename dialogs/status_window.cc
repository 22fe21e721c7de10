#include "dialogs/status_window.h"

#include "ui/user_interface.h"

namespace tw {

StatusWindow::StatusWindow(void* owner, const std::string& text)
    : owner_(owner), ui_(ActiveUserInterface()) {
  ui_->ShowStatus(owner_, text);
}

StatusWindow::~StatusWindow() {
  try {
    Close();
  } catch (...) {
    // Nothing may leave a destructor; the window is gone with its owner.
  }
}

void StatusWindow::SetText(const std::string& text) {
  if (ui_) ui_->ShowStatus(owner_, text);
}

void StatusWindow::Close() {
  if (!ui_) return;
  ui_->HideStatus();
  ui_.reset();
}

}  // namespace tw
