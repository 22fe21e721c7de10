// The property file server's requests.
#include "servers/twpmsvr/requests.h"

#include <limits.h>
#include <strings.h>

#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/debug_output.h"
#include "platform/decimal.h"
#include "platform/mailslot.h"
#include "platform/process.h"
#include "servers/twpmsvr/os.h"
#include "settings/new_store_record.h"
#include "settings/property_escape.h"
#include "settings/property_protocol.h"

namespace tw::pmsvr {

namespace {

// Records of new store files older than this were never served; they go.
constexpr long kNewStoreRecordLifeS = 24 * 3600;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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
  for (unsigned char c : name) {
    if (c < 0x20) return false;
  }
  if (!IsCanonicalFileName(name)) return false;
  if (!runtime_dir.empty() &&
      (name.compare(0, runtime_dir.size() + 1, runtime_dir + kPathSeparator) == 0)) {
    return false;
  }
  return true;
}

RequestHandler::RequestHandler(std::string runtime_dir, ReplyFunction reply, ForgetFunction forget,
                               int64_t unowned_scratch_ms)
    : runtime_dir_(std::move(runtime_dir)),
      reply_(std::move(reply)),
      forget_(std::move(forget)),
      unowned_scratch_ms_(unowned_scratch_ms) {
  if (!runtime_dir_.empty()) SweepNewStoreRecords(runtime_dir_, kNewStoreRecordLifeS);
}

void RequestHandler::CommitAll() {
  for (auto& [store_name, open] : stores_) {
    if (!open.store->Commit()) Log("commit failed for " + store_name);
  }
}

void RequestHandler::FlushAll() {
  for (auto& [store_name, open] : stores_) open.store->Flush();
}

bool RequestHandler::FindProcess(int pid, Process* out) {
  unsigned long long start = 0;
  if (!ProcessStartTime(pid, &start)) return false;
  out->pid = pid;
  out->start = start;
  return true;
}

std::map<std::string, RequestHandler::OpenStore>::iterator RequestHandler::Close(
    std::map<std::string, OpenStore>::iterator it) {
  if (it->second.scratch != nullptr) {
    scratch_bytes_ -= it->first.size() + it->second.scratch->bytes();
    --scratch_stores_;
  }
  return stores_.erase(it);
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
  // A per-process store lives as long as its process; one without an
  // owner as long as it is used.
  const int64_t now = NowMs();
  for (auto it = stores_.begin(); it != stores_.end();) {
    const OpenStore& open = it->second;
    bool ended = false;
    if (open.scratch != nullptr && open.owner.pid > 0) {
      Process now_there;
      ended = !FindProcess(open.owner.pid, &now_there) || now_there.start != open.owner.start;
    } else if (open.scratch != nullptr) {
      ended = now - open.last_used_ms >= unowned_scratch_ms_;
    }
    if (!ended) {
      ++it;
      continue;
    }
    Log("dropped the per-process store " + it->first.substr(0, 64) +
        (open.owner.pid > 0 ? ": its process has ended" : ": unused and without a process"));
    it = Close(it);
  }
}

RequestHandler::OpenStore* RequestHandler::StoreFor(const std::string& name) {
  auto it = stores_.find(name);
  if (it != stores_.end()) {
    it->second.last_used_ms = NowMs();
    return &it->second;
  }
  if (!AcceptableStoreName(name, runtime_dir_)) {
    Log("refused store name of " + std::to_string(name.size()) + " bytes");
    return nullptr;
  }
  OpenStore open;
  open.last_used_ms = NowMs();
  if (IsScratchName(name)) {
    if (scratch_stores_ >= kMaxScratchStores || scratch_bytes_ + name.size() > kMaxScratchBytes) {
      Log("refused a per-process store: there are too many");
      return nullptr;
    }
    auto memory = std::make_unique<MemoryStore>();
    open.scratch = memory.get();
    open.store = std::move(memory);
    FindProcess(ScratchPid(name), &open.owner);
    scratch_bytes_ += name.size();
    ++scratch_stores_;
  } else {
    std::string error;
    open.store = FileStore::Open(name, runtime_dir_, &error);
    if (!open.store) {
      Log(error);
      return nullptr;
    }
  }
  return &stores_.emplace(name, std::move(open)).first->second;
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
        it = it->second.scratch != nullptr ? std::next(it) : Close(it);
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
  OpenStore* open = StoreFor(request.store);
  if (open == nullptr) {
    if (wants_reply) Reply(request.arg2, BuildPropertyReply(false, ""));
    return;
  }
  if (code == kRequestSetData) {
    std::string scratch;
    if (!ParseEscapedPropertyValue(request.arg2, &scratch)) {
      Log("refused a value with a malformed escape");
      return;
    }
    if (open->scratch == nullptr) {
      if (!open->store->Set(request.arg1, request.arg2)) Log("write failed for " + request.store);
      return;
    }
    // The total is kept along: one store's change, never a sum over all.
    const size_t before = open->scratch->bytes();
    if (scratch_bytes_ + request.arg1.size() + request.arg2.size() > kMaxScratchBytes) {
      Log("refused a value: the per-process stores are full");
      return;
    }
    open->scratch->Set(request.arg1, request.arg2);
    scratch_bytes_ = scratch_bytes_ - before + open->scratch->bytes();
    return;
  }
  if (code == kRequestDelete) {
    const size_t before = open->scratch != nullptr ? open->scratch->bytes() : 0;
    if (!open->store->Delete(request.arg1, request.arg2 == "1")) Log("delete failed");
    if (open->scratch != nullptr) scratch_bytes_ = scratch_bytes_ - before + open->scratch->bytes();
    return;
  }
  Store* store = open->store.get();
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
