// What a synchronous wait does between its 10 ms slices when pumping is on:
// an installed hook when there is one (a host or a test may install one),
// else the user-interface seam's PumpUserInterfaceEvents, which dispatches
// the windowed form's pending events when its windows are up on the calling
// thread and does nothing otherwise.
//
// Threads: the hook is stored atomically and called on the waiting thread;
// it must do nothing on a thread that is not the interface's own.
#ifndef TW_MESSAGING_PUMP_HOOK_H_
#define TW_MESSAGING_PUMP_HOOK_H_

namespace tw {

// Dispatches pending events of the calling thread; returns whether it
// dispatched any.
using PumpHook = bool (*)();

// Installs `hook`; null removes it (the seam's pump is used again).
void SetPumpHook(PumpHook hook);
// Calls the installed hook, else the seam's pump.
bool RunPumpHook();

}  // namespace tw

#endif  // TW_MESSAGING_PUMP_HOOK_H_
