// A real property file server for tests: TWPMSvr started from the build
// folder in the test's private runtime folder, with a short idle time, and
// stopped (SIGTERM, then waited for) when the fixture ends. Create it after
// the TestEnv. StopAnyPropertyServer also stops a server that a client
// started itself (Connect), found through the runtime folder's lock file.
#ifndef TW_TESTS_SUPPORT_PROPERTY_SERVER_H_
#define TW_TESTS_SUPPORT_PROPERTY_SERVER_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tw::test {

// Points the module directory at the build folder (where TWPMSvr and
// default.usr lie) and sets the server's idle time for servers started by
// clients.
void UsePropertyServerFromBuild(uint32_t idle_ms = 20000);

// The pid in the runtime folder's server lock file while a server holds it,
// else 0.
pid_t RunningPropertyServer();

// Stops the server of the runtime folder, if any: SIGTERM, then waits (up to
// 10 s, then SIGKILL) until its lock is free.
void StopAnyPropertyServer();

class PropertyServer {
 public:
  explicit PropertyServer(uint32_t idle_ms = 20000);
  ~PropertyServer();
  PropertyServer(const PropertyServer&) = delete;
  PropertyServer& operator=(const PropertyServer&) = delete;

  // Starts the server (with `options` after its idle time) and waits until
  // it is registered; false on failure.
  bool Start(const std::vector<std::string>& options = {});
  // SIGTERM and wait; returns the exit status.
  int Stop();
  // SIGKILL and wait.
  void Kill();
  pid_t pid() const { return pid_; }

 private:
  uint32_t idle_ms_;
  pid_t pid_ = -1;
};

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_PROPERTY_SERVER_H_
