// The property file server's system calls on Windows. The locks are byte
// ranges far beyond any file's end (LockFileEx), so that they never meet
// the ranges SQLite locks in the same file; descriptors are the C runtime's
// over the handles. A process's start time is its creation time, and only
// a process of the same user counts. See ../os.h.
#include "servers/twpmsvr/os.h"

#include <fcntl.h>
#include <io.h>

#include <memory>

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

// The user a token belongs to, as a copy of its SID.
std::unique_ptr<char[]> TokenUser(HANDLE process) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return nullptr;
  win32::ScopedHandle owned(token);
  DWORD size = 0;
  GetTokenInformation(token, ::TokenUser, nullptr, 0, &size);
  if (size == 0) return nullptr;
  auto buffer = std::make_unique<char[]>(size);
  if (!GetTokenInformation(token, ::TokenUser, buffer.get(), size, &size)) return nullptr;
  return buffer;
}

bool SameUser(HANDLE process) {
  const auto theirs = TokenUser(process);
  const auto ours = TokenUser(GetCurrentProcess());
  if (theirs == nullptr || ours == nullptr) return false;
  return EqualSid(reinterpret_cast<TOKEN_USER*>(theirs.get())->User.Sid,
                  reinterpret_cast<TOKEN_USER*>(ours.get())->User.Sid) != FALSE;
}

volatile std::sig_atomic_t* g_stop = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
  if (g_stop != nullptr) *g_stop = 1;
  return TRUE;
}

}  // namespace

bool ProcessStartTime(int pid, unsigned long long* start) {
  if (pid <= 0) return false;
  win32::ScopedHandle process(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
  if (!process.valid()) return false;
  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code) || code != STILL_ACTIVE) return false;
  // Another user's process is never the owner of this user's store.
  if (!SameUser(process.get())) return false;
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return false;
  *start = (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  return true;
}

void StopOnRequest(volatile std::sig_atomic_t* stop) {
  g_stop = stop;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace tw::pmsvr
