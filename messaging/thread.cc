#include "messaging/thread.h"

#include <utility>

namespace tw {

WorkerThread::~WorkerThread() {
  boost::thread left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left = std::move(thread_);
  }
  if (!left.joinable()) return;
  if (left.get_id() == boost::this_thread::get_id()) {
    left.detach();
  } else {
    left.join();
  }
}

bool WorkerThread::Start() {
  std::lock_guard<std::mutex> control(control_mutex_);
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable()) return false;
  try {
    thread_ = boost::thread([this] { Run(); });
  } catch (const boost::thread_resource_error&) {
    return false;
  }
  return true;
}

void WorkerThread::Stop() {
  // The worker must not wait for the control lock: another thread may hold
  // it while joining the worker.
  if (IsWorkerThread()) return;
  // Held across the join, so that a Start on another thread cannot create a
  // second worker while the first is still running.
  std::lock_guard<std::mutex> control(control_mutex_);
  boost::thread joining;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    joining = std::move(thread_);
  }
  if (joining.joinable()) joining.join();
}

bool WorkerThread::IsWorkerThread() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return thread_.joinable() && thread_.get_id() == boost::this_thread::get_id();
}

}  // namespace tw
