#include "messaging/pump_hook.h"

#include <atomic>
#include <utility>

#include "platform/message_box.h"

namespace tw {

namespace {
std::atomic<PumpHook> installed_hook{nullptr};
thread_local const std::function<void()>* slice_hook = nullptr;
}  // namespace

void SetPumpHook(PumpHook hook) {
  installed_hook.store(hook, std::memory_order_release);
}

bool RunPumpHook() {
  PumpHook hook = installed_hook.load(std::memory_order_acquire);
  return hook != nullptr ? hook() : PumpUserInterfaceEvents();
}

ScopedWaitSliceHook::ScopedWaitSliceHook(std::function<void()> hook)
    : hook_(std::move(hook)), previous_(slice_hook) {
  slice_hook = hook_ ? &hook_ : previous_;
}

ScopedWaitSliceHook::~ScopedWaitSliceHook() {
  slice_hook = previous_;
}

bool HasWaitSliceHook() {
  return slice_hook != nullptr;
}

void RunWaitSliceHook() {
  if (slice_hook != nullptr) (*slice_hook)();
}

}  // namespace tw
