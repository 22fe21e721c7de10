// Stamp texts: formatting, the piece rules of parsing, server stamps and the
// ISO form. Checks that depend on the local zone run in helper processes
// started with a fixed TZ, one process per zone.
#include "settings/stamp.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_env.h"

namespace tw {
namespace {

const int64_t kMarch7_2005_140509_120Utc = 1110204309120;

DateTimeStamp Parsed(const std::string& text, DateTimeStamp before) {
  ParseStamp(text, before);
  return before;
}

std::string Local(const DateTimeStamp& s) {
  return FormatStamp(s, false);
}

TEST(Stamp, FormatsUtcFields) {
  EXPECT_EQ("2005:03:07:14:05:09:120",
            FormatStamp(DateTimeStamp::FromMilliseconds(kMarch7_2005_140509_120Utc), true));
  EXPECT_EQ("1969:12:31:23:59:59:999", FormatStamp(DateTimeStamp::FromMilliseconds(-1), true));
  EXPECT_EQ("0000:01:01:00:00:00:000",
            FormatStamp(DateTimeStamp::FromMilliseconds(-62167219200000), true));
  EXPECT_EQ("", FormatStamp(DateTimeStamp(wxInvalidDateTime), true));
}

TEST(Stamp, NewStampHoldsNowToTheMillisecond) {
  timespec before, after;
  clock_gettime(CLOCK_REALTIME, &before);
  const DateTimeStamp now;
  clock_gettime(CLOCK_REALTIME, &after);
  EXPECT_GE(now.Milliseconds(), before.tv_sec * 1000LL + before.tv_nsec / 1000000);
  EXPECT_LE(now.Milliseconds(), after.tv_sec * 1000LL + after.tv_nsec / 1000000);
}

TEST(Stamp, ParseFollowsThePieceRules) {
  const DateTimeStamp day17 = Parsed("2005:01:17:10:11:12:13", DateTimeStamp());
  EXPECT_EQ("2005:01:17:10:11:12:013", Local(day17));

  DateTimeStamp s = day17;
  EXPECT_TRUE(ParseStamp("2005:03", s));
  EXPECT_EQ("2005:03:17:00:00:00:000", Local(s)) << "the day is kept from before";
  EXPECT_EQ("1999:01:17:00:00:00:000", Local(Parsed("1999", day17)));
  EXPECT_EQ("2004:02:29:00:00:00:000", Local(Parsed("2004:02", Parsed("2005:01:31", day17))))
      << "a kept day beyond the month's end";

  s = day17;
  EXPECT_FALSE(ParseStamp("", s));
  EXPECT_EQ("0000:01:01:00:00:00:000", Local(s));

  EXPECT_TRUE(ParseStamp(":", s));
  EXPECT_EQ("0000:01:17:00:00:00:000", Local(Parsed(":", day17)));

  // atoi: blanks, sign, leading digits, 0 when none; then each field clamped.
  EXPECT_EQ("2005:03:07:00:59:00:999", Local(Parsed(" 2005xyz:+3:07abc:-1:99:x:1234567", day17)));
  EXPECT_EQ("9999:01:01:00:00:00:000", Local(Parsed("99999999999999999999:0:0", day17)));
  EXPECT_EQ("2005:12:31:23:59:59:999", Local(Parsed("2005:13:40:25:61:61:5000", day17)));
}

TEST(Stamp, ParseGivesBackWhatFormatWrote) {
  for (int64_t ms :
       {kMarch7_2005_140509_120Utc, int64_t{1}, int64_t{-1}, int64_t{2225282709120},
        int64_t{-62167219200000 + 86400000LL * 400}, int64_t{253402300799999 - 86400000LL}}) {
    const DateTimeStamp x = DateTimeStamp::FromMilliseconds(ms);
    EXPECT_EQ(x, Parsed(Local(x), DateTimeStamp())) << ms;
  }
}

TEST(Stamp, ServerStampWithoutAValidDateGivesNothing) {
  for (const char* bad :
       {"", "2005", "2005:03", "2005:13:01", "2005:02:29", "2005:01:01:24", "2005:01:01:00:60",
        "2005:01:01:00:00:00:1000", "-1:01:01", "10000:01:01"}) {
    EXPECT_EQ("", ServerStampToLocal(bad)) << bad;
  }
  EXPECT_EQ(Local(DateTimeStamp::FromMilliseconds(1110153600000)),
            ServerStampToLocal("2005:03:07"));
}

TEST(Stamp, IsoFormAppliesWholeHourZonesOnly) {
  auto iso = [](const char* text) -> int64_t {
    std::optional<DateTimeStamp> s = ParseIsoStamp(text);
    return s ? s->Milliseconds() : -1;
  };
  const int64_t utc = kMarch7_2005_140509_120Utc - 120;
  EXPECT_EQ(utc, iso("2005-03-07T14:05:09.1234567+00:00")) << "the fraction is not kept";
  EXPECT_EQ(utc - 2 * 3600000, iso("2005-03-07T14:05:09.1234567+02:00"));
  EXPECT_EQ(utc + 5 * 3600000, iso("2005-03-07T14:05:09.1234567-05:00"));
  EXPECT_EQ(utc + 12 * 3600000, iso("2005-03-07T14:05:09.1234567-12:00"));
  EXPECT_EQ(utc - 13 * 3600000, iso("2005-03-07T14:05:09.1234567+13:00"));
  EXPECT_EQ(utc + 3 * 3600000, iso("2005-03-07T14:05:09.1234567Z03:00")) << "not '+' is west";
  for (const char* as_gmt :
       {"2005-03-07T14:05:09.1234567+05:30", "2005-03-07T14:05:09.1234567+14:00",
        "2005-03-07T14:05:09.1234567-13:00", "2005-03-07T14:05:09.1234567+99:99"}) {
    EXPECT_EQ(utc, iso(as_gmt)) << as_gmt;
  }
  EXPECT_EQ(-62167219200000, iso("0000-01-01T00:00:00.0000000+00:00"));
  for (const char* bad :
       {"2005-03-07T14:05:09.123456+02:00", "2005-03-07T14:05:09.12345678+02:00",
        "2005-03-07T14:05:09.1234567+02:00 ", "x2005-03-07T14:05:09.1234567+02:00",
        "2005-03-07 14:05:09.1234567+02:00", "2005-13-07T14:05:09.1234567+02:00",
        "2005-00-07T14:05:09.1234567+02:00", "2005-02-29T14:05:09.1234567+02:00",
        "2005-03-07T24:05:09.1234567+02:00", "2005-03-07T14:60:09.1234567+02:00",
        "2005-03-07T14:05:60.1234567+02:00", ""}) {
    EXPECT_FALSE(ParseIsoStamp(bad).has_value()) << bad;
  }
}

// Runs the zone helper with TZ set to `zone`; its exit code.
int RunInZone(const char* zone, const std::vector<std::string>& checks) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", zone, 1);
  const pid_t pid = test::Spawn("settings_stamp_tz_helper", checks);
  if (old) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  return pid < 0 ? -1 : test::WaitExit(pid);
}

// Each check is a kind and two values (see the helper).
// clang-format off
const std::vector<std::string> kIsoChecks = {
    "iso", "2005-07-07T14:05:09.1234567+02:00", "1120737909000",
    "iso", "2005-07-07T14:05:09.1234567-05:00", "1120763109000",
    "iso", "2005-01-07T14:05:09.1234567+02:00", "1105099509000"};
// clang-format on

std::vector<std::string> With(std::vector<std::string> checks) {
  checks.insert(checks.end(), kIsoChecks.begin(), kIsoChecks.end());
  checks.push_back("roundtrip");
  return checks;
}

// clang-format off
TEST(StampZones, Utc) {
  test::TestEnv env;
  EXPECT_EQ(0, RunInZone("UTC0", With({
      "format", "1110204309120", "2005:03:07:14:05:09:120",
      "server", "2005:03:07:14:05:09:120", "2005:03:07:14:05:09:120",
  })));
}

TEST(StampZones, WestOfUtcWithDaylightSaving) {
  test::TestEnv env;
  EXPECT_EQ(0, RunInZone("EST5EDT,M3.2.0,M11.1.0", With({
      "format", "1110222309120", "2005:03:07:14:05:09:120",
      "format", "-62167201200000", "0000:01:01:00:00:00:000",
      // The date rolls back a day, and a year.
      "server", "2005:03:07:03:00:00:000", "2005:03:06:22:00:00:000",
      "server", "2005:01:01:04:59:59:999", "2004:12:31:23:59:59:999",
      "server", "2005:03:07", "2005:03:06:19:00:00:000",
      // Daylight saving starts at 07:00 UTC and ends at 06:00 UTC.
      "server", "2021:03:14:06:59:59:999", "2021:03:14:01:59:59:999",
      "server", "2021:03:14:07:00:00:000", "2021:03:14:03:00:00:000",
      "server", "2021:11:07:05:30:00:000", "2021:11:07:01:30:00:000",
      "server", "2021:11:07:06:30:00:000", "2021:11:07:01:30:00:000",
      // A skipped local time moves forward; a repeated one is the earlier.
      "parse", "2021:03:14:02:30", "2021:03:14:07:30:00:000",
      "parse", "2021:11:07:01:30", "2021:11:07:05:30:00:000",
  })));
}

TEST(StampZones, EastOfUtcWithDaylightSaving) {
  test::TestEnv env;
  EXPECT_EQ(0, RunInZone("CET-1CEST,M3.5.0,M10.5.0/3", With({
      "format", "1110200709120", "2005:03:07:14:05:09:120",
      "format", "-62167222800000", "0000:01:01:00:00:00:000",
      "server", "2005:03:27:00:59:59:999", "2005:03:27:01:59:59:999",
      "server", "2005:03:27:01:00:00:000", "2005:03:27:03:00:00:000",
      "server", "2005:12:31:23:30:00:000", "2006:01:01:00:30:00:000",
      // Daylight saving applies beyond 2038 too.
      "server", "2040:07:07:12:00:00:000", "2040:07:07:14:00:00:000",
  })));
}
// clang-format on

}  // namespace
}  // namespace tw
