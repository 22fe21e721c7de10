#include "dialogs/option_dialogs.h"

#include <map>
#include <string>

#include "dialogs/user_interface.h"

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

const char* Flag(bool on) { return on ? "1" : "0"; }

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

}  // namespace

bool ShowCheckoutOptionsDialog(void* owner, CheckoutOptions* options) {
  DialogRequest request;
  request.owner = owner;
  request.template_id = kCheckoutTemplate;
  request.title = "Veltrane";
  request.texts = {{kReplaceFromServer, "Replace with current from server"},
                   {kDoNotSynchronize, "Do not synchronize"},
                   {kExclusive, "Exclusive"},
                   {kShared, "Shared"},
                   {kIdOk, "OK"},
                   {kIdCancel, "Cancel"}};
  request.labels = {{kReplaceFromServer, "How would you like to synchronize your local copy?"},
                    {kDoNotSynchronize, "How would you like to synchronize your local copy?"},
                    {kExclusive, "Lock Type"},
                    {kShared, "Lock Type"}};
  bool exclusive = options->exclusive;
  // The server's lock policy overrides the caller's wish and greys the other
  // choice.
  if (options->lock_policy == 1) {
    exclusive = true;
    request.enabled[kShared] = false;
  } else if (options->lock_policy == 2) {
    exclusive = false;
    request.enabled[kExclusive] = false;
  }
  request.values = {{kReplaceFromServer, Flag(options->synchronize)},
                    {kDoNotSynchronize, Flag(!options->synchronize)},
                    {kExclusive, Flag(exclusive)},
                    {kShared, Flag(!exclusive)}};
  request.buttons = {kIdOk, kIdCancel};

  DialogResult result = ShowDialog(request);
  if (result.button != kIdOk) return false;
  options->synchronize =
      FirstOfPairChecked(request, result, kReplaceFromServer, kDoNotSynchronize);
  options->exclusive = FirstOfPairChecked(request, result, kExclusive, kShared);
  if (options->lock_policy == 1) options->exclusive = true;
  if (options->lock_policy == 2) options->exclusive = false;
  return true;
}

bool ShowCheckinOptionsDialog(void* owner, CheckinOptions* options) {
  DialogRequest request;
  request.owner = owner;
  request.template_id = kCheckinTemplate;
  request.title = "Veltrane";
  request.texts = {{kRetainLock, "Retain Lock (Keep Checked Out)"},
                   {kWorkInProgress, "Check In As Works In Progress"},
                   {kIdOk, "OK"},
                   {kIdCancel, "Cancel"}};
  request.values = {{kRetainLock, Flag(options->retain_lock)},
                    {kWorkInProgress, Flag(options->work_in_progress)}};
  request.buttons = {kIdOk, kIdCancel};

  DialogResult result = ShowDialog(request);
  if (result.button != kIdOk) return false;
  options->retain_lock = ValueIsSet(result.values, kRetainLock);
  options->work_in_progress = ValueIsSet(result.values, kWorkInProgress);
  return true;
}

}  // namespace tw
