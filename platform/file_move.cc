#include "platform/file_move.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/errno_text.h"

namespace tw {

namespace {

// The process's file mode mask, read without changing it (umask(2) would
// have to set it, racing other threads that create files).
mode_t CurrentUmask() {
  FILE* status = std::fopen("/proc/self/status", "re");
  mode_t mask = 022;
  if (status == nullptr) return mask;
  char line[128];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "Umask:", 6) == 0) {
      mask = static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8));
      break;
    }
  }
  std::fclose(status);
  return mask;
}

// Copies `from` into a new file beside `to`, then renames it over `to`, so
// that a failure half-way leaves `to` as it was. `from` stays.
bool CopyInto(const std::string& from, const std::string& to, std::string* error) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    if (error != nullptr) *error = ErrnoText("cannot open", from, errno);
    return false;
  }
  const std::string temp = to + ".tw-part";
  ::unlink(temp.c_str());
  const int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (out < 0) {
    if (error != nullptr) *error = ErrnoText("cannot create", temp, errno);
    ::close(in);
    return false;
  }
  char buffer[1 << 16];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  if (!ok && error != nullptr) *error = ErrnoText("cannot copy to", temp, errno);
  ::close(in);
  if (::close(out) != 0) ok = false;
  if (ok && ::rename(temp.c_str(), to.c_str()) != 0) {
    if (error != nullptr) *error = ErrnoText("cannot replace", to, errno);
    ok = false;
  }
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace

bool CopyFileReplacing(const std::string& from, const std::string& to, std::string* error) {
  return CopyInto(from, to, error);
}

bool MoveFileReplacing(const std::string& from, const std::string& to, std::string* error) {
  if (::rename(from.c_str(), to.c_str()) == 0) {
    // Received files are created owner-only; in place they get the mode
    // any file the user makes gets.
    ::chmod(to.c_str(), 0666 & ~CurrentUmask());
    return true;
  }
  if (errno != EXDEV) {
    if (error != nullptr) *error = ErrnoText("cannot move to", to, errno);
    return false;
  }
  if (!CopyInto(from, to, error)) return false;
  ::unlink(from.c_str());
  return true;
}

}  // namespace tw
