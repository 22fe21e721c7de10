// The hook a synchronous wait calls between its 10 ms slices when pumping is
// on: the windowed user interface installs a function that dispatches the
// events pending on the calling thread (at most one, and none when a quit is
// pending). Without a hook, pumping does nothing.
//
// Threads: the hook is stored atomically and called on the waiting thread;
// it must do nothing on a thread that is not the interface's own.
#ifndef TW_MESSAGING_PUMP_HOOK_H_
#define TW_MESSAGING_PUMP_HOOK_H_

namespace tw {

// Dispatches at most one pending event of the calling thread; returns
// whether it dispatched one.
using PumpHook = bool (*)();

// Installs `hook`; null removes it.
void SetPumpHook(PumpHook hook);
// Calls the installed hook; false when there is none.
bool RunPumpHook();

}  // namespace tw

#endif  // TW_MESSAGING_PUMP_HOOK_H_
