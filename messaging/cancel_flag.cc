#include "messaging/cancel_flag.h"

#include "messaging/typed_handles.h"

namespace tw {

namespace {

// Never destroyed, like the handle table it draws from.
TypedHandles<CancelFlag>& Flags() {
  static auto* flags = new TypedHandles<CancelFlag>;
  return *flags;
}

}  // namespace

CancelFlag::CancelFlag() : handle_(Flags().Add(this)) {}

CancelFlag::~CancelFlag() {
  Flags().Remove(handle_);
}

bool IsCancelFlagSet(uint32_t handle) {
  if (handle == 0) return false;
  bool set = false;
  Flags().With(handle, [&set](CancelFlag* flag) { set = flag->IsSet(); });
  return set;
}

}  // namespace tw
