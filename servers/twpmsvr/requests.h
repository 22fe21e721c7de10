// The property file server's requests, apart from its mailslots: the
// registered clients, the open stores, and what each request does to them.
// The mailslot loop (server.h) feeds it requests and delivers the replies
// it makes; the fuzz target drives it directly.
//
// A store is opened on first use of its name: "[SD]:<pid>" stores live in
// memory, every other name must be the real absolute path of an existing
// regular file outside the runtime folder that is (or becomes) a property
// store (store.h).
//
// Threads: one thread owns a RequestHandler and every store it holds.
#ifndef TW_SERVERS_TWPMSVR_REQUESTS_H_
#define TW_SERVERS_TWPMSVR_REQUESTS_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "servers/twpmsvr/store.h"

namespace tw::pmsvr {

class RequestHandler {
 public:
  // `reply` delivers a reply to the client's reply mailslot; `forget` tells
  // the owner that a client went away (its pending replies may go).
  using ReplyFunction = std::function<void(const std::string& reply_name, const std::string& text)>;
  using ForgetFunction = std::function<void(const std::string& reply_name)>;

  RequestHandler(std::string runtime_dir, ReplyFunction reply, ForgetFunction forget);

  // One request as it came from the mailslot. Malformed requests are
  // logged and dropped; requests that wait for a reply always get one.
  void Handle(const char* bytes, uint32_t count);

  // Ends every store's open write transaction (before every reply, so
  // that an acknowledged value is on disk, and when the queue runs dry).
  void CommitAll();
  // CommitAll and move each write-ahead log into its store file.
  void FlushAll();
  // Drops every client whose reply mailslot has no reader and every
  // per-process store whose process has ended.
  void DropDeadClients();
  bool HasClients() const { return !clients_.empty(); }
  // Closes every store (after FlushAll).
  void CloseStores() { stores_.clear(); }

 private:
  void Reply(const std::string& reply_name, const std::string& text);
  // The store of that name, opened on first use; null when refused.
  Store* StoreFor(const std::string& name);

  const std::string runtime_dir_;
  const ReplyFunction reply_;
  const ForgetFunction forget_;
  std::set<std::string> clients_;                         // reply names of registered clients
  std::map<std::string, std::unique_ptr<Store>> stores_;  // by store name
};

// The store name check: "[SD]:<pid>" in any letter case, or the real
// absolute path of an existing regular file outside the runtime folder.
bool AcceptableStoreName(const std::string& name, const std::string& runtime_dir);

}  // namespace tw::pmsvr

#endif  // TW_SERVERS_TWPMSVR_REQUESTS_H_
