// WorkerThread: the small worker-thread class of the messaging layer (event
// dispatchers, pipeline stages). A derived class supplies Run; Start runs it
// on a new Boost thread; Stop joins it.
//
// Stop in this class only joins: a derived class first tells its Run to end
// (a flag and a signal) and then calls WorkerThread::Stop. A derived class must
// Stop in its own destructor, because Run is gone once the derived part is
// destroyed; the base destructor only joins (or, on the worker thread
// itself, detaches) what is left.
//
// Threads: Start and Stop may be called from any thread; `control_mutex_`
// serialises them (held across the join), `mutex_` guards `thread_`. Stop called on the worker
// thread (from inside Run) does not join, since a thread cannot wait for itself; the thread ends
// when Run returns and a later Stop or the destructor joins it.
#ifndef TW_MESSAGING_THREAD_H_
#define TW_MESSAGING_THREAD_H_

#include <boost/thread/thread.hpp>
#include <mutex>

namespace tw {

class WorkerThread {
 public:
  WorkerThread() = default;
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Slot 0. Joins a thread still there (see the file comment).
  virtual ~WorkerThread();
  // Slot 1. Starts a thread that runs Run. False when one is already there
  // (running, or ended but not yet joined) or the thread cannot be created.
  virtual bool Start();
  // Slot 2. The work of the thread.
  virtual void Run() = 0;
  // Slot 3. Joins the thread; returns at once when there is none or when
  // called on the worker thread itself.
  virtual void Stop();

  // True when called on this object's worker thread.
  bool IsWorkerThread() const;

 private:
  std::mutex control_mutex_;  // taken before mutex_
  mutable std::mutex mutex_;
  boost::thread thread_;  // guarded by mutex_
};

}  // namespace tw

#endif  // TW_MESSAGING_THREAD_H_
