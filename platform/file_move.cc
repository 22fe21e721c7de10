#include "platform/file_move.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/errno_text.h"
#include "platform/file_attributes.h"
#include "platform/file_replace.h"
#include "platform/path.h"

namespace tw {

namespace {

// The process's file mode mask, read without changing it (umask(2) would
// have to set it, racing other threads that create files).
mode_t CurrentUmask() {
  FILE* status = std::fopen("/proc/self/status", "re");
  mode_t mask = 022;
  if (status == nullptr) return mask;
  char line[128];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "Umask:", 6) == 0) {
      mask = static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8));
      break;
    }
  }
  std::fclose(status);
  return mask;
}

// The elements of `folder` below `root`, by their text: false when either is
// not absolute, `folder` is neither `root` nor below it, or an element is
// "..". Empty and "." elements are dropped.
bool ElementsBelow(const std::string& root, const std::string& folder,
                   std::vector<std::string>* elements) {
  elements->clear();
  const std::string base = DropTrailingSeparator(root, '/');
  if (base.empty() || base[0] != '/' || folder.empty() || folder[0] != '/') return false;
  std::string rest;
  if (base == "/") {
    rest = folder.substr(1);
  } else if (folder.compare(0, base.size(), base) != 0 ||
             (folder.size() > base.size() && folder[base.size()] != '/')) {
    return false;
  } else if (folder.size() > base.size()) {
    rest = folder.substr(base.size() + 1);
  }
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('/', start);
    if (end == std::string::npos) end = rest.size();
    const std::string element = rest.substr(start, end - start);
    if (element == "..") return false;
    if (!element.empty() && element != ".") elements->push_back(element);
    start = end + 1;
  }
  return true;
}

// A folder below a working folder, resolved: the real path to start from
// (the working folder's, or when the working folder does not exist yet,
// that of the nearest folder above it), the elements below it that exist
// (real, inside the working folder) and those still missing.
struct ResolvedFolder {
  std::string base;
  std::vector<std::string> existing;
  std::vector<std::string> missing;
};

bool ResolveFolder(const std::string& root, const std::string& folder, ResolvedFolder* out,
                   std::string* error) {
  std::vector<std::string> elements;
  if (!ElementsBelow(root, folder, &elements)) {
    if (error != nullptr) *error = folder + " is not inside the working folder " + root;
    return false;
  }
  const std::string tidy_root = DropTrailingSeparator(root, '/');
  if (!LocalPathExists(tidy_root)) {
    // A working folder that is not there yet is made with everything in
    // it, below the nearest folder above it that exists.
    std::string above = tidy_root;
    std::vector<std::string> made;
    while (!LocalPathExists(above)) {
      made.insert(made.begin(), NativeLastComponent(above));
      above = NativeParent(above);
      if (above.empty()) above = "/";
    }
    out->base = CanonicalLocalPath(above);
    if (out->base.empty()) {
      if (error != nullptr) *error = ErrnoText("cannot resolve", above, errno);
      return false;
    }
    out->existing.clear();
    out->missing = made;
    out->missing.insert(out->missing.end(), elements.begin(), elements.end());
    return true;
  }
  out->base = CanonicalLocalPath(tidy_root);
  if (out->base.empty()) {
    if (error != nullptr) *error = ErrnoText("cannot resolve the working folder", root, errno);
    return false;
  }
  // The nearest part that exists: anything with the name counts, a
  // dangling link too, which then cannot be resolved and is refused.
  std::string existing = tidy_root;
  size_t have = 0;
  for (; have < elements.size(); ++have) {
    const std::string next = NativeJoin(existing, elements[have]);
    if (!LocalPathExists(next)) break;
    existing = next;
  }
  const std::string real = CanonicalLocalPath(existing);
  if (real.empty()) {
    if (error != nullptr) *error = ErrnoText("cannot resolve", existing, errno);
    return false;
  }
  if (!ElementsBelow(out->base, real, &out->existing)) {
    if (error != nullptr) {
      *error = existing + " leads out of the working folder " + root + " (to " + real + ")";
    }
    return false;
  }
  out->missing.assign(elements.begin() + static_cast<std::ptrdiff_t>(have), elements.end());
  return true;
}

