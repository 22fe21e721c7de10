// Local time as the C library of the platform keeps it: the zone of TZ (on
// Windows the C runtime's reading of TZ, else the system's zone), with its
// daylight-saving rules.
//
// Any thread: these call the reentrant forms.
#ifndef TW_PLATFORM_LOCAL_TIME_H_
#define TW_PLATFORM_LOCAL_TIME_H_

#include <cstdint>
#include <ctime>

namespace tw {

// Breaks `seconds` since 1970 UTC into local calendar fields. False when the
// C library cannot (on Windows: before 1970 or after the year 3000).
inline bool LocalCalendar(int64_t seconds, struct tm* out) {
  const time_t t = static_cast<time_t>(seconds);
#if defined(_WIN32)
  return localtime_s(out, &t) == 0;
#else
  return localtime_r(&t, out) != nullptr;
#endif
}

}  // namespace tw

#endif  // TW_PLATFORM_LOCAL_TIME_H_
