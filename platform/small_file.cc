// Small files read whole and records appended: the POSIX form.
#include "platform/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errno_text.h"

namespace tw {

bool ReadSmallFile(const std::string& path, size_t max_bytes, std::string* contents,
                   std::string* error) {
  contents->clear();
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused
  // below as no regular file.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    *error = ErrnoReason(errno);
    return false;
  }
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!ok) *error = "not a regular file";
  if (ok && static_cast<unsigned long long>(st.st_size) > max_bytes) {
    *error = "larger than " + std::to_string(max_bytes) + " bytes";
    ok = false;
  }
  char buffer[8192];
  while (ok) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = ErrnoReason(errno);
      ok = false;
    } else if (got == 0) {
      break;
    } else if (contents->size() + static_cast<size_t>(got) > max_bytes) {
      *error = "larger than " + std::to_string(max_bytes) + " bytes";  // it grew
      ok = false;
    } else {
      contents->append(buffer, static_cast<size_t>(got));
    }
  }
  ::close(fd);
  if (!ok) contents->clear();
  return ok;
}

bool AppendToFile(const std::string& path, const std::string& text, std::string* error,
                  bool follow_links) {
  // O_NONBLOCK: a FIFO without a reader fails at once instead of holding
  // the caller; one with a reader is refused below.
  const int fd = ::open(path.c_str(),
                        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK |
                            (follow_links ? 0 : O_NOFOLLOW),
                        0666);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + ErrnoReason(errno);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *error = "cannot append to " + path + ": not a regular file";
    return false;
  }
  ssize_t written;
  do {
    written = ::write(fd, text.data(), text.size());
  } while (written < 0 && errno == EINTR);
  const int code = written < 0 ? errno : 0;
  ::close(fd);
  if (written != static_cast<ssize_t>(text.size())) {
    *error = "cannot append to " + path + ": " + (code != 0 ? ErrnoReason(code) : "short write");
    return false;
  }
  return true;
}

}  // namespace tw
