#include "dialogs/option_dialogs.h"

#include <map>
#include <string>
#include <utility>

#include "ui/user_interface.h"

namespace tw {
namespace {

enum : int {
  kCheckoutTemplate = 116,
  kCheckinTemplate = 119,
  kReplaceFromServer = 1033,
  kDoNotSynchronize = 1034,
  kExclusive = 1035,
  kShared = 1036,
  kRetainLock = 1037,
  kWorkInProgress = 1038,
};

const char* Flag(bool on) {
  return on ? "1" : "0";
}

bool ValueIsSet(const std::map<int, std::string>& values, int id) {
  auto it = values.find(id);
  return it != values.end() && it->second == "1";
}

// Whether the first button of a radio pair ends up checked. Choosing the
// second button of a pair clears the first, as clicking it would.
bool FirstOfPairChecked(const DialogRequest& request, const DialogResult& result, int first,
                        int second) {
  const bool second_newly_chosen =
      ValueIsSet(result.values, second) && !ValueIsSet(request.values, second);
  return ValueIsSet(result.values, first) && !second_newly_chosen;
}

// The frame both option dialogs share: the owner, the template, the title,
// the given choices with their captions and the OK and Cancel buttons.
DialogRequest OptionsRequest(void* owner, int template_id, std::map<int, std::string> texts,
                             std::map<int, std::string> values) {
  DialogRequest request;
  request.owner = owner;
  request.template_id = template_id;
  request.title = "Veltrane";
  request.texts = std::move(texts);
  request.texts[kIdOk] = "OK";
  request.texts[kIdCancel] = "Cancel";
  request.values = std::move(values);
  request.buttons = {kIdOk, kIdCancel};
  return request;
}

}  // namespace

bool ShowCheckoutOptionsDialog(void* owner, CheckoutOptions* options) {
  bool exclusive = options->exclusive;
  // The server's lock policy overrides the caller's wish and greys the other
  // choice.
  if (options->lock_policy == 1) exclusive = true;
  if (options->lock_policy == 2) exclusive = false;
  DialogRequest request = OptionsRequest(owner, kCheckoutTemplate,
                                         {{kReplaceFromServer, "Replace with current from server"},
                                          {kDoNotSynchronize, "Do not synchronize"},
                                          {kExclusive, "Exclusive"},
                                          {kShared, "Shared"}},
                                         {{kReplaceFromServer, Flag(options->synchronize)},
                                          {kDoNotSynchronize, Flag(!options->synchronize)},
                                          {kExclusive, Flag(exclusive)},
                                          {kShared, Flag(!exclusive)}});
  if (options->lock_policy == 1) request.enabled[kShared] = false;
  if (options->lock_policy == 2) request.enabled[kExclusive] = false;
  request.labels = {{kReplaceFromServer, "How would you like to synchronize your local copy?"},
                    {kDoNotSynchronize, "How would you like to synchronize your local copy?"},
                    {kExclusive, "Lock Type"},
                    {kShared, "Lock Type"}};

  DialogResult result = ShowDialog(request);
  if (result.button != kIdOk) return false;
  options->synchronize = FirstOfPairChecked(request, result, kReplaceFromServer, kDoNotSynchronize);
  options->exclusive = FirstOfPairChecked(request, result, kExclusive, kShared);
  if (options->lock_policy == 1) options->exclusive = true;
  if (options->lock_policy == 2) options->exclusive = false;
  return true;
}

bool ShowCheckinOptionsDialog(void* owner, CheckinOptions* options) {
  const DialogRequest request =
      OptionsRequest(owner, kCheckinTemplate,
                     {{kRetainLock, "Retain Lock (Keep Checked Out)"},
                      {kWorkInProgress, "Check In As Works In Progress"}},
                     {{kRetainLock, Flag(options->retain_lock)},
                      {kWorkInProgress, Flag(options->work_in_progress)}});
  DialogResult result = ShowDialog(request);
  if (result.button != kIdOk) return false;
  options->retain_lock = ValueIsSet(result.values, kRetainLock);
  options->work_in_progress = ValueIsSet(result.values, kWorkInProgress);
  return true;
}

}  // namespace tw
