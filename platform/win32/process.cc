// Program launching on Windows: CreateProcessW with a command line written
// by the Windows quoting rules (QuoteCommandLineArgument), never through a
// command interpreter. No handle but the standard ones is inherited. A
// detached program gets its own process group and no console of the
// caller's, so that it outlives the caller and its console window. A
// program StartProgram starts runs in a job object of its own, which the
// programs it starts join too, so that StopProgram ends them all. A bare
// program name is looked for in the absolute folders of %PATH% only, never
// in the current folder. See platform/process.h.
#include "platform/process.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "platform/letter_case.h"
#include "platform/system_factory.h"
#include "platform/win32/win32_util.h"

namespace tw {
namespace {

bool IsAbsolute(const std::string& path) {
  return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
         (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') &&
          (path[1] == '\\' || path[1] == '/'));
}

bool Start(const LaunchRequest& request, DWORD flags, PROCESS_INFORMATION* process) {
  if (request.argv.empty() || request.argv[0].empty()) return false;
  std::string line;
  for (const std::string& arg : request.argv) {
    if (!line.empty()) line += ' ';
    line += QuoteCommandLineArgument(arg);
  }
  std::wstring command = win32::Wide(line);
  const std::wstring program = win32::Wide(request.argv[0]);
  const std::wstring directory = win32::Wide(request.directory);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  return CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE,
                        flags | CREATE_UNICODE_ENVIRONMENT, nullptr,
                        request.directory.empty() ? nullptr : directory.c_str(), &startup,
                        process) != FALSE;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

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

// Whether `process` runs as the user of this process.
bool SameUser(HANDLE process) {
  const auto theirs = TokenUser(process);
  const auto ours = TokenUser(GetCurrentProcess());
  if (theirs == nullptr || ours == nullptr) return false;
  return EqualSid(reinterpret_cast<TOKEN_USER*>(theirs.get())->User.Sid,
                  reinterpret_cast<TOKEN_USER*>(ours.get())->User.Sid) != FALSE;
}

}  // namespace

bool LaunchAndWait(const LaunchRequest& request) {
  PROCESS_INFORMATION process = {};
  if (!Start(request, 0, &process)) return false;
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hProcess);
  return true;
}

bool LaunchDetached(const LaunchRequest& request) {
  PROCESS_INFORMATION process = {};
  if (!Start(request, DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, &process)) return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

// What StartProgram hands back: the program's process and the job that
// holds it and everything it starts (null when the system gave none).
struct Started {
  win32::ScopedHandle process;
  win32::ScopedHandle job;
};

bool StartProgram(const LaunchRequest& request, StartedProgram* program) {
  // Started suspended, so that it is in the job before it can start
  // anything. The job kills nothing when its handle closes: a program let
  // go, or still running when this process ends, runs on.
  auto started = std::make_unique<Started>();
  started->job.Reset(CreateJobObjectW(nullptr, nullptr));
  PROCESS_INFORMATION process = {};
  if (!Start(request, DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, &process)) {
    return false;
  }
  started->process.Reset(process.hProcess);
  win32::ScopedHandle thread(process.hThread);
  // A process already in a job that allows no other (before Windows 8)
  // cannot join: it is stopped alone then.
  if (started->job.valid() && !AssignProcessToJobObject(started->job.get(), process.hProcess)) {
    started->job.Reset();
  }
  if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
    return false;
  }
  *program = reinterpret_cast<StartedProgram>(started.release());
  return true;
}

bool StopProgram(StartedProgram program, std::chrono::milliseconds grace) {
  std::unique_ptr<Started> started(reinterpret_cast<Started*>(program));
  if (started == nullptr) return false;
  // Already ended, or terminated now: either way it is waited for, and so
  // is every program of its job.
  if (started->job.valid()) TerminateJobObject(started->job.get(), 1);
  TerminateProcess(started->process.get(), 1);
  const auto limit = std::max<int64_t>(grace.count(), 0) * 2;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
  if (WaitForSingleObject(started->process.get(), static_cast<DWORD>(limit)) != WAIT_OBJECT_0) {
    return false;
  }
  while (started->job.valid()) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (!QueryInformationJobObject(started->job.get(), JobObjectBasicAccountingInformation,
                                   &accounting, sizeof accounting, nullptr)) {
      return false;
    }
    if (accounting.ActiveProcesses == 0) break;
    if (std::chrono::steady_clock::now() >= give_up) return false;
    Sleep(10);
  }
  return true;
}

void LetProgramGo(StartedProgram program) {
  // The handles close; the job lives on while a program of it runs.
  std::unique_ptr<Started> started(reinterpret_cast<Started*>(program));
}

std::string FindProgram(const std::string& name, const std::string& base) {
  if (name.empty()) return std::string();
  if (name.find_first_of("\\/") != std::string::npos) {
    const std::string path = AbsolutePath(name, base);
    if (path.empty()) return std::string();
    if (IsFile(win32::Wide(path))) return path;
    if (IsFile(win32::Wide(path + ".exe"))) return path + ".exe";
    return std::string();
  }
  // A bare name: the absolute folders of %PATH% only, in order, with
  // ".exe" added unless the name ends in it: only a program is taken, not
  // a ".com" or a script. Never the current folder (it holds files a
  // server sent) nor a relative entry.
  if (name.find(':') != std::string::npos) return std::string();
  const std::string ending = LowerCase(name.size() >= 4 ? name.substr(name.size() - 4) : "");
  const std::string file = ending == ".exe" ? name : name + ".exe";
  const DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
  if (size == 0) return std::string();
  std::wstring value(size, L'\0');
  const DWORD n = GetEnvironmentVariableW(L"PATH", &value[0], size);
  if (n == 0 || n >= size) return std::string();
  value.resize(n);
  // Split in UTF-16 (a ";" byte may be the second of a double-byte
  // character), then each folder narrow in the form that still names it.
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = value.find(L';', start);
    if (end == std::wstring::npos) end = value.size();
    std::wstring wide_folder = value.substr(start, end - start);
    start = end + 1;
    if (wide_folder.size() >= 2 && wide_folder.front() == L'"' && wide_folder.back() == L'"') {
      wide_folder = wide_folder.substr(1, wide_folder.size() - 2);
    }
    if (wide_folder.empty()) continue;
    std::string folder = win32::NarrowPath(wide_folder);
    if (folder.empty() || !IsAbsolute(folder)) continue;
    while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
    const std::string candidate =
        AbsolutePath(folder.back() == '\\' ? folder + file : folder + "\\" + file, std::string());
    if (!candidate.empty() && IsFile(win32::Wide(candidate))) return candidate;
  }
  return std::string();
}

bool ProcessStartTime(int pid, unsigned long long* start) {
  if (pid <= 0) return false;
  win32::ScopedHandle process(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
  if (!process.valid()) return false;
  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code) || code != STILL_ACTIVE) return false;
  // Another user's process is never the owner of this user's files.
  if (!SameUser(process.get())) return false;
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return false;
  *start = (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  return true;
}

std::string AbsolutePath(const std::string& path, const std::string& base) {
  std::string joined = path;
  if (!IsAbsolute(path) && !base.empty() && IsAbsolute(base)) joined = base + "\\" + path;
  const std::wstring wide = win32::Wide(joined);
  wchar_t full[32768];
  const DWORD n = GetFullPathNameW(wide.c_str(), 32768, full, nullptr);
  if (n == 0 || n >= 32768) return std::string();
  return win32::NarrowPath(std::wstring(full, n));
}

}  // namespace tw
