// The system factory on Windows: folders from the loader
// (GetModuleHandleA, GetModuleFileNameW) and the shell (SHGetFolderPathW),
// scratch names from GetTempFileNameW with the prefix "CRL", launching
// the system's own programs with CreateProcessW (no console window, their
// own folder as working folder) and anything else through ShellExecuteW and
// ShellExecuteExW, the start on the interactive
// desktop through the window station "WinSta0", and the update queue
// through WritePrivateProfileStringW. The test overrides
// ($VELTRANE_MODULE_DIR, $VELTRANE_GLOBAL_DIR) work as on Linux.
//
// One process-wide mutex serialises the update-queue operations, as on
// Linux; the rest keeps no state. See platform/system_factory.h.
#include "platform/system_factory.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>

#include "platform/debug_output.h"
#include "platform/letter_case.h"
// clang-format off
#include "platform/win32/win32_util.h"  // <windows.h> first
#include <rpc.h>
#include <shellapi.h>
#include <shlobj.h>
// clang-format on

namespace tw {
namespace {

constexpr char kUpdateFileName[] = "update.ini";
constexpr char kUpdaterName[] = "TWUpdate.exe";
constexpr char kUpdateFilesSection[] = "UpdateFiles";
constexpr char kRunSection[] = "Run";
constexpr char kWithdrawn[] = "NULL";
constexpr size_t kLogBufferSize = 4096;

std::string DirectoryFromEnv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::string();
  std::string dir = value;
  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  return dir;
}

// Everything before the last separator.
std::string FolderOf(const std::string& path) {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

std::string ModuleFile(HMODULE module) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::string();
    if (n < buffer.size()) return win32::NarrowPath(std::wstring(buffer.data(), n));
    if (buffer.size() >= 32768) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

// The module this code is linked into: the provider DLL, or the program.
HMODULE OwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&OwnModule), &module);
  return module;
}

std::mutex& UpdateFileMutex() {
  static std::mutex mutex;
  return mutex;
}

// Runs `file` through the shell with `verb` (null: the default verb) and
// show state SW_SHOW; with `wait`, until the started process has ended.
bool ShellRun(const char* verb, const std::string& file, const std::string& parameters, bool wait) {
  if (file.empty()) return false;
  const std::wstring wide_verb = verb != nullptr ? win32::Wide(verb) : std::wstring();
  const std::wstring wide_file = win32::Wide(file);
  const std::wstring wide_parameters = win32::Wide(parameters);
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_FLAG_NO_UI | (wait ? SEE_MASK_NOCLOSEPROCESS : 0);
  info.lpVerb = verb != nullptr ? wide_verb.c_str() : nullptr;
  info.lpFile = wide_file.c_str();
  info.lpParameters = parameters.empty() ? nullptr : wide_parameters.c_str();
  info.nShow = SW_SHOW;
  if (!ShellExecuteExW(&info)) return false;
  if (wait && info.hProcess != nullptr) {
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hProcess);
  }
  return true;
}

// The program file `file` names, taking ".exe" when it has no extension of
// its own; empty when `file` is not an absolute path of an existing ".exe".
// Only a full path is taken: a bare name would be searched for in the
// caller's current folder, and a ".com" or ".bat" beside the program would
// win over it.
std::wstring ProgramFile(const std::string& file) {
  const bool absolute =
      (file.size() >= 3 && file[1] == ':' && (file[2] == '\\' || file[2] == '/')) ||
      (file.size() >= 3 && file[0] == '\\' && file[1] == '\\');
  if (!absolute) return std::wstring();
  const size_t name_start = file.find_last_of("\\/") + 1;
  const size_t dot = file.find('.', name_start);
  std::string path = file;
  if (dot == std::string::npos) {
    path += ".exe";
  } else if (LowerCase(file.substr(dot)) != ".exe") {
    return std::wstring();
  }
  const std::wstring wide = win32::Wide(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return std::wstring();
  }
  return wide;
}

// True when the two folder names are the same but for letter case and the
// kind of separator.
bool SameFolder(const std::string& a, const std::string& b) {
  std::string x = UpperCase(a), y = UpperCase(b);
  for (char& c : x) c = c == '/' ? '\\' : c;
  for (char& c : y) c = c == '/' ? '\\' : c;
  return x == y;
}

