// Locks and conditions of the messaging core: a recursive critical section,
// a plain mutex, and a condition that waits on that mutex, with the
// operations the message objects, the dispatchers and the synchronous
// requests use.
//
// On Linux these are wxWidgets' own types (wxCriticalSection, wxMutex,
// wxCondition); on Windows they are the system's critical section, slim
// reader/writer lock and condition variable, so that the Windows module
// needs no wxWidgets.
//
// Threads: these are the synchronisation objects; each may be used from any
// thread. A CriticalSection may be entered again by the thread that holds
// it; a Mutex may not.
#ifndef TW_PLATFORM_SYNC_H_
#define TW_PLATFORM_SYNC_H_

#if !defined(_WIN32)

#include <wx/thread.h>

namespace tw {

using CriticalSection = wxCriticalSection;
using CriticalSectionLocker = wxCriticalSectionLocker;
using Mutex = wxMutex;
using MutexLocker = wxMutexLocker;
using Condition = wxCondition;

}  // namespace tw

#else

#include <cstdint>

namespace tw {

// Recursive for its owning thread.
class CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter();
  void Leave();

 private:
  // Room for the system's CRITICAL_SECTION (checked where it is used), so
  // that this header needs no system header.
  alignas(8) unsigned char storage_[64];
};

class CriticalSectionLocker {
 public:
  explicit CriticalSectionLocker(CriticalSection& section) : section_(section) { section_.Enter(); }
  ~CriticalSectionLocker() { section_.Leave(); }
  CriticalSectionLocker(const CriticalSectionLocker&) = delete;
  CriticalSectionLocker& operator=(const CriticalSectionLocker&) = delete;

 private:
  CriticalSection& section_;
};

// Not recursive: the thread that holds it must not lock it again.
class Mutex {
 public:
  Mutex();
  ~Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock();
  void Unlock();

 private:
  friend class Condition;
  void* lock_;  // the system's SRWLOCK, one pointer wide
};

class MutexLocker {
 public:
  explicit MutexLocker(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLocker() { mutex_.Unlock(); }
  MutexLocker(const MutexLocker&) = delete;
  MutexLocker& operator=(const MutexLocker&) = delete;

 private:
  Mutex& mutex_;
};

// Waits release the mutex (which the caller holds) while they sleep and
// take it again before they return. A wait may also end without a signal:
// callers test their own predicate.
class Condition {
 public:
  explicit Condition(Mutex& mutex);
  ~Condition() = default;
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  void Wait();
  // False when the time passed without a signal.
  bool WaitTimeout(uint32_t milliseconds);
  void Signal();
  void Broadcast();

 private:
  Mutex& mutex_;
  void* condition_;  // the system's CONDITION_VARIABLE, one pointer wide
};

}  // namespace tw

#endif  // _WIN32

#endif  // TW_PLATFORM_SYNC_H_
