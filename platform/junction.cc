#include "platform/junction.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/errno_text.h"
#include "platform/path.h"
#include "platform/process.h"

namespace tw {

namespace {

// statfs types of the FAT family (linux/magic.h).
constexpr int64_t kMsdosMagic = 0x4d44;
constexpr int64_t kExfatMagic = 0x2011BAB0;

constexpr char kNoLinks[] = "Selected volume does not support links";

// The full name of `target` as the junction names it: made absolute and
// free of "." and ".." elements, as the system expands any name; then its
// real path where it exists, or, for a target that does not exist yet, the
// real path of the nearest folder above it followed by the rest of the
// name, so that the link leads to the target once it is made. Empty when
// the current folder cannot be read.
std::string FullTargetPath(const std::string& target) {
  const std::string absolute = AbsolutePath(target, std::string());
  if (absolute.empty()) return std::string();
  std::string existing = DropTrailingSeparator(
      std::filesystem::path(absolute).lexically_normal().native(), kNativeSeparator);
  std::string rest;
  for (;;) {
    char resolved[PATH_MAX];
    if (::realpath(existing.c_str(), resolved) != nullptr) return NativeJoin(resolved, rest);
    if (existing == "/") return NativeJoin(existing, rest);
    rest = NativeJoin(NativeLastComponent(existing), rest);
    existing = NativeParent(existing);
  }
}

}  // namespace

bool FileSystemSupportsLinks(int64_t statfs_type) {
  const int64_t type = statfs_type & 0xFFFFFFFF;
  return type != kMsdosMagic && type != kExfatMagic;
}

bool JunctionHelper::SupportsLinks(const std::string& path) {
  std::string probe = path.empty() ? std::string() : AbsolutePath(path, std::string());
  if (probe.empty()) return false;
  for (;;) {
    struct statfs info {};
    if (::statfs(probe.c_str(), &info) == 0) {
      return FileSystemSupportsLinks(static_cast<int64_t>(info.f_type));
    }
    if ((errno != ENOENT && errno != ENOTDIR) || probe == "/") return false;
    probe = NativeParent(probe);
  }
}

void JunctionHelper::SetSystemError(const std::string& prefix, int code) {
  last_error_ = prefix + ErrnoReason(code) + "\n";
}

int JunctionHelper::CreateJunction(const std::string& link, const std::string& target) {
  if (target.empty()) {
    SetSystemError(" is an invalid file name: ", ENOENT);
    return kJunctionBadName;
  }
  const std::string link_path = DropTrailingSeparator(link, kNativeSeparator);
  const std::string link_folder =
      link_path.empty() ? std::string() : NativeParent(AbsolutePath(link_path, std::string()));
  if (!SupportsLinks(target) || (!link_path.empty() && !SupportsLinks(link_folder))) {
    last_error_ = kNoLinks;
    return kJunctionFailed;
  }
  // A target that does not exist yet is linked all the same: the junction
  // leads there once it is made. One that exists must be a folder.
  const std::string full = FullTargetPath(target);
  if (full.empty()) {
    SetSystemError(target + " is an invalid file name: ", errno);
    return kJunctionBadName;
  }
  struct stat st {};
  if (::stat(full.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    SetSystemError(target + " is an invalid file name: ", ENOTDIR);
    return kJunctionBadName;
  }
  // One step that either makes the whole junction or nothing at all.
  if (link_path.empty() || ::symlink(full.c_str(), link_path.c_str()) != 0) {
    SetSystemError("Error creating " + link + ": ", link_path.empty() ? ENOENT : errno);
    return kJunctionFailed;
  }
  last_error_.clear();
  return kJunctionOk;
}

bool JunctionHelper::RemoveJunction(const std::string& link) {
  const std::string link_path = DropTrailingSeparator(link, kNativeSeparator);
  const std::string prefix = "Failed to remove link " + link + ": ";
  struct stat st {};
  if (link_path.empty() || ::lstat(link_path.c_str(), &st) != 0) {
    SetSystemError(prefix, link_path.empty() ? ENOENT : errno);
    return false;
  }
  int rc;
  if (S_ISLNK(st.st_mode)) {
    rc = ::unlink(link_path.c_str());
  } else if (S_ISDIR(st.st_mode)) {
    rc = ::rmdir(link_path.c_str());
  } else {
    errno = ENOTDIR;
    rc = -1;
  }
  if (rc != 0) {
    SetSystemError(prefix, errno);
    return false;
  }
  last_error_.clear();
  return true;
}

}  // namespace tw
