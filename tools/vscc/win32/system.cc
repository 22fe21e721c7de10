// The Windows form of vscc's operating-system seam (see tools/vscc/system.h):
// the module through LoadLibraryExW, the scratch files as new files in the
// user's temporary folder (removed when vscc is done with them), the
// terminal as the console, the environment through both the C runtime's
// copy and the process's own (the module may read either), and the diff
// program through CreateProcessW with vscc's standard handles.
#include "tools/vscc/system.h"

#include <io.h>
#include <stdlib.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>

#include "platform/guid.h"
#include "platform/process.h"
#include "platform/system_factory.h"
#include "platform/win32/win32_util.h"

namespace vscc {

namespace {

constexpr char kModuleName[] = "TWSccApi.dll";

std::string LastError(const std::string& what, const std::string& name) {
  return tw::win32::ErrorText(what, name, GetLastError());
}

}  // namespace

std::string ModuleBesideExecutable() {
  wchar_t self[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return kModuleName;
  return tw::win32::NarrowPath(
      (std::filesystem::path(std::wstring(self, n)).parent_path() / kModuleName).native());
}

void* OpenModule(const std::string& path, std::string* error) {
  // By its full name, so that what the module itself loads is looked for in
  // its own folder first.
  std::error_code ec;
  const std::filesystem::path full = std::filesystem::absolute(tw::win32::Wide(path), ec);
  const HMODULE module = LoadLibraryExW(ec ? tw::win32::Wide(path).c_str() : full.c_str(), nullptr,
                                        LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) *error = LastError("cannot load the provider", path);
  return reinterpret_cast<void*>(module);
}

void* ModuleSymbol(void* module, const char* name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

struct ScratchFile::Handle {
  HANDLE file = INVALID_HANDLE_VALUE;
};

std::unique_ptr<ScratchFile> ScratchFile::Create(const char* name, std::string* error) {
  wchar_t folder[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH, folder);
  if (n == 0 || n > MAX_PATH) {
    *error = LastError("cannot find the temporary folder", "");
    return nullptr;
  }
  auto file = std::unique_ptr<ScratchFile>(new ScratchFile);
  file->handle_ = std::make_unique<Handle>();
  // The user's own temporary folder, a name nobody can guess, and a file
  // that must be new: nothing someone else put there is written through.
  // The module opens it by name in this process (its opens share deleting).
  // The system removes the file when the last handle closes, so a script
  // holding a password is gone even when vscc is killed or interrupted.
  const std::wstring path =
      std::wstring(folder, n) +
      tw::win32::Wide(std::string(name) + "-" + tw::Guid::New().ToHexName() + ".tmp");
  file->handle_->file =
      CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  file->path_ = tw::win32::NarrowPath(path);
  if (file->handle_->file == INVALID_HANDLE_VALUE) {
    *error = LastError("cannot create", file->path_);
    return nullptr;
  }
  return file;
}

ScratchFile::~ScratchFile() {
  if (!handle_ || handle_->file == INVALID_HANDLE_VALUE) return;
  CloseHandle(handle_->file);
  DeleteFileW(tw::win32::Wide(path_).c_str());
}

bool ScratchFile::Write(const std::string& text) {
  const HANDLE file = handle_->file;
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) return false;
  size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1 << 20));
    if (!WriteFile(file, text.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

std::string ScratchFile::ReadFrom(size_t offset) const {
  std::string text;
  char buffer[8192];
  while (true) {
    OVERLAPPED at = {};
    const unsigned long long position = offset + text.size();
    at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD n = 0;
    if (!ReadFile(handle_->file, buffer, sizeof buffer, &n, &at) || n == 0) break;
    text.append(buffer, n);
  }
  return text;
}

bool WriteOutput(int fd, const std::string& text) {
  const HANDLE handle = GetStdHandle(fd == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    // A console shows bytes in its own (OEM) code page; vscc's text is in
    // the ANSI code page, so it goes to the console as UTF-16.
    const std::wstring wide = tw::win32::Wide(text);
    size_t done = 0;
    while (done < wide.size()) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(wide.size() - done, 1 << 14));
      if (!WriteConsoleW(handle, wide.data() + done, chunk, &written, nullptr) || written == 0) {
        return false;
      }
      done += written;
    }
    return true;
  }
  size_t done = 0;
  while (done < text.size()) {
    const unsigned chunk = static_cast<unsigned>(std::min<size_t>(text.size() - done, 1 << 20));
    const int n = _write(fd, text.data() + done, chunk);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool IsTerminal(int fd) {
  // A console, not merely a character device: standard input from NUL is a
  // character device too, and nobody answers there.
  const DWORD which = fd == 0 ? STD_INPUT_HANDLE : fd == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE;
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

// Older SDK headers lack the mode that makes a console obey colour sequences.
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

bool TerminalShowsColour(int fd) {
  const HANDLE console = GetStdHandle(fd == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(console, &mode) == 0) return false;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  // Consoles older than Windows 10 refuse the mode: no colour there.
  return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int TerminalWidth(int fd) {
  const DWORD which = fd == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE;
  CONSOLE_SCREEN_BUFFER_INFO info = {};
  if (GetConsoleScreenBufferInfo(GetStdHandle(which), &info)) {
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    if (width > 0) return width;
  }
  return 80;
}

namespace {

// The console's input and output, or invalid handles when this process has
// no console.
struct Console {
  HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ~Console() {
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  }
  bool ok() const {
    DWORD mode = 0;
    return in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode);
  }
  void Write(const std::string& text) const {
    const std::wstring wide = tw::win32::Wide(text);
    DWORD written = 0;
    WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
  }
};

}  // namespace

bool HaveTerminal() {
  return Console().ok();
}

bool PromptSecret(const std::string& prompt, std::string* answer) {
  const Console console;
  if (!console.ok()) return false;
  DWORD saved = 0;
  GetConsoleMode(console.in, &saved);
  SetConsoleMode(console.in, (saved | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) &
                                 ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  console.Write(prompt);
  std::wstring line;
  bool got = false;
  while (true) {
    wchar_t c;
    DWORD n = 0;
    if (!ReadConsoleW(console.in, &c, 1, &n, nullptr) || n == 0) break;
    got = true;
    if (c == L'\n') break;
    if (c != L'\r' && line.size() < 4096) line += c;
  }
  SetConsoleMode(console.in, saved);
  console.Write("\r\n");
  *answer = tw::win32::Narrow(line);
  return got;
}

void SetEnvironment(const char* name, const std::string& value) {
  _putenv_s(name, value.c_str());
  SetEnvironmentVariableW(tw::win32::Wide(name).c_str(), tw::win32::Wide(value).c_str());
}

void UnsetEnvironment(const char* name) {
  _putenv_s(name, "");
  SetEnvironmentVariableW(tw::win32::Wide(name).c_str(), nullptr);
}

void IgnoreBrokenPipe() {
  // No signal here: a write to a closed pipe fails, and Console::Write
  // stops at the failure.
}

void RemoveScratchFilesOnInterrupt() {
  // The provider's scratch names carry no owner here (platform/
  // system_factory.h); Ctrl+C ends vscc.exe as the console decides.
}

const char* DefaultEditor() {
  return "notepad";
}

int RunProgram(const std::vector<std::string>& argv, std::string* error) {
  const std::string program = tw::FindProgram(argv[0], "");
  if (program.empty()) {
    *error = "cannot run " + argv[0] + ": no " + argv[0] + ".exe in the folders of PATH";
    return -1;
  }
  std::string line;
  for (size_t i = 0; i < argv.size(); ++i) {
    if (i > 0) line += ' ';
    line += tw::QuoteCommandLineArgument(i == 0 ? program : argv[i]);
  }
  std::wstring command = tw::win32::Wide(line);
  // The program writes where vscc does: its standard handles are passed on.
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(tw::win32::Wide(program).c_str(), &command[0], nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup, &process)) {
    *error = LastError("cannot run", program);
    return -1;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}

}  // namespace vscc
