// The network side of TWServer: where `TWServer serve` hands over to the
// server that accepts clients and answers their commands from the storage.
#ifndef TW_SERVERS_TWSERVER_SERVE_H_
#define TW_SERVERS_TWSERVER_SERVE_H_

#include <cstdint>
#include <string>

#include "servers/twserver/storage.h"

namespace tw::twserver {

struct ServeOptions {
  std::string data_dir;
  std::string listen_address = "0.0.0.0";
  uint16_t port = 4900;
};

// Serves clients from `storage` until the server is told to stop. Returns
// the process's exit code (0 after an orderly stop, 1 on failure) and, on
// failure, the reason in `error`. The storage stays owned by the caller and
// outlives the call.
int RunServer(const ServeOptions& options, Storage& storage, std::string* error);

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_SERVE_H_
