#include "messaging/collector.h"

#include <chrono>
#include <utility>

namespace tw {

namespace {

int64_t RealClock() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Builds the collector when the module loads and shuts it down when the
// module unloads, unless the unload code has done so already.
struct CollectorLifetime {
  CollectorLifetime() { GetGarbageCollector(); }
  ~CollectorLifetime() { ShutdownCollector(); }
};
CollectorLifetime collector_lifetime;

}  // namespace

void CRLgarbageCollector::Doomed::DestroyAll() {
  // Each node's destruction nulls its entry; the entries then go quietly.
  // Deleting here is the collector's purpose: these nodes belong to the link
  // system, and the collector marked them dying under their sections.
  for (CRLreferenceNode* node : nodes) delete node;
  nodes.clear();
  entries.clear();
}

CRLgarbageCollector::CRLgarbageCollector() : last_sweep_ms_(RealClock()) {}

CRLgarbageCollector& GetGarbageCollector() {
  // Never freed: nodes may release links from static destructors at exit,
  // after the shutdown; they then find the collector disabled.
  static CRLgarbageCollector* collector = new CRLgarbageCollector;
  return *collector;
}

int64_t CRLgarbageCollector::NowLocked() const {
  return clock_ ? clock_() : RealClock();
}

void CRLgarbageCollector::Collect(CRLreferenceNode* node) {
  if (node == nullptr || !IsEnabled()) return;
  Doomed doomed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shut_down_) return;
    const int64_t now = NowLocked();
    GarbageCollectorRefPointer* entry = nullptr;
    auto it = pending_.find(node);
    if (it != pending_.end()) {
      if (it->second->Get() == node) {
        entry = it->second.get();
      } else {
        // The entry's node is gone and a new node lives at its address.
        doomed.entries.push_back(std::move(it->second));
        pending_.erase(it);
      }
    }
    if (entry == nullptr) {
      auto fresh = std::make_unique<GarbageCollectorRefPointer>(node);
      if (fresh->Get() == node) {
        entry = fresh.get();
        pending_.emplace(node, std::move(fresh));
      } else {
        // The node refused the link: it is being destroyed.
        doomed.entries.push_back(std::move(fresh));
      }
    }
    if (entry != nullptr) entry->SetHandOverTime(now);
    if (now - last_sweep_ms_ > (kIntervalSeconds + 1) * 1000) SweepLocked(&doomed);
  }
  doomed.DestroyAll();
}

void CRLgarbageCollector::Sweep() {
  Doomed doomed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    SweepLocked(&doomed);
  }
  doomed.DestroyAll();
}

// The entry's own link is always there, so a pending node is still in use
// when anything else links to it or when it holds something. One that is
// linked again has left the pending state: its entry goes, and it is handed
// over afresh when that link breaks. The decision to delete is taken under
// the node's section and marks the node dying, so that a link attempt racing
// with the deletion is refused rather than left pointing at a deleted node.
void CRLgarbageCollector::SweepLocked(Doomed* doomed) {
  const int64_t now = NowLocked();
  const int64_t cutoff = now - kIntervalSeconds * 1000;
  last_sweep_ms_ = now;
  for (auto it = pending_.begin(); it != pending_.end();) {
    GarbageCollectorRefPointer* entry = it->second.get();
    bool keep = true;
    {
      // The entry's section first: a node detaching on another thread must
      // take it to null the entry, so the node stays alive while we look.
      CriticalSectionLocker entry_lock(entry->section_);
      CRLreferenceNode* node = entry->Get();
      if (node == nullptr) {
        keep = false;
      } else {
        CriticalSectionLocker node_lock(node->section_);
        if (node->dying_ || node->IsPinned() || node->links_.size() != 1 ||
            node->links_.count(entry) == 0) {
          keep = false;
        } else if (node->held_.empty() && entry->GetHandOverTime() < cutoff) {
          node->dying_ = true;
          doomed->nodes.push_back(node);
          keep = false;
        }
      }
    }
    if (keep) {
      ++it;
    } else {
      doomed->entries.push_back(std::move(it->second));
      it = pending_.erase(it);
    }
  }
}

void CRLgarbageCollector::Shutdown() {
  enabled_.store(false, std::memory_order_release);
  Doomed doomed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shut_down_) return;
    shut_down_ = true;
    last_sweep_ms_ = NowLocked();
    for (auto& pending : pending_) {
      GarbageCollectorRefPointer* entry = pending.second.get();
      CriticalSectionLocker entry_lock(entry->section_);
      CRLreferenceNode* node = entry->Get();
      if (node != nullptr) {
        CriticalSectionLocker node_lock(node->section_);
        if (!node->dying_ && !node->IsPinned()) {
          node->dying_ = true;
          doomed.nodes.push_back(node);
        }
      }
      doomed.entries.push_back(std::move(pending.second));
    }
    pending_.clear();
  }
  doomed.DestroyAll();
}

bool CRLgarbageCollector::IsPending(const CRLreferenceNode* node) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.count(const_cast<CRLreferenceNode*>(node)) > 0;
}

size_t CRLgarbageCollector::GetPendingCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.size();
}

int64_t CRLgarbageCollector::GetLastSweepTime() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_sweep_ms_;
}

void ShutdownCollector() {
  GetGarbageCollector().Shutdown();
}

int64_t CollectorNow() {
  CRLgarbageCollector& collector = GetGarbageCollector();
  std::lock_guard<std::mutex> lock(collector.mutex_);
  return collector.NowLocked();
}

void SetCollectorClockForTesting(std::function<int64_t()> clock) {
  CRLgarbageCollector& collector = GetGarbageCollector();
  std::lock_guard<std::mutex> lock(collector.mutex_);
  collector.clock_ = std::move(clock);
}

}  // namespace tw
