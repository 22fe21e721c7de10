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
#include "platform/path.h"

namespace tw {

namespace {

int Fail(const char* step, const std::string& path, std::string* error) {
  const int code = errno != 0 ? errno : EIO;
  if (error != nullptr) *error = ErrnoText(step, path, code);
  return code;
}

}  // namespace

int CreateSibling(const std::string& path, std::string* name, mode_t mode) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    unsigned char random[6] = {};
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return -1;
    *name = path + ".tw-" + HexText(random, sizeof random, HexCase::kLower);
    const int fd =
        ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

void SyncFolderOf(const std::string& path) {
  // A bare name lies in the working folder.
  const std::string parent = NativeParent(path);
  const std::string folder = parent.empty() ? "." : parent;
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
  // With a mode given, the new file is the owner's alone until it is
  // complete: what it will hold may be meant for the owner only.
  const int fd = CreateSibling(path, &temp, mode >= 0 ? 0600 : 0666);
  if (fd < 0) return Fail("cannot create a new file beside", path, error);
  // Any failure below removes the new file and leaves `path` as it was.
  const auto abandon = [&](const char* what, const std::string& name, bool open) {
    const int code = Fail(what, name, error);
    if (open) ::close(fd);
    ::unlink(temp.c_str());
    return code;
  };
  const char* data = contents.data();
  size_t left = contents.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return abandon("cannot write", temp, true);
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  // The mode last: a write would clear set-id bits, and a read-only mode
  // would stand in the way of the write on some file servers.
  if ((mode >= 0 && ::fchmod(fd, static_cast<mode_t>(mode) & 07777) != 0) || ::fsync(fd) != 0) {
    return abandon("cannot complete", temp, true);
  }
  if (::close(fd) != 0) return abandon("cannot complete", temp, false);
  if (::rename(temp.c_str(), path.c_str()) != 0) return abandon("cannot replace", path, false);
  // The rename itself reaches the disk with the folder.
  SyncFolderOf(path);
  return 0;
}

}  // namespace tw
