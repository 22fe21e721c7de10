// Date-time stamps. Calendar arithmetic for UTC is done here on the proleptic
// Gregorian calendar; local time goes through the C library's one local-time
// breakdown only (platform/local_time.h), so that formatting and parsing
// agree in every year (wxDateTime's own local-time conversions drop daylight
// saving outside 1970-2037 and disagree with each other near 2038, which
// would break round trips).
#include "settings/stamp.h"

#include <algorithm>
#include <boost/regex.hpp>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "platform/decimal.h"
#include "platform/list_text.h"
#include "platform/local_time.h"

namespace tw {
namespace {

static_assert(sizeof(time_t) == 8, "stamps need a 64-bit time_t");

constexpr int64_t kMsPerSecond = 1000;
constexpr int64_t kSecondsPerDay = 86400;
constexpr int kMaxYear = 9999;

struct Fields {
  int64_t year = 0;
  int month = 1;  // 1-12
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}
int64_t FloorMod(int64_t a, int64_t b) {
  return a - FloorDiv(a, b) * b;
}

bool IsLeapYear(int64_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int64_t year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given date (proleptic Gregorian, month 1-12).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = FloorDiv(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// The seconds of the fields read as UTC, milliseconds left out.
int64_t UtcSeconds(const Fields& f) {
  return DaysFromCivil(f.year, f.month, f.day) * kSecondsPerDay + f.hour * 3600 + f.minute * 60 +
         f.second;
}

bool FieldsFromTm(const struct tm& tm, int millisecond, Fields* out) {
  out->year = static_cast<int64_t>(tm.tm_year) + 1900;
  out->month = tm.tm_mon + 1;
  out->day = tm.tm_mday;
  out->hour = tm.tm_hour;
  out->minute = tm.tm_min;
  out->second = tm.tm_sec;
  out->millisecond = millisecond;
  return true;
}

// The date of a day count from 1970-01-01 (the inverse of DaysFromCivil).
void CivilFromDays(int64_t z, Fields* out) {
  z += 719468;
  const int64_t era = FloorDiv(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  out->day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  out->month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  out->year = yoe + era * 400 + (out->month <= 2);
}

bool BreakDown(int64_t ms, bool utc, Fields* out) {
  if (ms == INT64_MIN) return false;  // an invalid value
  const int64_t seconds = FloorDiv(ms, kMsPerSecond);
  const int millisecond = static_cast<int>(FloorMod(ms, kMsPerSecond));
  if (!utc) {
    struct tm tm;
    if (!LocalCalendar(seconds, &tm)) return false;
    return FieldsFromTm(tm, millisecond, out);
  }
  const int64_t days = FloorDiv(seconds, kSecondsPerDay);
  const int64_t rest = FloorMod(seconds, kSecondsPerDay);
  CivilFromDays(days, out);
  out->hour = static_cast<int>(rest / 3600);
  out->minute = static_cast<int>(rest / 60 % 60);
  out->second = static_cast<int>(rest % 60);
  out->millisecond = millisecond;
  return true;
}

// The local offset east of UTC in effect at `seconds`, or false: the local
// wall time read as UTC, less the instant.
bool LocalOffsetAt(int64_t seconds, long* offset) {
  struct tm tm;
  if (!LocalCalendar(seconds, &tm)) return false;
  Fields f;
  FieldsFromTm(tm, 0, &f);
  *offset = static_cast<long>(UtcSeconds(f) - seconds);
  return true;
}

// The instant whose local time shows the fields. Offsets are taken a day
// before and a day after the wall time, so that one daylight-saving change
// is seen from both sides: a wall time shown twice gives the earlier
// instant, one skipped by the change is read with the offset before it
// (it moves forward by the change).
int64_t LocalFieldsToMs(const Fields& f) {
  const int64_t wall = UtcSeconds(f);
  long before = 0;
  long after = 0;
  if (!LocalOffsetAt(wall - kSecondsPerDay, &before) ||
      !LocalOffsetAt(wall + kSecondsPerDay, &after)) {
    return wall * kMsPerSecond + f.millisecond;  // beyond the C library: read as UTC
  }
  int64_t chosen = wall - before;
  bool found = false;
  for (long candidate : {before, after}) {
    long actual = 0;
    if (LocalOffsetAt(wall - candidate, &actual) && actual == candidate) {
      if (!found || wall - candidate < chosen) chosen = wall - candidate;
      found = true;
    }
  }
  if (!found && before == after) {
    // Two changes within two days of each other; leave it to mktime.
    struct tm tm = {};
    tm.tm_year = static_cast<int>(f.year - 1900);
    tm.tm_mon = f.month - 1;
    tm.tm_mday = f.day;
    tm.tm_hour = f.hour;
    tm.tm_min = f.minute;
    tm.tm_sec = f.second;
    tm.tm_isdst = -1;
    tm.tm_wday = -1;
    const time_t t = mktime(&tm);
    if (tm.tm_wday != -1) chosen = t;
  }
  return chosen * kMsPerSecond + f.millisecond;
}

std::string FormatFields(const Fields& f) {
  char text[96];
  std::snprintf(text, sizeof text, "%04lld:%02d:%02d:%02d:%02d:%02d:%03d",
                static_cast<long long>(f.year), f.month, f.day, f.hour, f.minute, f.second,
                f.millisecond);
  return text;
}

// Every piece between ":" separators; the empty text has none.
std::vector<std::string> SplitPieces(const std::string& text) {
  if (text.empty()) return {};
  return SplitList(text, ':');
}

// atoi without its undefined behaviour: out-of-range values saturate.
int ReadInt(const std::string& piece) {
  return DecimalToInt(piece);
}

int64_t Clamp(int64_t value, int64_t low, int64_t high) {
  return std::clamp(value, low, high);
}

bool IsValidDateTime(const Fields& f) {
  return f.year >= 0 && f.year <= kMaxYear && f.month >= 1 && f.month <= 12 && f.day >= 1 &&
         f.day <= DaysInMonth(f.year, f.month) && f.hour >= 0 && f.hour <= 23 && f.minute >= 0 &&
         f.minute <= 59 && f.second >= 0 && f.second <= 59 && f.millisecond >= 0 &&
         f.millisecond <= 999;
}

}  // namespace

DateTimeStamp::DateTimeStamp() : time_(DateTime::Now()) {}

DateTimeStamp DateTimeStamp::FromMilliseconds(int64_t milliseconds_since_1970) {
  return DateTimeStamp(DateTime::FromMilliseconds(milliseconds_since_1970));
}

int64_t DateTimeStamp::Milliseconds() const {
  return time_.IsValid() ? time_.Milliseconds() : INT64_MIN;
}

std::string FormatStamp(const DateTimeStamp& stamp, bool utc) {
  Fields f;
  if (!BreakDown(stamp.Milliseconds(), utc, &f)) return std::string();
  return FormatFields(f);
}

bool ParseStamp(const std::string& text, DateTimeStamp& stamp) {
  const std::vector<std::string> pieces = SplitPieces(text);
  const size_t n = pieces.size();
  Fields before;
  const int previous_day = BreakDown(stamp.Milliseconds(), false, &before) ? before.day : 1;

  Fields f;
  if (n >= 1) f.year = Clamp(ReadInt(pieces[0]), 0, kMaxYear);
  if (n >= 2) f.month = static_cast<int>(Clamp(int64_t{ReadInt(pieces[1])} - 1, 0, 11)) + 1;
  const int64_t day = n >= 3 ? ReadInt(pieces[2]) : (n >= 1 ? previous_day : 1);
  f.day = static_cast<int>(Clamp(day, 1, DaysInMonth(f.year, f.month)));
  if (n >= 4) f.hour = static_cast<int>(Clamp(ReadInt(pieces[3]), 0, 23));
  if (n >= 5) f.minute = static_cast<int>(Clamp(ReadInt(pieces[4]), 0, 59));
  if (n >= 6) f.second = static_cast<int>(Clamp(ReadInt(pieces[5]), 0, 59));
  if (n >= 7) f.millisecond = static_cast<int>(Clamp(ReadInt(pieces[6]), 0, 999));

  stamp = DateTimeStamp::FromMilliseconds(LocalFieldsToMs(f));
  return n > 0;
}

namespace {

// The pieces of a UTC stamp text, missing ones 0; false when they are no
// valid date and time.
bool ServerStampFields(const std::string& text, Fields* utc) {
  const std::vector<std::string> pieces = SplitPieces(text);
  auto piece = [&pieces](size_t i) { return i < pieces.size() ? ReadInt(pieces[i]) : 0; };
  utc->year = piece(0);
  utc->month = piece(1);
  utc->day = piece(2);
  utc->hour = piece(3);
  utc->minute = piece(4);
  utc->second = piece(5);
  utc->millisecond = piece(6);
  return IsValidDateTime(*utc);
}

}  // namespace

std::string ServerStampToLocal(const std::string& text) {
  Fields utc;
  if (!ServerStampFields(text, &utc)) return std::string();
  Fields local;
  if (!BreakDown(UtcSeconds(utc) * kMsPerSecond + utc.millisecond, false, &local)) {
    return std::string();
  }
  return FormatFields(local);
}

std::optional<DateTimeStamp> ServerStampToUtc(const std::string& text) {
  Fields utc;
  if (!ServerStampFields(text, &utc)) return std::nullopt;
  return DateTimeStamp::FromMilliseconds(UtcSeconds(utc) * kMsPerSecond + utc.millisecond);
}

std::optional<DateTimeStamp> ParseIsoStamp(const std::string& text) {
  static const boost::regex kIsoStamp(
      "([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})\\.([0-9]{7})(.)([0-9]{2}):"
      "([0-9]{2})",
      boost::regex::perl);
  boost::smatch m;
  try {
    if (!boost::regex_match(text, m, kIsoStamp)) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  auto group = [&m](int i) { return DecimalToInt(m[i].str()); };  // digits only
  Fields f;
  f.year = group(1);
  f.month = group(2);
  f.day = group(3);
  f.hour = group(4);
  f.minute = group(5);
  f.second = group(6);
  if (!IsValidDateTime(f)) return std::nullopt;

  int64_t offset = (int64_t{group(9)} * 60 + group(10)) * 60;
  if (m[8].str() != "+") offset = -offset;
  // Only the whole-hour zones GMT-12 ... GMT+13 exist; others read as GMT.
  if (offset % 3600 != 0 || offset < -12 * 3600 || offset > 13 * 3600) offset = 0;
  return DateTimeStamp::FromMilliseconds((UtcSeconds(f) - offset) * kMsPerSecond);
}

}  // namespace tw
