// The environment settings dialog (template 120, "Veltrane"): what an
// editor that knows Veltrane should do with one application's files when
// they are opened, closed, saved, or saved without being controlled. Four
// drop-down lists, each with three choices (0 ask, 1 always, 2 never).
//
// Used on the host's thread that runs the export.
#ifndef TW_DIALOGS_ENVIRONMENT_DIALOG_H_
#define TW_DIALOGS_ENVIRONMENT_DIALOG_H_

#include <string>

namespace tw {

// Control ids of template 120.
enum EnvironmentControl : int {
  kEnvironmentTemplate = 120,
  kOpenActionList = 1039,
  kCloseActionList = 1040,
  kSaveActionList = 1041,
  kNewActionList = 1042,
  kOpenActionLabel = 1043,
  kCloseActionLabel = 1044,
  kSaveActionLabel = 1045,
  kNewActionLabel = 1046,
};

// The choice of each list: 0 ask, 1 always, 2 never.
struct EnvironmentSettings {
  int open_action = 0;
  int close_action = 0;
  int save_action = 0;
  int new_action = 0;
};

// Shows the dialog with the given choices (one outside 0-2 shows as 0).
// OK: stores the four choices read back and returns true; a list's value
// is read as the index ("0"-"2") or the text of a choice, anything else
// keeps the choice it had. Cancel, or nobody answering: changes nothing and
// returns false.
bool ShowEnvironmentSettingsDialog(void* owner, EnvironmentSettings* settings);

}  // namespace tw

#endif  // TW_DIALOGS_ENVIRONMENT_DIALOG_H_
