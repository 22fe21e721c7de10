#include "platform/junction.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/errno_text.h"
#include "platform/process.h"

namespace tw {

namespace {

// statfs types of the FAT family (linux/magic.h).
constexpr int64_t kMsdosMagic = 0x4d44;
constexpr int64_t kExfatMagic = 0x2011BAB0;

constexpr char kNoLinks[] = "Selected volume does not support links";

// `text` in UTF-16 code units; false when it is not UTF-8.
bool ToUtf16(const std::string& text, std::u16string* out) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t extra;
    uint32_t code;
    if (c < 0x80) {
      extra = 0;
      code = c;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const unsigned char cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      code = (code << 6) | (cc & 0x3F);
    }
    static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return false;
    if (code >= 0x10000) {
      code -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(code));
    }
    i += extra + 1;
  }
  return true;
}

void Put16(std::vector<uint8_t>* buffer, size_t offset, uint32_t value) {
  (*buffer)[offset] = static_cast<uint8_t>(value);
  (*buffer)[offset + 1] = static_cast<uint8_t>(value >> 8);
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string MountPointSubstituteName(const std::string& full_target) {
  std::string name = "\\??\\" + full_target;
  const size_t n = name.size();
  if (n >= 2 && name[n - 1] == '\\' && name[n - 2] != ':') name.pop_back();
  return name;
}

bool MountPointReparseBuffer(const std::string& full_target, std::vector<uint8_t>* buffer) {
  std::u16string name;
  if (!ToUtf16(MountPointSubstituteName(full_target), &name)) return false;
  const size_t length = name.size() * 2;  // L
  if (length + 20 > kMaxReparseBufferSize) return false;
  std::vector<uint8_t> out(length + 20, 0);
  Put16(&out, 0, kMountPointReparseTag & 0xFFFF);
  Put16(&out, 2, kMountPointReparseTag >> 16);
  Put16(&out, 4, static_cast<uint32_t>(length + 12));
  Put16(&out, 6, 0);
  Put16(&out, 8, 0);
  Put16(&out, 10, static_cast<uint32_t>(length));
  Put16(&out, 12, static_cast<uint32_t>(length + 2));
  Put16(&out, 14, 0);
  for (size_t i = 0; i < name.size(); ++i) Put16(&out, 16 + 2 * i, name[i]);
  // The last four bytes stay zero: the name's end and the empty print name.
  *buffer = std::move(out);
  return true;
}

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
    probe = FolderOf(WithoutTrailingSlashes(probe));
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
  const std::string link_path = WithoutTrailingSlashes(link);
  const std::string link_folder =
      link_path.empty() ? std::string() : FolderOf(AbsolutePath(link_path, std::string()));
  if (!SupportsLinks(target) || (!link_folder.empty() && !SupportsLinks(link_folder))) {
    last_error_ = kNoLinks;
    return kJunctionFailed;
  }
  // The full path of the target: it must be an existing folder.
  char full[PATH_MAX];
  if (::realpath(target.c_str(), full) == nullptr) {
    SetSystemError(target + " is an invalid file name: ", errno);
    return kJunctionBadName;
  }
  struct stat st {};
  if (::stat(full, &st) != 0 || !S_ISDIR(st.st_mode)) {
    SetSystemError(target + " is an invalid file name: ", ENOTDIR);
    return kJunctionBadName;
  }
  // One step that either makes the whole junction or nothing at all.
  if (link_path.empty() || ::symlink(full, link_path.c_str()) != 0) {
    SetSystemError("Error creating " + link + ": ", link_path.empty() ? ENOENT : errno);
    return kJunctionFailed;
  }
  last_error_.clear();
  return kJunctionOk;
}

bool JunctionHelper::RemoveJunction(const std::string& link) {
  const std::string link_path = WithoutTrailingSlashes(link);
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
