#include "platform/runtime_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/errno_text.h"
#include "platform/file_attributes.h"
#include "platform/path.h"
#include "platform/system_factory.h"

namespace tw {

namespace {

// Below the user's cache folder when neither VELTRANE_RUNTIME_DIR nor
// XDG_RUNTIME_DIR names the runtime folder.
constexpr char kCacheSubfolder[] = "veltrane/runtime";

std::string EnvText(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// The runtime folder's path; "" with *error when none can be named. The
// last resort lies in the user's own cache folder, never at a predictable
// name in a shared folder such as /tmp, which another user could take
// first.
std::string BaseFolder(std::string* error) {
  std::string dir = EnvText("VELTRANE_RUNTIME_DIR");
  if (!dir.empty()) return dir;
  dir = EnvText("XDG_RUNTIME_DIR");
  if (!dir.empty()) return dir + "/veltrane";
  std::string cache = EnvText("XDG_CACHE_HOME");
  if (cache.empty()) {
    const std::string home = UserHomeDirectory();
    if (home.empty()) {
      *error =
          "No runtime folder: none of VELTRANE_RUNTIME_DIR, XDG_RUNTIME_DIR, XDG_CACHE_HOME "
          "and HOME is set, and the user has no home folder";
      return std::string();
    }
    cache = (home == "/" ? std::string() : home) + "/.cache";
  }
  return cache + "/" + kCacheSubfolder;
}

// Checks a folder that exists: a real folder (no link), ours, closed to
// group and others for writing.
bool CheckFolder(const std::string& path, const struct stat& st, std::string* error) {
  char text[160];
  if (!S_ISDIR(st.st_mode)) {
    *error = "Runtime folder " + path + " is not a folder";
    return false;
  }
  if (st.st_uid != geteuid()) {
    std::snprintf(text, sizeof text, " is owned by another user (uid %lu, not %lu)",
                  static_cast<unsigned long>(st.st_uid), static_cast<unsigned long>(geteuid()));
    *error = "Runtime folder " + path + text;
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    std::snprintf(text, sizeof text, " is writable by group or others (mode %04o)",
                  static_cast<unsigned>(st.st_mode & 07777));
    *error = "Runtime folder " + path + text;
    return false;
  }
  return true;
}

// Gives a folder that passed CheckFolder the mode 0700 when it has another
// (one made by hand, or under an unusual umask): what others may not write
// they need not read or search either.
bool MakePrivate(const std::string& path, const struct stat& st, std::string* error) {
  if ((st.st_mode & 07777) == 0700 || ::chmod(path.c_str(), 0700) == 0) return true;
  *error = ErrnoText("Cannot set the mode of runtime folder", path, errno);
  return false;
}

// Makes sure `path` is a safe folder of mode 0700; creates it when `create`
// is set and it is missing.
bool EnsureFolder(const std::string& path, bool create, std::string* error,
                  bool* absent = nullptr) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    return CheckFolder(path, st, error) && MakePrivate(path, st, error);
  }
  if (errno != ENOENT) {
    *error = ErrnoText("Cannot examine runtime folder", path, errno);
    return false;
  }
  if (!create) {
    *error = "Runtime folder " + path + " does not exist";
    if (absent != nullptr) *absent = true;
    return false;
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = ErrnoText("Cannot create runtime folder", path, errno);
    return false;
  }
  // Another process may have created it in between: check what is there now.
  if (::lstat(path.c_str(), &st) != 0) {
    *error = ErrnoText("Cannot examine runtime folder", path, errno);
    return false;
  }
  return CheckFolder(path, st, error) && MakePrivate(path, st, error);
}

}  // namespace

bool RuntimeDirectory(std::string* path, std::string* error) {
  const std::string base = BaseFolder(error);
  if (base.empty()) return false;
  // The folders above it in the user's cache may not be there yet; they
  // are the user's own, made private like the folder itself.
  const std::string parent = NativeParent(base);
  if (!parent.empty() && !LocalPathExists(parent) && !MakeLocalDirectories(parent, 0700)) {
    *error = ErrnoText("Cannot create the folders of runtime folder", base, errno);
    return false;
  }
  if (!EnsureFolder(base, true, error)) return false;
  for (const char* sub : {kMailslotFolder, kSharedBlockFolder, kRecipientFolder}) {
    if (!EnsureFolder(base + "/" + sub, true, error)) return false;
  }
  *path = base;
  return true;
}

bool RuntimeSubdirectory(const char* sub, bool create, std::string* path, std::string* error,
                         bool* absent) {
  if (absent != nullptr) *absent = false;
  const std::string base = BaseFolder(error);
  if (base.empty()) return false;
  if (create) {
    std::string ignored;
    if (!RuntimeDirectory(&ignored, error)) return false;
  } else if (!EnsureFolder(base, false, error, absent)) {
    return false;
  }
  const std::string dir = base + "/" + sub;
  if (!EnsureFolder(dir, create, error, absent)) return false;
  *path = dir;
  return true;
}

ExclusiveFileLock::~ExclusiveFileLock() {
  Unlock();
}

bool ExclusiveFileLock::Lock(const std::string& path, std::string* error) {
  Unlock();
  for (;;) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      *error = ErrnoText("Cannot open lock file", path, errno);
      return false;
    }
    int rc;
    do {
      rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      *error = ErrnoText("Cannot lock", path, errno);
      ::close(fd);
      return false;
    }
    // The previous holder may have removed the file while we waited; then we
    // hold a lock on a file nobody else will ever open again.
    struct stat held, named;
    const bool named_ok = ::lstat(path.c_str(), &named) == 0;
    if (::fstat(fd, &held) != 0 || (!named_ok && errno != ENOENT)) {
      *error = ErrnoText("Cannot examine lock file", path, errno);
      ::close(fd);
      return false;
    }
    if (named_ok && held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      path_ = path;
      fd_ = fd;
      return true;
    }
    ::close(fd);
  }
}

void ExclusiveFileLock::Unlock() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the flock
  fd_ = -1;
  path_.clear();
}

void ExclusiveFileLock::RemoveAndUnlock() {
  if (fd_ >= 0) ::unlink(path_.c_str());
  Unlock();
}

}  // namespace tw
