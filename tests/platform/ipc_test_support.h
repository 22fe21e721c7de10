// What the inter-process tests and their helper process agree on: the
// numbered messages a writer sends and a reader checks, the marker a lock
// holder leaves, the helper process and its ready file.
#ifndef TW_TESTS_PLATFORM_IPC_TEST_SUPPORT_H_
#define TW_TESTS_PLATFORM_IPC_TEST_SUPPORT_H_

#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_env.h"

namespace tw::test {

constexpr uint64_t kHeldMarker = 0x484F4C44454E4421ull;

// Message i takes the sizes below in turn, from 1 byte to the largest.
inline std::string NumberedMessage(uint32_t i) {
  constexpr uint32_t kSizes[] = {1, 5, 100, 4096, 20000, 65534, 65535};
  std::string message(kSizes[i % std::size(kSizes)], '\0');
  for (uint32_t j = 0; j < message.size(); ++j) message[j] = static_cast<char>(i * 131u + j * 7u);
  return message;
}

// A helper process that is killed and reaped whatever the test's outcome.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args) : pid_(Spawn("platform_ipc_helper", args)) {}
  ~Child() { Kill(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  int Wait() { return WaitExit(std::exchange(pid_, -1)); }
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    Wait();
  }

 private:
  pid_t pid_;
};

// Polls for a file for up to ten seconds.
inline bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 1000 && ::access(path.c_str(), F_OK) != 0; ++i) ::usleep(10000);
  return ::access(path.c_str(), F_OK) == 0;
}

}  // namespace tw::test

#endif  // TW_TESTS_PLATFORM_IPC_TEST_SUPPORT_H_