// Starts the program `program` (a full path) with the command-line tail
// `parameters`, in the program's own folder, with no console window and
// none of the caller's: it outlives the host and whoever closes the host's
// console. With `wait`, until it has ended.
bool StartProgram(const std::wstring& program, const std::string& parameters, bool wait) {
  std::wstring command = win32::Wide(QuoteCommandLineArgument(win32::Narrow(program)));
  if (!parameters.empty()) command += L" " + win32::Wide(parameters);
  const std::wstring folder = program.substr(0, program.find_last_of(L"\\/"));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT,
                      nullptr, folder.c_str(), &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  if (wait) WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hProcess);
  return true;
}

// The temporary folder, without its trailing separator.
std::string TempFolder() {
  wchar_t folder[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
  if (n == 0 || n > MAX_PATH) return std::string();
  std::string text = win32::NarrowPath(std::wstring(folder, n));
  while (!text.empty() && (text.back() == '\\' || text.back() == '/')) text.pop_back();
  return text;
}

class Win32SystemFactory final : public CRLsystemFactory {
 public:
  std::string TempFileName(bool keep) override {
    wchar_t folder[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    if (n == 0 || n > MAX_PATH) return std::string();
    wchar_t name[MAX_PATH + 1];
    if (GetTempFileNameW(folder, L"CRL", 0, name) == 0) return std::string();
    // Its narrow name while it exists (a short form needs the file).
    const std::string narrow = win32::NarrowPath(name);
    if (!keep) DeleteFileW(name);
    return narrow;
  }

  std::string ModuleDirectory() override {
    const std::string dir = DirectoryFromEnv("VELTRANE_MODULE_DIR");
    if (!dir.empty()) return dir;
    // The first of the system's modules loaded in this process, then the
    // module holding this code.
    for (const char* name : {"TWServer.exe", "ZORadevu.exe", "TWSccApi.dll"}) {
      if (HMODULE module = GetModuleHandleA(name)) {
        const std::string file = ModuleFile(module);
        if (!file.empty()) return FolderOf(file);
      }
    }
    const std::string file = ModuleFile(OwnModule());
    return file.empty() ? std::string() : FolderOf(file);
  }

  std::string GlobalDirectory() override {
    const std::string dir = DirectoryFromEnv("VELTRANE_GLOBAL_DIR");
    if (!dir.empty()) return dir;
    return ModuleDirectory();
  }

  std::string AppDataDirectory() override {
    wchar_t folder[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) {
      return std::string();
    }
    // A folder the code page cannot carry is no folder: never "\\Halvorn"
    // at the root of the drive.
    const std::string narrow = win32::NarrowPath(folder);
    return narrow.empty() ? std::string() : narrow + "\\Halvorn";
  }

  std::string UserName() override {
    wchar_t name[257];
    DWORD length = 257;
    if (!GetUserNameW(name, &length) || length == 0) return std::string();
    return win32::Narrow(name, length - 1);  // the count includes the zero
  }

  void Log(const char* format, ...) override {
    if (format == nullptr) return;
    char buffer[kLogBufferSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    DebugOutput(buffer);
  }

  bool Open(const std::string& file, const std::string& directory) override {
    if (file.empty()) return false;
    const std::wstring wide_file = win32::Wide(file);
    const std::wstring wide_directory = win32::Wide(directory);
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", wide_file.c_str(), nullptr,
                      directory.empty() ? nullptr : wide_directory.c_str(), SW_SHOW);
    return reinterpret_cast<INT_PTR>(result) > 32;
  }

  bool Run(const std::string& file, const std::string& parameters, bool wait) override {
    // A program of the system's own, beside the module (TWPMSvr, the
    // updater), is started directly; anything else goes to the shell.
    const std::string module = ModuleDirectory();
    if (!module.empty() && SameFolder(FolderOf(file), module)) {
      const std::wstring program = ProgramFile(file);
      if (!program.empty()) return StartProgram(program, parameters, wait);
    }
    return ShellRun(nullptr, file, parameters, wait);
  }

  bool Edit(const std::string& file, const std::string& parameters, bool wait) override {
    return ShellRun("edit", file, parameters, wait);
  }

  bool RunOnUserDesktop(const std::string& program, const std::string& arguments) override {
    // For a process serving a remote caller: the program starts on the
    // interactive desktop "WinSta0\Default" under the caller's identity.
    HWINSTA old_station = GetProcessWindowStation();
    HDESK old_desktop = GetThreadDesktop(GetCurrentThreadId());
    if (RpcImpersonateClient(nullptr) != RPC_S_OK) return false;
    HWINSTA station = OpenWindowStationW(L"WinSta0", FALSE, MAXIMUM_ALLOWED);
    if (station == nullptr) {
      RpcRevertToSelf();
      return false;
    }
    SetProcessWindowStation(station);
    HDESK desktop = OpenDesktopW(L"Default", 0, FALSE, MAXIMUM_ALLOWED);
    RpcRevertToSelf();
    if (desktop == nullptr) {
      SetProcessWindowStation(old_station);
      CloseWindowStation(station);
      return false;
    }
    SetThreadDesktop(desktop);
    std::wstring command = win32::Wide(program + " " + arguments);
    wchar_t desktop_name[] = L"WinSta0\\Default";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop_name;
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS,
                       nullptr, L"c:", &startup, &process)) {
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    }
    SetThreadDesktop(old_desktop);
    SetProcessWindowStation(old_station);
    CloseDesktop(desktop);
    CloseWindowStation(station);
    return true;
  }

  bool QueueFileUpdate(const std::string& name, const std::string& source) override {
    return WriteUpdateEntry(kUpdateFilesSection, name, source);
  }
  bool QueueRun(const std::string& name) override {
    return WriteUpdateEntry(kRunSection, name, "1");
  }
  bool UnqueueFileUpdate(const std::string& name) override {
    return WriteUpdateEntry(kUpdateFilesSection, name, kWithdrawn);
  }

  bool StartUpdater() override {
    const std::string module = ModuleDirectory();
    const std::string update_file = UpdateFilePath();
    if (module.empty() || update_file.empty()) return false;
    return Run(module + "\\" + kUpdaterName, QuoteCommandLineArgument(update_file), false);
  }

  std::string UpdateFilePath() override {
    const std::string dir = GlobalDirectory();
    if (dir.empty()) return std::string();
    return dir + "\\" + kUpdateFileName;
  }

  Guid NewIdentifier() override { return Guid::New(); }
  bool IdentifierFromText(const std::string& text, Guid* out) override {
    return out != nullptr && Guid::FromText(text, out);
  }
  std::unique_ptr<FileObject> NewFile() override { return NewLocalFile(); }
  std::unique_ptr<MailslotReader> NewMailslotReader() override { return ::tw::NewMailslotReader(); }
  std::unique_ptr<MailslotWriter> NewMailslotWriter() override { return ::tw::NewMailslotWriter(); }

 private:
  // [section] name=value in update.ini. The profile functions take the name
  // as the key itself; only a name they cannot hold ("=" would end the key,
  // a line break the line) is refused.
  bool WriteUpdateEntry(const char* section, const std::string& name, const std::string& value) {
    if (name.empty() || name.find_first_of("=\r\n[]") != std::string::npos ||
        value.find_first_of("\r\n") != std::string::npos) {
      return false;
    }
    const std::string path = UpdateFilePath();
    if (path.empty()) return false;
    std::lock_guard<std::mutex> lock(UpdateFileMutex());
    return WritePrivateProfileStringW(win32::Wide(section).c_str(), win32::Wide(name).c_str(),
                                      win32::Wide(value).c_str(),
                                      win32::Wide(path).c_str()) != FALSE;
  }
};

}  // namespace

