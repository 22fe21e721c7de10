// Moving a received file into its place on Windows: MoveFileExW, which
// copies across volumes itself; a copy is made under a fresh name beside
// its target, flushed to the disk and moved over it. See
// platform/file_move.h.
#include "platform/file_move.h"

#include <vector>

#include "platform/file_attributes.h"
#include "platform/hex.h"
#include "platform/letter_case.h"
#include "platform/random.h"
#include "platform/win32/win32_util.h"

namespace tw {

namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// `path` without trailing separators, "/" as "\\".
std::string Tidy(const std::string& path) {
  std::string tidy;
  for (char c : path) tidy += c == '/' ? '\\' : c;
  while (tidy.size() > 1 && tidy.back() == '\\' && tidy[tidy.size() - 2] != ':') tidy.pop_back();
  return tidy;
}

// Whether `path` is `base` or lies below it, without regard to letter case.
bool AtOrBelow(const std::string& path, const std::string& base) {
  const std::string p = UpperCase(Tidy(path)), b = UpperCase(Tidy(base));
  if (p.size() < b.size() || p.compare(0, b.size(), b) != 0) return false;
  return p.size() == b.size() || b.back() == '\\' || p[b.size()] == '\\';
}

// The elements of `folder` below `root` by their text; false when it is
// not below it or an element is "..".
bool ElementsBelow(const std::string& root, const std::string& folder,
                   std::vector<std::string>* elements) {
  elements->clear();
  const std::string base = Tidy(root), tidy = Tidy(folder);
  if (base.empty() || !AtOrBelow(tidy, base)) return false;
  std::string element;
  for (size_t i = base.size(); i <= tidy.size(); ++i) {
    if (i == tidy.size() || IsSeparator(tidy[i])) {
      if (element == "..") return false;
      if (!element.empty() && element != ".") elements->push_back(element);
      element.clear();
    } else {
      element += tidy[i];
    }
  }
  return true;
}

// Makes and checks `folder` step by step below `root`; see ContainedFolder.
bool WalkFolder(const std::string& root, const std::string& folder, bool create,
                std::string* error) {
  std::vector<std::string> elements;
  if (!ElementsBelow(root, folder, &elements)) {
    if (error != nullptr) *error = folder + " is not inside the working folder " + root;
    return false;
  }
  // A working folder that is not there yet is made first.
  if (!LocalPathExists(root) && (!create || !MakeLocalDirectories(Tidy(root), 0777))) {
    if (error != nullptr) *error = "no working folder " + root;
    return false;
  }
  const std::string real_root = CanonicalLocalPath(root);
  if (real_root.empty()) {
    if (error != nullptr) *error = "cannot resolve the working folder " + root;
    return false;
  }
  std::string reached = Tidy(root);
  for (const std::string& element : elements) {
    reached += "\\" + element;
    if (!LocalPathExists(reached)) {
      if (!create) {
        if (error != nullptr) *error = "no folder " + reached;
        return false;
      }
      CreateDirectoryW(win32::Wide(reached).c_str(), nullptr);
    }
    // A junction or link that leads out stops the walk before anything is
    // made through it.
    const std::string real = CanonicalLocalPath(reached);
    if (real.empty() || !AtOrBelow(real, real_root)) {
      if (error != nullptr) *error = reached + " leads out of the working folder " + root;
      return false;
    }
  }
  const DWORD attributes = GetFileAttributesW(win32::Wide(reached).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (error != nullptr) *error = reached + " is no folder";
    return false;
  }
  return true;
}

}  // namespace

ContainedFolder::~ContainedFolder() = default;

bool ContainedFolder::is_open() const {
  return !folder_.empty();
}

bool ContainedFolder::Open(const std::string& root, const std::string& folder, bool create,
                           std::string* error) {
  folder_.clear();
  if (!WalkFolder(root, folder, create, error)) return false;
  folder_ = Tidy(folder);
  return true;
}

std::string ContainedFolder::PathOf(const std::string& name) const {
  return folder_ + "\\" + name;
}

bool FolderStaysInside(const std::string& root, const std::string& folder) {
  std::vector<std::string> elements;
  if (!ElementsBelow(root, folder, &elements)) return false;
  // Below a working folder that is not there yet nothing can lead out.
  if (!LocalPathExists(root)) return true;
  const std::string real_root = CanonicalLocalPath(root);
  if (real_root.empty()) return false;
  std::string reached = Tidy(root);
  for (const std::string& element : elements) {
    const std::string next = reached + "\\" + element;
    if (!LocalPathExists(next)) break;
    reached = next;
  }
  const std::string real = CanonicalLocalPath(reached);
  return !real.empty() && AtOrBelow(real, real_root);
}

bool MoveFileReplacing(const std::string& from, const std::string& to, std::string* error) {
  const std::wstring source = win32::Wide(from);
  const std::wstring target = win32::Wide(to);
  // A read-only file in the way refuses to be replaced: it loses the
  // attribute first, and gets it back when the move fails after all.
  const DWORD old_attributes = GetFileAttributesW(target.c_str());
  const bool was_read_only = old_attributes != INVALID_FILE_ATTRIBUTES &&
                             (old_attributes & FILE_ATTRIBUTE_READONLY) &&
                             !(old_attributes & FILE_ATTRIBUTE_DIRECTORY);
  if (was_read_only) {
    SetFileAttributesW(target.c_str(), old_attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
  }
  if (MoveFileExW(source.c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  const DWORD code = GetLastError();
  if (was_read_only) SetFileAttributesW(target.c_str(), old_attributes);
  if (error != nullptr) *error = win32::ErrorText("cannot move " + from + " to", to, code);
  return false;
}

bool CopyFileReplacing(const std::string& from, const std::string& to, std::string* error) {
  // A name of its own that nobody can foresee, and a copy that fails when
  // the name exists: a file the user keeps beside `to` is never touched.
  unsigned char bytes[8];
  if (!SystemRandomBytes(bytes, sizeof bytes)) {
    if (error != nullptr) *error = "cannot make a new file name beside " + to;
    return false;
  }
  const std::string temp = to + ".~" + HexText(bytes, sizeof bytes, HexCase::kLower);
  const std::wstring wide_temp = win32::Wide(temp);
  if (!CopyFileW(win32::Wide(from).c_str(), wide_temp.c_str(), TRUE)) {
    if (error != nullptr)
      *error = win32::ErrorText("cannot copy " + from + " to", temp, GetLastError());
    return false;
  }
  // The copy is writable, whatever the original was; a copy that keeps the
  // read-only attribute would refuse the next replacement, so it is not
  // put in place.
  const DWORD attributes = GetFileAttributesW(wide_temp.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      ((attributes & FILE_ATTRIBUTE_READONLY) &&
       !SetFileAttributesW(wide_temp.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}))) {
    const DWORD code = GetLastError();
    DeleteFileW(wide_temp.c_str());
    if (error != nullptr) *error = win32::ErrorText("cannot make writable", temp, code);
    return false;
  }
  // Its bytes reach the disk before its name replaces the old file's, so
  // that a crash leaves the old file or the whole new one.
  {
    win32::ScopedHandle copy(CreateFileW(wide_temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy.valid() || !FlushFileBuffers(copy.get())) {
      const DWORD code = GetLastError();
      copy.Reset();
      DeleteFileW(wide_temp.c_str());
      if (error != nullptr) *error = win32::ErrorText("cannot write to disk", temp, code);
      return false;
    }
  }
  if (!MoveFileReplacing(temp, to, error)) {
    DeleteFileW(wide_temp.c_str());
    return false;
  }
  return true;
}

}  // namespace tw
