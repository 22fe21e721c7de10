#include "messaging/pump_hook.h"

#include <atomic>

#include "platform/user_interface.h"

namespace tw {

namespace {
std::atomic<PumpHook> installed_hook{nullptr};
}  // namespace

void SetPumpHook(PumpHook hook) {
  installed_hook.store(hook, std::memory_order_release);
}

bool RunPumpHook() {
  PumpHook hook = installed_hook.load(std::memory_order_acquire);
  return hook != nullptr ? hook() : PumpUserInterfaceEvents();
}

}  // namespace tw
