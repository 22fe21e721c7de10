#include "servers/twserver/file_util.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace tw::twserver {

std::string ErrnoText(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

bool SyncFolder(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText("cannot open folder", path);
    return false;
  }
  const bool ok = fsync(fd) == 0;
  if (!ok) *error = ErrnoText("cannot sync folder", path);
  close(fd);
  return ok;
}

}  // namespace tw::twserver
