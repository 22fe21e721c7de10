// The property file server's system calls on POSIX systems: flock, realpath
// and sigaction. See os.h.
#include "servers/twpmsvr/os.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/errno_text.h"

namespace tw::pmsvr {

const char kPathSeparator = '/';

int HoldServerLock(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *error = ErrnoText("cannot open", path, errno);
    return -1;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -2;
  }
  // The holder's pid, for whoever must stop it.
  const std::string pid_text = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, pid_text.data(), pid_text.size(), 0) != ssize_t(pid_text.size())) {
    *error = "cannot write " + path;
  }
  return fd;
}

int OpenLockedStoreFile(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    *error = ErrnoText("cannot open", path, errno);
    return -1;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    *error = "store " + path + " is held by another server";
    return -1;
  }
  return fd;
}

void CloseDescriptor(int fd) {
  if (fd >= 0) ::close(fd);
}

bool IsCanonicalFileName(const std::string& name) {
  if (name.empty() || name.size() >= PATH_MAX || name[0] != '/') return false;
  char resolved[PATH_MAX];
  if (::realpath(name.c_str(), resolved) == nullptr || name != resolved) return false;
  struct stat st;
  return ::stat(resolved, &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

volatile std::sig_atomic_t* g_stop = nullptr;

void OnStop(int) {
  if (g_stop != nullptr) *g_stop = 1;
}

}  // namespace

void StopOnRequest(volatile std::sig_atomic_t* stop) {
  g_stop = stop;
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace tw::pmsvr
