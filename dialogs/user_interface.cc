#include "dialogs/user_interface.h"

#include <mutex>

namespace tw {

namespace {

// With no usable interface a message box answers its default button.
class NoUserInterface : public UserInterface {
 public:
  int MessageBox(const MessageBoxRequest& request) override {
    if (request.default_button != 0) return request.default_button;
    switch (request.buttons) {
      case MessageBoxButtons::kYesNo:
      case MessageBoxButtons::kYesNoCancel:
        return kIdYes;
      default:
        return kIdOk;
    }
  }
  void ShowStatus(void*, const std::string&) override {}
  void HideStatus() override {}
};

std::mutex g_ui_mutex;
std::unique_ptr<UserInterface> g_ui;  // guarded by g_ui_mutex

}  // namespace

UserInterface& ActiveUserInterface() {
  std::lock_guard<std::mutex> lock(g_ui_mutex);
  if (!g_ui) g_ui = std::make_unique<NoUserInterface>();
  return *g_ui;
}

void SetUserInterface(std::unique_ptr<UserInterface> ui) {
  std::lock_guard<std::mutex> lock(g_ui_mutex);
  g_ui = std::move(ui);
}

int ShowMessageBox(void* owner, const std::string& title, const std::string& text,
                   MessageBoxButtons buttons, MessageBoxIcon icon) {
  MessageBoxRequest request;
  request.owner = owner;
  request.title = title;
  request.text = text;
  request.buttons = buttons;
  request.icon = icon;
  return ActiveUserInterface().MessageBox(request);
}

}  // namespace tw
