#include "platform/debug_output.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tw {

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
    fd = ::open(target, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
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
