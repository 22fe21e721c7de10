#include "platform/file_move.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/errno_text.h"
#include "platform/file_replace.h"

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

}  // namespace

bool CopyFileReplacing(const std::string& from, const std::string& to, std::string* error) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    if (error != nullptr) *error = ErrnoText("cannot open", from, errno);
    return false;
  }
  // A name of its own that nobody can foresee, made with O_EXCL: a file the
  // user keeps beside `to`, or a link planted there, is never touched.
  std::string temp;
  const int out = CreateSibling(to, &temp);
  if (out < 0) {
    if (error != nullptr) *error = ErrnoText("cannot create a new file beside", to, errno);
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
      if (error != nullptr) *error = ErrnoText("cannot read", from, errno);
      ok = false;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        if (error != nullptr) *error = ErrnoText("cannot copy to", temp, w == 0 ? EIO : errno);
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  ::close(in);
  // The bytes reach the disk before the name does: a crash never leaves
  // `to` naming a file whose contents were lost.
  if (ok && ::fsync(out) != 0) {
    if (error != nullptr) *error = ErrnoText("cannot complete", temp, errno);
    ok = false;
  }
  if (::close(out) != 0 && ok) {
    if (error != nullptr) *error = ErrnoText("cannot complete", temp, errno);
    ok = false;
  }
  if (ok && ::rename(temp.c_str(), to.c_str()) != 0) {
    if (error != nullptr) *error = ErrnoText("cannot replace", to, errno);
    ok = false;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  SyncFolderOf(to);
  return true;
}

bool MoveFileReplacing(const std::string& from, const std::string& to, std::string* error) {
  // Received files are created owner-only; in place they get the mode any
  // file the user makes gets. The mode is set on the scratch file before
  // it moves: a path-based change after the move could follow whatever
  // took `to`'s name meanwhile.
  ::chmod(from.c_str(), 0666 & ~CurrentUmask());
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) {
    if (error != nullptr) *error = ErrnoText("cannot move to", to, errno);
    return false;
  }
  if (!CopyFileReplacing(from, to, error)) return false;
  ::unlink(from.c_str());
  return true;
}

}  // namespace tw
