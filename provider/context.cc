#include "provider/context.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "session/client_session.h"

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

void SharedSessionSlot::ResetSession(std::unique_ptr<ClientSession> session) {
  // The old session goes only after the record names the new one, so that a
  // destructor that re-enters the slot (it may pump the host's messages)
  // never finds a dangling pointer.
  std::unique_ptr<ClientSession> old(this->session());
  ClientSession* raw = session.release();
  std::memcpy(data_, &raw, sizeof raw);
  old.reset();
}

void SharedSessionSlot::ClearSessionField() {
  ClientSession* none = nullptr;
  std::memcpy(data_, &none, sizeof none);
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
