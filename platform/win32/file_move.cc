// Moving a received file into its place on Windows: MoveFileExW, which
// copies across volumes itself; a copy is made under a fresh name beside
// its target, flushed to the disk and moved over it. See
// platform/file_move.h.
#include "platform/file_move.h"

#include "platform/hex.h"
#include "platform/random.h"
#include "platform/win32/win32_util.h"

namespace tw {

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
