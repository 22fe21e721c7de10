#include "platform/file_attributes.h"

#include <sys/stat.h>

namespace tw {

bool LocalFileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool LocalFileModifiedSeconds(const std::string& path, int64_t* seconds) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  *seconds = static_cast<int64_t>(st.st_mtime);
  return true;
}

bool SetLocalFileReadOnly(const std::string& path, bool read_only) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  const mode_t old_mode = st.st_mode & 07777;
  const mode_t new_mode =
      read_only ? (old_mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH))
                : (old_mode | S_IWUSR);
  if (new_mode == old_mode) return true;
  return ::chmod(path.c_str(), new_mode) == 0;
}

}  // namespace tw
