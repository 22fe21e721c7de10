// The id of the calling process, as the system names per-process objects
// with it ("_TW_SCC_SHARED_CONTEXT_%d", the scratch store).
//
// Any thread.
#ifndef TW_PLATFORM_PROCESS_ID_H_
#define TW_PLATFORM_PROCESS_ID_H_

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace tw {

inline int CurrentProcessId() {
#if defined(_WIN32)
  return _getpid();
#else
  return static_cast<int>(::getpid());
#endif
}

}  // namespace tw

#endif  // TW_PLATFORM_PROCESS_ID_H_
