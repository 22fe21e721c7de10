// Typed views of the process-wide handle table.
//
// A 32-bit handle read from a message may name any registered object, or an
// object that is already gone: a server returns whatever it was given, and a
// broken or hostile peer may return anything. TypedHandles<T> issues handles
// from the process-wide table (so numbers stay unique across all kinds and are
// never reused) and keeps its own map from handle to T, so that resolving
// yields a T or nothing, never an object of another kind.
//
// Its lock lets a caller resolve a handle and act on the object (take a
// reference, read a flag) in one step with respect to the removal of the
// handle: an owner that removes its handle under the same lock before it
// frees the object can never be resolved half-freed.
//
// Threads: thread-safe; `mutex_` guards `objects_`. The lock is a leaf: code
// run under it (the function given to With) takes no other lock of the
// system except the handle table's own.
#ifndef TW_MESSAGING_TYPED_HANDLES_H_
#define TW_MESSAGING_TYPED_HANDLES_H_

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/handle_table.h"

namespace tw {

template <typename T>
class TypedHandles {
 public:
  TypedHandles() = default;
  TypedHandles(const TypedHandles&) = delete;
  TypedHandles& operator=(const TypedHandles&) = delete;

  // A new handle for `object`; 0 when the process has spent all handles.
  uint32_t Add(T* object) {
    std::lock_guard<std::mutex> lock(mutex_);
    return AddLocked(object);
  }
  // Forgets `handle`; unknown handles are ignored.
  void Remove(uint32_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    RemoveLocked(handle);
  }
  // Calls fn(T*) under the lock when `handle` names a registered object;
  // returns whether it did. `fn` may call RemoveLocked.
  template <typename Fn>
  bool With(uint32_t handle, Fn&& fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(handle);
    if (it == objects_.end()) return false;
    fn(it->second);
    return true;
  }

  // The same operations for callers that hold mutex() already.
  uint32_t AddLocked(T* object) {
    const uint32_t handle = HandleTable::Instance().Add(object);
    if (handle != 0) objects_.emplace(handle, object);
    return handle;
  }
  void RemoveLocked(uint32_t handle) {
    if (objects_.erase(handle) > 0) HandleTable::Instance().Remove(handle);
  }

  // Forgets every handle and returns the objects they named.
  std::vector<T*> TakeAllLocked() {
    std::vector<T*> taken;
    taken.reserve(objects_.size());
    for (const auto& [handle, object] : objects_) {
      HandleTable::Instance().Remove(handle);
      taken.push_back(object);
    }
    objects_.clear();
    return taken;
  }

  std::mutex& mutex() { return mutex_; }

 private:
  std::mutex mutex_;
  std::unordered_map<uint32_t, T*> objects_;  // guarded by mutex_
};

}  // namespace tw

#endif  // TW_MESSAGING_TYPED_HANDLES_H_
