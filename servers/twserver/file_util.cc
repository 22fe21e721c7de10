#include "servers/twserver/file_util.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace tw::twserver {

bool SyncFolder(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText("cannot open folder", path, errno);
    return false;
  }
  const bool ok = fsync(fd) == 0;
  if (!ok) *error = ErrnoText("cannot sync folder", path, errno);
  close(fd);
  return ok;
}

bool SyncFileSystem(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText("cannot open folder", path, errno);
    return false;
  }
  const bool ok = syncfs(fd) == 0;
  if (!ok) *error = ErrnoText("cannot sync the file system of", path, errno);
  close(fd);
  return ok;
}

}  // namespace tw::twserver
