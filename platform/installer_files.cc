// The installer's file operations on Linux: the plug-in is read whole and
// written by replacement beside the old copy, so that Photoshop never finds
// a part of it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/errno_text.h"
#include "platform/file_attributes.h"
#include "platform/file_replace.h"
#include "platform/installer.h"
#include "platform/path.h"

namespace tw {

namespace {

// A plug-in is a small file; a larger source is not one.
constexpr off_t kMaxPluginSize = 64 << 20;

}  // namespace

bool ProviderInstaller::FileExists(const std::string& path) {
  return LocalFileExists(path);
}

bool ProviderInstaller::CopyFile(const std::string& source, const std::string& target) {
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) return Fail(ErrnoText("cannot read", source, errno));
  struct stat st {};
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxPluginSize) {
    ::close(in);
    return Fail(source + " is not a file that can be copied");
  }
  std::string contents;
  contents.reserve(static_cast<size_t>(st.st_size));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int code = errno;
      ::close(in);
      return Fail(ErrnoText("cannot read", source, code));
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<size_t>(n));
    if (contents.size() > static_cast<size_t>(kMaxPluginSize)) {
      ::close(in);
      return Fail(source + " is not a file that can be copied");
    }
  }
  ::close(in);
  // A bare name lies in the working folder.
  const std::string parent = NativeParent(target);
  const std::string folder = parent.empty() ? "." : parent;
  struct stat folder_info {};
  if (::stat(folder.c_str(), &folder_info) != 0 || !S_ISDIR(folder_info.st_mode)) {
    return Fail("the folder " + folder + " does not exist");
  }
  std::string error;
  if (ReplaceFileWhole(target, contents, static_cast<int>(st.st_mode & 0777), &error) != 0) {
    return Fail(error);
  }
  return true;
}

bool ProviderInstaller::DeleteFile(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return Fail(ErrnoText("cannot remove", path, errno));
  if (S_ISDIR(st.st_mode)) return Fail("cannot remove " + path + ": it is a folder");
  if (S_ISREG(st.st_mode)) SetLocalFileReadOnly(path, false);
  if (::unlink(path.c_str()) != 0) return Fail(ErrnoText("cannot remove", path, errno));
  return true;
}

}  // namespace tw
