// What the inter-process tests and their helper process agree on: the
// numbered messages a writer sends and a reader checks, the marker a lock
// holder leaves, starting the helper and waiting for its ready file.
#ifndef TW_TESTS_PLATFORM_IPC_TEST_SUPPORT_H_
#define TW_TESTS_PLATFORM_IPC_TEST_SUPPORT_H_

#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_env.h"

namespace tw::test {

constexpr uint64_t kHeldMarker = 0x484F4C44454E4421ull;

// Message i has one of these sizes in turn, from 1 byte to the largest.
constexpr uint32_t kMessageSizes[] = {1, 4, 5, 100, 1000, 4096, 20000, 65534, 65535};
constexpr uint32_t kMessageSizeCount = sizeof kMessageSizes / sizeof kMessageSizes[0];

inline char MessageByte(uint32_t i, uint32_t j) {
  return static_cast<char>((i * 131u + j * 7u) & 0xFFu);
}

inline std::string NumberedMessage(uint32_t i) {
  std::string message(kMessageSizes[i % kMessageSizeCount], '\0');
  for (uint32_t j = 0; j < message.size(); ++j) message[j] = MessageByte(i, j);
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
  int Wait() {
    const int status = WaitExit(pid_);
    pid_ = -1;
    return status;
  }
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
  struct stat st;
  for (int i = 0; i < 1000; ++i) {
    if (::stat(path.c_str(), &st) == 0) return true;
    const timespec pause{0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return false;
}

}  // namespace tw::test

#endif  // TW_TESTS_PLATFORM_IPC_TEST_SUPPORT_H_
