// MessagePipelineStage: a named stage of the message hub's pipeline, a
// queue of messages worked off in order, each handed to the stage's `next`.
//
// Each stage has its own worker thread, and belongs to a lane: the stages of
// one direction of one hub. A message handed to an idle stage by a thread of
// the stage's own lane (the thread of an earlier stage, or the thread that
// reads the socket) is worked on that very thread at once, instead of
// waking the stage's thread: a small message crosses a whole direction with
// at most one thread switch. Any other thread (the host's, a worker of
// another lane) only queues and wakes the stage's thread, so a recipient's
// OnMessage never runs on the host's thread.
//
// Order. One thread at a time works a stage's queue (the one that set
// `busy_`), front to back, and works it until it is empty; a message that
// comes meanwhile waits its turn in the queue. Each message has left a stage
// (entered the next) before the stage's next message is worked, so messages
// keep their order through every stage of a lane, whichever threads work
// them.
//
// Threads: Accept, Enqueue and WorkHere may be called from any thread.
// `mutex_` guards the queue, `busy_`, `stopping_` and the counters; `next`
// is called without it. Stop joins the stage's thread; the threads of its
// lane that may be working it must have been stopped first (the hub stops a
// lane from its first stage on). Every thread that may call Accept, Enqueue
// or WorkHere must have returned from it before the stage is destroyed
// (the hub joins the connection's threads before it destroys its stages).
#ifndef TW_TRANSPORT_PIPELINE_STAGE_H_
#define TW_TRANSPORT_PIPELINE_STAGE_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "messaging/message.h"
#include "messaging/recipient_delivery.h"
#include "messaging/thread.h"

namespace tw {

// The stages of one direction of one hub; only its address matters.
class PipelineLane {
 public:
  PipelineLane() = default;
  PipelineLane(const PipelineLane&) = delete;
  PipelineLane& operator=(const PipelineLane&) = delete;
};

// Marks the calling thread as a thread of `lane` while it lives (restoring
// what it was before). Stage threads hold one for their whole run; so does
// the thread that reads the socket.
class LaneScope {
 public:
  explicit LaneScope(const PipelineLane* lane);
  ~LaneScope();
  LaneScope(const LaneScope&) = delete;
  LaneScope& operator=(const LaneScope&) = delete;

  // The lane of the calling thread; null for a thread of none.
  static const PipelineLane* Current();

 private:
  const PipelineLane* const previous_;
};

class MessagePipelineStage : public MessageStage, private WorkerThread {
 public:
  using Next = std::function<void(MessagePtr)>;
  // Starts the stage's thread.
  MessagePipelineStage(std::string name, const PipelineLane* lane, Next next);
  // Stops the thread; messages still queued are dropped.
  ~MessagePipelineStage() override;

  // Enqueue, then WorkHere.
  bool Accept(MessagePtr message) override;
  // Queues `message` behind the others; false once the stage stops. Wakes
  // the stage's thread unless a thread works the stage already or the
  // caller is of the stage's lane, in which case the caller must call
  // WorkHere next (a caller that queues several messages in order, under a
  // lock of its own, works them once it has let go of that lock).
  bool Enqueue(MessagePtr message);
  // On a thread of the stage's lane, when nobody works the stage: works the
  // queue off here. Otherwise leaves the queue to whoever works it (waking
  // the stage's thread when nobody does).
  void WorkHere();
  void Stop() override;
  const std::string& name() const { return name_; }

  // Messages worked on the stage's own thread, and on another thread of its
  // lane.
  uint64_t worked_on_own_thread() const;
  uint64_t worked_on_lane() const;

 private:
  void Run() override;
  // Works the queue off until it is empty or the stage stops, then clears
  // `busy_`. The caller holds `lock` and has set `busy_`.
  void WorkQueue(std::unique_lock<std::mutex>& lock, bool own_thread);
  void Hand(MessagePtr message);

  const std::string name_;
  const PipelineLane* const lane_;
  const Next next_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<MessagePtr> queue_;       // guarded by mutex_
  bool busy_ = false;                  // guarded by mutex_: a thread works the queue
  bool stopping_ = false;              // guarded by mutex_
  uint64_t worked_on_own_thread_ = 0;  // guarded by mutex_
  uint64_t worked_on_lane_ = 0;        // guarded by mutex_
};

}  // namespace tw

#endif  // TW_TRANSPORT_PIPELINE_STAGE_H_
