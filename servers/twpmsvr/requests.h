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
// An "[SD]" store belongs to the process its name gives, when that is a
// live process of this user as the store is opened: it is dropped once
// that process has ended (a later process with the same pid started at
// another time is another process). A store whose name gives no such
// process has no owner to outlive; it is dropped after `unowned_scratch_ms`
// without a request. All "[SD]" stores together hold at most
// kMaxScratchBytes of names and values and number at most kMaxScratchStores.
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

  RequestHandler(std::string runtime_dir, ReplyFunction reply, ForgetFunction forget,
                 int64_t unowned_scratch_ms = kUnownedScratchMs);

  // The default life of an "[SD]" store without an owning process, after
  // its last request.
  static constexpr int64_t kUnownedScratchMs = 60000;
  static constexpr size_t kMaxScratchBytes = 64u << 20;
  static constexpr size_t kMaxScratchStores = 4096;

  // One request as it came from the mailslot. Malformed requests are
  // logged and dropped; requests that wait for a reply always get one.
  void Handle(const char* bytes, uint32_t count);

  // Ends every store's open write transaction (before every reply, so
  // that an acknowledged value is on disk, and when the queue runs dry).
  void CommitAll();
  // CommitAll and move each write-ahead log into its store file.
  void FlushAll();
  // Drops every client whose reply mailslot has no reader, every
  // per-process store whose process has ended and every unowned one left
  // unused too long.
  void DropDeadClients();
  // The bytes held by all "[SD]" stores, as counted along.
  size_t scratch_bytes() const { return scratch_bytes_; }
  bool HasClients() const { return !clients_.empty(); }
  // Closes every store (after FlushAll).
  void CloseStores() { stores_.clear(); }

 private:
  // A process as told apart from later ones with its pid.
  struct Process {
    int pid = 0;  // 0: none
    unsigned long long start = 0;
  };
  struct OpenStore {
    std::unique_ptr<Store> store;
    MemoryStore* scratch = nullptr;  // the store, when it is an "[SD]" one
    Process owner;                   // of an "[SD]" store
    int64_t last_used_ms = 0;
  };

  void Reply(const std::string& reply_name, const std::string& text);
  // The store of that name, opened on first use; null when refused.
  OpenStore* StoreFor(const std::string& name);
  // Forgets a store, and its bytes when it is an "[SD]" one.
  std::map<std::string, OpenStore>::iterator Close(std::map<std::string, OpenStore>::iterator it);
  // The live process of this user with that pid.
  static bool FindProcess(int pid, Process* out);

  const std::string runtime_dir_;
  const ReplyFunction reply_;
  const ForgetFunction forget_;
  const int64_t unowned_scratch_ms_;
  std::set<std::string> clients_;            // reply names of registered clients
  std::map<std::string, OpenStore> stores_;  // by store name
  size_t scratch_bytes_ = 0;
  size_t scratch_stores_ = 0;
};

// The store name check: "[SD]:<pid>" in any letter case, or the real
// absolute path of an existing regular file outside the runtime folder.
bool AcceptableStoreName(const std::string& name, const std::string& runtime_dir);

}  // namespace tw::pmsvr

#endif  // TW_SERVERS_TWPMSVR_REQUESTS_H_
