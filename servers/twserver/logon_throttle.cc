#include "servers/twserver/logon_throttle.h"

#include <algorithm>

namespace tw::twserver {

std::chrono::milliseconds LogonThrottle::DelayAfter(int failures) const {
  if (failures <= 0 || options_.base.count() <= 0) return std::chrono::milliseconds(0);
  std::chrono::milliseconds delay = options_.base;
  for (int i = 1; i < failures && delay < options_.cap; ++i) delay *= 2;
  return std::min(delay, options_.cap);
}

std::string LogonThrottle::PairKey(const std::string& name, const std::string& address) {
  // A user name holds no control character: the zero byte parts the two.
  std::string key = name;
  key += '\0';
  key += address;
  return key;
}

void LogonThrottle::DropPair(std::unordered_map<std::string, Record>::iterator it,
                             const std::string& name) {
  pairs_.erase(it);
  auto owner = names_.find(name);
  if (owner != names_.end() && --owner->second.addresses <= 0) names_.erase(owner);
}

void LogonThrottle::DropForgotten(Clock::time_point now) {
  for (auto it = pairs_.begin(); it != pairs_.end();) {
    auto next = std::next(it);
    if (now - it->second.last_failure >= options_.forget) {
      DropPair(it, it->first.substr(0, it->first.find('\0')));
    }
    it = next;
  }
}

LogonThrottle::Record* LogonThrottle::FindPair(const std::string& key, const std::string& name,
                                               Clock::time_point now, bool create) {
  auto it = pairs_.find(key);
  if (it != pairs_.end()) {
    if (now - it->second.last_failure < options_.forget) return &it->second;
    DropPair(it, name);
  }
  if (!create) return nullptr;
  if (pairs_.size() + names_.size() >= options_.max_records) {
    DropForgotten(now);
    if (pairs_.size() + names_.size() >= options_.max_records) return &overflow_;
  }
  ++names_[name].addresses;
  return &pairs_[key];
}

bool LogonThrottle::Distributed(const std::string& name) const {
  const auto it = names_.find(name);
  return it != names_.end() && it->second.addresses >= options_.distributed_addresses;
}

bool LogonThrottle::Trusted(const std::string& key, Clock::time_point now) const {
  const auto it = trusted_.find(key);
  return it != trusted_.end() && now - it->second < options_.trust;
}

void LogonThrottle::Trust(const std::string& key, Clock::time_point now) {
  if (trusted_.size() >= options_.max_records && trusted_.find(key) == trusted_.end()) {
    for (auto it = trusted_.begin(); it != trusted_.end();) {
      it = now - it->second >= options_.trust ? trusted_.erase(it) : std::next(it);
    }
    // Full of pairs trusted lately: this one goes without, as before.
    if (trusted_.size() >= options_.max_records) return;
  }
  trusted_[key] = now;
}

std::chrono::milliseconds LogonThrottle::WaitFor(const std::string& name,
                                                 const std::string& address,
                                                 Clock::time_point now) {
  if (options_.base.count() <= 0) return std::chrono::milliseconds(0);
  const std::string key = PairKey(name, address);
  std::lock_guard<std::mutex> lock(mutex_);
  Record* record = FindPair(key, name, now, false);
  // With the records full, pairs without one of their own share one: the
  // throttle stays on, at the price of holding everybody to it.
  if (record == nullptr && pairs_.size() + names_.size() >= options_.max_records) {
    record = &overflow_;
  }
  if (record == nullptr || record->failures == 0 || now - record->last_failure >= options_.forget) {
    return std::chrono::milliseconds(0);
  }
  // One check per delay: each waiter takes the next turn, so that guesses
  // sent on many connections at once are still checked one delay apart.
  // A pair that logged on before keeps out of the name-wide queue.
  Clock::time_point turn = std::max(now, record->next_allowed);
  if (Distributed(name) && !Trusted(key, now)) {
    NameRecord& whole = names_[name];
    turn = std::max(turn, whole.next_allowed);
    whole.next_allowed = turn + DelayAfter(whole.addresses);
  }
  record->next_allowed = turn + DelayAfter(record->failures);
  if (turn == now) return std::chrono::milliseconds(0);
  return std::chrono::duration_cast<std::chrono::milliseconds>(turn - now) +
         std::chrono::milliseconds(1);
}

LogonThrottle::Refusal LogonThrottle::Refused(const std::string& name, const std::string& address,
                                              int connection_failures, Clock::time_point now) {
  Refusal refusal;
  refusal.delay = DelayAfter(connection_failures);
  if (options_.base.count() <= 0) return refusal;
  std::lock_guard<std::mutex> lock(mutex_);
  Record* record = FindPair(PairKey(name, address), name, now, true);
  if (now - record->last_failure >= options_.forget) record->failures = 0;
  ++record->failures;
  record->last_failure = now;
  const std::chrono::milliseconds pair_delay = DelayAfter(record->failures);
  record->next_allowed = std::max(record->next_allowed, now + pair_delay);
  refusal.delay = std::max(refusal.delay, pair_delay);
  refusal.pair_failures = record->failures;
  const auto whole = names_.find(name);
  refusal.name_addresses = whole != names_.end() ? whole->second.addresses : 0;
  return refusal;
}

void LogonThrottle::Succeeded(const std::string& name, const std::string& address,
                              Clock::time_point now) {
  const std::string key = PairKey(name, address);
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = pairs_.find(key);
  if (it != pairs_.end()) DropPair(it, name);
  if (options_.base.count() > 0) Trust(key, now);
}

}  // namespace tw::twserver
