// Named shared blocks: a block of memory shared by the processes of one user,
// guarded by a named mutex.
//
// The mapping "<prefix><name>_SharedMemory" is a file under <runtime>/shm/,
// mapped MAP_SHARED; its first 32-bit word holds the data size and the data
// follow it. The mutex "<prefix><name>_Mutex" is a process-shared, robust and
// recursive pthread mutex in its own small mapped file. A block exists
// exactly as long as a live process holds it open: every holder keeps a
// shared flock on the mapping file, and the create-or-open decision is taken
// under an exclusive flock on a guard file, so a dead process's leftover is
// initialised afresh instead of being mistaken for a live block.
//
// Windows form (platform/win32/shared_block.cc): a paging-file mapping and a
// Win32 mutex of those names, with a null DACL; the "Global\" prefix
// follows the system's major version, and a user who may not create global
// objects gets them in the session's own namespace.
//
// Threads: one SharedBlock object may be used from several threads; every
// access to the data goes through Lock/Unlock.
#ifndef TW_PLATFORM_SHARED_BLOCK_H_
#define TW_PLATFORM_SHARED_BLOCK_H_

#include <cstdint>
#include <memory>
#include <string>

namespace tw {

constexpr uint32_t kInfiniteWait = 0xFFFFFFFFu;

// The prefix of machine-wide object names for an operating system of the
// given major version: "Global\\" from version 5 on, empty before.
std::string SharedObjectPrefix(int os_major_version);
// The major version the POSIX layer reports for that rule; it yields no
// prefix, since Linux names have no namespaces.
int PlatformMajorVersion();

class SharedBlock {
 public:
  // Creates the block with `size` data bytes, or opens it when it exists (it
  // then keeps the first creator's size). With size 0 it only opens an
  // existing block; a block that nobody holds counts as absent. On failure
  // the object has no view and every Lock returns null.
  SharedBlock(const std::string& name, uint32_t size);
  ~SharedBlock();

  SharedBlock(const SharedBlock&) = delete;
  SharedBlock& operator=(const SharedBlock&) = delete;

  bool IsValid() const;
  // True when another holder had the block before this object opened it.
  bool ExistedBefore() const;
  // Data size from the header word.
  uint32_t Size() const;
  // Waits up to timeout_ms (kInfiniteWait: no limit) for the mutex; returns
  // the data address, or null on time-out or when there is no view. The data
  // follow the 4-byte size word, so they are aligned to 4 bytes only: wider
  // fields are copied in and out with memcpy. A mutex whose owner died is
  // made consistent and counts as acquired. Recursive for the owning thread;
  // every successful Lock needs one Unlock.
  void* Lock(uint32_t timeout_ms);
  void Unlock();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tw

#endif  // TW_PLATFORM_SHARED_BLOCK_H_
