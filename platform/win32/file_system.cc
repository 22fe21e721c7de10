// Small file-system operations, Windows form; see platform/file_system.h.
#include "platform/file_system.h"

#include "platform/win32/win32_util.h"

namespace tw {

bool RemoveLocalFile(const std::string& path) {
  return !path.empty() && DeleteFileW(win32::Wide(path).c_str()) != FALSE;
}

bool LocalPathExists(const std::string& path) {
  return !path.empty() && GetFileAttributesW(win32::Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CreateNewFile(const std::string& to, const std::string& from) {
  if (!from.empty()) {
    // Fails when `to` exists.
    return CopyFileW(win32::Wide(from).c_str(), win32::Wide(to).c_str(), TRUE) != FALSE;
  }
  HANDLE file = CreateFileW(win32::Wide(to).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

bool MakePrivateDirectories(const std::string& path) {
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

std::string CanonicalPath(const std::string& path) {
  if (path.empty()) return std::string();
  HANDLE file = CreateFileW(win32::Wide(path).c_str(), 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  wchar_t buffer[32768];
  const DWORD n =
      GetFinalPathNameByHandleW(file, buffer, 32768, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(file);
  if (n == 0 || n >= 32768) return std::string();
  std::wstring result(buffer, n);
  // The "\\?\" the call puts before a drive path is no part of the name.
  if (result.compare(0, 4, L"\\\\?\\") == 0 && result.size() > 6 && result[5] == L':') {
    result.erase(0, 4);
  }
  return win32::Narrow(result);
}

RegularFileReader::RegularFileReader(const std::string& path) {
  HANDLE file = CreateFileW(win32::Wide(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER size;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
    CloseHandle(file);
    return;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  size_ = static_cast<uint64_t>(size.QuadPart);
}

RegularFileReader::~RegularFileReader() {
  if (handle_ != kClosed) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

int64_t RegularFileReader::Read(void* buffer, size_t count) {
  if (handle_ == kClosed) return -1;
  const DWORD want = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
  DWORD got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, want, &got, nullptr)) return -1;
  return got;
}

}  // namespace tw
