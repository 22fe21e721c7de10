// Event dispatchers.
//
// UTLeventDispatcher runs an event at once on the caller's thread and keeps
// the registered callbacks: events waiting for a reply, each under a 32-bit
// callback key that travels in the request's CALLBACKKEY field and comes
// back in the reply. Keys are handles of the process-wide handle table (so
// they never repeat within the process); a key resolves only while its
// callback is registered.
//
// UTLasynchEventDispatcher queues events and runs them one after another on
// its own worker thread, urgent events before the others. A handler that
// fails or throws never stops the worker. Events still queued when the
// dispatcher is destroyed are dropped.
//
// Both are reference nodes, pinned: they are owned the ordinary way (the
// session owns its dispatcher) and never collected.
//
// Threads: every operation may be called from any thread.
//  - The callback map is guarded by the node's critical section. Events are
//    built, copied and destroyed outside it (an event holds a handle, and no
//    node may be linked or unlinked under another node's section), so the map
//    keeps each event behind a pointer that is moved in and out under the
//    section.
//  - The queue and the stop flag are guarded by `queue_mutex_`, the mutex of
//    the condition that wakes the worker. Events run outside it.
//  - Do not destroy a dispatcher from one of its own handlers.
#ifndef TW_MESSAGING_DISPATCHER_H_
#define TW_MESSAGING_DISPATCHER_H_

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "messaging/event.h"
#include "messaging/reference.h"
#include "messaging/thread.h"
#include "platform/sync.h"

namespace tw {

class UTLeventDispatcher : public virtual CRLreferenceNode {
 public:
  UTLeventDispatcher();
  // Detaches, then clears the callbacks.
  ~UTLeventDispatcher() override;

  // Slot 0 of the dispatcher interface. Here: runs the event on the caller's
  // thread and returns Deliver's result; `urgent` is ignored.
  virtual bool Dispatch(const Event& event, bool urgent);

  // Registers `event` under a new key and returns the key (0 when the
  // process has no handles left; nothing is registered then).
  uint32_t AddCallback(Event event);
  // Takes the callback of `key` out of the map into `*event`; false (and
  // `*event` unchanged) when the key is not registered. Taking is atomic, so
  // two replies with one key cannot both get the callback.
  bool TakeCallback(uint32_t key, Event* event);
  // Erases the callback of `key`, if any.
  void RemoveCallback(uint32_t key);
  // Erases every callback.
  void ClearCallbacks();
  bool HasCallback(uint32_t key) const;

 private:
  // Guarded by NodeSection().
  std::map<uint32_t, std::unique_ptr<Event>> callbacks_;
};

class UTLasynchEventDispatcher : public UTLeventDispatcher, private WorkerThread {
 public:
  UTLasynchEventDispatcher();
  // Stops the worker, drops the queue, clears the callbacks.
  ~UTLasynchEventDispatcher() override;

  // Queues a private copy of `event`, at the front when `urgent`, and wakes
  // the worker; always true. Events queued before Start run after it.
  bool Dispatch(const Event& event, bool urgent) override;

  // Starts the worker; false when it is running already or cannot start.
  bool Start() override;
  // Sets the stop flag, wakes the worker and joins it (see WorkerThread::Stop).
  // Events still queued stay queued until Start or destruction.
  void Stop() override;

  size_t GetQueueLength() const;

 private:
  void Run() override;

  std::mutex control_mutex_;  // serialises Start and Stop; taken before queue_mutex_
  mutable Mutex queue_mutex_;
  Condition queue_signal_;                    // uses queue_mutex_
  std::deque<std::unique_ptr<Event>> queue_;  // guarded by queue_mutex_
  bool stop_ = false;                         // guarded by queue_mutex_
};

}  // namespace tw

#endif  // TW_MESSAGING_DISPATCHER_H_
