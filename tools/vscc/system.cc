// The POSIX form of vscc's operating-system seam (see system.h).
#include "tools/vscc/system.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/errno_text.h"
#include "platform/system_factory.h"

extern char** environ;

namespace vscc {

namespace {

constexpr char kModuleName[] = "libTWSccApi.so";

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string ModuleBesideExecutable() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (ec ? std::string(".") : self.parent_path().string()) + "/" + kModuleName;
}

void* OpenModule(const std::string& path, std::string* error) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    *error = "cannot load the provider " + path + ": " + (why ? why : "unknown error");
  }
  return handle;
}

void* ModuleSymbol(void* module, const char* name) {
  return module != nullptr ? ::dlsym(module, name) : nullptr;
}

struct ScratchFile::Handle {
  int fd = -1;
};

std::unique_ptr<ScratchFile> ScratchFile::Create(const char* name, std::string* error) {
  auto file = std::unique_ptr<ScratchFile>(new ScratchFile);
  file->handle_ = std::make_unique<Handle>();
  int& fd = file->handle_->fd;
  fd = ::memfd_create(name, MFD_CLOEXEC);
  if (fd >= 0) {
    file->path_ = "/proc/self/fd/" + std::to_string(fd);
    if (::access(file->path_.c_str(), R_OK | W_OK) == 0) return file;
    ::close(fd);
    fd = -1;
  }
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string base = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
  std::string folder = base + "/vscc-XXXXXX";
  if (::mkdtemp(folder.data()) == nullptr) {
    *error = tw::ErrnoText("cannot make a private folder in", base, errno);
    return nullptr;
  }
  file->folder_ = folder;
  file->path_ = folder + "/" + name;
  fd = ::open(file->path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = tw::ErrnoText("cannot create", file->path_, errno);
    return nullptr;
  }
  return file;
}

ScratchFile::~ScratchFile() {
  if (handle_ && handle_->fd >= 0) ::close(handle_->fd);
  if (!folder_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
}

bool ScratchFile::Write(const std::string& text) {
  const int fd = handle_->fd;
  return ::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0 && WriteAll(fd, text);
}

std::string ScratchFile::ReadFrom(size_t offset) const {
  std::string text;
  char buffer[8192];
  while (true) {
    const ssize_t n =
        ::pread(handle_->fd, buffer, sizeof buffer, static_cast<off_t>(offset + text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

bool WriteOutput(int fd, const std::string& text) {
  return WriteAll(fd, text);
}

bool IsTerminal(int fd) {
  return ::isatty(fd) == 1;
}

bool TerminalShowsColour(int fd) {
  return IsTerminal(fd);
}

int TerminalWidth(int fd) {
  struct winsize size {};
  if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

bool HaveTerminal() {
  const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

namespace {

// The terminal's settings while a secret is asked, so that a signal that
// ends vscc then gives the person back a terminal that echoes.
struct termios g_saved_terminal;
volatile sig_atomic_t g_terminal_fd = -1;

void RestoreTerminalAndDie(int signal_number) {
  if (g_terminal_fd >= 0) ::tcsetattr(g_terminal_fd, TCSANOW, &g_saved_terminal);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

bool PromptSecret(const std::string& prompt, std::string* answer) {
  const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  struct sigaction previous[4];
  const bool quiet = ::tcgetattr(fd, &g_saved_terminal) == 0;
  if (quiet) {
    struct sigaction restore {};
    restore.sa_handler = RestoreTerminalAndDie;
    sigemptyset(&restore.sa_mask);
    for (int i = 0; i < 4; ++i) ::sigaction(kSignals[i], &restore, &previous[i]);
    g_terminal_fd = fd;
    struct termios no_echo = g_saved_terminal;
    no_echo.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(fd, TCSANOW, &no_echo);
  }
  WriteAll(fd, prompt);
  answer->clear();
  bool got = false;
  while (true) {
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got = true;
    if (c == '\n') break;
    if (answer->size() < 4096) *answer += c;
  }
  if (quiet) {
    ::tcsetattr(fd, TCSANOW, &g_saved_terminal);
    g_terminal_fd = -1;
    for (int i = 0; i < 4; ++i) ::sigaction(kSignals[i], &previous[i], nullptr);
  }
  WriteAll(fd, "\n");
  ::close(fd);
  if (!answer->empty() && answer->back() == '\r') answer->pop_back();
  return got;
}

void SetEnvironment(const char* name, const std::string& value) {
  ::setenv(name, value.c_str(), 1);
}

void UnsetEnvironment(const char* name) {
  ::unsetenv(name);
}

void IgnoreBrokenPipe() {
  ::signal(SIGPIPE, SIG_IGN);
}

namespace {

// Runs on the signal: the handler was reset to the default when it was
// entered (SA_RESETHAND), so the signal raised again ends vscc as it would
// have, once the handler returns.
void OnInterrupt(int signal_number) {
  const int saved = errno;
  tw::RemoveOwnTempFiles();
  ::raise(signal_number);
  errno = saved;
}

}  // namespace

void RemoveScratchFilesOnInterrupt() {
  tw::PrepareOwnTempFileRemoval();
  struct sigaction action {};
  action.sa_handler = &OnInterrupt;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal the caller chose to ignore stays ignored.
    struct sigaction old {};
    if (::sigaction(signal_number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(signal_number, &action, nullptr);
  }
}

const char* DefaultEditor() {
  return "vi";
}

int RunProgram(const std::vector<std::string>& argv, std::string* error) {
  std::vector<char*> pointers;
  for (const std::string& a : argv) pointers.push_back(const_cast<char*>(a.c_str()));
  pointers.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, pointers[0], nullptr, nullptr, pointers.data(), environ);
  if (spawned != 0) {
    *error = tw::ErrnoText("cannot run", argv[0], spawned);
    return -1;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status)) {
    *error = argv[0] + " failed";
    return -1;
  }
  return WEXITSTATUS(status);
}

}  // namespace vscc
