#include "platform/message_box.h"

#include <atomic>

namespace tw {

namespace {

std::atomic<int (*)(const MessageBoxRequest&)> installed_message_box{nullptr};
std::atomic<bool (*)()> installed_pump{nullptr};

}  // namespace

std::vector<int> MessageBoxButtonIds(MessageBoxButtons buttons) {
  switch (buttons) {
    case MessageBoxButtons::kOk:
      return {kIdOk};
    case MessageBoxButtons::kOkCancel:
      return {kIdOk, kIdCancel};
    case MessageBoxButtons::kYesNo:
      return {kIdYes, kIdNo};
    case MessageBoxButtons::kYesNoCancel:
      return {kIdYes, kIdNo, kIdCancel};
  }
  return {kIdOk};
}

int DefaultMessageBoxAnswer(const MessageBoxRequest& request) {
  const std::vector<int> ids = MessageBoxButtonIds(request.buttons);
  for (int id : ids) {
    if (id == request.default_button) return id;
  }
  return ids.front();
}

const char* MessageBoxAnswerName(int answer) {
  switch (answer) {
    case kIdOk:
      return "OK";
    case kIdCancel:
      return "Cancel";
    case kIdYes:
      return "Yes";
    case kIdNo:
      return "No";
  }
  return "";
}

void SetUserPrompts(const UserPrompts& prompts) {
  installed_message_box.store(prompts.message_box, std::memory_order_release);
  installed_pump.store(prompts.pump_events, std::memory_order_release);
}

int ShowMessageBox(void* owner, const std::string& title, const std::string& text,
                   MessageBoxButtons buttons, MessageBoxIcon icon) {
  MessageBoxRequest request;
  request.owner = owner;
  request.title = title;
  request.text = text;
  request.buttons = buttons;
  request.icon = icon;
  auto* ask = installed_message_box.load(std::memory_order_acquire);
  return ask != nullptr ? ask(request) : DefaultMessageBoxAnswer(request);
}

bool PumpUserInterfaceEvents() {
  auto* pump = installed_pump.load(std::memory_order_acquire);
  return pump != nullptr && pump();
}

}  // namespace tw
