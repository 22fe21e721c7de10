// The network side of TWServer: the listener, one thread per client
// connection, and the orderly stop on SIGTERM or SIGINT.
//
// Each connection is a MessageChannel: requests are read whole (with the
// files they carry, in temporary files inside the repository's content
// store, so that storing them never crosses a file system), answered by a
// CommandHandler (commands.h) and the reply sent with the files it names.
// After a successful logon the connection switches both directions to the
// selector and compression that its PRELOGON announced.
//
// Log: one line per connection opened and closed (peer, user) and one per
// command (user, command, sub-command, result, milliseconds).
#ifndef TW_SERVERS_TWSERVER_SERVE_H_
#define TW_SERVERS_TWSERVER_SERVE_H_

#include <cstdint>
#include <ostream>
#include <string>

#include "servers/twserver/storage.h"

namespace tw::twserver {

struct ServeOptions {
  std::string data_dir;
  std::string listen_address = "127.0.0.1";
  uint16_t port = 4900;  // 0: a free port the system picks
  std::string log_file;  // empty: the log goes to `err`
};

// Serves clients from `storage` until SIGTERM or SIGINT arrives. Once the
// listener is up, prints "listening on ADDR:PORT" as the first line of
// `out`. On a stop signal it closes the listener, interrupts the
// connections, waits for their threads and returns 0; 1 when the server
// cannot start, with the reason in `error`. The storage stays owned by the
// caller and outlives the call. Blocks SIGTERM, SIGINT and SIGPIPE in the
// calling thread (and so in every thread it starts); call it before any
// other thread of the process exists.
int RunServer(const ServeOptions& options, Storage& storage, std::ostream& out,
              std::ostream& err, std::string* error);

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_SERVE_H_