// Opens `name` in the folder `at` as a folder, never through a link; the
// descriptor, or -1 with errno.
int OpenFolderAt(int at, const std::string& name) {
  return ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

}  // namespace

ContainedFolder::~ContainedFolder() {
  if (fd_ >= 0) ::close(fd_);
}

bool ContainedFolder::is_open() const {
  return fd_ >= 0;
}

bool ContainedFolder::Open(const std::string& root, const std::string& folder, bool create,
                           std::string* error) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  ResolvedFolder resolved;
  if (!ResolveFolder(root, folder, &resolved, error)) return false;
  // From the real working folder down, one step at a time and never
  // through a link: a link swapped in since the path was resolved fails
  // the step instead of being followed.
  std::string reached = resolved.base;
  int fd = ::open(reached.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  auto fail = [&](const char* what, int code) {
    if (fd >= 0) ::close(fd);
    if (error != nullptr) *error = ErrnoText(what, reached, code);
    return false;
  };
  if (fd < 0) return fail("cannot open the folder", errno);
  for (const std::string& element : resolved.existing) {
    reached = NativeJoin(reached, element);
    const int next = OpenFolderAt(fd, element);
    if (next < 0) return fail("cannot open the folder", errno);
    ::close(fd);
    fd = next;
  }
  for (const std::string& element : resolved.missing) {
    reached = NativeJoin(reached, element);
    if (!create) return fail("cannot open the folder", ENOENT);
    if (::mkdirat(fd, element.c_str(), 0777) != 0 && errno != EEXIST) {
      return fail("cannot create the folder", errno);
    }
    const int next = OpenFolderAt(fd, element);
    if (next < 0) return fail("cannot open the folder", errno);
    ::close(fd);
    fd = next;
  }
  fd_ = fd;
  return true;
}

std::string ContainedFolder::PathOf(const std::string& name) const {
  return "/proc/self/fd/" + std::to_string(fd_) + "/" + name;
}

bool FolderStaysInside(const std::string& root, const std::string& folder) {
  ResolvedFolder resolved;
  return ResolveFolder(root, folder, &resolved, nullptr);
}

bool CopyFileReplacing(const std::string& from, const std::string& to, std::string* error) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    if (error != nullptr) *error = ErrnoText("cannot open", from, errno);
    return false;
  }
  // A name of its own that nobody can foresee, made with O_EXCL: a file the
  // user keeps beside `to`, or a link planted there, is never touched.
  std::string temp;
  const int out = CreateSibling(to, &temp);
  if (out < 0) {
    if (error != nullptr) *error = ErrnoText("cannot create a new file beside", to, errno);
    ::close(in);
    return false;
  }
  char buffer[1 << 16];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error != nullptr) *error = ErrnoText("cannot read", from, errno);
      ok = false;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        if (error != nullptr) *error = ErrnoText("cannot copy to", temp, w == 0 ? EIO : errno);
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  ::close(in);
  // The bytes reach the disk before the name does: a crash never leaves
  // `to` naming a file whose contents were lost.
  if (ok && ::fsync(out) != 0) {
    if (error != nullptr) *error = ErrnoText("cannot complete", temp, errno);
    ok = false;
  }
  if (::close(out) != 0 && ok) {
    if (error != nullptr) *error = ErrnoText("cannot complete", temp, errno);
    ok = false;
  }
  if (ok && ::rename(temp.c_str(), to.c_str()) != 0) {
    if (error != nullptr) *error = ErrnoText("cannot replace", to, errno);
    ok = false;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  SyncFolderOf(to);
  return true;
}

bool MoveFileReplacing(const std::string& from, const std::string& to, std::string* error) {
  // Received files are created owner-only; in place they get the mode any
  // file the user makes gets. The mode is set on the scratch file before
  // it moves: a path-based change after the move could follow whatever
  // took `to`'s name meanwhile.
  ::chmod(from.c_str(), 0666 & ~CurrentUmask());
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) {
    if (error != nullptr) *error = ErrnoText("cannot move to", to, errno);
    return false;
  }
  if (!CopyFileReplacing(from, to, error)) return false;
  ::unlink(from.c_str());
  return true;
}

}  // namespace tw
