// The process's frame workers: the threads that seal outgoing frames
// (transport/frame_pipeline.h) and open incoming ones
// (transport/frame_reader.h) on every core. Each frame is sealed on its own,
// so its work can run on any thread; the caller puts the results back in
// order.
//
// Threads. One FrameWorkers serves the whole process: its queue and threads
// are guarded by its own mutex, and it is stopped (its threads joined) when
// the last holder lets go. A holder waits for its own jobs before it lets
// go, so the queue is empty by then.
#ifndef TW_TRANSPORT_FRAME_WORKERS_H_
#define TW_TRANSPORT_FRAME_WORKERS_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tw {

// The name every frame worker thread carries (where threads have names).
constexpr char kFrameWorkerThreadName[] = "TWFrameWorker";

// The most workers a process runs.
constexpr int kMaxFrameWorkers = 64;

// How many workers seal and open frames: the environment variable
// VELTRANE_WORKERS when it holds a number from 1 to kMaxFrameWorkers, else
// the hardware threads, at least 1 and at most 8. Read on every call.
int FrameWorkerCount();

// Frames shorter than this are sealed or opened on the calling thread when
// nothing else is in flight: a hand-off costs more than the work. Longer
// ones (file pieces, large message objects) go to the workers.
constexpr size_t kParallelFrameBytes = 16384;

// The process's frame workers: threads that run jobs in the order they were
// queued.
class FrameWorkers {
 public:
  // The process's workers, with at least `threads` threads running (more
  // are started when a caller asks for more than run). Started on the first
  // call; stopped when the last holder lets go.
  static std::shared_ptr<FrameWorkers> Acquire(int threads);

  ~FrameWorkers();
  FrameWorkers(const FrameWorkers&) = delete;
  FrameWorkers& operator=(const FrameWorkers&) = delete;

  // Queues `job`; it runs on one of the threads. A job must not throw.
  void Submit(std::function<void()> job);
  int threads();

 private:
  FrameWorkers() = default;
  void Grow(int threads);
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;            // signalled under mutex_
  std::deque<std::function<void()>> jobs_;  // guarded by mutex_
  std::vector<std::thread> threads_;        // guarded by mutex_
  bool stopping_ = false;                   // guarded by mutex_
};

}  // namespace tw

#endif  // TW_TRANSPORT_FRAME_WORKERS_H_
