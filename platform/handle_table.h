// The process-wide handle table for pointer-sized values in 32-bit fields.
//
// The system puts object identities into 32-bit message fields (the
// synchronous request handle, the sender tag, callback keys, the completion
// event of a reconnection, the cancel flag of a wait). On a 64-bit build an
// address does not fit, so such an object is registered here for a non-zero
// 32-bit handle that resolves back to it while it is registered. Handles are
// never reused while the process lives: a late reply carrying a stale handle
// resolves to nothing and can never reach another object.
// Thread-safe: one mutex guards the table.
#ifndef TW_PLATFORM_HANDLE_TABLE_H_
#define TW_PLATFORM_HANDLE_TABLE_H_

#include <cstdint>

namespace tw {

class HandleTable {
 public:
  static HandleTable& Instance();

  // Registers an object; returns its new handle, or 0 only once all 2^32 - 1
  // handles of the process are spent (they are never reused). The table does
  // not own the object; the caller must Remove the handle before the object
  // goes away.
  uint32_t Add(void* object);
  // The object of a live handle, or null for 0, unknown or removed handles.
  void* Resolve(uint32_t handle) const;
  // Forgets a handle; unknown handles are ignored.
  void Remove(uint32_t handle);

  HandleTable(const HandleTable&) = delete;
  HandleTable& operator=(const HandleTable&) = delete;

 private:
  HandleTable() = default;
};

}  // namespace tw

#endif  // TW_PLATFORM_HANDLE_TABLE_H_
