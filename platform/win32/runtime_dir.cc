// The runtime folder on Windows: $VELTRANE_RUNTIME_DIR, else
// "%LOCALAPPDATA%\Veltrane" (the user's own local application data), else
// the user's temporary folder. Mailslots, shared blocks and the recipient
// table are kernel objects there, so the folder holds only the property
// server's files. ExclusiveFileLock locks the whole file with LockFileEx,
// waiting at most 10 s for it. See platform/runtime_dir.h.
//
// The folder and its sub-folders are the user's own, as a 0700 folder is on
// Linux: each is made owned by the current user's SID with a protected DACL
// (nothing inherited from above) whose only entry gives that SID full
// access, inherited by everything inside. SYSTEM gets no entry: a service
// that must reach the folder (a backup, say) holds the privileges that pass
// a DACL anyway. An existing folder whose owner is not the current user is
// refused, whatever its DACL says: its owner could grant itself anything,
// and so plant files the property server would trust. An existing folder
// of the user's gets the private DACL again, whatever it had.
//
// Threads: the functions keep no state; an ExclusiveFileLock belongs to one
// thread at a time.
#include "platform/runtime_dir.h"

#include <fcntl.h>
#include <io.h>

#include <cstdlib>
#include <string>
#include <vector>

// clang-format off
#include "platform/win32/win32_util.h"  // <windows.h> first
#include <aclapi.h>
#include <sddl.h>
// clang-format on

namespace tw {
namespace {

// The longest an ExclusiveFileLock waits for its file.
constexpr ULONGLONG kLockWaitMs = 10000;

// The value of environment variable `name`, narrow: false when it is not
// set or empty; true with *text "" when it is set but cannot be read or carried in
// the ANSI code page.
bool EnvText(const wchar_t* name, std::string* text) {
  text->clear();
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return false;
  std::wstring value(size, L'\0');
  const DWORD n = GetEnvironmentVariableW(name, &value[0], size);
  if (n == 0) return false;  // empty: as good as not set
  if (n >= size) return true;
  value.resize(n);
  *text = win32::NarrowPath(value);
  return true;
}

// The runtime folder, or "" with *error saying why there is none. A folder
// that cannot be named narrow is a failure, never a sub-folder of "" (the
// root of the current drive).
std::string BaseFolder(std::string* error) {
  std::string base;
  if (EnvText(L"VELTRANE_RUNTIME_DIR", &base)) {
    if (base.empty()) *error = "VELTRANE_RUNTIME_DIR cannot be read in the ANSI code page";
    return base;
  }
  if (EnvText(L"LOCALAPPDATA", &base)) {
    if (base.empty()) {
      *error = "LOCALAPPDATA cannot be read in the ANSI code page";
      return base;
    }
    return base + "\\Veltrane";
  }
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  if (n == 0 || n > MAX_PATH) {
    *error = "no runtime folder: neither VELTRANE_RUNTIME_DIR nor LOCALAPPDATA is set";
    return std::string();
  }
  std::string folder = win32::NarrowPath(std::wstring(temp, n));
  while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  if (folder.empty()) {
    *error = "the temporary folder cannot be read in the ANSI code page";
    return folder;
  }
  return folder + "\\Veltrane";
}

// The SID of the user this process runs as (its token's user), copied out;
// empty when the token cannot be read.
std::vector<DWORD> CurrentUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  const win32::ScopedHandle guard(token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD));
  if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
  const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  if (!IsValidSid(user)) return {};
  const DWORD length = GetLengthSid(user);
  std::vector<DWORD> sid((length + sizeof(DWORD) - 1) / sizeof(DWORD));
  if (!CopySid(length, sid.data(), user)) return {};
  return sid;
}

std::string SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return "an unknown SID";
  std::string out = win32::Narrow(text, wcslen(text));
  LocalFree(text);
  return out;
}

// True when the current user `user` owns `path`; otherwise false with
// *error saying who does.
bool OwnedBy(const std::wstring& wide, const std::string& path, PSID user, std::string* error) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD rc = GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                         &owner, nullptr, nullptr, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) {
    *error = win32::ErrorText("cannot read the owner of", path, rc);
    return false;
  }
  const bool ours = owner != nullptr && IsValidSid(owner) && EqualSid(owner, user);
  if (!ours) {
    *error = path + " is owned by " + SidText(owner) + ", not by the current user " +
             SidText(user) + ": refused (nobody else may keep the runtime folder)";
  }
  LocalFree(descriptor);
  return ours;
}

// A folder that is a plain folder (not a file, not a junction someone
// planted) of the current user, made (the user's own) when missing and
// `create` is set.
bool EnsureFolder(const std::string& path, bool create, std::string* error, bool* absent) {
  if (absent != nullptr) *absent = false;
  // The process's user does not change while it runs.
  static const std::vector<DWORD> user = CurrentUserSid();
  if (user.empty()) {
    *error = win32::ErrorText("cannot tell the current user for", path, GetLastError());
    return false;
  }
  const std::wstring wide = win32::Wide(path);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (!create) {
      if (absent != nullptr) *absent = true;
      *error = path + " does not exist";
      return false;
    }
    win32::PrivateFolderSecurity security(const_cast<DWORD*>(user.data()));
    if (security.get() == nullptr) {
      *error = win32::ErrorText("cannot make the private access list of", path, GetLastError());
      return false;
    }
    if (!CreateDirectoryW(wide.c_str(), security.get()) && GetLastError() != ERROR_ALREADY_EXISTS) {
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
  // Also a folder another process made first, between the look and the
  // creation: whoever made it owns it.
  if (!OwnedBy(wide, path, const_cast<DWORD*>(user.data()), error)) return false;
  // A folder of the user's own may still let others in (made by hand, by
  // another program, or opened up since): it is made private again, as a
  // 0700 folder is on Linux, before anything in it is trusted.
  win32::PrivateFolderSecurity security(const_cast<DWORD*>(user.data()));
  std::wstring name = wide;
  const DWORD rc =
      security.acl() == nullptr
          ? GetLastError()
          : SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, security.acl(), nullptr);
  if (security.acl() == nullptr || rc != ERROR_SUCCESS) {
    *error = win32::ErrorText("cannot make private the runtime folder", path, rc);
    return false;
  }
  return true;
}

}  // namespace

bool RuntimeDirectory(std::string* path, std::string* error) {
  const std::string base = BaseFolder(error);
  if (base.empty()) return false;
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
    base = BaseFolder(error);
    if (base.empty()) return false;
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
  // A holder that never lets go (a hung process, a file held open by
  // another program) must not hang the caller: past the deadline the lock
  // fails and says so.
  const ULONGLONG deadline = GetTickCount64() + kLockWaitMs;
  DWORD pause_ms = 1;
  const auto wait_or_give_up = [&]() {
    if (GetTickCount64() >= deadline) return false;
    Sleep(pause_ms);
    if (pause_ms < 50) pause_ms *= 2;
    return true;
  };
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
        if (wait_or_give_up()) continue;
        *error = "cannot lock " + path + ": it stayed unopenable for " +
                 std::to_string(kLockWaitMs / 1000) + " s";
        return false;
      }
      *error = win32::ErrorText("cannot open lock file", path, code);
      return false;
    }
    OVERLAPPED at{};
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                    MAXDWORD, &at)) {
      const DWORD code = GetLastError();
      CloseHandle(handle);
      if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) {  // held by another
        if (wait_or_give_up()) continue;
        *error = "cannot lock " + path + ": another holder kept it for " +
                 std::to_string(kLockWaitMs / 1000) + " s";
        return false;
      }
      *error = win32::ErrorText("cannot lock", path, code);
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
