// Directory junctions on Windows: a folder carrying the mount-point reparse
// buffer (platform/reparse_buffer.cc) set with FSCTL_SET_REPARSE_POINT.
// See platform/junction.h.
#include "platform/junction.h"

// clang-format off
#include "platform/win32/win32_util.h"  // <windows.h> first
#include <winioctl.h>
// clang-format on

namespace tw {
namespace {

constexpr char kNoLinks[] = "Selected volume does not support links";

// The root of the volume holding `path` (or its nearest existing parent).
bool VolumeRoot(const std::string& path, std::wstring* root) {
  wchar_t buffer[MAX_PATH + 1];
  if (!GetVolumePathNameW(win32::Wide(path).c_str(), buffer, MAX_PATH + 1)) return false;
  *root = buffer;
  return true;
}

}  // namespace

bool JunctionHelper::SupportsLinks(const std::string& path) {
  std::wstring root;
  DWORD flags = 0;
  if (!VolumeRoot(path, &root) ||
      !GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
    return false;
  }
  return (flags & FILE_SUPPORTS_REPARSE_POINTS) != 0;
}

void JunctionHelper::SetSystemError(const std::string& prefix, int code) {
  last_error_ = prefix + win32::SystemMessage(static_cast<DWORD>(code)) + "\n";
}

int JunctionHelper::CreateJunction(const std::string& link, const std::string& target) {
  if (!SupportsLinks(target) || !SupportsLinks(link)) {
    last_error_ = kNoLinks;
    return kJunctionFailed;
  }
  const std::wstring wide_target = win32::Wide(target);
  wchar_t full[32768];
  const DWORD n = GetFullPathNameW(wide_target.c_str(), 32768, full, nullptr);
  if (n == 0 || n >= 32768) {
    const DWORD code = n == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    SetSystemError(target + " is an invalid file name: ", static_cast<int>(code));
    return kJunctionBadName;
  }
  // A target that does not exist yet is linked all the same: the junction
  // leads there once the folder is made. One that exists must be a folder.
  const DWORD attributes = GetFileAttributesW(full);
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetSystemError(target + " is an invalid file name: ", ERROR_DIRECTORY);
    return kJunctionBadName;
  }
  std::vector<uint8_t> buffer;
  // The buffer is built from UTF-8 (its byte layout is the same on every
  // system); the full name goes there without a detour through the code page.
  if (!MountPointReparseBuffer(win32::Utf8FromWide(std::wstring(full, n)), &buffer)) {
    SetSystemError(target + " is an invalid file name: ", ERROR_FILENAME_EXCED_RANGE);
    return kJunctionBadName;
  }
  const std::wstring wide_link = win32::Wide(link);
  if (!CreateDirectoryW(wide_link.c_str(), nullptr)) {
    SetSystemError("Error creating " + link + ": ", static_cast<int>(GetLastError()));
    return kJunctionFailed;
  }
  HANDLE handle = CreateFileW(wide_link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SetSystemError("Error creating " + link + ": ", static_cast<int>(GetLastError()));
    RemoveDirectoryW(wide_link.c_str());
    return kJunctionFailed;
  }
  DWORD returned = 0;
  if (!DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(),
                       static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr)) {
    SetSystemError("Error setting junction for " + link + ": ", static_cast<int>(GetLastError()));
    CloseHandle(handle);
    RemoveDirectoryW(wide_link.c_str());
    return kJunctionFailed;
  }
  CloseHandle(handle);
  last_error_.clear();
  return kJunctionOk;
}

bool JunctionHelper::RemoveJunction(const std::string& link) {
  // Removing the folder removes the junction, never what it points to.
  if (!RemoveDirectoryW(win32::Wide(link).c_str())) {
    SetSystemError("Failed to remove link " + link + ": ", static_cast<int>(GetLastError()));
    return false;
  }
  last_error_.clear();
  return true;
}

}  // namespace tw
