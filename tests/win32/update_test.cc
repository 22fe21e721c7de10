// TWUpdate.exe on a temporary installation, with the queue written as the
// module writes it (the system factory's profile entries): started by
// StartUpdater from the installation's folder, it replaces the queued
// files, skips withdrawn entries and runs the queued programs there; a
// failing step or a file held open leaves every file as it was.
//
// The program is its own queued program too: started with
// TW_UPDATE_MARK set, it writes its working folder to that file and ends;
// started with TW_TEST_PIDS set, it starts a copy of itself that waits,
// writes both process ids to that file and waits too.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/guid.h"
#include "platform/process.h"
#include "platform/system_factory.h"

// clang-format off
#include "platform/win32/win32_util.h"  // <windows.h> first
#include <shellapi.h>
// clang-format on

namespace tw {
namespace {

std::string OwnFolder() {
  wchar_t self[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
  std::wstring path(self, n);
  return win32::Narrow(path.substr(0, path.find_last_of(L"\\/")));
}

std::string Read(const std::string& path) {
  HANDLE h = CreateFileW(win32::Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<none>";
  std::string out;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) out.append(buffer, n);
  CloseHandle(h);
  return out;
}

void Write(const std::string& path, const std::string& text) {
  HANDLE h =
      CreateFileW(win32::Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h) << path;
  DWORD n = 0;
  WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
  CloseHandle(h);
}

bool Exists(const std::string& path) {
  return GetFileAttributesW(win32::Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void SetEnv(const char* name, const std::string& value) {
  _putenv_s(name, value.c_str());
  SetEnvironmentVariableW(win32::Wide(name).c_str(), win32::Wide(value).c_str());
}

// Runs `program` with `arguments` to its end; its exit code, -1 when it
// could not be started.
int RunAndWait(const std::string& program, const std::string& arguments) {
  std::wstring line = win32::Wide("\"" + program + "\" " + arguments);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(win32::Wide(program).c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return -1;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, 120000);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

class Win32Update : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t base[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, base);
    root_ = win32::Narrow(base) + "tw-update-" + Guid::New().ToHexName();
    install_ = root_ + "\\install";
    staging_ = root_ + "\\staging";
    ini_ = install_ + "\\update.ini";
    for (const std::string& dir : {root_, install_, staging_}) {
      ASSERT_TRUE(CreateDirectoryW(win32::Wide(dir).c_str(), nullptr)) << dir;
    }
    ASSERT_TRUE(CopyFileW(win32::Wide(OwnFolder() + "\\TWUpdate.exe").c_str(),
                          win32::Wide(install_ + "\\TWUpdate.exe").c_str(), FALSE))
        << "TWUpdate.exe is built beside the test program";
    SetEnv("VELTRANE_MODULE_DIR", install_);
    SetEnv("VELTRANE_GLOBAL_DIR", install_);
    Write(install_ + "\\TWSccApi.dll", "old module");
    Write(install_ + "\\default.usr", "old settings");
    Write(install_ + "\\keep.txt", "kept");
    Write(staging_ + "\\TWSccApi.dll", "new module");
    Write(staging_ + "\\default.usr", "new settings");
    Write(staging_ + "\\keep.txt", "must not arrive");
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"TW_UPDATE_MARK", nullptr);
    _putenv_s("TW_UPDATE_MARK", "");
    std::wstring from = win32::Wide(root_);
    from.push_back(L'\0');
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    SHFileOperationW(&op);
  }

  // The files the test wrote into the installation, with their contents.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> files;
    for (const char* name : {"TWSccApi.dll", "default.usr", "keep.txt", "added.txt", "update.ini",
                             "TWSccApi.dll.twnew", "TWSccApi.dll.twold"}) {
      files[name] = Read(install_ + "\\" + name);
    }
    return files;
  }

  std::string Log() const { return Read(install_ + "\\update.log"); }

  int Update(const std::string& options) {
    return RunAndWait(install_ + "\\TWUpdate.exe", options + " \"" + ini_ + "\"");
  }

  CRLsystemFactory& factory_ = GetSystemFactory();
  std::string root_, install_, staging_, ini_;
};

TEST_F(Win32Update, StartUpdaterReplacesFilesSkipsWithdrawnOnesAndRunsPrograms) {
  ASSERT_TRUE(CopyFileW(win32::Wide(OwnFolder() + "\\win32_update_test.exe").c_str(),
                        win32::Wide(install_ + "\\marker.exe").c_str(), FALSE));
  const std::string mark = root_ + "\\ran.txt";
  SetEnv("TW_UPDATE_MARK", mark);
  Write(staging_ + "\\added.txt", "added");
  ASSERT_TRUE(factory_.QueueFileUpdate("TWSccApi.dll", staging_ + "\\TWSccApi.dll"));
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "\\default.usr"));
  ASSERT_TRUE(factory_.QueueFileUpdate("keep.txt", staging_ + "\\keep.txt"));
  ASSERT_TRUE(factory_.UnqueueFileUpdate("keep.txt"));
  ASSERT_TRUE(factory_.QueueFileUpdate("added.txt", staging_ + "\\added.txt"));
  ASSERT_TRUE(factory_.QueueRun("marker.exe"));
  ASSERT_TRUE(factory_.StartUpdater());
  for (int i = 0; i < 600 && Log().find("The update ") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_NE(std::string::npos, Log().find("The update is done")) << Log();
  EXPECT_EQ("new module", Read(install_ + "\\TWSccApi.dll"));
  EXPECT_EQ("new settings", Read(install_ + "\\default.usr"));
  EXPECT_EQ("kept", Read(install_ + "\\keep.txt"));
  EXPECT_EQ("added", Read(install_ + "\\added.txt"));
  EXPECT_FALSE(Exists(ini_));
  EXPECT_FALSE(Exists(install_ + "\\TWSccApi.dll.twold"));
  EXPECT_FALSE(Exists(install_ + "\\TWSccApi.dll.twnew"));
  EXPECT_NE(std::string::npos, Log().find("Skipped keep.txt: the entry was withdrawn")) << Log();
  for (int i = 0; i < 600 && !Exists(mark); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(install_, Read(mark)) << "the program runs in the module folder";
}

TEST_F(Win32Update, AFailingStepOrAFileInUseLeavesEveryFileAsItWas) {
  Write(staging_ + "\\added.txt", "added");
  ASSERT_TRUE(factory_.QueueFileUpdate("TWSccApi.dll", staging_ + "\\TWSccApi.dll"));
  ASSERT_TRUE(factory_.QueueFileUpdate("added.txt", staging_ + "\\added.txt"));
  ASSERT_TRUE(CreateDirectoryW(win32::Wide(install_ + "\\folder").c_str(), nullptr));
  Write(install_ + "\\folder\\inside.txt", "inside");
  ASSERT_TRUE(factory_.QueueFileUpdate("folder", staging_ + "\\default.usr"));
  std::map<std::string, std::string> before = Snapshot();
  EXPECT_EQ(1, Update(""));
  EXPECT_EQ(before, Snapshot()) << Log();
  EXPECT_EQ("inside", Read(install_ + "\\folder\\inside.txt"));
  EXPECT_NE(std::string::npos, Log().find("Error: " + install_ + "\\folder is not a file"))
      << Log();

  // The module is loaded (held open without sharing): the updater waits,
  // then gives up without touching anything.
  ASSERT_TRUE(factory_.UnqueueFileUpdate("folder"));
  before = Snapshot();
  HANDLE held = CreateFileW(win32::Wide(install_ + "\\TWSccApi.dll").c_str(), GENERIC_READ, 0,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  EXPECT_EQ(1, Update("--wait 1"));
  CloseHandle(held);
  EXPECT_EQ(before, Snapshot()) << Log();
  EXPECT_NE(std::string::npos, Log().find("is still in use after 1 seconds")) << Log();

  // Another updater at work on the installation: this one stops at once.
  const std::string lock = install_ + "\\update.lock";
  HANDLE other = CreateFileW(win32::Wide(lock).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, other);
  before = Snapshot();
  EXPECT_EQ(1, Update("--wait 30"));
  EXPECT_EQ(before, Snapshot()) << Log();
  EXPECT_NE(std::string::npos, Log().find("another TWUpdate is at work")) << Log();
  CloseHandle(other);

  EXPECT_EQ(0, Update("--wait 30")) << Log();
  EXPECT_FALSE(Exists(lock));
  EXPECT_EQ("new module", Read(install_ + "\\TWSccApi.dll"));
  EXPECT_EQ("added", Read(install_ + "\\added.txt"));
}

bool ReadOnly(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(win32::Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

void MakeReadOnly(const std::string& path) {
  const std::wstring wide = win32::Wide(path);
  SetFileAttributesW(wide.c_str(), GetFileAttributesW(wide.c_str()) | FILE_ATTRIBUTE_READONLY);
}

// A read-only file of the installation is replaced like any other, and its
// old copy goes: nothing is left that would stop the next update. A new
// file keeps the attributes the package gives it; a failed update puts
// back the old file read-only as it was.
TEST_F(Win32Update, ReadOnlyFilesAreReplacedAndTheNextUpdateWorks) {
  MakeReadOnly(install_ + "\\TWSccApi.dll");
  MakeReadOnly(staging_ + "\\default.usr");
  ASSERT_TRUE(factory_.QueueFileUpdate("TWSccApi.dll", staging_ + "\\TWSccApi.dll"));
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "\\default.usr"));
  ASSERT_EQ(0, Update("")) << Log();
  EXPECT_EQ("new module", Read(install_ + "\\TWSccApi.dll"));
  EXPECT_EQ("new settings", Read(install_ + "\\default.usr"));
  EXPECT_FALSE(ReadOnly(install_ + "\\TWSccApi.dll")) << "as the package gives it";
  EXPECT_TRUE(ReadOnly(install_ + "\\default.usr")) << "as the package gives it";
  EXPECT_FALSE(Exists(install_ + "\\TWSccApi.dll.twold")) << Log();
  EXPECT_FALSE(Exists(install_ + "\\default.usr.twold")) << Log();

  // The read-only file just installed is replaced by the next update.
  Write(staging_ + "\\second.usr", "second settings");
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "\\second.usr"));
  ASSERT_EQ(0, Update("")) << Log();
  EXPECT_EQ("second settings", Read(install_ + "\\default.usr"));
  EXPECT_FALSE(Exists(install_ + "\\default.usr.twold")) << Log();

  // A failing update puts a read-only old file back read-only.
  MakeReadOnly(install_ + "\\default.usr");
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "\\default.usr"));
  ASSERT_TRUE(factory_.QueueRun("missing.exe"));
  EXPECT_EQ(1, Update("")) << Log();
  EXPECT_EQ("second settings", Read(install_ + "\\default.usr"));
  EXPECT_TRUE(ReadOnly(install_ + "\\default.usr")) << Log();
  EXPECT_FALSE(Exists(install_ + "\\default.usr.twold")) << Log();
  EXPECT_FALSE(Exists(install_ + "\\default.usr.twnew")) << Log();
  SetFileAttributesW(win32::Wide(install_ + "\\default.usr").c_str(), FILE_ATTRIBUTE_NORMAL);
  SetFileAttributesW(win32::Wide(staging_ + "\\default.usr").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A read-only file the update could not replace (held open by a program
// that does not let it be renamed over) stays read-only when the update
// is undone, though its kept second name, read-only too, is removed.
TEST_F(Win32Update, AFailedUpdateLeavesAReadOnlyFileItDidNotReplaceReadOnly) {
  MakeReadOnly(install_ + "\\default.usr");
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "\\default.usr"));
  HANDLE held = CreateFileW(win32::Wide(install_ + "\\default.usr").c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  const int status = Update("--wait 1");
  CloseHandle(held);
  EXPECT_EQ(1, status) << Log();
  EXPECT_NE(std::string::npos, Log().find("Cannot put")) << Log();
  EXPECT_EQ("old settings", Read(install_ + "\\default.usr"));
  EXPECT_TRUE(ReadOnly(install_ + "\\default.usr")) << Log();
  EXPECT_FALSE(Exists(install_ + "\\default.usr.twold")) << Log();
  EXPECT_FALSE(Exists(install_ + "\\default.usr.twnew")) << Log();
  SetFileAttributesW(win32::Wide(install_ + "\\default.usr").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A read-only module that a program has loaded is in use as any loaded
// module is, though no one may open it for writing: the updater waits
// for it, then gives up without touching anything.
TEST_F(Win32Update, ALoadedReadOnlyModuleIsWaitedFor) {
  const std::string module = install_ + "\\plugin.dll";
  ASSERT_TRUE(CopyFileW(win32::Wide(OwnFolder() + "\\TWSccApi.dll").c_str(),
                        win32::Wide(module).c_str(), FALSE));
  MakeReadOnly(module);
  Write(staging_ + "\\plugin.dll", "new plugin");
  ASSERT_TRUE(factory_.QueueFileUpdate("plugin.dll", staging_ + "\\plugin.dll"));
  HMODULE loaded =
      LoadLibraryExW(win32::Wide(module).c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(nullptr, loaded);
  const int status = Update("--wait 1");
  FreeLibrary(loaded);
  EXPECT_EQ(1, status) << Log();
  EXPECT_NE(std::string::npos, Log().find("Waiting until " + module + " is no longer in use"))
      << Log();
  EXPECT_NE(std::string::npos, Log().find("is still in use after 1 seconds")) << Log();
  EXPECT_NE("new plugin", Read(module));
  EXPECT_TRUE(ReadOnly(module));

  // Let go of, it is replaced.
  EXPECT_EQ(0, Update("--wait 30")) << Log();
  EXPECT_EQ("new plugin", Read(module));
}

// Whether the process `pid` still runs.
bool Running(DWORD pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
  if (process == nullptr) return false;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

void Kill(DWORD pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
  if (process == nullptr) return;
  TerminateProcess(process, 1);
  WaitForSingleObject(process, 10000);
  CloseHandle(process);
}

// Starts this program as a queued program that starts a second one; the
// ids of both, once both run.
std::vector<DWORD> StartProgramWithAChild(const std::string& folder, StartedProgram* program) {
  const std::string pids = folder + "\\pids.txt";
  SetEnv("TW_TEST_PIDS", pids);
  LaunchRequest request;
  request.argv.push_back(OwnFolder() + "\\win32_update_test.exe");
  request.directory = folder;
  const bool started = StartProgram(request, program);
  SetEnvironmentVariableW(L"TW_TEST_PIDS", nullptr);
  _putenv_s("TW_TEST_PIDS", "");
  if (!started) return {};
  std::vector<DWORD> ids;
  for (int i = 0; i < 600 && ids.size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    unsigned long parent = 0, child = 0;
    if (std::sscanf(Read(pids).c_str(), "%lu %lu", &parent, &child) == 2) ids = {parent, child};
  }
  return ids;
}

// A program the update started and must stop (a later step failed) goes
// with every program it started itself; one let go runs on with them.
TEST_F(Win32Update, StoppingAStartedProgramStopsWhatItStartedLettingGoDoesNot) {
  StartedProgram program = 0;
  std::vector<DWORD> ids = StartProgramWithAChild(root_, &program);
  ASSERT_EQ(2u, ids.size());
  EXPECT_TRUE(StopProgram(program, std::chrono::seconds(5)));
  for (int i = 0; i < 100 && Running(ids[1]); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_FALSE(Running(ids[0])) << "the program runs on";
  EXPECT_FALSE(Running(ids[1])) << "the program it started runs on";
  for (DWORD id : ids) Kill(id);

  DeleteFileW(win32::Wide(root_ + "\\pids.txt").c_str());
  ids = StartProgramWithAChild(root_, &program);
  ASSERT_EQ(2u, ids.size());
  LetProgramGo(program);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(Running(ids[0])) << "a program let go was stopped";
  EXPECT_TRUE(Running(ids[1])) << "what a program let go started was stopped";
  for (DWORD id : ids) Kill(id);
}

}  // namespace
}  // namespace tw

int main(int argc, char** argv) {
  // Started as the queued program of an update: say where, and end.
  if (const char* mark = std::getenv("TW_UPDATE_MARK")) {
    wchar_t folder[MAX_PATH + 1];
    const DWORD n = GetCurrentDirectoryW(MAX_PATH + 1, folder);
    if (FILE* out = std::fopen(mark, "wb")) {
      const std::string text = tw::win32::Narrow(std::wstring(folder, n));
      std::fwrite(text.data(), 1, text.size(), out);
      std::fclose(out);
    }
    return 0;
  }
  // Started by StartProgramWithAChild: the second program only waits; the
  // first starts it, says both ids and waits as well (each is ended by the
  // test).
  if (std::getenv("TW_TEST_CHILD") != nullptr) {
    Sleep(120000);
    return 0;
  }
  if (const char* pids = std::getenv("TW_TEST_PIDS")) {
    SetEnvironmentVariableW(L"TW_TEST_CHILD", L"1");
    wchar_t self[MAX_PATH + 1];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
    std::wstring line = L"\"" + std::wstring(self, n) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(self, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &child)) {
      return 2;
    }
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    // Written whole under another name first: a reader never sees half.
    const std::string part = std::string(pids) + ".part";
    if (FILE* out = std::fopen(part.c_str(), "wb")) {
      std::fprintf(out, "%lu %lu", GetCurrentProcessId(), child.dwProcessId);
      std::fclose(out);
      MoveFileExA(part.c_str(), pids, MOVEFILE_REPLACE_EXISTING);
    }
    Sleep(120000);
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
