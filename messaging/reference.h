// Linkable objects and self-nulling handles.
//
// Long-lived objects of the messaging layer refer to each other through links
// that both ends know about, so that either end can go away: when a node is
// destroyed every link to it is removed and every RefPointer to it becomes
// null. A node that loses its last link and holds nothing is handed to the
// process-wide collector (messaging/collector.h), which deletes it after a
// grace period unless something links to it again.
//
// Ownership. A pinned node is owned the ordinary way (a member, a local, a
// unique_ptr) and is never handed to the collector; handles are pinned. An
// unpinned node is made with new and belongs to the link system: once handed
// over, only the collector deletes it. Code may still delete a linked
// unpinned node directly while it holds a link to it (that link keeps the
// collector away from it). A new unpinned node is handed over only when its
// first links break, so link it at once (usually by assigning it to a
// handle). The link set holds each node once: two nodes are either linked or
// one holds the other, never both, or breaking one relation erases the other.
//
// Threads. Each node's critical section (a recursive CriticalSection of
// platform/sync.h, needing no wx application) guards its link
// set, hold set and dying state. No node operation holds it while calling
// into another node or into the collector, so two nodes never wait for each
// other's sections (only the collector nests them: an entry's, then its
// node's). Links may be made and broken from any thread on nodes that stay
// alive meanwhile:
//  - A call on a node through a raw pointer needs the caller to keep the node
//    alive (own it, or hold a link to it).
//  - Handle operations that reach the handle's current object (copying from
//    a handle, reassigning, resetting, destroying it) are safe while that
//    object is being destroyed on another thread: the destroying thread
//    waits until such calls have left the object. A handle itself is one
//    value: one thread at a time may change it, others may copy from it.
//  - Two linked nodes may be destroyed at the same time on two threads.
//  - A class whose objects may be destroyed while other threads work with
//    linked nodes calls Detach() first in its destructor, so that no thread
//    calls into an object whose derived parts are already gone.
//  - Detach may wait for other threads that are inside calls on this node;
//    do not destroy a node while holding another node's critical section or
//    the collector's lock.
// The collector decides to delete a node under the node's section and marks
// it dying at that moment; a link attempt after that is refused (a handle
// assigned from it stays null).
#ifndef TW_MESSAGING_REFERENCE_H_
#define TW_MESSAGING_REFERENCE_H_

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

#include "platform/sync.h"

namespace tw {

class CRLgarbageCollector;

class CRLreferenceNode {
 public:
  // GetKind values: only nodes of kind 1 (collector entries) may link to an
  // exclusive node.
  static constexpr int kKindCollectorEntry = 1;
  static constexpr int kKindPlain = 2;

  // `class_name` goes into the diagnostic name "<address in hex>[<class>]".
  // With virtual inheritance the most-derived class supplies it.
  explicit CRLreferenceNode(const char* class_name = "CRLreferenceNode", bool pinned = false);

  // Slot 0. Detaches from every linked and held node (see Detach).
  virtual ~CRLreferenceNode();

  // Slot 1. Links this node and `other` both ways. False, with nothing
  // linked, when this node is exclusive and `other` is not of kind 1, when
  // either node is being destroyed, or for null or this node itself.
  virtual bool Link(CRLreferenceNode* other);
  // Slot 2. Breaks the link both ways; harmless when there is none.
  virtual void Unlink(CRLreferenceNode* other);
  // Slot 3. Number of nodes linked to this one.
  virtual int GetLinkCount() const;
  // Slot 4. This node holds `other`: `other` records the link, this node
  // records `other` in its hold set. False when either is being destroyed.
  virtual bool Hold(CRLreferenceNode* other);
  // Slot 5. Releases a hold; harmless when there is none. Always true.
  virtual bool Unhold(CRLreferenceNode* other);
  // Slot 6. Number of nodes this node holds.
  virtual int GetHeldCount() const;
  // Slot 7. From now on only nodes of kind 1 may link to this node.
  virtual void SetExclusive();
  // Slot 8. kKindPlain here and for RefPointer.
  virtual int GetKind() const;
  // Slot 9. Records `node` in the link set; false (nothing recorded) when
  // this node is being destroyed.
  virtual bool AddLink(CRLreferenceNode* node);
  // Slot 10. Erases `node` from the link set; when something was erased,
  // runs the collection check. Returns whether it erased.
  virtual bool RemoveLink(CRLreferenceNode* node);
  // Slot 11. Erases `node` from the hold set; when something was erased,
  // runs the collection check. Returns whether it erased.
  virtual bool RemoveHeld(CRLreferenceNode* node);

  const std::string& GetName() const { return name_; }
  bool IsPinned() const { return pinned_; }
  bool IsExclusive() const { return exclusive_.load(std::memory_order_relaxed); }

