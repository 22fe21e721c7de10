// The property file server's system calls on Windows. The locks are byte
// ranges far beyond any file's end (LockFileEx), so that they never meet
// the ranges SQLite locks in the same file; descriptors are the C runtime's
// over the handles. See ../os.h.
#include "servers/twpmsvr/os.h"

#include <fcntl.h>
#include <io.h>

#include "platform/file_attributes.h"
#include "platform/win32/win32_util.h"

namespace tw::pmsvr {

const char kPathSeparator = '\\';

namespace {

// The locked byte: at 2^62, where no file of the user reaches.
constexpr DWORD kLockOffsetHigh = 0x40000000;

bool LockWithoutWaiting(HANDLE handle) {
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) !=
         FALSE;
}

int Descriptor(HANDLE handle, int flags) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
  if (fd < 0) CloseHandle(handle);
  return fd;
}

}  // namespace

int HoldServerLock(const std::string& path, std::string* error) {
  HANDLE handle = CreateFileW(win32::Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = win32::ErrorText("cannot open", path, GetLastError());
    return -1;
  }
  if (!LockWithoutWaiting(handle)) {
    CloseHandle(handle);
    return -2;
  }
  // The holder's process id, for whoever must stop it.
  const std::string pid_text = std::to_string(GetCurrentProcessId()) + "\n";
  DWORD written = 0;
  if (!SetEndOfFile(handle) ||
      !WriteFile(handle, pid_text.data(), DWORD(pid_text.size()), &written, nullptr) ||
      written != pid_text.size()) {
    *error = "cannot write " + path;
  }
  const int fd = Descriptor(handle, _O_RDWR);
  if (fd < 0) *error = "cannot lock " + path + ": no file descriptor left";
  return fd;
}

int OpenLockedStoreFile(const std::string& path, std::string* error) {
  HANDLE handle = CreateFileW(win32::Wide(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = win32::ErrorText("cannot open", path, GetLastError());
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    CloseHandle(handle);
    *error = "cannot open " + path + ": not a plain file";
    return -1;
  }
  if (!LockWithoutWaiting(handle)) {
    CloseHandle(handle);
    *error = "store " + path + " is held by another server";
    return -1;
  }
  const int fd = Descriptor(handle, _O_RDONLY);
  if (fd < 0) *error = "cannot open " + path + ": no file descriptor left";
  return fd;
}

void CloseDescriptor(int fd) {
  if (fd >= 0) _close(fd);  // closing the handle lets go of its lock
}

bool IsCanonicalFileName(const std::string& name) {
  // A drive path: "X:\...".
  if (name.size() < 4 || name.size() >= 32767 || name[1] != ':' || name[2] != '\\') return false;
  if (CanonicalLocalPath(name) != name) return false;
  const DWORD attributes = GetFileAttributesW(win32::Wide(name).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

namespace {

volatile std::sig_atomic_t* g_stop = nullptr;

// How long a closing console, logoff or shutdown is held off while the main
// loop writes what is queued; the system ends the process soon after anyway.
constexpr DWORD kFlushGraceMs = 5000;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (g_stop != nullptr) *g_stop = 1;
  // For these three the process ends as soon as this handler returns. The
  // main loop sees the stop flag, writes the queued changes and returns
  // from main, which ends the process (this thread with it) before the
  // grace is over.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    Sleep(kFlushGraceMs);
  }
  return TRUE;
}

}  // namespace

void StopOnRequest(volatile std::sig_atomic_t* stop) {
  g_stop = stop;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace tw::pmsvr
