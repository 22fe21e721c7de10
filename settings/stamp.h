// Date-time stamps: the instants that travel between the provider, the
// server and the state store as text.
//
// The stamp text is "%04d:%02d:%02d:%02d:%02d:%02d:%03d" (year, month 1-12,
// day, hour, minute, second, millisecond), e.g. "2005:03:07:14:05:09:120".
// The provider writes it in local time; the server's Document stamps use the
// same layout in UTC. A second, ISO 8601 form ("2005-03-07T14:05:09.1234567
// +02:00" without the blank) can be read as well.
//
// Local time is the zone of TZ as the C library sees it, with its daylight
// saving rules applied in every year; the library reads TZ once per process.
// Values only; every function may be called from any thread.
#ifndef TW_SETTINGS_STAMP_H_
#define TW_SETTINGS_STAMP_H_

#include <cstdint>
#include <optional>
#include <string>

#include "platform/date_time.h"

namespace tw {

// An instant with millisecond precision, kept as the platform date-time
// value: a 64-bit count of milliseconds since 1970-01-01 00:00:00 UTC.
class DateTimeStamp {
 public:
  // The current time, to the millisecond.
  DateTimeStamp();
  explicit DateTimeStamp(const DateTime& time) : time_(time) {}
  static DateTimeStamp FromMilliseconds(int64_t milliseconds_since_1970);

  const DateTime& time() const { return time_; }
  // Milliseconds since 1970 UTC; INT64_MIN for an invalid value.
  int64_t Milliseconds() const;

  bool operator==(const DateTimeStamp& o) const { return Milliseconds() == o.Milliseconds(); }
  bool operator!=(const DateTimeStamp& o) const { return !(*this == o); }
  bool operator<(const DateTimeStamp& o) const { return Milliseconds() < o.Milliseconds(); }

 private:
  DateTime time_;
};

// The stamp text of `stamp` in local time, or in UTC when `utc` is set.
// A year before 1 prints as "%04d" prints it ("-001"). Empty for an invalid
// value or one whose year the C library cannot break down.
std::string FormatStamp(const DateTimeStamp& stamp, bool utc);

// Reads a local-time stamp text into `stamp`. The text is split at every
// ":" (the empty text has no pieces). The value starts from year 0,
// 1 January, 00:00:00.000; then year, month (number minus 1 as the month
// index), day, hour, minute, second and millisecond are taken from pieces
// 1-7 as far as they exist, each read like atoi (leading blanks and sign,
// leading digits, 0 when none). With fewer than three pieces the day is the
// local day of the month that `stamp` held before. Each field is clamped to
// its range (year 0-9999, the month's last day, 23:59:59.999), so any text
// gives a valid instant; a local time that a daylight-saving change skips
// moves forward by the change. Returns true when there was at least one
// piece; `stamp` is set either way.
bool ParseStamp(const std::string& text, DateTimeStamp& stamp);

// A UTC stamp text converted to local time, in the stamp text format. The
// text is split at ":" and read like atoi, missing pieces counting as 0.
// Empty when the pieces do not form a valid date and time (month 1-12, an
// existing day, hour 0-23, minute and second 0-59, millisecond 0-999, year
// 0-9999), e.g. when the day is missing.
std::string ServerStampToLocal(const std::string& text);

// The instant a UTC stamp text names, taken as UTC itself: no local time is
// involved, so an instant inside the hour that the end of daylight saving
// shows twice keeps its place (a round trip through local text could not
// tell the two hours apart). Pieces as for ServerStampToLocal; nothing when
// they do not form a valid date and time.
std::optional<DateTimeStamp> ServerStampToUtc(const std::string& text);

// Reads the ISO 8601 form. The whole text must match
//   ([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})\.([0-9]{7})(.)([0-9]{2}):([0-9]{2})
// (Perl syntax); the seven fractional digits are required but not kept.
// The zone offset is negative unless its sign character is "+"; an offset of
// whole hours from -12 to +13 is applied, any other offset counts as +00:00.
// Nothing when the text does not match or the fields are no valid date and
// time.
std::optional<DateTimeStamp> ParseIsoStamp(const std::string& text);

}  // namespace tw

#endif  // TW_SETTINGS_STAMP_H_
