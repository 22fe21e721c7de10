// The property file server's loop.
#include "servers/twpmsvr/server.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "platform/debug_output.h"
#include "platform/recipient_table.h"
#include "platform/runtime_dir.h"
#include "settings/property_protocol.h"

namespace tw::pmsvr {

namespace {

constexpr uint32_t kTickMs = 200;
// The loop's wait while replies are kept: they are retried this often.
constexpr uint32_t kKeptRetryMs = 10;
constexpr int64_t kClientCheckMs = 1000;
// More reply writers than this are closed (those without kept replies);
// they reopen on demand.
constexpr size_t kMaxWriters = 256;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void Log(const std::string& text) {
  DebugLog("TWPMSvr: %s", text.c_str());
}

}  // namespace

int Server::Run(volatile std::sig_atomic_t* stop) {
  std::string runtime_dir, error;
  if (!RuntimeDirectory(&runtime_dir, &error)) {
    Log("no runtime folder: " + error);
    return 1;
  }
  // One server per runtime folder: whoever holds this lock serves.
  const std::string lock_path = runtime_dir + "/.twpmsvr.lock";
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

  RequestHandler handler(
      runtime_dir,
      [this](const std::string& reply_name, const std::string& text) { Reply(reply_name, text); },
      [this](const std::string& reply_name) { Forget(reply_name); });
  auto buffer = std::make_unique<char[]>(kMaxPropertyMessage + 1);
  int64_t last_activity = NowMs();
  int64_t last_check = last_activity;
  while (*stop == 0) {
    reader_->SetReadTimeout(AnyKept() ? kKeptRetryMs : kTickMs);
    uint32_t count = 0;
    if (reader_->Read(buffer.get(), kMaxPropertyMessage + 1, &count)) {
      handler.Handle(buffer.get(), count);
      last_activity = NowMs();
      if (AnyKept()) WriteKept(last_activity);
      if (!reader_->HasMessage()) handler.CommitAll();
      continue;
    }
    handler.CommitAll();
    const int64_t now = NowMs();
    WriteKept(now);
    if (now - last_check >= kClientCheckMs) {
      handler.DropDeadClients();
      last_check = now;
    }
    if (handler.HasClients()) {
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
  while (reader_->Read(buffer.get(), kMaxPropertyMessage + 1, &count)) {
    handler.Handle(buffer.get(), count);
  }
  WriteKept(NowMs());
  handler.FlushAll();
  handler.CloseStores();
  reader_->Close();
  ::close(lock_fd);
  return 0;
}

bool Server::AnyKept() const {
  for (const auto& [reply_name, client] : clients_) {
    if (!client.kept.empty()) return true;
  }
  return false;
}

void Server::Reply(const std::string& reply_name, const std::string& text) {
  auto it = clients_.find(reply_name);
  if (it == clients_.end()) {
    if (clients_.size() >= kMaxWriters) {
      for (auto old = clients_.begin(); old != clients_.end();) {
        old = old->second.kept.empty() ? clients_.erase(old) : std::next(old);
      }
    }
    auto writer = NewMailslotWriter();
    if (!writer->Open(".", reply_name)) return;
    // Never wait for one client: a full queue keeps the reply instead.
    writer->SetWriteTimeout(0);
    it = clients_.emplace(reply_name, Client{std::move(writer), {}}).first;
  }
  Client& client = it->second;
  if (client.kept.empty()) {
    if (client.writer->Write(text.data(), static_cast<uint32_t>(text.size()), nullptr)) return;
    if (!client.writer->QueueWasFull()) {
      clients_.erase(it);  // the reader is gone
      return;
    }
  }
  if (client.kept.size() >= kMaxKeptReplies) {
    Log("dropped a reply to " + reply_name + ": " + std::to_string(kMaxKeptReplies) +
        " replies wait for room already");
    return;
  }
  client.kept.push_back(Kept{text, NowMs()});
}

void Server::WriteKept(int64_t now_ms) {
  for (auto it = clients_.begin(); it != clients_.end();) {
    Client& client = it->second;
    bool gone = false;
    while (!client.kept.empty()) {
      const Kept& next = client.kept.front();
      if (now_ms - next.since_ms > kReplyKeepMs) {
        Log("dropped a reply to " + it->first + " after " + std::to_string(kReplyKeepMs) +
            " ms without room for it");
        client.kept.pop_front();
        continue;
      }
      if (client.writer->Write(next.text.data(), static_cast<uint32_t>(next.text.size()),
                               nullptr)) {
        client.kept.pop_front();
        continue;
      }
      gone = !client.writer->QueueWasFull();
      break;
    }
    it = gone ? clients_.erase(it) : std::next(it);
  }
}

}  // namespace tw::pmsvr
