// Checks stamps in the time zone this process was started with (TZ), since
// the C library reads the zone once per process. Arguments are checks:
//   format <ms> <local text>   FormatStamp in local time gives the text, and
//                              ParseStamp of the text gives the instant back
//   parse <text> <utc text>    ParseStamp of the text, shown in UTC
//   server <utc> <local>       ServerStampToLocal
//   iso <text> <ms>            ParseIsoStamp
//   utc <utc text> <ms>        ServerStampToUtc gives the instant, and a file
//                              given that time (as a fetched file is) has
//                              it as its last-write time
//   roundtrip                  local and UTC forms of many instants agree
// Prints each failure to standard error; exits 0 when all checks pass.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/file.h"
#include "platform/file_attributes.h"
#include "settings/stamp.h"

namespace {

using tw::DateTimeStamp;
int failures = 0;

void Expect(bool ok, const std::string& what) {
  if (ok) return;
  ++failures;
  std::fprintf(stderr, "FAILED: %s\n", what.c_str());
}

// Every instant must survive local text -> ParseStamp, unless its local
// text is shown twice (the hour repeated when daylight saving ends); and a
// server (UTC) text converts to the same local text that FormatStamp gives.
void RoundTrip(int64_t ms) {
  const DateTimeStamp x = DateTimeStamp::FromMilliseconds(ms);
  const std::string local = tw::FormatStamp(x, false);
  DateTimeStamp back = DateTimeStamp::FromMilliseconds(0);
  Expect(tw::ParseStamp(local, back), "parse " + local);
  bool repeated = false;
  for (int64_t shift : {-3600000, -1800000, 1800000, 3600000}) {
    repeated |= tw::FormatStamp(DateTimeStamp::FromMilliseconds(ms + shift), false) == local;
  }
  Expect(repeated ? tw::FormatStamp(back, false) == local : back == x,
         "round trip of " + std::to_string(ms) + " via " + local);
  const std::string utc = tw::FormatStamp(x, true);
  Expect(tw::ServerStampToLocal(utc) == local, "server " + utc + " -> " + local);
}

// Instants spread over years 1 to 9998, then every 10 minutes of two years
// with daylight-saving changes.
void RoundTrips() {
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
    if (i + 2 >= argc) return 2;
    const std::string a = argv[++i], b = argv[++i];
    const std::string what = kind + " " + a + " " + b;
    DateTimeStamp stamp;
    if (kind == "format") {
      Expect(tw::FormatStamp(DateTimeStamp::FromMilliseconds(std::stoll(a)), false) == b, what);
      tw::ParseStamp(b, stamp);
      Expect(stamp.Milliseconds() == std::stoll(a), what + " (parsed back)");
    } else if (kind == "parse") {
      tw::ParseStamp(a, stamp);
      Expect(tw::FormatStamp(stamp, true) == b, what);
    } else if (kind == "server") {
      Expect(tw::ServerStampToLocal(a) == b, what + " gave " + tw::ServerStampToLocal(a));
    } else if (kind == "utc") {
      const auto utc = tw::ServerStampToUtc(a);
      Expect(utc && utc->Milliseconds() == std::stoll(b), what);
      const char* dir = std::getenv("TMPDIR");
      const std::string path = std::string(dir != nullptr ? dir : "/tmp") + "/stamped";
      auto file = tw::NewLocalFile();
      int64_t seconds = -1;
      Expect(utc && file->Open(path, tw::FileObject::kWrite, 0, tw::FileObject::kCreateAlways, 0) &&
                 file->SetModifiedTime(utc->time()),
             what + " (file)");
      file->Close();
      Expect(tw::LocalFileModifiedSeconds(path, &seconds) && seconds == std::stoll(b) / 1000,
             what + " (file time " + std::to_string(seconds) + ")");
      tw::RemoveLocalFile(path);
    } else if (kind == "iso") {
      const auto iso = tw::ParseIsoStamp(a);
      Expect(iso && iso->Milliseconds() == std::stoll(b), what);
    } else {
      return 2;
    }
  }
  return failures == 0 ? 0 : 1;
}
