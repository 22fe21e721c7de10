// The platform's date-time value: an instant with millisecond precision,
// kept as a 64-bit count of milliseconds since 1970-01-01 00:00:00 UTC, or
// no instant at all (invalid). Calendar fields, local time and the stamp
// texts are the business of the date-time stamps above this layer.
//
// A plain value; any thread.
#ifndef TW_PLATFORM_DATE_TIME_H_
#define TW_PLATFORM_DATE_TIME_H_

#include <chrono>
#include <cstdint>

namespace tw {

class DateTime {
 public:
  // Invalid.
  DateTime() = default;
  static DateTime FromMilliseconds(int64_t milliseconds_since_1970) {
    DateTime t;
    t.ms_ = milliseconds_since_1970;
    t.valid_ = true;
    return t;
  }
  // The current time, to the millisecond.
  static DateTime Now() {
    using namespace std::chrono;
    return FromMilliseconds(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
  }

  bool IsValid() const { return valid_; }
  // Milliseconds since 1970 UTC; meaningless when invalid.
  int64_t Milliseconds() const { return ms_; }

 private:
  int64_t ms_ = 0;
  bool valid_ = false;
};

}  // namespace tw

#endif  // TW_PLATFORM_DATE_TIME_H_
