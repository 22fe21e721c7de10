#include "messaging/reference.h"

#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

#include "messaging/collector.h"

namespace tw {

namespace {

// The call gate: counts the protected calls inside each node (calls_in_) and
// lets a detaching node wait for them to leave. One process-wide mutex is
// enough: it is held only for a counter update and never while a node
// section is taken. Never destroyed, because nodes may still be destroyed by
// static destructors at process exit.
struct CallGate {
  std::mutex mutex;
  std::condition_variable left;
  int waiters = 0;  // guarded by mutex
};

CallGate& Gate() {
  static CallGate* gate = new CallGate;
  return *gate;
}

std::string NodeName(const void* address, const char* class_name) {
  char buffer[160];
  snprintf(buffer, sizeof(buffer), "%" PRIxPTR "[%s]", reinterpret_cast<uintptr_t>(address),
           class_name);
  return buffer;
}

}  // namespace

// ---------------------------------------------------------------------------
// CRLreferenceNode

CRLreferenceNode::CRLreferenceNode(const char* class_name, bool pinned)
    : name_(NodeName(this, class_name)), pinned_(pinned) {}

CRLreferenceNode::~CRLreferenceNode() {
  Detach();
}

// The sets are taken out under the section and the peers called after it is
// released. Calling them with the section held (as a literal reading of the
// detaching loop would) deadlocks when two linked nodes are destroyed on two
// threads: each would hold its own section while waiting for the other's.
//
// A peer might itself be detaching on another thread and, once done, be
// freed. So while still under our section we count ourselves into every peer
// (EnterCall): a peer in our sets has not yet removed itself from them (that
// needs our section), so it has not finished detaching and is alive; and it
// waits for our count to leave before it finishes. Every node calls all its
// peers before it waits, so two detaching nodes never wait for each other.
void CRLreferenceNode::Detach() {
  std::vector<CRLreferenceNode*> peers;
  {
    CriticalSectionLocker lock(section_);
    if (detached_) return;
    detached_ = true;
    dying_ = true;
    peers.assign(links_.begin(), links_.end());
    for (CRLreferenceNode* held : held_) {
      // A held node records us in its link set, so it is told as well.
      if (links_.count(held) == 0) peers.push_back(held);
    }
    links_.clear();
    held_.clear();
    std::lock_guard<std::mutex> gate(Gate().mutex);
    for (CRLreferenceNode* peer : peers) ++peer->calls_in_;
  }
  for (CRLreferenceNode* peer : peers) {
    while (peer->RemoveLink(this)) {
    }
    while (peer->RemoveHeld(this)) {
    }
    peer->LeaveCall();
  }
  CallGate& gate = Gate();
  std::unique_lock<std::mutex> lock(gate.mutex);
  ++gate.waiters;
  gate.left.wait(lock, [this] { return calls_in_ == 0; });
  --gate.waiters;
}

void CRLreferenceNode::EnterCall() {
  std::lock_guard<std::mutex> lock(Gate().mutex);
  ++calls_in_;
}

void CRLreferenceNode::LeaveCall() {
  CallGate& gate = Gate();
  std::lock_guard<std::mutex> lock(gate.mutex);
  // Once the count is zero a detaching node may be freed: nothing of it is
  // touched after this point.
  if (--calls_in_ == 0 && gate.waiters > 0) gate.left.notify_all();
}

bool CRLreferenceNode::Link(CRLreferenceNode* other) {
  if (other == nullptr || other == this) return false;
  if (IsExclusive() && other->GetKind() != kKindCollectorEntry) return false;
  if (!other->AddLink(this)) return false;
  if (!AddLink(other)) {
    other->RemoveLink(this);
    return false;
  }
  return true;
}

void CRLreferenceNode::Unlink(CRLreferenceNode* other) {
  if (other == nullptr) return;
  other->RemoveLink(this);
  RemoveLink(other);
}

int CRLreferenceNode::GetLinkCount() const {
  CriticalSectionLocker lock(section_);
  return static_cast<int>(links_.size());
}

bool CRLreferenceNode::Hold(CRLreferenceNode* other) {
  if (other == nullptr || other == this) return false;
  if (!other->AddLink(this)) return false;
  {
    CriticalSectionLocker lock(section_);
    if (!dying_) {
      held_.insert(other);
      return true;
    }
  }
  other->RemoveLink(this);
  return false;
}

bool CRLreferenceNode::Unhold(CRLreferenceNode* other) {
  if (other == nullptr) return true;
  other->RemoveLink(this);
  RemoveHeld(other);
  return true;
}

int CRLreferenceNode::GetHeldCount() const {
  CriticalSectionLocker lock(section_);
  return static_cast<int>(held_.size());
}

void CRLreferenceNode::SetExclusive() {
  exclusive_.store(true, std::memory_order_relaxed);
}

int CRLreferenceNode::GetKind() const {
  return kKindPlain;
}

bool CRLreferenceNode::AddLink(CRLreferenceNode* node) {
  CriticalSectionLocker lock(section_);
  if (dying_) return false;
  links_.insert(node);
  return true;
}

bool CRLreferenceNode::RemoveLink(CRLreferenceNode* node) {
  bool erased;
  bool due;
  {
    CriticalSectionLocker lock(section_);
    erased = links_.erase(node) > 0;
    due = erased && CollectionDueLocked();
  }
  if (due) HandOver();
  return erased;
}

bool CRLreferenceNode::RemoveHeld(CRLreferenceNode* node) {
  bool erased;
  bool due;
  {
    CriticalSectionLocker lock(section_);
    erased = held_.erase(node) > 0;
    due = erased && CollectionDueLocked();
  }
  if (due) HandOver();
  return erased;
}

// The counts are read under the same section as the erase that preceded, so
// the decision matches the sets at that moment. With both empty nothing links
// to this node, hence no handle can reach it and the collector cannot have it
// pending with a live entry: the caller's own reference keeps it alive for
// the hand-over. A node whose one remaining link is the collector's entry was
// pending, linked again before a sweep noticed, and is now released again:
// it is handed over again, so that its grace period starts afresh.
bool CRLreferenceNode::CollectionDueLocked() const {
  const bool only_entry_left =
      links_.size() == 1 && (*links_.begin())->collector_entry_.load(std::memory_order_relaxed);
  return !IsPinned() && !dying_ && (links_.empty() || only_entry_left) && held_.empty() &&
         GetGarbageCollector().IsEnabled();
}

void CRLreferenceNode::HandOver() {
  GetGarbageCollector().Collect(this);
}

// ---------------------------------------------------------------------------
// RefPointer

RefPointer::RefPointer() : CRLreferenceNode("RefPointer", true) {}

RefPointer::RefPointer(CRLreferenceNode* object) : CRLreferenceNode("RefPointer", true) {
  Assign(object);
}

RefPointer::RefPointer(const RefPointer& other) : CRLreferenceNode("RefPointer", true) {
  *this = other;
}

RefPointer::~RefPointer() {
  Detach();
}

RefPointer& RefPointer::operator=(CRLreferenceNode* object) {
  Assign(object);
  return *this;
}

RefPointer& RefPointer::operator=(const RefPointer& other) {
  if (&other == this) return *this;
  // The object of `other` stays alive while counted in, even if another
  // thread is destroying it: it cannot finish detaching before we leave.
  CRLreferenceNode* object = other.EnterObject();
  if (object == Get()) {
    if (object != nullptr) object->LeaveCall();
    return *this;
  }
  bool linked = object != nullptr && object->Link(this);
  if (object != nullptr) object->LeaveCall();
  Store(linked ? object : nullptr);
  return *this;
}

void RefPointer::Reset() {
  Store(nullptr);
}

void RefPointer::Assign(CRLreferenceNode* object) {
  if (object == Get()) return;
  bool linked = object != nullptr && object->Link(this);
  Store(linked ? object : nullptr);
}

void RefPointer::Store(CRLreferenceNode* linked) {
  CRLreferenceNode* old;
  {
    CriticalSectionLocker lock(NodeSection());
    // An object destroyed since it linked with us has removed itself from
    // our links already; pointing at it now would leave the handle dangling.
    if (linked != nullptr && links_.count(linked) == 0) linked = nullptr;
    old = object_;
    object_ = linked;
    // Our link keeps the old object from finishing its destruction until we
    // have counted ourselves in.
    if (old == linked || old == nullptr || links_.count(old) == 0) {
      old = nullptr;
    } else {
      old->EnterCall();
    }
  }
  if (old != nullptr) {
    old->Unlink(this);
    old->LeaveCall();
  }
}

CRLreferenceNode* RefPointer::EnterObject() const {
  CriticalSectionLocker lock(NodeSection());
  if (object_ != nullptr) object_->EnterCall();
  return object_;
}

CRLreferenceNode* RefPointer::Get() const {
  CriticalSectionLocker lock(NodeSection());
  return object_;
}

bool RefPointer::RemoveLink(CRLreferenceNode* node) {
  {
    CriticalSectionLocker lock(NodeSection());
    if (object_ == node) object_ = nullptr;
  }
  return CRLreferenceNode::RemoveLink(node);
}

// ---------------------------------------------------------------------------
// GarbageCollectorRefPointer

GarbageCollectorRefPointer::GarbageCollectorRefPointer(CRLreferenceNode* object)
    : CRLreferenceNode("GarbageCollectorRefPointer", true) {
  MarkCollectorEntry();
  Assign(object);
}

GarbageCollectorRefPointer::~GarbageCollectorRefPointer() {
  Detach();
}

int GarbageCollectorRefPointer::GetKind() const {
  return kKindCollectorEntry;
}

}  // namespace tw
