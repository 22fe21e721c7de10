#include "platform/file_replace.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/errno_text.h"
#include "platform/hex.h"

namespace tw {

namespace {

int Fail(const char* step, const std::string& path, std::string* error) {
  const int code = errno != 0 ? errno : EIO;
  if (error != nullptr) *error = ErrnoText(step, path, code);
  return code;
}

}  // namespace

int CreateSibling(const std::string& path, std::string* name) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    unsigned char random[6] = {};
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return -1;
    *name = path + ".tw-" + HexText(random, sizeof random, HexCase::kLower);
    const int fd =
        ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

void SyncFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

int ReplaceFileWhole(const std::string& path, const std::string& contents, int mode,
                     std::string* error) {
  errno = 0;
  std::string temp;
  const int fd = CreateSibling(path, &temp);
  if (fd < 0) return Fail("cannot create a new file beside", path, error);
  const char* data = contents.data();
  size_t left = contents.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      const int code = Fail("cannot write", temp, error);
      ::close(fd);
      ::unlink(temp.c_str());
      return code;
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  if ((mode >= 0 && ::fchmod(fd, static_cast<mode_t>(mode) & 07777) != 0) || ::fsync(fd) != 0) {
    const int code = Fail("cannot complete", temp, error);
    ::close(fd);
    ::unlink(temp.c_str());
    return code;
  }
  if (::close(fd) != 0) {
    const int code = Fail("cannot complete", temp, error);
    ::unlink(temp.c_str());
    return code;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int code = Fail("cannot replace", path, error);
    ::unlink(temp.c_str());
    return code;
  }
  // The rename itself reaches the disk with the folder.
  SyncFolderOf(path);
  return 0;
}

}  // namespace tw
