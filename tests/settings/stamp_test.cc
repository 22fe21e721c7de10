// Stamp texts: formatting, the piece rules of parsing, server stamps and the
// ISO form. Checks that depend on the local zone run in helper processes
// started with a fixed TZ, one process per zone.
#include "settings/stamp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_env.h"

namespace tw {
namespace {

DateTimeStamp Parsed(const std::string& text, DateTimeStamp before) {
  ParseStamp(text, before);
  return before;
}

std::string Local(const DateTimeStamp& s) {
  return FormatStamp(s, false);
}

TEST(Stamp, FormatsUtcFields) {
  EXPECT_EQ("2005:03:07:14:05:09:120",
            FormatStamp(DateTimeStamp::FromMilliseconds(1110204309120), true));
  EXPECT_EQ("1969:12:31:23:59:59:999", FormatStamp(DateTimeStamp::FromMilliseconds(-1), true));
  EXPECT_EQ("", FormatStamp(DateTimeStamp(DateTime()), true));
}

TEST(Stamp, ParseKeepsMissingPiecesAndClampsTheRest) {
  const DateTimeStamp day17 = Parsed("2005:01:17:10:11:12:13", DateTimeStamp());
  EXPECT_EQ("2005:01:17:10:11:12:013", Local(day17));
  EXPECT_EQ("2005:03:17:00:00:00:000", Local(Parsed("2005:03", day17))) << "the day is kept";
  EXPECT_EQ("2004:02:29:00:00:00:000", Local(Parsed("2004:02", Parsed("2005:01:31", day17))))
      << "a kept day beyond the month's end";
  DateTimeStamp s = day17;
  EXPECT_FALSE(ParseStamp("", s));
  EXPECT_EQ("0000:01:01:00:00:00:000", Local(s));
  // atoi: blanks, sign, leading digits, 0 when none; then each field clamped.
  EXPECT_EQ("2005:03:07:00:59:00:999", Local(Parsed(" 2005xyz:+3:07abc:-1:99:x:1234567", day17)));
  EXPECT_EQ("9999:01:01:00:00:00:000", Local(Parsed("99999999999999999999:0:0", day17)));
}

TEST(Stamp, ServerStampWithoutAValidDateGivesNothing) {
  for (const char* bad : {"", "2005:03", "2005:02:29", "2005:01:01:00:60", "10000:01:01"}) {
    EXPECT_EQ("", ServerStampToLocal(bad)) << bad;
    EXPECT_FALSE(ServerStampToUtc(bad).has_value()) << bad;
  }
  EXPECT_EQ(Local(DateTimeStamp::FromMilliseconds(1110153600000)),
            ServerStampToLocal("2005:03:07"));
}

TEST(Stamp, IsoFormAppliesWholeHourZonesOnly) {
  auto iso = [](const char* text) -> int64_t {
    std::optional<DateTimeStamp> s = ParseIsoStamp(text);
    return s ? s->Milliseconds() : -1;
  };
  const int64_t utc = 1110204309000;  // the fraction is not kept
  EXPECT_EQ(utc - 2 * 3600000, iso("2005-03-07T14:05:09.1234567+02:00"));
  EXPECT_EQ(utc + 3 * 3600000, iso("2005-03-07T14:05:09.1234567Z03:00")) << "not '+' is west";
  EXPECT_EQ(utc, iso("2005-03-07T14:05:09.1234567+05:30")) << "taken as GMT";
  for (const char* bad : {"2005-03-07T14:05:09.123456+02:00", "2005-03-07 14:05:09.1234567+02:00",
                          "2005-02-29T14:05:09.1234567+02:00", ""}) {
    EXPECT_FALSE(ParseIsoStamp(bad).has_value()) << bad;
  }
}

// Runs the zone helper with TZ set to `zone`; its exit code. Each check is a
// kind and two values (see the helper); every zone also runs the round trips.
int RunInZone(const char* zone, std::vector<std::string> checks) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", zone, 1);
  checks.push_back("roundtrip");
  const pid_t pid = test::Spawn("settings_stamp_tz_helper", checks);
  old ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  return pid < 0 ? -1 : test::WaitExit(pid);
}

// clang-format off
TEST(StampZones, WestOfUtcWithDaylightSaving) {
  test::TestEnv env;
  EXPECT_EQ(0, RunInZone("EST5EDT,M3.2.0,M11.1.0", {
      "format", "1110222309120", "2005:03:07:14:05:09:120",
      "iso", "2005-07-07T14:05:09.1234567+02:00", "1120737909000",
      // The date rolls back a day, and a year.
      "server", "2005:01:01:04:59:59:999", "2004:12:31:23:59:59:999",
      // Daylight saving starts at 07:00 UTC and ends at 06:00 UTC.
      "server", "2021:03:14:07:00:00:000", "2021:03:14:03:00:00:000",
      "server", "2021:11:07:06:30:00:000", "2021:11:07:01:30:00:000",
      // A skipped local time moves forward; a repeated one is the earlier.
      "parse", "2021:03:14:02:30", "2021:03:14:07:30:00:000",
      "parse", "2021:11:07:01:30", "2021:11:07:05:30:00:000",
  }));
}

TEST(StampZones, EastOfUtcWithDaylightSaving) {
  test::TestEnv env;
  EXPECT_EQ(0, RunInZone("CET-1CEST,M3.5.0,M10.5.0/3", {
      "format", "-62167222800000", "0000:01:01:00:00:00:000",
      "iso", "2005-01-07T14:05:09.1234567+02:00", "1105099509000",
      "server", "2005:03:27:01:00:00:000", "2005:03:27:03:00:00:000",
      "server", "2005:12:31:23:30:00:000", "2006:01:01:00:30:00:000",
      // Daylight saving applies beyond 2038 too.
      "server", "2040:07:07:12:00:00:000", "2040:07:07:14:00:00:000",
      // The hour shown twice when daylight saving ends: 00:30 and 01:30 UTC
      // both read 02:30 locally, yet each stamp keeps its own instant.
      "server", "2023:10:29:00:30:00:000", "2023:10:29:02:30:00:000",
      "server", "2023:10:29:01:30:00:000", "2023:10:29:02:30:00:000",
      "utc", "2023:10:29:00:30:00:000", "1698539400000",
      "utc", "2023:10:29:01:30:00:250", "1698543000250",
  }));
}
// clang-format on

}  // namespace
}  // namespace tw