  CRLreferenceNode(const CRLreferenceNode&) = delete;
  CRLreferenceNode& operator=(const CRLreferenceNode&) = delete;

 protected:
  // Detaches this node from every node in its link and hold sets: calls
  // their RemoveLink (this) and RemoveHeld (this) until they report nothing
  // erased, so handles to this node become null; then waits until no other
  // thread is inside a protected call on this node. Links offered after the
  // start of Detach are refused. Runs once; later calls return at once.
  void Detach();
  // Marks the collector's own entry handle, before it links to anything (the
  // collection check of its object reads the mark without a virtual call).
  void MarkCollectorEntry() { collector_entry_.store(true, std::memory_order_relaxed); }
  // The node's critical section, also available to guard a derived class's
  // own fields (the rules above apply while it is held).
  CriticalSection& NodeSection() const { return section_; }

 private:
  friend class RefPointer;
  friend class CRLgarbageCollector;

  // Runs the collection check under the section: true when this node should
  // be handed to the collector now.
  bool CollectionDueLocked() const;
  void HandOver();
  // Protected calls (see the file comment): a caller that knows this node
  // through a link counts itself in before calling and out afterwards;
  // Detach waits for the count to reach zero.
  void EnterCall();
  void LeaveCall();

  const std::string name_;
  const bool pinned_;
  std::atomic<bool> exclusive_{false};
  std::atomic<bool> collector_entry_{false};

  mutable CriticalSection section_;
  std::set<CRLreferenceNode*> links_;  // guarded by section_
  std::set<CRLreferenceNode*> held_;   // guarded by section_
  bool dying_ = false;                 // guarded by section_; refuses new links
  bool detached_ = false;              // guarded by section_; Detach has begun

  int calls_in_ = 0;  // guarded by the process-wide call gate (reference.cc)
};

// A self-nulling handle to a node. Its link to the object keeps the object
// from being collected; destroying the object makes the handle null.
// Handles are pinned nodes (they are owned by whoever holds them).
class RefPointer : public virtual CRLreferenceNode {
 public:
  RefPointer();
  // Links to `object` (null is allowed). The caller keeps `object` alive
  // during the call.
  explicit RefPointer(CRLreferenceNode* object);
  RefPointer(const RefPointer& other);
  ~RefPointer() override;

  // Points the handle at `object`: `object` links with the handle (if it
  // refuses, the handle becomes null), then the old object is unlinked, which
  // may hand it to the collector. The caller keeps `object` alive during the
  // call.
  RefPointer& operator=(CRLreferenceNode* object);
  // Points the handle at the object of `other`; safe while that object is
  // destroyed on another thread (the handle then ends up null).
  RefPointer& operator=(const RefPointer& other);
  // Unlinks the object, leaving the handle null.
  void Reset();

  // The object, or null. The pointer is only as good as the caller's
  // knowledge that nothing destroys the object meanwhile.
  CRLreferenceNode* Get() const;
  template <typename T>
  T* As() const {
    return dynamic_cast<T*>(Get());
  }
  CRLreferenceNode* operator->() const { return Get(); }
  CRLreferenceNode& operator*() const { return *Get(); }
  explicit operator bool() const { return Get() != nullptr; }

  // Nulls the handle first when `node` is its object, then the base work.
  bool RemoveLink(CRLreferenceNode* node) override;

 protected:
  // What operator= (object) does; for derived handles.
  void Assign(CRLreferenceNode* object);

 private:
  // Makes the handle point at `linked` (already linked with it, or null) and
  // unlinks the object it pointed at before.
  void Store(CRLreferenceNode* linked);
  // The object, counted into a protected call (see the file comment); the
  // caller must LeaveCall on it. Null when the handle is null.
  CRLreferenceNode* EnterObject() const;

  CRLreferenceNode* object_ = nullptr;  // guarded by the node section
};

// The collector's entry handle: a RefPointer of kind 1 (so it may link to
// exclusive nodes) that records when its object was handed over.
class GarbageCollectorRefPointer : public RefPointer {
 public:
  explicit GarbageCollectorRefPointer(CRLreferenceNode* object);
  ~GarbageCollectorRefPointer() override;
  GarbageCollectorRefPointer(const GarbageCollectorRefPointer&) = delete;
  GarbageCollectorRefPointer& operator=(const GarbageCollectorRefPointer&) = delete;

  int GetKind() const override;

  // Milliseconds on the collector's clock; guarded by the collector's lock.
  int64_t GetHandOverTime() const { return hand_over_ms_; }
  void SetHandOverTime(int64_t ms) { hand_over_ms_ = ms; }

 private:
  int64_t hand_over_ms_ = 0;
};

}  // namespace tw

#endif  // TW_MESSAGING_REFERENCE_H_