CRLsystemFactory& GetDefaultSystemFactory() {
  alignas(Win32SystemFactory) static unsigned char storage[sizeof(Win32SystemFactory)];
  static CRLsystemFactory* const instance = ::new (storage) Win32SystemFactory();
  return *instance;
}

std::string UserHomeDirectory() {
  return DirectoryFromEnv("USERPROFILE");
}

// The names GetTempFileNameW gives carry no owner: nothing can tell a file
// another process is receiving right now from a leftover, so none is
// removed.
size_t RemoveAbandonedTempFiles() {
  return 0;
}
void PrepareOwnTempFileRemoval() {}
void RemoveOwnTempFiles() {}

bool IsTempFileName(const std::string& path) {
  // "<temp>\CRL", one to four hex digits (GetTempFileNameW's unique
  // number), ".tmp"; a regular file, no link or junction.
  const std::string folder = TempFolder();
  if (folder.empty() || path.size() <= folder.size() + 1 ||
      path.compare(0, folder.size(), folder) != 0 ||
      (path[folder.size()] != '\\' && path[folder.size()] != '/')) {
    return false;
  }
  const std::string name = path.substr(folder.size() + 1);
  if (name.size() < 8 || name.size() > 11 || name.compare(0, 3, "CRL") != 0 ||
      name.compare(name.size() - 4, 4, ".tmp") != 0) {
    return false;
  }
  for (size_t i = 3; i < name.size() - 4; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  const DWORD attributes = GetFileAttributesW(win32::Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

}  // namespace tw
