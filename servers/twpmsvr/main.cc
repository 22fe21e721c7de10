// TWPMSvr: the property file server. Started detached by the first client
// that finds no server; exits after an idle time with no registered client
// (--idle-ms N or $VELTRANE_PROPERTY_SERVER_IDLE_MS, default 300000) and
// cleanly on SIGTERM or SIGINT. --unowned-scratch-ms N sets how long an
// "[SD]" store whose name gives no live process of the user outlives its
// last request (default 60000).
//
// "FL" commits every store and checkpoints its write-ahead log into the
// store file. "RS" does the same and then closes every file store, letting
// go of its lock; the next request opens it afresh from disk. "[SD]" stores
// are kept in memory until their process ends.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/decimal.h"
#include "servers/twpmsvr/os.h"
#include "servers/twpmsvr/server.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

bool ParseMs(const char* text, uint32_t* out) {
  int64_t value = 0;
  if (text == nullptr || !tw::ParseDecimal(text, 0, UINT32_MAX, &value)) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  tw::pmsvr::ServerOptions options;
  ParseMs(std::getenv("VELTRANE_PROPERTY_SERVER_IDLE_MS"), &options.idle_ms);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--idle-ms") == 0 && i + 1 < argc) {
      if (!ParseMs(argv[++i], &options.idle_ms)) return 64;
    } else if (std::strcmp(argv[i], "--unowned-scratch-ms") == 0 && i + 1 < argc) {
      uint32_t ms = 0;
      if (!ParseMs(argv[++i], &ms)) return 64;
      options.unowned_scratch_ms = ms;
    } else {
      return 64;
    }
  }
  tw::pmsvr::StopOnRequest(&g_stop);
  tw::pmsvr::Server server(options);
  return server.Run(&g_stop);
}
