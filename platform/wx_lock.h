// One lock for the wxWidgets state that every thread of the process shares
// when wxWidgets was never started, or while it starts or ends: the logging
// switch of wxLogNull and the main-thread identity that wxWidgets records
// at its start and reads in every log call. The registry file, the update
// queue and the windowing's start and end take it around those steps.
#ifndef TW_PLATFORM_WX_LOCK_H_
#define TW_PLATFORM_WX_LOCK_H_

#include <mutex>

namespace tw {

std::mutex& WxStateLock();

}  // namespace tw

#endif  // TW_PLATFORM_WX_LOCK_H_
