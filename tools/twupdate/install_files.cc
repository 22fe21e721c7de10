// The file operations of an update on POSIX systems: "in use" from the
// memory maps of the user's processes, copies through descriptors flushed
// with fsync, backups as hard links, replacement by rename(2).
#include "tools/twupdate/install_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "platform/errno_text.h"
#include "platform/file_replace.h"

namespace tw {
namespace {

struct MappedFile {
  unsigned long major = 0;
  unsigned long minor = 0;
  unsigned long long inode = 0;
  std::string path;  // its real path
};

std::string Failure(const std::string& what, const std::string& path, int code) {
  return what + " " + path + ": " + ErrnoReason(code);
}

// The first of `files` that the maps of process `pid` name; null for none.
// Device and inode are compared, and the path too: some file systems
// (overlays) show the device of the layer below in the maps, while the path
// stays the one the program opened.
const MappedFile* FirstMapped(const std::string& pid, const std::vector<MappedFile>& files) {
  std::ifstream maps("/proc/" + pid + "/maps");
  std::string line;
  while (std::getline(maps, line)) {
    // "start-end perms offset major:minor inode   path"
    unsigned long major = 0;
    unsigned long minor = 0;
    unsigned long long inode = 0;
    int path_at = 0;
    if (std::sscanf(line.c_str(), "%*s %*s %*s %lx:%lx %llu %n", &major, &minor, &inode, &path_at) <
            3 ||
        inode == 0) {
      continue;
    }
    const std::string path = path_at > 0 ? line.substr(static_cast<size_t>(path_at)) : "";
    for (const MappedFile& file : files) {
      if ((file.major == major && file.minor == minor && file.inode == inode) ||
          file.path == path) {
        return &file;
      }
    }
  }
  return nullptr;
}

}  // namespace

std::string FirstFileInUse(const std::vector<std::string>& paths) {
  std::vector<MappedFile> files;
  for (const std::string& path : paths) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) continue;
    MappedFile file;
    file.major = major(st.st_dev);
    file.minor = minor(st.st_dev);
    file.inode = st.st_ino;
    char resolved[PATH_MAX];
    file.path = ::realpath(path.c_str(), resolved) != nullptr ? resolved : path;
    files.push_back(file);
  }
  if (files.empty()) return std::string();
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return std::string();
  const std::string self = std::to_string(::getpid());
  const uid_t user = ::geteuid();
  std::string in_use;
  while (const struct dirent* entry = ::readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    struct stat st;
    // Only the user's own processes: another user's maps cannot be read,
    // and another user's program does not run from this installation.
    if (::stat(("/proc/" + pid).c_str(), &st) != 0 || st.st_uid != user) continue;
    if (const MappedFile* file = FirstMapped(pid, files)) {
      in_use = file->path;
      break;
    }
  }
  ::closedir(proc);
  return in_use;
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool StageCopy(const std::string& source, const std::string& staged, const std::string& like,
               std::string* error) {
  // O_NONBLOCK: a pipe must not hold the update until a writer comes; it
  // is refused below as no regular file.
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  struct stat st;
  if (in < 0 || ::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int code = in < 0 ? errno : EINVAL;
    if (in >= 0) ::close(in);
    *error = Failure("Cannot read", source, code);
    return false;
  }
  mode_t mode = st.st_mode & 07777;
  struct stat old;
  if (::stat(like.c_str(), &old) == 0) mode = old.st_mode & 07777;
  const int out =
      ::open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (out < 0) {
    *error = Failure("Cannot create", staged, errno);
    ::close(in);
    return false;
  }
  int code = 0;
  std::string what = "Cannot write";
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      code = errno;
      what = "Cannot read";
      break;
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n && code == 0;) {
      const ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) code = errno;
      if (w > 0) done += w;
    }
    if (code != 0) break;
  }
  // The permissions exactly (no umask), and the bytes on the disk before
  // the copy takes the old file's name.
  if (code == 0 && ::fchmod(out, mode) != 0) code = errno;
  if (code == 0 && ::fsync(out) != 0) code = errno;
  if (::close(out) != 0 && code == 0) code = errno;
  ::close(in);
  if (code != 0) {
    *error = Failure(what, what == "Cannot read" ? source : staged, code);
    ::unlink(staged.c_str());
    return false;
  }
  return true;
}

bool KeepBackup(const std::string& path, const std::string& backup, std::string* error) {
  if (::link(path.c_str(), backup.c_str()) == 0) return true;
  // A file system without hard links: a copy keeps the old bytes instead.
  if (errno != EPERM && errno != EXDEV && errno != EMLINK && errno != ENOTSUP) {
    *error = Failure("Cannot keep a copy of", path, errno);
    return false;
  }
  return StageCopy(path, backup, path, error);
}

bool RenameOver(const std::string& from, const std::string& to, std::string* error) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    *error = Failure("Cannot put " + from + " in place of", to, errno);
    return false;
  }
  SyncFolderOf(to);
  return true;
}

bool RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool MakeReplaceable(const std::string&, bool* was_read_only, std::string*) {
  *was_read_only = false;
  return true;
}

void RestoreReadOnly(const std::string&) {}

UpdateLock::~UpdateLock() {
  if (handle_ < 0) return;
  // Unlinked while still held: an updater that opened the file meanwhile
  // finds, once it holds the lock, that its file is no longer the one named.
  unlink(path_.c_str());
  close(static_cast<int>(handle_));
}

bool UpdateLock::Take(const std::string& path, std::string* error) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      *error = Failure("Cannot make the lock file", path, errno);
      return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int code = errno;
      close(fd);
      *error = code == EWOULDBLOCK
                   ? "another TWUpdate is at work on this installation (" + path + " is locked)"
                   : Failure("Cannot lock", path, code);
      return false;
    }
    // The lock counts only on the file the name still names: one its
    // holder removed before letting go is taken afresh.
    struct stat held, named;
    if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      path_ = path;
      handle_ = fd;
      return true;
    }
    close(fd);
  }
  *error = "Cannot lock " + path + ": it keeps being replaced";
  return false;
}

}  // namespace tw
