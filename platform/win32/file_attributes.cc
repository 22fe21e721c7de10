// File attributes on Windows: existence and the last-write time from
// GetFileAttributesExW, read-only as FILE_ATTRIBUTE_READONLY; see
// platform/file_attributes.h.
#include "platform/file_attributes.h"

#include "platform/win32/win32_util.h"

namespace tw {
namespace {
bool Attributes(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA* data) {
  return !path.empty() &&
         GetFileAttributesExW(win32::Wide(path).c_str(), GetFileExInfoStandard, data) != FALSE;
}
}  // namespace

bool LocalFileExists(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  return Attributes(path, &data) && !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool LocalFileModifiedSeconds(const std::string& path, int64_t* seconds) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, &data)) return false;
  *seconds = win32::UnixSecondsFromFileTime(data.ftLastWriteTime);
  return true;
}

bool SetLocalFileReadOnly(const std::string& path, bool read_only) {
  if (path.empty()) return false;
  const std::wstring wide = win32::Wide(path);
  const DWORD old_attributes = GetFileAttributesW(wide.c_str());
  if (old_attributes == INVALID_FILE_ATTRIBUTES) return false;
  DWORD new_attributes = read_only ? (old_attributes | FILE_ATTRIBUTE_READONLY)
                                   : (old_attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
  if (new_attributes == old_attributes) return true;
  // FILE_ATTRIBUTE_NORMAL must stand alone; with no other attribute left it
  // is what "no attributes" is spelled as.
  new_attributes &= ~DWORD{FILE_ATTRIBUTE_NORMAL};
  if (new_attributes == 0) new_attributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileAttributesW(wide.c_str(), new_attributes) != FALSE;
}

}  // namespace tw
