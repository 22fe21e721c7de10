#include "platform/debug_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tw {

namespace {

// Opens the log file for appending, or returns -1. The name is a plain
// file of this user's, never a link (the path may lie in a shared folder
// where another user could plant one towards a file of this user's) and
// never a pipe or device that could block the caller; a character device
// such as /dev/null is fine.
int OpenLogFile(const char* path) {
  const int fd =
      ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
  if (fd < 0) return -1;
  struct stat st;
  const bool usable = ::fstat(fd, &st) == 0 &&
                      (S_ISCHR(st.st_mode) || (S_ISREG(st.st_mode) && st.st_uid == ::geteuid()));
  if (!usable) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

void DebugOutput(const std::string& text) {
  const char* target = std::getenv("VELTRANE_DEBUG_OUTPUT");
  if (target == nullptr || *target == '\0') {
    syslog(LOG_DEBUG, "%s", text.c_str());
    return;
  }
  std::string record = text;
  record += '\n';
  int fd = STDERR_FILENO;
  bool own = false;
  if (std::strcmp(target, "-") != 0) {
    fd = OpenLogFile(target);
    if (fd < 0) return;  // diagnostics never fail the caller
    own = true;
  }
  // O_APPEND makes each record one atomic append for records of ordinary size.
  ssize_t unused = ::write(fd, record.data(), record.size());
  (void)unused;
  if (own) ::close(fd);
}

void DebugLog(const char* format, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  DebugOutput(buffer);
}

}  // namespace tw
