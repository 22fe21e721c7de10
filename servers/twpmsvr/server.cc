// The property file server's request loop.
#include "servers/twpmsvr/server.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "platform/decimal.h"
#include "platform/recipient_table.h"
#include "platform/runtime_dir.h"
#include "settings/property_escape.h"

namespace tw::pmsvr {

namespace {

constexpr uint32_t kTickMs = 200;
constexpr int64_t kClientCheckMs = 1000;
// More reply writers than this are closed together; they reopen on demand.
constexpr size_t kMaxWriters = 256;
// Memory held by all "[SD]" stores together.
constexpr size_t kMaxScratchBytes = 64u << 20;

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

void Log(const std::string& text) { DebugLog("TWPMSvr: %s", text.c_str()); }

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
  if (!runtime_dir.empty() &&
      (name.compare(0, runtime_dir.size() + 1, runtime_dir + "/") == 0)) {
    return false;
  }
  return true;
}

int Server::Run(volatile std::sig_atomic_t* stop) {
  std::string error;
  if (!RuntimeDirectory(&runtime_dir_, &error)) {
    Log("no runtime folder: " + error);
    return 1;
  }
  // One server per runtime folder: whoever holds this lock serves.
  const std::string lock_path = runtime_dir_ + "/.twpmsvr.lock";
  const int lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock_fd < 0) {
    Log("cannot open " + lock_path);
    return 1;
  }
  if (::flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(lock_fd);
    return 2;
  }
  // The holder's pid, for whoever must stop it.
  const std::string pid_text = std::to_string(::getpid()) + "\n";
  if (::ftruncate(lock_fd, 0) != 0 ||
      ::pwrite(lock_fd, pid_text.data(), pid_text.size(), 0) != ssize_t(pid_text.size())) {
    Log("cannot write " + lock_path);
  }
  reader_ = NewMailslotReader();
  const std::string name = UniqueMailslotName();
  if (!reader_->Create(name, kMaxPropertyMessage, kTickMs)) {
    Log("cannot create the mailslot: " + reader_->ErrorText());
    ::close(lock_fd);
    return 1;
  }
  RecipientRegistration registration;
  if (!registration.Register(kPropertyServerRecipient, name, &error)) {
    Log("cannot register: " + error);
    ::close(lock_fd);
    return 1;
  }

  auto buffer = std::make_unique<char[]>(kMaxPropertyMessage + 1);
  int64_t last_activity = NowMs();
  int64_t last_check = last_activity;
  while (*stop == 0) {
    uint32_t count = 0;
    if (reader_->Read(buffer.get(), kMaxPropertyMessage + 1, &count)) {
      Handle(buffer.get(), count);
      last_activity = NowMs();
      if (!reader_->HasMessage()) CommitAll();
      continue;
    }
    CommitAll();
    const int64_t now = NowMs();
    if (now - last_check >= kClientCheckMs) {
      DropDeadClients();
      last_check = now;
    }
    if (!clients_.empty()) {
      last_activity = now;
    } else if (now - last_activity >= options_.idle_ms) {
      break;
    }
  }
  // Withdraw first, then answer what is still queued, so that a client that
  // found the server just before it left is not cut off.
  registration.Unregister();
  reader_->SetReadTimeout(0);
  uint32_t count = 0;
  while (reader_->Read(buffer.get(), kMaxPropertyMessage + 1, &count)) Handle(buffer.get(), count);
  for (auto& [store_name, store] : stores_) store->Flush();
  stores_.clear();
  reader_->Close();
  ::close(lock_fd);
  return 0;
}

void Server::CommitAll() {
  for (auto& [store_name, store] : stores_) {
    if (!store->Commit()) Log("commit failed for " + store_name);
  }
}

void Server::DropDeadClients() {
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (MailslotIsAlive(*it)) {
      ++it;
    } else {
      writers_.erase(*it);
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

Store* Server::StoreFor(const std::string& name) {
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

void Server::Reply(const std::string& reply_name, const std::string& text) {
  if (reply_name.empty()) return;
  // Acknowledged means on disk.
  CommitAll();
  auto it = writers_.find(reply_name);
  if (it == writers_.end()) {
    if (writers_.size() >= kMaxWriters) writers_.clear();
    auto writer = NewMailslotWriter();
    if (!writer->Open(".", reply_name)) return;
    it = writers_.emplace(reply_name, std::move(writer)).first;
  }
  if (!it->second->Write(text.data(), static_cast<uint32_t>(text.size()), nullptr)) {
    writers_.erase(it);
  }
}

void Server::Handle(const char* bytes, uint32_t count) {
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
    writers_.erase(request.arg2);
    return;
  }
  if (code == kRequestPing) {
    // Clients pace their one-way writes with "PN": a store that cannot be
    // served fails it, so that a writer learns its writes are not kept.
    Reply(request.arg2, BuildPropertyReply(StoreFor(request.store) != nullptr, ""));
    return;
  }
  if (code == kRequestFlush || code == kRequestReset) {
    for (auto& [store_name, store] : stores_) store->Flush();
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
