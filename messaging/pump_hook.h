// The hook a synchronous wait calls between its 10 ms slices when pumping is
// on: the windowed user interface installs a function that dispatches the
// events pending on the calling thread (at most one, and none when a quit is
// pending). Without a hook, pumping does nothing.
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

// Dispatches at most one pending event of the calling thread; returns
// whether it dispatched one.
using PumpHook = bool (*)();

// Installs `hook`; null removes it.
void SetPumpHook(PumpHook hook);
// Calls the installed hook; false when there is none.
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
