#include "provider/context.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/debug_output.h"
#include "session/client_session.h"

namespace tw {

namespace {

// The 32-bit fields after the session pointer.
constexpr size_t kCountField = 0;
constexpr size_t kBusyField = 1;
constexpr size_t kDeferredField = 2;

}  // namespace

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

bool SharedSessionSlot::ResetSession(std::unique_ptr<ClientSession> session) {
  // An export further up this thread's stack still holds the session.
  if (busy() > 0) {
    DebugLog("Shared context: the session is in use by a running operation and stays");
    return false;
  }
  // The old session goes only after the record names the new one, so that a
  // destructor that re-enters the slot (it may pump the host's messages)
  // never finds a dangling pointer.
  std::unique_ptr<ClientSession> old(this->session());
  ClientSession* raw = session.release();
  std::memcpy(data_, &raw, sizeof raw);
  old.reset();
  return true;
}

void SharedSessionSlot::ClearSessionField() {
  ClientSession* none = nullptr;
  std::memcpy(data_, &none, sizeof none);
  SetField(kBusyField, 0);
  SetField(kDeferredField, 0);
}

uint32_t SharedSessionSlot::Field(size_t index) const {
  uint32_t value = 0;
  std::memcpy(&value, data_ + sizeof(void*) + index * sizeof value, sizeof value);
  return value;
}

void SharedSessionSlot::SetField(size_t index, uint32_t value) {
  std::memcpy(data_ + sizeof(void*) + index * sizeof value, &value, sizeof value);
}

uint32_t SharedSessionSlot::count() const {
  return Field(kCountField);
}

void SharedSessionSlot::set_count(uint32_t count) {
  SetField(kCountField, count);
}

uint32_t SharedSessionSlot::busy() const {
  return Field(kBusyField);
}

void SharedSessionSlot::Enter() {
  SetField(kBusyField, busy() + 1);
  ++busy_here_;
}

void SharedSessionSlot::Leave() {
  if (busy_here_ > 0) --busy_here_;
  const uint32_t depth = busy() > 0 ? busy() - 1 : 0;
  SetField(kBusyField, depth);
  if (depth == 0 && Field(kDeferredField) != 0) {
    SetField(kDeferredField, 0);
    ApplyCount();
  }
}

void SharedSessionSlot::DeferCountChange() {
  SetField(kDeferredField, 1);
}

void SharedSessionSlot::ApplyCount() {
  ClientSession* current = session();
  if (current == nullptr) return;
  if (count() == 0) {
    ResetSession();
  } else if (count() == 1) {
    current->ForgetLogonState();
  }
}

}  // namespace tw
