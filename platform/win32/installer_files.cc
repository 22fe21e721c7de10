// The installer's file operations on Windows; see platform/installer.h. The
// plug-in is read whole and written by replacement beside the old copy
// (platform/file_replace.h), so that Photoshop never finds a part of it.
#include <string>

#include "platform/file_attributes.h"
#include "platform/file_replace.h"
#include "platform/installer.h"
#include "platform/path.h"
#include "platform/small_file.h"
#include "platform/win32/win32_util.h"

// <windows.h> names its own functions so; here they are the installer's.
#undef CopyFile
#undef DeleteFile

namespace tw {

namespace {

// A plug-in is a small file; a larger source is not one.
constexpr size_t kMaxPluginSize = 64 << 20;

}  // namespace

bool ProviderInstaller::FileExists(const std::string& path) {
  return LocalFileExists(path);
}

bool ProviderInstaller::CopyFile(const std::string& source, const std::string& target) {
  std::string contents;
  std::string error;
  if (!ReadSmallFile(source, kMaxPluginSize, &contents, &error)) return Fail(error);
  // A bare name lies in the working folder.
  const std::string parent = NativeParent(target);
  const std::string folder = parent.empty() ? "." : parent;
  const DWORD attributes = GetFileAttributesW(win32::Wide(folder).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return Fail("the folder " + folder + " does not exist");
  }
  // The copy keeps the source's read-only attribute, as the file's mode
  // does on Linux.
  uint32_t mode = 0666;
  ReadLocalFileMode(source, &mode);
  // An older read-only copy is replaced all the same, as on Linux.
  if (LocalFileExists(target)) SetLocalFileReadOnly(target, false);
  if (ReplaceFileWhole(target, contents, -1, &error) != 0) return Fail(error);
  if ((mode & 0222) == 0) SetLocalFileReadOnly(target, true);
  return true;
}

bool ProviderInstaller::DeleteFile(const std::string& path) {
  const std::wstring wide = win32::Wide(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return Fail(win32::ErrorText("cannot remove", path, GetLastError()));
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    return Fail("cannot remove " + path + ": it is a folder");
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    SetFileAttributesW(wide.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  }
  if (!DeleteFileW(wide.c_str()))
    return Fail(win32::ErrorText("cannot remove", path, GetLastError()));
  return true;
}

}  // namespace tw
