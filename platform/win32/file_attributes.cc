// File attributes on Windows: existence and the last-write time from
// GetFileAttributesExW, read-only (and the mode's write bits) as
// FILE_ATTRIBUTE_READONLY, the real name from GetFinalPathNameByHandleW;
// see platform/file_attributes.h.
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

bool LocalPathExists(const std::string& path) {
  return !path.empty() && GetFileAttributesW(win32::Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string CanonicalLocalPath(const std::string& path) {
  if (path.empty()) return std::string();
  HANDLE file = CreateFileW(win32::Wide(path).c_str(), 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::wstring buffer(32768, L'\0');
  const DWORD n = GetFinalPathNameByHandleW(file, &buffer[0], static_cast<DWORD>(buffer.size()),
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(file);
  if (n == 0 || n >= buffer.size()) return std::string();
  buffer.resize(n);
  // The "\\?\" the call puts before a drive path is no part of the name.
  if (buffer.compare(0, 4, L"\\\\?\\") == 0 && buffer.size() > 6 && buffer[5] == L':') {
    buffer.erase(0, 4);
  }
  return win32::NarrowPath(buffer);
}

// The mode has no counterpart: new folders take their parent's security,
// and the folders the system makes lie in the user's own profile.
bool MakeLocalDirectories(const std::string& path, uint32_t mode) {
  (void)mode;
  const std::wstring wide = win32::Wide(path);
  for (size_t pos = 1; pos <= wide.size(); ++pos) {
    if (pos == wide.size() || wide[pos] == L'/' || wide[pos] == L'\\') {
      const std::wstring part = wide.substr(0, pos);
      if (part.size() == 2 && part[1] == L':') continue;  // a drive
      CreateDirectoryW(part.c_str(), nullptr);
    }
  }
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool RemoveLocalFile(const std::string& path) {
  return !path.empty() && DeleteFileW(win32::Wide(path).c_str()) != FALSE;
}

bool LocalFileModifiedSeconds(const std::string& path, int64_t* seconds) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, &data)) return false;
  *seconds = win32::UnixSecondsFromFileTime(data.ftLastWriteTime);
  return true;
}

bool ReadLocalFileVersion(const std::string& path, LocalFileVersion* version) {
  // 100-ns steps since 1601 become nanoseconds since 1970.
  constexpr int64_t kTicksFrom1601To1970 = 116444736000000000LL;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, &data)) return false;
  const int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                           data.ftLastWriteTime.dwLowDateTime);
  version->modified_ns = (ticks - kTicksFrom1601To1970) * 100;
  version->size =
      static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  return true;
}

bool SetLocalFileReadOnly(const std::string& path, bool read_only, std::string* error) {
  if (path.empty()) {
    if (error != nullptr) *error = "cannot change the write permission of an empty path";
    return false;
  }
  const std::wstring wide = win32::Wide(path);
  const DWORD old_attributes = GetFileAttributesW(wide.c_str());
  if (old_attributes == INVALID_FILE_ATTRIBUTES) {
    if (error != nullptr)
      *error = win32::ErrorText("cannot read the attributes of", path, GetLastError());
    return false;
  }
  // Only a plain file with this very name: never a folder, never through a
  // link or junction.
  if (old_attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    if (error != nullptr) {
      *error =
          "cannot change the write permission of " + path +
          ((old_attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? ": it is a link" : ": it is a folder");
    }
    return false;
  }
  DWORD new_attributes = read_only ? (old_attributes | FILE_ATTRIBUTE_READONLY)
                                   : (old_attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
  if (new_attributes == old_attributes) return true;
  // FILE_ATTRIBUTE_NORMAL must stand alone; with no other attribute left it
  // is what "no attributes" is spelled as.
  new_attributes &= ~DWORD{FILE_ATTRIBUTE_NORMAL};
  if (new_attributes == 0) new_attributes = FILE_ATTRIBUTE_NORMAL;
  if (!SetFileAttributesW(wide.c_str(), new_attributes)) {
    if (error != nullptr) {
      *error = win32::ErrorText("cannot change the write permission of", path, GetLastError());
    }
    return false;
  }
  return true;
}

bool ReadLocalFileMode(const std::string& path, uint32_t* mode) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, &data)) return false;
  *mode = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  return true;
}

bool SetLocalFileMode(const std::string& path, uint32_t mode, std::string* error) {
  return SetLocalFileReadOnly(path, (mode & 0222) == 0, error);
}

}  // namespace tw
