// Slows password guessing down without letting a guesser lock the owner of
// a name out.
//
// Records are kept per user name and client address (a "pair"): every
// refused logon is answered late, the delay doubling with each refusal on
// the connection and of the pair (capped, and forgotten some time after the
// pair's last refusal). A logon is checked at once unless its own address
// was refused for that name lately; then it waits for the pair's next turn
// first, one delay after the turn before, so that guesses sent on many
// connections from one address are still checked one delay apart, and a
// guesser cannot learn an answer early by giving up on the held-back
// refusals. A right password from an address without refusals is never
// held up, however many other addresses guess.
//
// Against a guesser spread over many addresses, a name refused from at
// least `distributed_addresses` addresses lately takes its checks of
// refused pairs one name-wide turn apart as well; an address that was
// never refused still goes straight to its check. A successful logon
// clears its pair's record and makes the pair trusted for a while: the
// owner who mistypes his password on his own machine while others guess
// it waits for his own pair's turn, never behind the guessers' name-wide
// queue, which they can make as long as they like.
//
// Threads: shared by every connection; `mutex_` guards the records.
#ifndef TW_SERVERS_TWSERVER_LOGON_THROTTLE_H_
#define TW_SERVERS_TWSERVER_LOGON_THROTTLE_H_

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

namespace tw::twserver {

class LogonThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  struct Options {
    // The delay after the first refusal; 0 turns the throttle off.
    std::chrono::milliseconds base{250};
    std::chrono::milliseconds cap{8000};
    // A record is dropped this long after its last refusal.
    std::chrono::seconds forget{900};
    // Records (pairs and names) kept at most; beyond it, pairs without a
    // record of their own share one.
    size_t max_records = 65536;
    // Addresses refused for one name lately from which on its refused
    // pairs take name-wide turns.
    int distributed_addresses = 8;
    // How long a pair stays trusted after its last successful logon.
    std::chrono::seconds trust{30 * 24 * 3600};
  };

  // What the throttle knows of a refusal, for the log.
  struct Refusal {
    std::chrono::milliseconds delay{0};  // how long to hold the answer back
    int pair_failures = 0;               // refusals of the name from this address
    int name_addresses = 0;              // addresses refused for the name lately
  };

  explicit LogonThrottle(Options options) : options_(options) {}

  // The delay after `failures` refusals (0 for none).
  std::chrono::milliseconds DelayAfter(int failures) const;

  // How long a logon for `name` from `address` must still wait before it
  // is checked: 0 unless the address was refused for the name lately. The
  // turn it names is taken (the next caller's comes one delay later).
  std::chrono::milliseconds WaitFor(const std::string& name, const std::string& address,
                                    Clock::time_point now);

  // Records a refusal of `name` from `address`; `connection_failures`
  // counts this connection's refusals, this one included.
  Refusal Refused(const std::string& name, const std::string& address, int connection_failures,
                  Clock::time_point now);

  // Clears the record of `name` from `address`, and trusts the pair from
  // `now` on.
  void Succeeded(const std::string& name, const std::string& address, Clock::time_point now);

 private:
  struct Record {
    int failures = 0;
    Clock::time_point next_allowed;
    Clock::time_point last_failure;
  };
  // A name's record across its addresses: the addresses with a pair
  // record, and the name-wide turn.
  struct NameRecord {
    int addresses = 0;
    Clock::time_point next_allowed;
  };
  static std::string PairKey(const std::string& name, const std::string& address);
  Record* FindPair(const std::string& key, const std::string& name, Clock::time_point now,
                   bool create);
  void DropPair(std::unordered_map<std::string, Record>::iterator it, const std::string& name);
  void DropForgotten(Clock::time_point now);
  bool Distributed(const std::string& name) const;
  bool Trusted(const std::string& key, Clock::time_point now) const;
  void Trust(const std::string& key, Clock::time_point now);

  const Options options_;
  std::mutex mutex_;
  std::unordered_map<std::string, Record> pairs_;      // guarded by mutex_
  std::unordered_map<std::string, NameRecord> names_;  // guarded by mutex_
  Record overflow_;                                    // guarded by mutex_
  // Pairs that logged on, with the time of their last logon; at most
  // max_records.
  std::unordered_map<std::string, Clock::time_point> trusted_;  // guarded by mutex_
};

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_LOGON_THROTTLE_H_
