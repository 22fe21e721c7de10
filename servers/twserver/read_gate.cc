#include "servers/twserver/read_gate.h"

#include <algorithm>
#include <utility>

namespace tw::twserver {

namespace {

const ReadScope*& InnermostScope() {
  thread_local const ReadScope* scope = nullptr;
  return scope;
}

}  // namespace

ReadScope::ReadScope(std::string requester, bool logon, std::chrono::milliseconds budget)
    : requester_(std::move(requester)),
      logon_(logon),
      budget_(std::max(budget, std::chrono::milliseconds(0))),
      outer_(InnermostScope()) {
  InnermostScope() = this;
}

ReadScope::~ReadScope() {
  InnermostScope() = outer_;
}

const ReadScope* ReadScope::Current() {
  return InnermostScope();
}

ReadGate::Pass::~Pass() {
  if (gate_ != nullptr) gate_->Leave(this);
}

ReadGate::ReadGate(size_t readers)
    : readers_(std::max<size_t>(readers, 1)), share_(std::max<size_t>(readers_ / 2, 1)) {}

bool ReadGate::Fits(const Waiter& w) const {
  if (in_use_ >= readers_ + 1) return false;
  if (w.logon) return true;
  if (general_in_use_ >= readers_) return false;
  if (!w.counted) return true;
  const auto it = per_requester_.find(*w.requester);
  return it == per_requester_.end() || it->second < share_;
}

void ReadGate::Take(const Waiter& w) {
  ++in_use_;
  if (!w.logon) ++general_in_use_;
  if (w.counted) ++per_requester_[*w.requester];
}

void ReadGate::AdmitWaiting() {
  for (auto it = queue_.begin(); it != queue_.end();) {
    if (Fits(**it)) {
      Take(**it);
      (*it)->admitted = true;
      it = queue_.erase(it);
    } else {
      ++it;
    }
  }
}

bool ReadGate::Enter(Pass* pass, std::string* error) {
  const ReadScope* scope = ReadScope::Current();
  const std::chrono::milliseconds budget =
      scope != nullptr ? scope->budget() : std::chrono::milliseconds(0);
  const std::chrono::milliseconds wait = budget.count() > 0 ? budget : kDefaultReaderWait;
  pass->requester_ = scope != nullptr ? scope->requester() : std::string();
  pass->logon_ = scope != nullptr && scope->logon();
  pass->counted_ = scope != nullptr && !pass->logon_;
  Waiter me{&pass->requester_, pass->logon_, pass->counted_};
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // Those waiting fit nowhere now, or they would have been admitted: one
    // that fits may go ahead of them.
    if (Fits(me)) {
      Take(me);
      me.admitted = true;
    } else {
      queue_.push_back(&me);
      const Clock::time_point until = Clock::now() + wait;
      changed_.wait_until(lock, until, [&me] { return me.admitted; });
      if (!me.admitted) {
        queue_.remove(&me);
        *error = "no database reader came free within " + std::to_string(wait.count()) + " ms";
        return false;
      }
    }
  }
  pass->gate_ = this;
  pass->budget_ = budget;
  pass->deadline_ = budget.count() > 0 ? Clock::now() + budget : Clock::time_point::max();
  return true;
}

void ReadGate::Leave(Pass* pass) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --in_use_;
    if (!pass->logon_) --general_in_use_;
    if (pass->counted_) {
      auto it = per_requester_.find(pass->requester_);
      if (it != per_requester_.end() && --it->second == 0) per_requester_.erase(it);
    }
    AdmitWaiting();
  }
  changed_.notify_all();
  pass->gate_ = nullptr;
}

}  // namespace tw::twserver
