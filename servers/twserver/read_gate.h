// Admission of database reads, shared by the storage backends, so that one
// user's heavy reads never hold everybody else up and a logon never waits
// for anybody's reads.
//
//  - A gate has `readers` places for reads and one more kept for logons: a
//    read made inside a logon's ReadScope may take any place, every other
//    read leaves the kept one free.
//  - One requester (the user named by the calling thread's ReadScope) holds
//    at most half the places at once (at least one). Reads made outside any
//    scope (the command line, the maintenance thread) count against the
//    places only.
//  - Waiting reads are admitted in the order they came, each as soon as a
//    place it may take is free: a requester at his share holds up nobody
//    else.
//  - The wait for a place has a limit: the scope's read budget, or
//    kDefaultReaderWait outside a scope or without a budget.
//  - An admitted read has a deadline, its scope's budget from admission
//    (none outside a scope): the backend ends a read that runs past it
//    with kOverLimit.
//
// A connection thread runs one request at a time, so it holds at most one
// place at a time.
//
// Threads: a ReadGate is shared by every thread of its backend; `mutex_`
// guards its counts and its queue. A ReadScope belongs to its thread.
#ifndef TW_SERVERS_TWSERVER_READ_GATE_H_
#define TW_SERVERS_TWSERVER_READ_GATE_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

namespace tw::twserver {

// How long a read outside a scope, or in a scope without a budget, waits
// for a place.
constexpr std::chrono::milliseconds kDefaultReaderWait{60000};

// Who the calling thread reads for, until the scope ends. Scopes nest; the
// innermost counts.
class ReadScope {
 public:
  // `requester`: the logged-on user (empty before a logon); `logon`: reads
  // of a PRELOGON or LOGON; `budget`: the time one read may take, and the
  // most it waits for a place (zero: no budget).
  ReadScope(std::string requester, bool logon, std::chrono::milliseconds budget);
  ~ReadScope();
  ReadScope(const ReadScope&) = delete;
  ReadScope& operator=(const ReadScope&) = delete;

  // The calling thread's innermost scope, or null.
  static const ReadScope* Current();

  const std::string& requester() const { return requester_; }
  bool logon() const { return logon_; }
  std::chrono::milliseconds budget() const { return budget_; }

 private:
  const std::string requester_;
  const bool logon_;
  const std::chrono::milliseconds budget_;
  const ReadScope* const outer_;
};

class ReadGate {
 public:
  using Clock = std::chrono::steady_clock;

  // A place held for one read; given back when the pass goes.
  class Pass {
   public:
    Pass() = default;
    ~Pass();
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;

    bool admitted() const { return gate_ != nullptr; }
    // When the read must be over; Clock::time_point::max() for no limit.
    Clock::time_point deadline() const { return deadline_; }
    // The read's budget (zero: none), for messages.
    std::chrono::milliseconds budget() const { return budget_; }

   private:
    friend class ReadGate;
    ReadGate* gate_ = nullptr;
    std::string requester_;
    bool logon_ = false;
    bool counted_ = false;
    Clock::time_point deadline_ = Clock::time_point::max();
    std::chrono::milliseconds budget_{0};
  };

  // `readers` places for reads (at least 1), and one for logons.
  explicit ReadGate(size_t readers);
  ReadGate(const ReadGate&) = delete;
  ReadGate& operator=(const ReadGate&) = delete;

  // How many connections the gate may have in use at once.
  size_t capacity() const { return readers_ + 1; }

  // Waits for a place for a read of the calling thread (its ReadScope).
  // True with `pass` admitted; false, with `error` saying why, when no
  // place came within the wait limit.
  bool Enter(Pass* pass, std::string* error);

 private:
  struct Waiter {
    const std::string* requester;
    bool logon;
    bool counted;
    bool admitted = false;
  };
  bool Fits(const Waiter& w) const;
  void Take(const Waiter& w);
  void Leave(Pass* pass);
  void AdmitWaiting();

  const size_t readers_;
  const size_t share_;

  std::mutex mutex_;
  std::condition_variable changed_;                        // signalled under mutex_
  std::list<Waiter*> queue_;                               // guarded by mutex_
  size_t in_use_ = 0;                                      // guarded by mutex_
  size_t general_in_use_ = 0;                              // guarded by mutex_: not logons
  std::unordered_map<std::string, size_t> per_requester_;  // guarded by mutex_
};

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_READ_GATE_H_
