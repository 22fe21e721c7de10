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
// Limits, so that no client, logged on or not, can starve the others:
//  - at most max_connections connections; the next one is closed at once
//    unless a connection that has not logged on can make room for it;
//  - at most max_unauthenticated connections that have not logged on yet
//    (half the connections by default), and max_unauthenticated_per_address
//    of them from one client address. A new connection beyond these closes
//    the oldest idle connection not yet logged on of its own address (past
//    the address's limit), else of the address with the most of them; at
//    max_connections such a connection goes even while it is answering a
//    request. A flood of connections that never log on churns through its
//    own places and never shuts out a logged-on client or another
//    address's logon;
//  - a connection must log on within logon_timeout; a logged-on one that
//    sends nothing for idle_timeout is closed, and so is one that stops
//    taking a reply for kSendStallSeconds;
//  - before logon a message may hold at most prelogon_message_bytes and no
//    file at all (the connection is dropped at the first file chunk);
//  - a logged-on request may announce at most upload_limit bytes of files
//    (by default what the repository's disk has free, less disk_reserve and
//    less what other uploads under way have announced);
//  - the bytes held for incomplete messages of all connections together
//    stay within message_memory: the connection whose message would go
//    beyond it is dropped;
//  - lists of more than max_items items are refused (commands.h), and so
//    are reads that would reply more than the message object limit or that
//    run past read_budget; one user's reads take at most half the
//    database's readers, and logons have one of their own (read_gate.h).
// A maintenance thread rotates the logon keys (logon_keys.h) and collects
// unreferenced contents every gc_interval (content_gc.h).
//
// Uploads arrive in an upload folder of this process (content_store.h),
// removed when the server stops; at its start the server removes those
// other servers left when they died.
//
// Log: one line per connection opened and closed (peer, user, why) and one
// per command (user, command, sub-command, result, milliseconds, the
// Production and Document paths it touched, and what went wrong: a storage
// failure, a refused logon); as text or as one JSON object per line.
#ifndef TW_SERVERS_TWSERVER_SERVE_H_
#define TW_SERVERS_TWSERVER_SERVE_H_

#include <cstdint>
#include <ostream>
#include <string>

#include "servers/twserver/commands.h"
#include "servers/twserver/storage.h"

namespace tw::twserver {

struct ServeOptions {
  std::string data_dir;
  std::string listen_address = "127.0.0.1";
  uint16_t port = 4900;   // 0: a free port the system picks
  std::string log_file;   // empty: the log goes to `err`
  bool log_json = false;  // one JSON object per line instead of text

  size_t max_connections = 0;      // 0: from the descriptor limit (at most 1024)
  size_t max_unauthenticated = 0;  // 0: half of max_connections
  size_t max_unauthenticated_per_address = 128;
  int logon_timeout_seconds = 30;
  int idle_timeout_seconds = 3600;
  size_t prelogon_message_bytes = size_t{64} << 10;
  size_t message_memory_bytes = size_t{256} << 20;
  uint64_t upload_limit_bytes = 0;  // 0: the free disk less the reserve
  uint64_t disk_reserve_bytes = uint64_t{1} << 30;
  size_t max_items = HandlerLimits().max_items;
  int gc_interval_seconds = 6 * 60 * 60;  // 0: no collection while serving
  int logon_delay_ms = 250;               // 0: refused logons are not slowed
  int logon_delay_max_ms = 8000;
  int key_rotation_seconds = 300;
  int read_budget_ms = 20000;

  // The web view (web_server.h): off while http_address is empty.
  std::string http_address;
  uint16_t http_port = 0;
  std::string http_cert_file;
  std::string http_key_file;
  size_t http_max_connections = 64;
};

// A stalled reply (the client takes no bytes) ends its connection after this.
constexpr int kSendStallSeconds = 120;

// The current time as the log writes it in front of each line:
// "2024-05-01 12:00:00.000Z" (UTC).
std::string LogStamp();

// Serves clients from `storage` until SIGTERM or SIGINT arrives. Once the
// listener is up, prints "listening on ADDR:PORT" as the first line of
// `out`; with the web view on, the second line is "web view on URL". On a
// stop signal it closes the listener, interrupts the
// connections, waits for their threads and returns 0; 1 when the server
// cannot start, with the reason in `error`. The storage stays owned by the
// caller and outlives the call. Blocks SIGTERM, SIGINT and SIGPIPE in the
// calling thread (and so in every thread it starts); call it before any
// other thread of the process exists.
int RunServer(const ServeOptions& options, Storage& storage, std::ostream& out, std::ostream& err,
              std::string* error);

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_SERVE_H_
