// The property file server's request loop: reads requests from its
// mailslot, keeps the registered clients and the open stores, and answers.
//
// Threads: everything runs on the one thread that calls Run(); the only
// other input is the stop flag, set from a signal handler.
#ifndef TW_SERVERS_TWPMSVR_SERVER_H_
#define TW_SERVERS_TWPMSVR_SERVER_H_

#include <csignal>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/mailslot.h"
#include "servers/twpmsvr/store.h"
#include "settings/property_protocol.h"

namespace tw::pmsvr {

struct ServerOptions {
  // Exit after this long with no registered client (and no request).
  uint32_t idle_ms = 300000;
};

class Server {
 public:
  explicit Server(ServerOptions options) : options_(options) {}
  // The server of a runtime folder holds an exclusive flock on
  // <runtime>/.twpmsvr.lock, which holds its pid as decimal text.
  // Serves until `stop` is set or the idle time has passed; returns the exit
  // status: 0 after a clean stop, 1 when the server could not start, 2 when
  // another server already runs for this runtime folder.
  int Run(volatile std::sig_atomic_t* stop);

 private:
  void Handle(const char* bytes, uint32_t count);
  void Reply(const std::string& reply_name, const std::string& text);
  // The store of that name, opened on first use; null when refused.
  Store* StoreFor(const std::string& name);
  void CommitAll();
  void DropDeadClients();

  ServerOptions options_;
  std::unique_ptr<MailslotReader> reader_;
  std::set<std::string> clients_;  // reply names of registered clients
  std::map<std::string, std::unique_ptr<MailslotWriter>> writers_;  // by reply name
  std::map<std::string, std::unique_ptr<Store>> stores_;            // by store name
  std::string runtime_dir_;
};

// The store name check: "[SD]:<pid>" in any letter case, or the real
// absolute path of an existing regular file outside the runtime folder.
bool AcceptableStoreName(const std::string& name, const std::string& runtime_dir);

}  // namespace tw::pmsvr

#endif  // TW_SERVERS_TWPMSVR_SERVER_H_
