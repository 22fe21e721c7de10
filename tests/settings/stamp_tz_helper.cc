// Checks stamps in the time zone this process was started with (TZ), since
// the C library reads the zone once per process. Arguments are a list of
// checks:
//   format <ms> <local text>   FormatStamp in local time gives the text, and
//                              ParseStamp of the text gives the instant back
//   parse <text> <utc text>    ParseStamp of the text, shown in UTC
//   server <utc> <local>       ServerStampToLocal
//   iso <text> <ms>            ParseIsoStamp
//   roundtrip                  local and UTC forms of many instants agree
// Prints each failure to standard error; exits 0 when all checks pass.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "settings/stamp.h"

namespace {

int failures = 0;

void Expect(bool ok, const std::string& what) {
  if (ok) return;
  ++failures;
  std::fprintf(stderr, "FAILED: %s\n", what.c_str());
}

int64_t ToMs(const char* text) {
  return std::strtoll(text, nullptr, 10);
}

// Every instant must survive local text -> ParseStamp, unless its local
// text is shown twice (the hour repeated when daylight saving ends); and a
// server (UTC) text converts to the same local text that FormatStamp gives.
void RoundTrip(int64_t ms) {
  using tw::DateTimeStamp;
  const DateTimeStamp x = DateTimeStamp::FromMilliseconds(ms);
  const std::string local = tw::FormatStamp(x, false);
  DateTimeStamp back = DateTimeStamp::FromMilliseconds(0);
  Expect(tw::ParseStamp(local, back), "parse " + local);
  bool repeated = false;
  for (int64_t shift : {-3600000, -1800000, 1800000, 3600000}) {
    repeated |= tw::FormatStamp(DateTimeStamp::FromMilliseconds(ms + shift), false) == local;
  }
  if (repeated) {
    Expect(tw::FormatStamp(back, false) == local, "repeated hour " + local);
  } else {
    Expect(back == x, "round trip of " + std::to_string(ms) + " via " + local + " gave " +
                          std::to_string(back.Milliseconds()));
  }
  const std::string utc = tw::FormatStamp(x, true);
  Expect(tw::ServerStampToLocal(utc) == local, "server " + utc + " -> " + local);
}

void RoundTrips() {
  // Instants spread over years 1 to 9998, then every 10 minutes of two
  // years with daylight-saving changes.
  const int64_t first = -62135596800000;         // 0001-01-01 UTC
  const int64_t span = 253370764800000 - first;  // to 9999-01-01 UTC
  uint64_t seed = 0x2545f4914f6cdd1d;
  for (int i = 0; i < 20000; ++i) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    RoundTrip(first + static_cast<int64_t>((seed >> 11) % static_cast<uint64_t>(span)));
  }
  for (int64_t start : {int64_t{1104537600000}, int64_t{1609459200000}}) {  // 2005, 2021
    for (int64_t ms = start; ms < start + 366 * 86400000LL; ms += 600000 + 7) RoundTrip(ms);
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string kind = argv[i];
    if (kind == "roundtrip") {
      RoundTrips();
      continue;
    }
    if (i + 2 >= argc) {
      std::fprintf(stderr, "check %s needs two arguments\n", kind.c_str());
      return 2;
    }
    const char* a = argv[++i];
    const char* b = argv[++i];
    if (kind == "format") {
      const auto stamp = tw::DateTimeStamp::FromMilliseconds(ToMs(a));
      const std::string text = tw::FormatStamp(stamp, false);
      Expect(text == b, std::string("format ") + a + " gave " + text);
      tw::DateTimeStamp back;
      tw::ParseStamp(b, back);
      Expect(back == stamp,
             std::string("parse ") + b + " gave " + std::to_string(back.Milliseconds()));
    } else if (kind == "parse") {
      tw::DateTimeStamp stamp;
      tw::ParseStamp(a, stamp);
      const std::string utc = tw::FormatStamp(stamp, true);
      Expect(utc == b, std::string("parse ") + a + " gave UTC " + utc);
    } else if (kind == "server") {
      const std::string local = tw::ServerStampToLocal(a);
      Expect(local == b, std::string("server ") + a + " gave " + local);
    } else if (kind == "iso") {
      const auto stamp = tw::ParseIsoStamp(a);
      Expect(stamp && stamp->Milliseconds() == ToMs(b), std::string("iso ") + a);
    } else {
      std::fprintf(stderr, "unknown check %s\n", kind.c_str());
      return 2;
    }
  }
  return failures == 0 ? 0 : 1;
}
