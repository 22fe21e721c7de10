// The property file server's system calls on POSIX systems: flock, realpath,
// /proc and sigaction. See os.h.
#include "servers/twpmsvr/os.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/decimal.h"
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

bool ProcessStartTime(int pid, unsigned long long* start) {
  if (pid <= 0) return false;
  const std::string dir = "/proc/" + std::to_string(pid);
  struct stat st;
  // Another user's process is never the owner of this user's store.
  if (::stat(dir.c_str(), &st) != 0 || st.st_uid != ::getuid()) return false;
  char text[1024];
  const int fd = ::open((dir + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t got = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (got <= 0) return false;
  text[got] = '\0';
  // The start time is the 22nd field; the name (2nd, in parentheses) may
  // hold blanks and parentheses itself, so count from its last ")".
  const char* at = std::strrchr(text, ')');
  if (at == nullptr) return false;
  for (int field = 2; field < 22 && at != nullptr; ++field) at = std::strchr(at + 1, ' ');
  if (at == nullptr) return false;
  const char* field_end = std::strchr(at + 1, ' ');
  const std::string_view field(at + 1, field_end != nullptr
                                           ? static_cast<size_t>(field_end - (at + 1))
                                           : std::strlen(at + 1));
  int64_t value = 0;
  if (!ParseDecimal(field, 0, INT64_MAX, &value)) return false;
  *start = static_cast<unsigned long long>(value);
  return true;
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
