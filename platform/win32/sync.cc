// The messaging core's locks on Windows: a critical section, a slim
// reader/writer lock used exclusively, and a condition variable on it; see
// platform/sync.h.
#include "platform/sync.h"

#include "platform/win32/win32_util.h"

namespace tw {

namespace {
CRITICAL_SECTION* Section(unsigned char* storage) {
  return reinterpret_cast<CRITICAL_SECTION*>(storage);
}
}  // namespace

CriticalSection::CriticalSection() {
  static_assert(sizeof(CRITICAL_SECTION) <= sizeof storage_, "room for a CRITICAL_SECTION");
  InitializeCriticalSection(Section(storage_));
}
CriticalSection::~CriticalSection() {
  DeleteCriticalSection(Section(storage_));
}
void CriticalSection::Enter() {
  EnterCriticalSection(Section(storage_));
}
void CriticalSection::Leave() {
  LeaveCriticalSection(Section(storage_));
}

static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRWLOCK is one pointer");
static_assert(sizeof(CONDITION_VARIABLE) == sizeof(void*), "a CONDITION_VARIABLE is one pointer");

Mutex::Mutex() {
  InitializeSRWLock(reinterpret_cast<SRWLOCK*>(&lock_));
}
void Mutex::Lock() {
  AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK*>(&lock_));
}
void Mutex::Unlock() {
  ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK*>(&lock_));
}

Condition::Condition(Mutex& mutex) : mutex_(mutex) {
  InitializeConditionVariable(reinterpret_cast<CONDITION_VARIABLE*>(&condition_));
}

void Condition::Wait() {
  SleepConditionVariableSRW(reinterpret_cast<CONDITION_VARIABLE*>(&condition_),
                            reinterpret_cast<SRWLOCK*>(&mutex_.lock_), INFINITE, 0);
}

bool Condition::WaitTimeout(uint32_t milliseconds) {
  const DWORD wait = milliseconds == INFINITE ? INFINITE - 1 : milliseconds;
  return SleepConditionVariableSRW(reinterpret_cast<CONDITION_VARIABLE*>(&condition_),
                                   reinterpret_cast<SRWLOCK*>(&mutex_.lock_), wait, 0) != FALSE;
}

void Condition::Signal() {
  WakeConditionVariable(reinterpret_cast<CONDITION_VARIABLE*>(&condition_));
}
void Condition::Broadcast() {
  WakeAllConditionVariable(reinterpret_cast<CONDITION_VARIABLE*>(&condition_));
}

}  // namespace tw
