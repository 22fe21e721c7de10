// The runtime folder on Windows: $VELTRANE_RUNTIME_DIR, else
// "%LOCALAPPDATA%\Veltrane" (the user's own local application data, which
// only that user may open), else the user's temporary folder. Mailslots,
// shared blocks and the recipient table are kernel objects there, so the
// folder holds only the property server's files. ExclusiveFileLock locks
// the whole file with LockFileEx. See platform/runtime_dir.h.
//
// Threads: the functions keep no state; an ExclusiveFileLock belongs to one
// thread at a time.
#include "platform/runtime_dir.h"

#include <fcntl.h>
#include <io.h>

#include <cstdlib>

#include "platform/win32/win32_util.h"

namespace tw {
namespace {

std::string EnvText(const wchar_t* name) {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD n = GetEnvironmentVariableW(name, buffer, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return std::string();
  return win32::Narrow(buffer, n);
}

std::string BaseFolder() {
  std::string base = EnvText(L"VELTRANE_RUNTIME_DIR");
  if (!base.empty()) return base;
  base = EnvText(L"LOCALAPPDATA");
  if (!base.empty()) return base + "\\Veltrane";
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  if (n == 0 || n > MAX_PATH) return std::string();
  std::string folder = win32::Narrow(temp, n);
  while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  return folder + "\\Veltrane";
}

// A folder that is a plain folder (not a file, not a junction someone
// planted), made when missing and `create` is set.
bool EnsureFolder(const std::string& path, bool create, std::string* error, bool* absent) {
  if (absent != nullptr) *absent = false;
  const std::wstring wide = win32::Wide(path);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (!create) {
      if (absent != nullptr) *absent = true;
      *error = path + " does not exist";
      return false;
    }
    if (!CreateDirectoryW(wide.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      *error = win32::ErrorText("cannot create", path, GetLastError());
      return false;
    }
    attributes = GetFileAttributesW(wide.c_str());
  }
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    *error = path + " is not a plain folder";
    return false;
  }
  return true;
}

}  // namespace

bool RuntimeDirectory(std::string* path, std::string* error) {
  const std::string base = BaseFolder();
  if (base.empty()) {
    *error = "no runtime folder: neither VELTRANE_RUNTIME_DIR nor LOCALAPPDATA is set";
    return false;
  }
  if (!EnsureFolder(base, true, error, nullptr)) return false;
  *path = base;
  return true;
}

bool RuntimeSubdirectory(const char* sub, bool create, std::string* path, std::string* error,
                         bool* absent) {
  if (absent != nullptr) *absent = false;
  std::string base;
  if (create) {
    if (!RuntimeDirectory(&base, error)) return false;
  } else {
    base = BaseFolder();
    if (base.empty()) {
      *error = "no runtime folder";
      return false;
    }
  }
  const std::string folder = base + "\\" + sub;
  if (!EnsureFolder(folder, create, error, absent)) return false;
  *path = folder;
  return true;
}

ExclusiveFileLock::~ExclusiveFileLock() {
  Unlock();
}

bool ExclusiveFileLock::Lock(const std::string& path, std::string* error) {
  Unlock();
  // Shared for deletion, so that RemoveAndUnlock may remove the file while
  // it is still held; a file pending deletion cannot be opened, so a later
  // Lock waits for its successor.
  for (;;) {
    HANDLE handle = CreateFileW(win32::Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      if (code == ERROR_ACCESS_DENIED) {  // pending deletion by its last holder
        Sleep(1);
        continue;
      }
      *error = win32::ErrorText("cannot open lock file", path, code);
      return false;
    }
    OVERLAPPED at{};
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &at)) {
      *error = win32::ErrorText("cannot lock", path, GetLastError());
      CloseHandle(handle);
      return false;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR);
    if (fd < 0) {
      CloseHandle(handle);
      *error = "cannot lock " + path + ": no file descriptor left";
      return false;
    }
    path_ = path;
    fd_ = fd;
    return true;
  }
}

void ExclusiveFileLock::Unlock() {
  if (fd_ >= 0) _close(fd_);  // closing the handle lets go of its lock
  fd_ = -1;
  path_.clear();
}

void ExclusiveFileLock::RemoveAndUnlock() {
  if (fd_ >= 0) DeleteFileW(win32::Wide(path_).c_str());
  Unlock();
}

}  // namespace tw
