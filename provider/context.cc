#include "provider/context.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace tw {

SharedSessionSlot::SharedSessionSlot(bool open_only)
    : block_(NameFor(static_cast<int>(getpid())), open_only ? 0 : kSize) {}

std::string SharedSessionSlot::NameFor(int pid) {
  char name[64];
  std::snprintf(name, sizeof name, "_TW_SCC_SHARED_CONTEXT_%d", pid);
  return name;
}

bool SharedSessionSlot::Lock() {
  void* data = block_.Lock(kInfiniteWait);
  if (data == nullptr) return false;
  data_ = static_cast<unsigned char*>(data);
  return true;
}

void SharedSessionSlot::Unlock() {
  // The mutex is recursive: only the outermost unlock forgets the view, and
  // the view address never changes while the block is open.
  block_.Unlock();
}

ClientSession* SharedSessionSlot::session() const {
  ClientSession* session = nullptr;
  std::memcpy(&session, data_, sizeof session);
  return session;
}

void SharedSessionSlot::set_session(ClientSession* session) {
  std::memcpy(data_, &session, sizeof session);
}

uint32_t SharedSessionSlot::count() const {
  uint32_t count = 0;
  std::memcpy(&count, data_ + sizeof(void*), sizeof count);
  return count;
}

void SharedSessionSlot::set_count(uint32_t count) {
  std::memcpy(data_ + sizeof(void*), &count, sizeof count);
}

}  // namespace tw
