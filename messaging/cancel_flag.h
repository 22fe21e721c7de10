// CancelFlag: a one-byte flag by which a user cancels a synchronous wait.
//
// The component that offers cancelling (a progress window) owns a flag,
// publishes its handle as the value of the "CRLMSGsynchronousMessage/DoPump"
// setting and sets the flag when the user cancels; a wait that pumps reads it
// between slices and ends with code 5. The handle comes from the process-wide
// handle table and means nothing outside this process; a handle that names
// no live flag (a stale setting, any other object) reads as "not set".
//
// Threads: the flag is atomic; Set and Clear may be called from any thread.
// Reading by handle and destroying the flag are serialised by the registry
// of flags, so a wait never reads a freed flag.
#ifndef TW_MESSAGING_CANCEL_FLAG_H_
#define TW_MESSAGING_CANCEL_FLAG_H_

#include <atomic>
#include <cstdint>

namespace tw {

class CancelFlag {
 public:
  // A clear flag with a new handle (0 when the process has none left).
  CancelFlag();
  // Withdraws the handle.
  ~CancelFlag();
  CancelFlag(const CancelFlag&) = delete;
  CancelFlag& operator=(const CancelFlag&) = delete;

  void Set() { value_.store(1, std::memory_order_release); }
  void Clear() { value_.store(0, std::memory_order_release); }
  bool IsSet() const { return value_.load(std::memory_order_acquire) != 0; }
  uint32_t handle() const { return handle_; }

 private:
  std::atomic<uint8_t> value_{0};
  const uint32_t handle_;
};

// Whether `handle` names a live cancel flag that is set.
bool IsCancelFlagSet(uint32_t handle);

}  // namespace tw

#endif  // TW_MESSAGING_CANCEL_FLAG_H_
