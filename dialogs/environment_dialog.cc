#include "dialogs/environment_dialog.h"

#include <string>
#include <vector>

#include "ui/user_interface.h"

namespace tw {

namespace {

struct ActionList {
  int list;
  int label;
  const char* caption;
  const char* choices[3];
  int EnvironmentSettings::*value;
};

const ActionList kActions[] = {
    {kOpenActionList,
     kOpenActionLabel,
     "When a file is opened:",
     {"Ask if I want to check out from Veltrane", "Always check out from Veltrane",
      "Never check out from Veltrane"},
     &EnvironmentSettings::open_action},
    {kCloseActionList,
     kCloseActionLabel,
     "When a file is closed:",
     {"Ask if I want to check in to Veltrane", "Always check in to Veltrane",
      "Never check in to Veltrane"},
     &EnvironmentSettings::close_action},
    {kSaveActionList,
     kSaveActionLabel,
     "When a file is saved:",
     {"Ask if I want to check in to Veltrane", "Always check in to Veltrane",
      "Never check in to Veltrane"},
     &EnvironmentSettings::save_action},
    {kNewActionList,
     kNewActionLabel,
     "When a file not controlled by Veltrane is saved:",
     {"Ask if I want to add to Veltrane", "Always add to Veltrane", "Never add to Veltrane"},
     &EnvironmentSettings::new_action},
};

int ValidChoice(int choice) {
  return choice >= 0 && choice <= 2 ? choice : 0;
}

// The choice a list's value names, or `current` when it names none.
int ChoiceOf(const ActionList& action, const std::string& value, int current) {
  for (int i = 0; i < 3; ++i) {
    if (value == std::to_string(i) || value == action.choices[i]) return i;
  }
  return current;
}

}  // namespace

bool ShowEnvironmentSettingsDialog(void* owner, EnvironmentSettings* settings) {
  DialogRequest request;
  request.owner = owner;
  request.template_id = kEnvironmentTemplate;
  request.title = "Veltrane";
  request.texts = {{kIdOk, "OK"}, {kIdCancel, "Cancel"}};
  request.buttons = {kIdOk, kIdCancel};
  for (const ActionList& action : kActions) {
    request.texts[action.label] = action.caption;
    request.labels[action.list] = action.caption;
    request.items[action.list] = {action.choices[0], action.choices[1], action.choices[2]};
    request.values[action.list] = std::to_string(ValidChoice(settings->*action.value));
  }

  const DialogResult result = ShowDialog(request);
  if (result.button != kIdOk) return false;
  for (const ActionList& action : kActions) {
    const int current = ValidChoice(settings->*action.value);
    auto it = result.values.find(action.list);
    settings->*action.value =
        it == result.values.end() ? current : ChoiceOf(action, it->second, current);
  }
  return true;
}

}  // namespace tw
