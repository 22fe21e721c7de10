// Small files read whole and records appended: the Windows form.
// FILE_APPEND_DATA alone makes every write an append at the end of the
// file, as O_APPEND does.
#include "platform/small_file.h"

#include "platform/win32/win32_util.h"

namespace tw {

bool ReadSmallFile(const std::string& path, size_t max_bytes, std::string* contents,
                   std::string* error) {
  contents->clear();
  win32::ScopedHandle file(CreateFileW(win32::Wide(path).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    *error = win32::SystemMessage(GetLastError());
    return false;
  }
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    *error = "not a regular file";
    return false;
  }
  char buffer[8192];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) {
      *error = win32::SystemMessage(GetLastError());
      contents->clear();
      return false;
    }
    if (got == 0) return true;
    if (contents->size() + got > max_bytes) {
      *error = "larger than " + std::to_string(max_bytes) + " bytes";
      contents->clear();
      return false;
    }
    contents->append(buffer, got);
  }
}

bool AppendToFile(const std::string& path, const std::string& text, std::string* error,
                  bool follow_links) {
  // Without following links, FILE_FLAG_OPEN_REPARSE_POINT opens a symbolic
  // link or junction in the file's place itself rather than what it leads
  // to, so that it can be refused below before anything is written.
  // FILE_READ_ATTRIBUTES lets GetFileInformationByHandle see its attributes.
  win32::ScopedHandle file(CreateFileW(
      win32::Wide(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr));
  if (!file.valid()) {
    *error = win32::ErrorText("cannot open", path, GetLastError());
    return false;
  }
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    *error = "cannot append to " + path + ": not a regular file";
    return false;
  }
  if (!follow_links) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.get(), &info)) {
      *error = win32::ErrorText("cannot append to", path, GetLastError());
      return false;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      *error = "cannot append to " + path + ": a symbolic link or junction is in its place";
      return false;
    }
  }
  DWORD written = 0;
  if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
      written != text.size()) {
    *error = "short write to " + path;
    return false;
  }
  return true;
}

}  // namespace tw
