#include "platform/debug_output.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/hex.h"

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

std::string HexDump(const void* bytes, size_t count, int width) {
  if (width < 4) width = 4;
  const size_t per_line = static_cast<size_t>(width - 1) / 3;
  const auto* p = static_cast<const unsigned char*>(bytes);
  std::string out, hex, chars;
  for (size_t i = 0; i < count; ++i) {
    AppendHexByte(&hex, p[i]);
    hex += ' ';
    chars += std::isprint(p[i]) ? static_cast<char>(p[i]) : '.';
    const bool line_full = (i + 1) % per_line == 0;
    if (line_full || i + 1 == count) {
      for (size_t missing = chars.size(); missing < per_line; ++missing) hex += "   ";
      out += hex;
      out += " - ";
      out += chars;
      out += '\n';
      hex.clear();
      chars.clear();
    }
  }
  return out;
}

}  // namespace tw
