#include "servers/twserver/logon_throttle.h"

#include <algorithm>

namespace tw::twserver {

std::chrono::milliseconds LogonThrottle::DelayAfter(int failures) const {
  if (failures <= 0 || options_.base.count() <= 0) return std::chrono::milliseconds(0);
  std::chrono::milliseconds delay = options_.base;
  for (int i = 1; i < failures && delay < options_.cap; ++i) delay *= 2;
  return std::min(delay, options_.cap);
}

LogonThrottle::Record* LogonThrottle::Find(const std::string& name, Clock::time_point now,
                                           bool create) {
  auto it = names_.find(name);
  if (it != names_.end()) {
    if (now - it->second.last_failure < options_.forget) return &it->second;
    names_.erase(it);
  }
  if (!create) return nullptr;
  if (names_.size() >= options_.max_names) {
    for (auto old = names_.begin(); old != names_.end();) {
      old = now - old->second.last_failure >= options_.forget ? names_.erase(old) : std::next(old);
    }
    if (names_.size() >= options_.max_names) return &overflow_;
  }
  return &names_[name];
}

std::chrono::milliseconds LogonThrottle::WaitFor(const std::string& name, Clock::time_point now) {
  if (options_.base.count() <= 0) return std::chrono::milliseconds(0);
  std::lock_guard<std::mutex> lock(mutex_);
  Record* record = Find(name, now, false);
  if (record == nullptr && names_.size() >= options_.max_names) record = &overflow_;
  if (record == nullptr || record->failures == 0) return std::chrono::milliseconds(0);
  // One attempt per delay: each waiter takes the next turn, so that guesses
  // sent on many connections at once are still checked one delay apart.
  const Clock::time_point turn = std::max(now, record->next_allowed);
  record->next_allowed = turn + DelayAfter(record->failures);
  if (turn == now) return std::chrono::milliseconds(0);
  return std::chrono::duration_cast<std::chrono::milliseconds>(turn - now) +
         std::chrono::milliseconds(1);
}

std::chrono::milliseconds LogonThrottle::Refused(const std::string& name, int connection_failures,
                                                 Clock::time_point now, int* name_failures) {
  const std::chrono::milliseconds connection_delay = DelayAfter(connection_failures);
  if (options_.base.count() <= 0) {
    *name_failures = 0;
    return connection_delay;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Record* record = Find(name, now, true);
  if (now - record->last_failure >= options_.forget) record->failures = 0;
  ++record->failures;
  record->last_failure = now;
  const std::chrono::milliseconds name_delay = DelayAfter(record->failures);
  record->next_allowed = std::max(record->next_allowed, now + name_delay);
  *name_failures = record->failures;
  return std::max(connection_delay, name_delay);
}

void LogonThrottle::Succeeded(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  names_.erase(name);
}

}  // namespace tw::twserver
