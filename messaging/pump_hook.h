// What a synchronous wait does between its 10 ms slices when pumping is on:
// an installed hook when there is one (a host or a test may install one),
// else the user-interface seam's PumpUserInterfaceEvents, which dispatches
// the windowed form's pending events when its windows are up on the calling
// thread and does nothing otherwise.
//
// Beside it, a thread may install a slice hook of its own for a span: every
// synchronous wait on that thread runs it between its slices, pumping or not.
// The session watches a transfer's progress there, so that its notices reach
// the host on the thread of the export that waits.
//
// Threads: the pump hook is stored atomically and called on the waiting
// thread; it must do nothing on a thread that is not the interface's own.
// A slice hook belongs to the thread that installed it.
#ifndef TW_MESSAGING_PUMP_HOOK_H_
#define TW_MESSAGING_PUMP_HOOK_H_

#include <functional>

namespace tw {

// Dispatches pending events of the calling thread; returns whether it
// dispatched any.
using PumpHook = bool (*)();

// Installs `hook`; null removes it (the seam's pump is used again).
void SetPumpHook(PumpHook hook);
// Calls the installed hook, else the seam's pump.
bool RunPumpHook();

// Installs `hook` as the calling thread's slice hook while the object lives
// (the one it replaces comes back afterwards). Lives on one thread.
class ScopedWaitSliceHook {
 public:
  explicit ScopedWaitSliceHook(std::function<void()> hook);
  ~ScopedWaitSliceHook();
  ScopedWaitSliceHook(const ScopedWaitSliceHook&) = delete;
  ScopedWaitSliceHook& operator=(const ScopedWaitSliceHook&) = delete;

 private:
  std::function<void()> hook_;
  const std::function<void()>* previous_;
};

// Whether the calling thread has a slice hook.
bool HasWaitSliceHook();
// Runs the calling thread's slice hook, when it has one.
void RunWaitSliceHook();

}  // namespace tw

#endif  // TW_MESSAGING_PUMP_HOOK_H_
