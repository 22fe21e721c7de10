// The process-wide collector of unlinked nodes.
//
// A node that has lost its last link and holds nothing is handed over with
// Collect; the collector keeps it in the pending map with an entry handle
// (GarbageCollectorRefPointer) stamped with the hand-over time. A sweep, run
// by a Collect that finds the previous sweep more than (interval + 1) seconds
// old, deletes every pending node that was handed over more than `interval`
// seconds ago, holds nothing and is linked by nothing but its entry. A
// pending node that something links again leaves the pending map: it is live
// again and starts a new grace period when it is next handed over.
//
// Time comes from CollectorNow(), milliseconds on the monotonic clock (only
// differences matter), which tests replace with SetCollectorClockForTesting.
//
// Lifetime. The one instance is built when the module loads and is never
// freed. ShutdownCollector() - called by the module's unload code after the
// threads that use nodes have been joined, and otherwise at process exit -
// deletes every pending node whatever its age; after it nothing is handed
// over any more (nodes released later are simply not collected).
//
// Threads. One mutex guards the map, the last-sweep time and the clock. It is
// never taken while a node's section is held (the collection check runs
// after the node's section is released); under it the collector takes node
// sections itself (entry, then its object) to decide about a node and marks
// the nodes it will delete as dying. Nodes and entries are deleted after the
// mutex is released, so that their destructors may release links and hand
// further nodes over.
#ifndef TW_MESSAGING_COLLECTOR_H_
#define TW_MESSAGING_COLLECTOR_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "messaging/reference.h"

namespace tw {

class CRLgarbageCollector {
 public:
  static constexpr int64_t kIntervalSeconds = 5;

  // Hands `node` over: it gets an entry if it has none (or only a stale one),
  // and the entry is stamped with the current time, so a node handed over
  // again starts a new grace period. Then sweeps if the last sweep is more
  // than (interval + 1) * 1000 ms old. Ignored for null and after shutdown.
  void Collect(CRLreferenceNode* node);
  // Sweeps now (see the file comment) and sets the last-sweep time to now.
  void Sweep();

  // False from the start of shutdown.
  bool IsEnabled() const { return enabled_.load(std::memory_order_acquire); }
  bool IsPending(const CRLreferenceNode* node) const;
  size_t GetPendingCount() const;
  int64_t GetLastSweepTime() const;

  CRLgarbageCollector(const CRLgarbageCollector&) = delete;
  CRLgarbageCollector& operator=(const CRLgarbageCollector&) = delete;

 private:
  friend CRLgarbageCollector& GetGarbageCollector();
  friend void ShutdownCollector();
  friend void SetCollectorClockForTesting(std::function<int64_t()> clock);
  friend int64_t CollectorNow();

  // Nodes and entries taken out of the map under the mutex, deleted after it
  // is released: nodes first, then entries.
  struct Doomed {
    std::vector<CRLreferenceNode*> nodes;
    std::vector<std::unique_ptr<GarbageCollectorRefPointer>> entries;
    void DestroyAll();
  };

  CRLgarbageCollector();
  ~CRLgarbageCollector() = delete;  // lives as long as the process

  int64_t NowLocked() const;
  void SweepLocked(Doomed* doomed);
  void Shutdown();

  std::atomic<bool> enabled_{true};
  mutable std::mutex mutex_;
  std::function<int64_t()> clock_;  // guarded by mutex_; empty: the real clock
  bool shut_down_ = false;          // guarded by mutex_
  int64_t last_sweep_ms_ = 0;       // guarded by mutex_
  // Pending nodes and their entries; guarded by mutex_.
  std::map<CRLreferenceNode*, std::unique_ptr<GarbageCollectorRefPointer>> pending_;
};

// The process-wide collector.
CRLgarbageCollector& GetGarbageCollector();

// Deletes every pending node regardless of its age and disables the
// collector for good. Further calls do nothing.
void ShutdownCollector();

// The collector's clock in milliseconds.
int64_t CollectorNow();
// Replaces the clock; an empty function restores the real one. The function
// is called under the collector's lock and must not call into nodes or the
// collector.
void SetCollectorClockForTesting(std::function<int64_t()> clock);

}  // namespace tw

#endif  // TW_MESSAGING_COLLECTOR_H_
