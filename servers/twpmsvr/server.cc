// The property file server's loop.
#include "servers/twpmsvr/server.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/debug_output.h"
#include "platform/recipient_table.h"
#include "platform/runtime_dir.h"
#include "servers/twpmsvr/os.h"
#include "settings/property_protocol.h"

namespace tw::pmsvr {

namespace {

constexpr uint32_t kTickMs = 200;
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
  const std::string lock_path = runtime_dir + kPathSeparator + ".twpmsvr.lock";
  const int lock_fd = HoldServerLock(lock_path, &error);
  if (lock_fd == -2) return 2;
  if (!error.empty()) Log(error);
  if (lock_fd < 0) return 1;
  reader_ = NewMailslotReader();
  const std::string name = UniqueMailslotName();
  if (!reader_->Create(name, kMaxPropertyMessage, kTickMs)) {
    Log("cannot create the mailslot: " + reader_->ErrorText());
    CloseDescriptor(lock_fd);
    return 1;
  }
  RecipientRegistration registration;
  if (!registration.Register(kPropertyServerRecipient, name, &error)) {
    Log("cannot register: " + error);
    CloseDescriptor(lock_fd);
    return 1;
  }

  RequestHandler handler(
      runtime_dir,
      [this](const std::string& reply_name, const std::string& text) { Reply(reply_name, text); },
      [this](const std::string& reply_name) { Forget(reply_name); }, options_.unowned_scratch_ms);
  auto buffer = std::make_unique<char[]>(kMaxPropertyMessage + 1);
  int64_t last_activity = NowMs();
  int64_t last_check = last_activity;
  while (*stop == 0) {
    reader_->SetReadTimeout(UntilRetry(NowMs(), kTickMs));
    uint32_t count = 0;
    if (reader_->Read(buffer.get(), kMaxPropertyMessage + 1, &count)) {
      handler.Handle(buffer.get(), count);
      last_activity = NowMs();
      WriteKept(last_activity);
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
  WriteKept(NowMs(), true);
  handler.FlushAll();
  handler.CloseStores();
  reader_->Close();
  CloseDescriptor(lock_fd);
  return 0;
}

uint32_t Server::UntilRetry(int64_t now_ms, uint32_t cap) const {
  if (keeping_ == 0) return cap;
  const int64_t wait = next_retry_ms_ - now_ms;
  // Never 0: the loop would spin without waiting for a request.
  return static_cast<uint32_t>(std::clamp<int64_t>(wait, 1, cap));
}

void Server::Forget(const std::string& reply_name) {
  auto it = clients_.find(reply_name);
  if (it == clients_.end()) return;
  if (!it->second.kept.empty()) {
    --keeping_;
    for (const Kept& kept : it->second.kept) kept_bytes_ -= kept.text.size();
  }
  clients_.erase(it);
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
    Client fresh;
    fresh.writer = std::move(writer);
    it = clients_.emplace(reply_name, std::move(fresh)).first;
  }
  Client& client = it->second;
  if (client.kept.empty()) {
    if (client.writer->Write(text.data(), static_cast<uint32_t>(text.size()), nullptr)) return;
    if (!client.writer->QueueWasFull()) {
      clients_.erase(it);  // the reader is gone
      return;
    }
  }
  if (client.kept.size() >= kMaxKeptReplies || kept_bytes_ + text.size() > kMaxKeptBytes) {
    Log("dropped a reply to " + reply_name + ": " + std::to_string(client.kept.size()) +
        " replies wait for room already, " + std::to_string(kept_bytes_) + " bytes for all");
    return;
  }
  const int64_t now = NowMs();
  if (client.kept.empty()) {
    client.backoff_ms = kFirstRetryMs;
    client.retry_at_ms = now + kFirstRetryMs;
    next_retry_ms_ =
        keeping_ == 0 ? client.retry_at_ms : std::min(next_retry_ms_, client.retry_at_ms);
    ++keeping_;
  }
  client.kept.push_back(Kept{text, now});
  kept_bytes_ += text.size();
}

void Server::WriteKept(int64_t now_ms, bool all) {
  if (keeping_ == 0 || (!all && now_ms < next_retry_ms_)) return;
  int64_t next = INT64_MAX;
  for (auto it = clients_.begin(); it != clients_.end();) {
    Client& client = it->second;
    if (client.kept.empty()) {
      ++it;
      continue;
    }
    if (!all && now_ms < client.retry_at_ms) {
      next = std::min(next, client.retry_at_ms);
      ++it;
      continue;
    }
    bool gone = false;
    bool wrote = false;
    while (!client.kept.empty()) {
      const Kept& front = client.kept.front();
      if (now_ms - front.since_ms > kReplyKeepMs) {
        Log("dropped a reply to " + it->first + " after " + std::to_string(kReplyKeepMs) +
            " ms without room for it");
      } else if (client.writer->Write(front.text.data(), static_cast<uint32_t>(front.text.size()),
                                      nullptr)) {
        wrote = true;
      } else {
        gone = !client.writer->QueueWasFull();
        break;
      }
      kept_bytes_ -= front.text.size();
      client.kept.pop_front();
    }
    if (client.kept.empty() || gone) {
      --keeping_;
      for (const Kept& kept : client.kept) kept_bytes_ -= kept.text.size();
      it = gone ? clients_.erase(it) : std::next(it);
      continue;
    }
    // Still full: try again later, sooner if it took some just now.
    client.backoff_ms = wrote ? kFirstRetryMs : std::min(client.backoff_ms * 2, kMaxRetryMs);
    client.retry_at_ms = now_ms + client.backoff_ms;
    next = std::min(next, client.retry_at_ms);
    ++it;
  }
  next_retry_ms_ = next;
}

}  // namespace tw::pmsvr
