// Slows password guessing down: every refused logon is answered late, and
// the delay doubles with each refusal, both on one connection and for one
// user name across all connections (capped, and forgotten some time after
// the last refusal). Once a name was refused, its logons are checked one
// delay apart: each waits for a turn of its own before it is checked at
// all, so opening many connections does not multiply the guesses (the
// name's owner waits in the same line while it is under attack). A
// successful logon clears the name's record.
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
    // A name's record is dropped this long after its last refusal.
    std::chrono::seconds forget{900};
    // Names remembered at most; beyond it, names without a record of their
    // own share one.
    size_t max_names = 65536;
  };

  explicit LogonThrottle(Options options) : options_(options) {}

  // The delay after `failures` refusals (0 for none).
  std::chrono::milliseconds DelayAfter(int failures) const;

  // How long a logon for `name` must still wait before it is checked; the
  // turn it names is taken (the next caller's comes one delay later).
  std::chrono::milliseconds WaitFor(const std::string& name, Clock::time_point now);

  // Records a refusal for `name`; `connection_failures` counts this
  // connection's refusals, this one included. Returns how long to hold the
  // answer back, and in `name_failures` the name's count.
  std::chrono::milliseconds Refused(const std::string& name, int connection_failures,
                                    Clock::time_point now, int* name_failures);

  void Succeeded(const std::string& name);

 private:
  struct Record {
    int failures = 0;
    Clock::time_point next_allowed;
    Clock::time_point last_failure;
  };
  Record* Find(const std::string& name, Clock::time_point now, bool create);

  const Options options_;
  std::mutex mutex_;
  std::unordered_map<std::string, Record> names_;  // guarded by mutex_
  Record overflow_;                                // guarded by mutex_
};

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_LOGON_THROTTLE_H_
