// The property file server fixture.
#include "tests/support/property_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/recipient_table.h"
#include "platform/runtime_dir.h"
#include "settings/property_protocol.h"
#include "tests/support/test_env.h"

namespace tw::test {

namespace {

std::string LockPath() {
  std::string dir, error;
  if (!RuntimeDirectory(&dir, &error)) return std::string();
  return dir + "/.twpmsvr.lock";
}

// True while someone holds the server lock.
bool LockHeld(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
  ::close(fd);
  return held;
}

}  // namespace

void UsePropertyServerFromBuild(uint32_t idle_ms) {
  ::setenv("VELTRANE_MODULE_DIR", BinDir().c_str(), 1);
  ::setenv("VELTRANE_PROPERTY_SERVER_IDLE_MS", std::to_string(idle_ms).c_str(), 1);
}

pid_t RunningPropertyServer() {
  const std::string path = LockPath();
  if (path.empty() || !LockHeld(path)) return 0;
  return static_cast<pid_t>(std::atol(ReadFile(path).c_str()));
}

void StopAnyPropertyServer() {
  const std::string path = LockPath();
  const pid_t pid = RunningPropertyServer();
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 1000 && LockHeld(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (LockHeld(path)) ::kill(pid, SIGKILL);
  for (int i = 0; i < 500 && LockHeld(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

PropertyServer::PropertyServer(uint32_t idle_ms) : idle_ms_(idle_ms) {
  UsePropertyServerFromBuild(idle_ms);
}

PropertyServer::~PropertyServer() {
  if (pid_ > 0) Stop();
}

bool PropertyServer::Start(const std::vector<std::string>& options) {
  std::vector<std::string> args = {"--idle-ms", std::to_string(idle_ms_)};
  args.insert(args.end(), options.begin(), options.end());
  pid_ = Spawn(kPropertyServerProgram, args);
  if (pid_ <= 0) return false;
  std::string mailslot;
  for (int i = 0; i < 1000; ++i) {
    if (LookupRecipient(kPropertyServerRecipient, &mailslot)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int PropertyServer::Stop() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  const int status = WaitExit(pid_);
  pid_ = -1;
  return status;
}

void PropertyServer::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  WaitExit(pid_);
  pid_ = -1;
}

}  // namespace tw::test
