#include "messaging/dispatcher.h"

#include <utility>
#include <vector>

#include "platform/handle_table.h"

namespace tw {

// ---------------------------------------------------------------------------
// UTLeventDispatcher

UTLeventDispatcher::UTLeventDispatcher() : CRLreferenceNode("UTLeventDispatcher", true) {}

UTLeventDispatcher::~UTLeventDispatcher() {
  Detach();
  ClearCallbacks();
}

bool UTLeventDispatcher::Dispatch(const Event& event, bool urgent) {
  Event running(event);
  return running.Deliver();
}

uint32_t UTLeventDispatcher::AddCallback(Event event) {
  auto stored = std::make_unique<Event>(std::move(event));
  const uint32_t key = HandleTable::Instance().Add(stored.get());
  if (key == 0) return 0;
  CriticalSectionLocker lock(NodeSection());
  callbacks_.emplace(key, std::move(stored));
  return key;
}

bool UTLeventDispatcher::TakeCallback(uint32_t key, Event* event) {
  std::unique_ptr<Event> taken;
  {
    CriticalSectionLocker lock(NodeSection());
    auto it = callbacks_.find(key);
    if (it == callbacks_.end()) return false;
    taken = std::move(it->second);
    callbacks_.erase(it);
  }
  HandleTable::Instance().Remove(key);
  if (event != nullptr) *event = *taken;
  return true;
}

void UTLeventDispatcher::RemoveCallback(uint32_t key) {
  TakeCallback(key, nullptr);
}

void UTLeventDispatcher::ClearCallbacks() {
  std::map<uint32_t, std::unique_ptr<Event>> dropped;
  {
    CriticalSectionLocker lock(NodeSection());
    dropped.swap(callbacks_);
  }
  for (const auto& entry : dropped) HandleTable::Instance().Remove(entry.first);
  // The events (and their target handles) die here, outside the section.
}

bool UTLeventDispatcher::HasCallback(uint32_t key) const {
  CriticalSectionLocker lock(NodeSection());
  return callbacks_.count(key) > 0;
}

// ---------------------------------------------------------------------------
// UTLasynchEventDispatcher

UTLasynchEventDispatcher::UTLasynchEventDispatcher()
    : CRLreferenceNode("UTLasynchEventDispatcher", true), queue_signal_(queue_mutex_) {}

UTLasynchEventDispatcher::~UTLasynchEventDispatcher() {
  Stop();
  Detach();
  std::deque<std::unique_ptr<Event>> dropped;
  {
    MutexLocker lock(queue_mutex_);
    dropped.swap(queue_);
  }
}

bool UTLasynchEventDispatcher::Dispatch(const Event& event, bool urgent) {
  // The copy is made here, on the poster's thread, which owns the original
  // message; the worker gets a message that shares nothing with it.
  auto queued = std::make_unique<Event>(event.PrivateCopy());
  MutexLocker lock(queue_mutex_);
  if (urgent) {
    queue_.push_front(std::move(queued));
  } else {
    queue_.push_back(std::move(queued));
  }
  queue_signal_.Signal();
  return true;
}

bool UTLasynchEventDispatcher::Start() {
  std::lock_guard<std::mutex> control(control_mutex_);
  {
    MutexLocker lock(queue_mutex_);
    stop_ = false;
  }
  return WorkerThread::Start();
}

void UTLasynchEventDispatcher::Stop() {
  if (IsWorkerThread()) {
    // From a handler: the worker ends after it; nobody can join it here.
    MutexLocker lock(queue_mutex_);
    stop_ = true;
    return;
  }
  // Held across the join, so that a Start on another thread cannot clear
  // the flag before the worker has seen it.
  std::lock_guard<std::mutex> control(control_mutex_);
  {
    MutexLocker lock(queue_mutex_);
    stop_ = true;
    queue_signal_.Broadcast();
  }
  WorkerThread::Stop();
}

size_t UTLasynchEventDispatcher::GetQueueLength() const {
  MutexLocker lock(queue_mutex_);
  return queue_.size();
}

void UTLasynchEventDispatcher::Run() {
  MutexLocker lock(queue_mutex_);
  while (!stop_) {
    // The queue is checked before waiting: a signal given while the worker
    // was running an event is not lost.
    if (queue_.empty()) {
      queue_signal_.Wait();
      continue;
    }
    std::unique_ptr<Event> next = std::move(queue_.front());
    queue_.pop_front();
    queue_mutex_.Unlock();
    // Deliver catches what the handler throws, so a failing handler costs
    // only its own event.
    next->Deliver();
    next.reset();
    queue_mutex_.Lock();
  }
}

}  // namespace tw
