#include "messaging/recipient_registry.h"

#include <algorithm>

namespace tw {

int RecipientRegistry::Register(Recipient* recipient, int id) {
  if (recipient == nullptr) return -1;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (const auto& entry : entries_) {
    if (entry.first == id) return 0;
  }
  entries_.emplace_back(id, recipient);
  return 0;
}

int RecipientRegistry::Unregister(int id) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [id](const auto& entry) { return entry.first == id; });
  if (it == entries_.end()) return -1;
  entries_.erase(it);
  return 0;
}

bool RecipientRegistry::IsRegistered(int id) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return std::any_of(entries_.begin(), entries_.end(),
                     [id](const auto& entry) { return entry.first == id; });
}

int RecipientRegistry::Route(int target_id, CRLMSGmessage* message) {
  if (message == nullptr) return -1;
  int broadcast = 0;
  const bool is_broadcast = message->GetInt(BROADCAST, &broadcast) == kFieldOk && broadcast != 0;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (is_broadcast && broadcast_allowed_) {
    // By index: a recipient that registers or unregisters from inside
    // OnMessage (on this thread, through the recursive lock) must not leave
    // an invalid iterator behind.
    for (size_t i = 0; i < entries_.size(); ++i) {
      entries_[i].second->OnMessage(message);
    }
    return 0;
  }
  for (const auto& entry : entries_) {
    if (entry.first == target_id) return entry.second->OnMessage(message);
  }
  return -1;
}

}  // namespace tw
