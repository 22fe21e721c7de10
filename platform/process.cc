// Program launching and the command-line rules (see process.h and
// system_factory.h).
//
// Between fork and exec the child of a multi-threaded process may only make
// async-signal-safe calls, so everything it needs (paths, argument and
// environment vectors) is built before the fork.
#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

#include "platform/decimal.h"
#include "platform/list_text.h"
#include "platform/system_factory.h"

extern char** environ;

namespace tw {

namespace {

// Descriptors above the standard three are made close-on-exec in a child
// about to exec (async-signal-safe). Marking rather than closing keeps the
// exec-failure pipe of LaunchDetached working until the exec.
void MarkDescriptorsCloseOnExec() {
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  // Kernels before 5.11: walk a bounded range.
  long max_fd = sysconf(_SC_OPEN_MAX);
  if (max_fd < 0 || max_fd > 65536) max_fd = 65536;
  for (int fd = 3; fd < max_fd; ++fd) {
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
}

// Resets every signal disposition and empties the mask (async-signal-safe).
void ResetSignals() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &action, nullptr);  // SIGKILL etc. just fail
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Writes errno to the report pipe and ends the child without running any
// of the parent's exit handlers.
[[noreturn]] void ReportAndExit(int report_fd, int error) {
  ssize_t unused = write(report_fd, &error, sizeof error);
  (void)unused;
  _exit(127);
}

// A close-on-exec descriptor moved above the three standard streams (a
// caller that closed its streams gets low numbers for new descriptors,
// which the child's stream set-up would overwrite). -1 stays -1.
int AboveStreams(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// waitpid for one child, retried on EINTR. True when the child has ended;
// ECHILD means the kernel already reaped it (SIGCHLD ignored).
bool WaitForChild(pid_t pid) {
  for (;;) {
    int status = 0;
    pid_t result = waitpid(pid, &status, 0);
    if (result == pid) return true;
    if (result < 0 && errno == EINTR) continue;
    return result < 0 && errno == ECHILD;
  }
}

// The argument vector as the exec calls want it; points into `args`.
std::vector<char*> ArgvOf(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

}  // namespace

bool ProcessStartTime(int pid, unsigned long long* start) {
  if (pid <= 0) return false;
  const std::string dir = "/proc/" + std::to_string(pid);
  struct stat st;
  // Another user's process is never the owner of this user's files.
  if (::stat(dir.c_str(), &st) != 0 || st.st_uid != ::getuid()) return false;
  char text[1024];
  const int fd = ::open((dir + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t got = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (got <= 0) return false;
  text[got] = '\0';
  // The start time is the 22nd field; the name (2nd, in parentheses) may
  // hold blanks and parentheses itself, so count from its last ")".
  const char* at = std::strrchr(text, ')');
  if (at == nullptr) return false;
  for (int field = 2; field < 22 && at != nullptr; ++field) at = std::strchr(at + 1, ' ');
  if (at == nullptr) return false;
  const char* field_end = std::strchr(at + 1, ' ');
  const std::string_view field(at + 1, field_end != nullptr
                                           ? static_cast<size_t>(field_end - (at + 1))
                                           : std::strlen(at + 1));
  int64_t value = 0;
  if (!ParseDecimal(field, 0, INT64_MAX, &value)) return false;
  *start = static_cast<unsigned long long>(value);
  return true;
}

std::string AbsolutePath(const std::string& path, const std::string& base) {
  if (!path.empty() && path[0] == '/') return path;
  std::string dir = base;
  if (dir.empty() || dir[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return std::string();
    dir = dir.empty() ? std::string(cwd) : std::string(cwd) + "/" + dir;
  }
  if (path.empty()) return dir;
  if (dir.back() != '/') dir += '/';
  return dir + path;
}

std::string FindProgram(const std::string& name, const std::string& base) {
  if (name.empty()) return std::string();
  if (name.find('/') != std::string::npos) {
    std::string path = AbsolutePath(name, base);
    return IsExecutableFile(path) ? path : std::string();
  }
  std::string search;
  if (const char* env = std::getenv("PATH")) {
    search = env;
  } else {
    search = "/usr/local/bin:/usr/bin:/bin";
  }
  for (const std::string& dir : SplitList(search, ':')) {
    // An empty element means the current directory, as for execvp.
    std::string path = AbsolutePath(name, dir);
    if (!path.empty() && IsExecutableFile(path)) return path;
  }
  return std::string();
}

namespace {

// Starts the program of `request` with the streams alone inherited and the
// signals reset; with `own_session`, in a session of its own with its
// streams on /dev/null instead. False when it could not be started.
bool Spawn(const LaunchRequest& request, pid_t* child, bool own_session = false) {
  if (request.argv.empty() || request.argv[0].empty()) return false;
  std::vector<char*> argv = ArgvOf(request.argv);

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  posix_spawnattr_t attributes;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return false;
  }
  bool prepared = true;
  if (!request.directory.empty()) {
    prepared = posix_spawn_file_actions_addchdir_np(&actions, request.directory.c_str()) == 0;
  }
  prepared = prepared && posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0;
  if (own_session) {
    prepared = prepared &&
               posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0) == 0 &&
               posix_spawn_file_actions_adddup2(&actions, 0, 1) == 0 &&
               posix_spawn_file_actions_adddup2(&actions, 0, 2) == 0;
  }
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (own_session) flags |= POSIX_SPAWN_SETSID;
  prepared = prepared && posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
             posix_spawnattr_setsigdefault(&attributes, &all) == 0 &&
             posix_spawnattr_setflags(&attributes, flags) == 0;

  pid_t pid = -1;
  // glibc reports a failed exec (or chdir) as the result of posix_spawn.
  bool started =
      prepared && posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ) == 0;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (started) *child = pid;
  return started;
}

}  // namespace

bool LaunchAndWait(const LaunchRequest& request) {
  pid_t pid = -1;
  return Spawn(request, &pid) && WaitForChild(pid);
}

bool LaunchAndWait(const LaunchRequest& request, std::chrono::milliseconds limit,
                   LaunchOutcome* outcome) {
  *outcome = LaunchOutcome();
  pid_t pid = -1;
  if (!Spawn(request, &pid)) return false;
  const auto give_up = std::chrono::steady_clock::now() + limit;
  // Polled, from a millisecond up to a tenth of a second: a short program
  // is seen to end soon, a long one costs a wake-up ten times a second.
  std::chrono::milliseconds pause(1);
  int status = 0;
  for (;;) {
    const pid_t result = waitpid(pid, &status, WNOHANG);
    if (result == pid) break;
    if (result < 0 && errno == EINTR) continue;
    if (result < 0) return errno == ECHILD;  // reaped elsewhere: kUnknown
    if (std::chrono::steady_clock::now() >= give_up) {
      kill(pid, SIGKILL);
      WaitForChild(pid);
      outcome->end = LaunchOutcome::End::kTimedOut;
      return true;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
  if (WIFEXITED(status)) {
    outcome->end = LaunchOutcome::End::kExited;
    outcome->status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    outcome->end = LaunchOutcome::End::kSignalled;
    outcome->status = WTERMSIG(status);
  }
  return true;
}

bool StartProgram(const LaunchRequest& request, StartedProgram* program) {
  pid_t pid = -1;
  if (!Spawn(request, &pid, /*own_session=*/true)) return false;
  *program = pid;
  return true;
}

bool StopProgram(StartedProgram program, std::chrono::milliseconds grace) {
  const pid_t pid = static_cast<pid_t>(program);
  if (pid <= 0) return false;
  // Whether it has ended within `limit`; left unreaped (WNOWAIT), so that
  // its id, which is its session's process group's, stays its own.
  const auto ended_within = [pid](std::chrono::milliseconds limit) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    std::chrono::milliseconds pause(1);
    for (;;) {
      siginfo_t info;
      std::memset(&info, 0, sizeof info);
      const int result = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
      if (result == 0 && info.si_pid == pid) return true;
      if (result < 0 && errno == EINTR) continue;
      if (result < 0) return errno == ECHILD;  // reaped elsewhere
      if (std::chrono::steady_clock::now() >= give_up) return false;
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(100));
    }
  };
  // The whole group: what the program started goes with it.
  if (kill(-pid, SIGTERM) != 0) kill(pid, SIGTERM);
  bool ended = ended_within(grace);
  // Whatever is left of the group is killed while the program's id still
  // names it (it is not reaped yet).
  if (kill(-pid, SIGKILL) != 0 && !ended) kill(pid, SIGKILL);
  if (!ended) ended = ended_within(grace);
  return ended && WaitForChild(pid);
}

void LetProgramGo(StartedProgram) {}

bool LaunchDetached(const LaunchRequest& request) {
  if (request.argv.empty() || request.argv[0].empty()) return false;
  std::vector<char*> argv = ArgvOf(request.argv);
  const char* directory = request.directory.empty() ? nullptr : request.directory.c_str();
  char** envp = environ;

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  report[0] = AboveStreams(report[0]);
  report[1] = AboveStreams(report[1]);
  if (report[0] < 0 || report[1] < 0) {
    if (report[0] >= 0) close(report[0]);
    if (report[1] >= 0) close(report[1]);
    return false;
  }
  // A detached program must not hold the caller's streams: a caller whose
  // output is read to its end (out=$(host ...)) would wait for the program,
  // and the program would write into the caller's terminal or log.
  const int null_fd = AboveStreams(open("/dev/null", O_RDWR | O_CLOEXEC | O_NOCTTY));

  // No handler of the caller may run in the children before exec.
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  pid_t intermediate = fork();
  if (intermediate == 0) {
    close(report[0]);
    setsid();
    pid_t program = fork();
    if (program < 0) ReportAndExit(report[1], errno);
    if (program > 0) _exit(0);
    if (directory != nullptr && chdir(directory) != 0) ReportAndExit(report[1], errno);
    for (int stream = 0; stream < 3; ++stream) {
      // Without /dev/null the streams are closed instead.
      if (null_fd < 0 || dup2(null_fd, stream) < 0) close(stream);
    }
    MarkDescriptorsCloseOnExec();
    ResetSignals();
    execve(argv[0], argv.data(), envp);
    ReportAndExit(report[1], errno);
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  close(report[1]);
  if (null_fd >= 0) close(null_fd);
  if (intermediate < 0) {
    close(report[0]);
    return false;
  }

  // End of file without data: the program's exec closed the last write end.
  int error = 0;
  ssize_t got;
  do {
    got = read(report[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  WaitForChild(intermediate);
  return got == 0;
}

}  // namespace tw
