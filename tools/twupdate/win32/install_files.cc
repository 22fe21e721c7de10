// The file operations of an update on Windows: "in use" as a file that
// cannot be opened for writing without sharing (a loaded module, a running
// program, a file another program holds open); a read-only file, which no
// one may open for writing, as one that cannot be opened for reading
// without sharing or that a process has loaded. Copies flushed with
// FlushFileBuffers, backups as hard links, replacement by MoveFileExW.
#include "tools/twupdate/install_files.h"

// clang-format off
#include "platform/win32/win32_util.h"  // <windows.h> first
#include <tlhelp32.h>
// clang-format on

namespace tw {
namespace {

std::string Failure(const std::string& what, const std::string& path, DWORD code) {
  return what + " " + path + ": " + win32::SystemMessage(code);
}

// Flushes the file `path` to the disk.
DWORD Flush(const std::wstring& path) {
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  const DWORD code = FlushFileBuffers(handle) ? 0 : GetLastError();
  CloseHandle(handle);
  return code;
}

// `path` in its long form, so that two spellings of one file compare
// equal; as it is when that cannot be had.
std::wstring LongForm(const std::wstring& path) {
  wchar_t full[32768];
  const DWORD n = GetLongPathNameW(path.c_str(), full, 32768);
  return n == 0 || n >= 32768 ? path : std::wstring(full, n);
}

// Whether a process other than this one has the file `path` (in its long
// form) loaded: a module of it, or its program file. A process whose
// modules cannot be listed (another user's) is passed over.
bool LoadedElsewhere(const std::wstring& path) {
  win32::ScopedHandle processes(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!processes.valid()) return false;
  PROCESSENTRY32W process = {};
  process.dwSize = sizeof process;
  for (BOOL more = Process32FirstW(processes.get(), &process); more;
       more = Process32NextW(processes.get(), &process)) {
    if (process.th32ProcessID == 0 || process.th32ProcessID == GetCurrentProcessId()) continue;
    win32::ScopedHandle modules(
        CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, process.th32ProcessID));
    if (!modules.valid()) continue;
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    for (BOOL listed = Module32FirstW(modules.get(), &module); listed;
         listed = Module32NextW(modules.get(), &module)) {
      if (CompareStringOrdinal(LongForm(module.szExePath).c_str(), -1, path.c_str(), -1, TRUE) ==
          CSTR_EQUAL) {
        return true;
      }
    }
  }
  return false;
}

// Whether the read-only file `path` is in use: no one can open it for
// writing, so a loaded module would pass that test. It is in use while it
// cannot be opened for reading without sharing (another program holds it
// open) or while a process has it loaded.
bool ReadOnlyFileInUse(const std::wstring& path) {
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) return true;
  } else {
    CloseHandle(handle);
  }
  return LoadedElsewhere(LongForm(path));
}

}  // namespace

std::string FirstFileInUse(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    const std::wstring wide = win32::Wide(path);
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
      continue;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) return path;
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (code == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY) && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        ReadOnlyFileInUse(wide)) {
      return path;
    }
  }
  return std::string();
}

bool IsRegularFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(win32::Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool StageCopy(const std::string& source, const std::string& staged, const std::string& /*like*/,
               std::string* error) {
  const std::wstring from = win32::Wide(source);
  const std::wstring to = win32::Wide(staged);
  const DWORD source_attributes = GetFileAttributesW(from.c_str());
  if (source_attributes == INVALID_FILE_ATTRIBUTES ||
      (source_attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *error = Failure(
        "Cannot read", source,
        source_attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_ACCESS_DENIED);
    return false;
  }
  if (!CopyFileW(from.c_str(), to.c_str(), TRUE)) {
    *error = Failure("Cannot copy " + source + " to", staged, GetLastError());
    return false;
  }
  // The copy keeps the attributes the package gives it; a read-only one is
  // made writable only while it is flushed to the disk.
  const DWORD attributes = GetFileAttributesW(to.c_str());
  const bool read_only =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
  DWORD code = 0;
  if (read_only && !SetFileAttributesW(to.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    code = GetLastError();
  }
  if (code == 0) code = Flush(to);
  if (code == 0 && read_only && !SetFileAttributesW(to.c_str(), attributes)) code = GetLastError();
  if (code != 0) {
    *error = Failure("Cannot write", staged, code);
    RemoveFile(staged);
    return false;
  }
  return true;
}

bool KeepBackup(const std::string& path, const std::string& backup, std::string* error) {
  const std::wstring from = win32::Wide(path);
  const std::wstring to = win32::Wide(backup);
  if (CreateHardLinkW(to.c_str(), from.c_str(), nullptr)) return true;
  // A file system without hard links (FAT): a copy keeps the old bytes.
  if (CopyFileW(from.c_str(), to.c_str(), TRUE)) return true;
  *error = Failure("Cannot keep a copy of", path, GetLastError());
  DeleteFileW(to.c_str());
  return false;
}

bool RenameOver(const std::string& from, const std::string& to, std::string* error) {
  if (!MoveFileExW(win32::Wide(from).c_str(), win32::Wide(to).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = Failure("Cannot put " + from + " in place of", to, GetLastError());
    return false;
  }
  return true;
}

bool RemoveFile(const std::string& path) {
  const std::wstring wide = win32::Wide(path);
  if (DeleteFileW(wide.c_str())) return true;
  DWORD code = GetLastError();
  if (code == ERROR_ACCESS_DENIED) {
    // A read-only file cannot be deleted until the attribute is cleared.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        SetFileAttributesW(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
      if (DeleteFileW(wide.c_str())) return true;
      code = GetLastError();
      SetFileAttributesW(wide.c_str(), attributes);
    }
  }
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

bool MakeReplaceable(const std::string& path, bool* was_read_only, std::string* error) {
  const std::wstring wide = win32::Wide(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  *was_read_only = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
  if (!*was_read_only) return true;
  if (SetFileAttributesW(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) return true;
  *error = Failure("Cannot clear the read-only attribute of", path, GetLastError());
  *was_read_only = false;
  return false;
}

void RestoreReadOnly(const std::string& path) {
  const std::wstring wide = win32::Wide(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    SetFileAttributesW(wide.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
  }
}

UpdateLock::~UpdateLock() {
  // Opened to be deleted on close: the file goes with the lock.
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool UpdateLock::Take(const std::string& path, std::string* error) {
  // No sharing at all: a second updater's open fails while this one holds it.
  HANDLE handle =
      CreateFileW(win32::Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    *error = code == ERROR_SHARING_VIOLATION
                 ? "another TWUpdate is at work on this installation (" + path + " is locked)"
                 : Failure("Cannot make the lock file", path, code);
    return false;
  }
  path_ = path;
  handle_ = reinterpret_cast<intptr_t>(handle);
  return true;
}

}  // namespace tw
