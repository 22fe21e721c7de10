#include "transport/pipeline_stage.h"

#include <exception>
#include <utility>

#include "platform/debug_output.h"

namespace tw {

namespace {

thread_local const PipelineLane* t_lane = nullptr;

}  // namespace

LaneScope::LaneScope(const PipelineLane* lane) : previous_(t_lane) {
  t_lane = lane;
}

LaneScope::~LaneScope() {
  t_lane = previous_;
}

const PipelineLane* LaneScope::Current() {
  return t_lane;
}

MessagePipelineStage::MessagePipelineStage(std::string name, const PipelineLane* lane, Next next)
    : name_(std::move(name)), lane_(lane), next_(std::move(next)) {
  WorkerThread::Start();
}

MessagePipelineStage::~MessagePipelineStage() {
  Stop();
}

bool MessagePipelineStage::Accept(MessagePtr message) {
  if (!Enqueue(std::move(message))) return false;
  // A thread of another lane has woken the stage's thread (or left the
  // message to whoever works the stage) in Enqueue already.
  if (lane_ != nullptr && LaneScope::Current() == lane_) WorkHere();
  return true;
}

// The stage's thread is woken once the lock is let go, so that it does not
// wake only to wait for the lock: on a virtual machine each of those waits
// is a system call and a cross-core wake-up on the round trip of a request.
// The condition is touched after the lock is let go, so no call of these may
// still run when the stage is destroyed (see the header's Threads).
bool MessagePipelineStage::Enqueue(MessagePtr message) {
  if (!message) return false;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    queue_.push_back(std::move(message));
    wake = !busy_ && (lane_ == nullptr || LaneScope::Current() != lane_);
  }
  if (wake) wake_.notify_one();
  return true;
}

void MessagePipelineStage::WorkHere() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (busy_ || stopping_ || queue_.empty()) return;
  if (lane_ == nullptr || LaneScope::Current() != lane_) {
    lock.unlock();
    wake_.notify_one();
    return;
  }
  busy_ = true;
  WorkQueue(lock, false);
}

void MessagePipelineStage::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
  }
  WorkerThread::Stop();
  std::deque<MessagePtr> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  dropped.swap(queue_);
}

uint64_t MessagePipelineStage::worked_on_own_thread() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return worked_on_own_thread_;
}

uint64_t MessagePipelineStage::worked_on_lane() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return worked_on_lane_;
}

void MessagePipelineStage::Run() {
  LaneScope scope(lane_);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || (!busy_ && !queue_.empty()); });
    if (stopping_) return;
    busy_ = true;
    WorkQueue(lock, true);
  }
}

void MessagePipelineStage::WorkQueue(std::unique_lock<std::mutex>& lock, bool own_thread) {
  while (!stopping_ && !queue_.empty()) {
    MessagePtr message = std::move(queue_.front());
    queue_.pop_front();
    ++(own_thread ? worked_on_own_thread_ : worked_on_lane_);
    lock.unlock();
    Hand(std::move(message));
    lock.lock();
  }
  busy_ = false;
}

void MessagePipelineStage::Hand(MessagePtr message) {
  try {
    next_(std::move(message));
  } catch (const std::exception& e) {
    DebugLog("MessageHub stage %s - %s", name_.c_str(), e.what());
  } catch (...) {
    DebugLog("MessageHub stage %s - Unexpected exception", name_.c_str());
  }
}

}  // namespace tw
