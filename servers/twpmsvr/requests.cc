// The property file server's requests.
#include "servers/twpmsvr/requests.h"

#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/debug_output.h"
#include "platform/decimal.h"
#include "platform/mailslot.h"
#include "settings/property_escape.h"
#include "settings/property_protocol.h"

namespace tw::pmsvr {

namespace {

// Memory held by all "[SD]" stores together.
constexpr size_t kMaxScratchBytes = 64u << 20;

bool IsScratchName(const std::string& name) {
  return name.size() >= 4 && ::strncasecmp(name.c_str(), kScratchStorePrefix, 4) == 0;
}

// The pid of a "[SD]:<pid>" store, or 0.
pid_t ScratchPid(const std::string& name) {
  const size_t colon = name.rfind(':');
  if (colon == std::string::npos) return 0;
  int64_t pid = 0;
  if (!ParseDecimal(std::string_view(name).substr(colon + 1), 1, INT_MAX, &pid)) return 0;
  return static_cast<pid_t>(pid);
}

void Log(const std::string& text) {
  DebugLog("TWPMSvr: %s", text.c_str());
}

}  // namespace

bool AcceptableStoreName(const std::string& name, const std::string& runtime_dir) {
  if (name.empty() || name.size() >= PATH_MAX) return false;
  if (IsScratchName(name)) return true;
  if (name[0] != '/') return false;
  for (unsigned char c : name) {
    if (c < 0x20) return false;
  }
  char resolved[PATH_MAX];
  if (::realpath(name.c_str(), resolved) == nullptr || name != resolved) return false;
  struct stat st;
  if (::stat(resolved, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (!runtime_dir.empty() && (name.compare(0, runtime_dir.size() + 1, runtime_dir + "/") == 0)) {
    return false;
  }
  return true;
}

RequestHandler::RequestHandler(std::string runtime_dir, ReplyFunction reply, ForgetFunction forget)
    : runtime_dir_(std::move(runtime_dir)), reply_(std::move(reply)), forget_(std::move(forget)) {}

void RequestHandler::CommitAll() {
  for (auto& [store_name, store] : stores_) {
    if (!store->Commit()) Log("commit failed for " + store_name);
  }
}

void RequestHandler::FlushAll() {
  for (auto& [store_name, store] : stores_) store->Flush();
}

void RequestHandler::DropDeadClients() {
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (MailslotIsAlive(*it)) {
      ++it;
    } else {
      forget_(*it);
      it = clients_.erase(it);
    }
  }
  // A per-process store lives as long as its process.
  for (auto it = stores_.begin(); it != stores_.end();) {
    const pid_t pid = IsScratchName(it->first) ? ScratchPid(it->first) : 0;
    if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) {
      it = stores_.erase(it);
    } else {
      ++it;
    }
  }
}

Store* RequestHandler::StoreFor(const std::string& name) {
  auto it = stores_.find(name);
  if (it != stores_.end()) return it->second.get();
  if (!AcceptableStoreName(name, runtime_dir_)) {
    Log("refused store name of " + std::to_string(name.size()) + " bytes");
    return nullptr;
  }
  std::unique_ptr<Store> store;
  if (IsScratchName(name)) {
    store = std::make_unique<MemoryStore>();
  } else {
    std::string error;
    store = FileStore::Open(name, &error);
    if (!store) {
      Log(error);
      return nullptr;
    }
  }
  return stores_.emplace(name, std::move(store)).first->second.get();
}

void RequestHandler::Reply(const std::string& reply_name, const std::string& text) {
  if (reply_name.empty()) return;
  // Acknowledged means on disk.
  CommitAll();
  reply_(reply_name, text);
}

void RequestHandler::Handle(const char* bytes, uint32_t count) {
  PropertyRequest request;
  if (!ParsePropertyRequest(std::string_view(bytes, count), &request)) {
    Log("dropped a malformed request of " + std::to_string(count) + " bytes");
    return;
  }
  const std::string& code = request.code;
  if (code == kRequestRegister) {
    if (!request.arg2.empty()) clients_.insert(request.arg2);
    return;
  }
  if (code == kRequestUnregister) {
    clients_.erase(request.arg2);
    forget_(request.arg2);
    return;
  }
  if (code == kRequestPing) {
    // Clients pace their one-way writes with "PN": a store that cannot be
    // served fails it, so that a writer learns its writes are not kept.
    Reply(request.arg2, BuildPropertyReply(StoreFor(request.store) != nullptr, ""));
    return;
  }
  if (code == kRequestFlush || code == kRequestReset) {
    FlushAll();
    // RS: besides flushing, close every file store, releasing its lock, so
    // the next request reads it afresh from disk.
    if (code == kRequestReset) {
      for (auto it = stores_.begin(); it != stores_.end();) {
        it = IsScratchName(it->first) ? std::next(it) : stores_.erase(it);
      }
    }
    return;
  }
  const bool wants_reply = code == kRequestGetData || code == kRequestGetList;
  if (!wants_reply && code != kRequestSetData && code != kRequestDelete) {
    Log("dropped a request with an unknown code");
    return;
  }
  if (!IsValidEncodedPath(request.arg1)) {
    Log("refused a request with a malformed path");
    if (wants_reply) Reply(request.arg2, BuildPropertyReply(false, ""));
    return;
  }
  Store* store = StoreFor(request.store);
  if (store == nullptr) {
    if (wants_reply) Reply(request.arg2, BuildPropertyReply(false, ""));
    return;
  }
  if (code == kRequestSetData) {
    std::string scratch;
    if (!ParseEscapedPropertyValue(request.arg2, &scratch)) {
      Log("refused a value with a malformed escape");
      return;
    }
    if (dynamic_cast<MemoryStore*>(store) != nullptr) {
      size_t total = 0;
      for (auto& [n, s] : stores_) {
        if (auto* m = dynamic_cast<MemoryStore*>(s.get())) total += m->bytes();
      }
      if (total + request.arg1.size() + request.arg2.size() > kMaxScratchBytes) {
        Log("refused a value: the per-process stores are full");
        return;
      }
    }
    if (!store->Set(request.arg1, request.arg2)) Log("write failed for " + request.store);
    return;
  }
  if (code == kRequestDelete) {
    if (!store->Delete(request.arg1, request.arg2 == "1")) Log("delete failed");
    return;
  }
  if (code == kRequestGetData) {
    std::string value;
    const bool ok = store->Get(request.arg1, &value);
    Reply(request.arg2, BuildPropertyReply(ok, value));
    return;
  }
  std::vector<std::string> names;
  bool ok = store->List(request.arg1, &names);
  std::string list;
  for (const std::string& n : names) {
    if (!list.empty()) list.push_back(kChildSeparator);
    list.append(n);
  }
  std::string reply = BuildPropertyReply(ok, list);
  if (reply.size() > kMaxPropertyMessage) reply = BuildPropertyReply(false, "");
  Reply(request.arg2, reply);
}

}  // namespace tw::pmsvr
