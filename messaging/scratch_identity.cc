// A scratch file's identity on POSIX systems: device, inode, size and
// change time from lstat. Stateless; any thread.
#include <sys/stat.h>

#include "messaging/scratch_files.h"

namespace tw {

// The identity of a regular file at `path` (links are not followed): an
// inode number freed by a removal may come back at once for a new file, so
// its size and change time count too.
bool ScratchFiles::ReadIdentity(const std::string& path, Identity* identity) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  identity->device = static_cast<uint64_t>(st.st_dev);
  identity->inode = static_cast<uint64_t>(st.st_ino);
  identity->size = static_cast<int64_t>(st.st_size);
  identity->changed_ns = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
  return true;
}

}  // namespace tw
