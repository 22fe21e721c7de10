#include "platform/file_attributes.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errno_text.h"

namespace tw {

bool LocalFileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool LocalPathExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

std::string CanonicalLocalPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (path.empty() || ::realpath(path.c_str(), resolved) == nullptr) return std::string();
  return resolved;
}

bool MakeLocalDirectories(const std::string& path, uint32_t mode) {
  if (path.empty()) return false;
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      const std::string part = path.substr(0, pos);
      if (::mkdir(part.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) break;
    }
  }
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RemoveLocalFile(const std::string& path) {
  return !path.empty() && ::unlink(path.c_str()) == 0;
}

bool LocalFileModifiedSeconds(const std::string& path, int64_t* seconds) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  *seconds = static_cast<int64_t>(st.st_mtime);
  return true;
}

bool ReadLocalFileVersion(const std::string& path, LocalFileVersion* version) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  version->modified_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  version->size = static_cast<int64_t>(st.st_size);
  return true;
}

namespace {

// The mode of the regular file `path` itself. The mode of a link is the
// target's: a link in a working folder could make the provider open up a
// file elsewhere, so a link, like a folder, is refused.
bool RegularFileMode(const std::string& path, const char* change, mode_t* mode,
                     std::string* error) {
  struct stat st;
  if (path.empty() || ::lstat(path.c_str(), &st) != 0) {
    if (error != nullptr) *error = ErrnoText("cannot read the attributes of", path, errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    if (error != nullptr) {
      *error = std::string("cannot change the ") + change + " of " + path +
               (S_ISLNK(st.st_mode)   ? ": it is a symbolic link"
                : S_ISDIR(st.st_mode) ? ": it is a folder"
                                      : ": it is not a regular file");
    }
    return false;
  }
  *mode = st.st_mode & 07777;
  return true;
}

// Should a link take the file's place meanwhile, the change fails rather
// than follow it.
bool ChangeMode(const std::string& path, const char* change, mode_t mode, std::string* error) {
  if (::fchmodat(AT_FDCWD, path.c_str(), mode, AT_SYMLINK_NOFOLLOW) != 0) {
    if (error != nullptr) {
      *error = ErrnoText(std::string("cannot change the ") + change + " of", path, errno);
    }
    return false;
  }
  return true;
}

}  // namespace

bool SetLocalFileReadOnly(const std::string& path, bool read_only, std::string* error) {
  static constexpr char kChange[] = "write permission";
  mode_t old_mode = 0;
  if (!RegularFileMode(path, kChange, &old_mode, error)) return false;
  const mode_t new_mode = read_only ? (old_mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH))
                                    : (old_mode | S_IWUSR);
  return new_mode == old_mode || ChangeMode(path, kChange, new_mode, error);
}

bool ReadLocalFileMode(const std::string& path, uint32_t* mode) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  *mode = st.st_mode & 0777;
  return true;
}

bool SetLocalFileMode(const std::string& path, uint32_t mode, std::string* error) {
  static constexpr char kChange[] = "permissions";
  mode_t old_mode = 0;
  if (!RegularFileMode(path, kChange, &old_mode, error)) return false;
  // The set-id and sticky bits stay as they are: a file never gains them
  // from another.
  const mode_t new_mode = (old_mode & ~static_cast<mode_t>(0777)) | (mode & 0777);
  return new_mode == old_mode || ChangeMode(path, kChange, new_mode, error);
}

}  // namespace tw
