// A program started by the launch tests: it reports its own start (process
// ids, session, working folder, open descriptors, signal state, arguments),
// renamed into place whole, to $TW_HELPER_OUT or else to the file named by
// its first argument (then left out of the reported arguments).
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  const char* target = std::getenv("TW_HELPER_OUT");
  int first = 1;
  if (target == nullptr) {
    if (argc < 2) return 2;
    target = argv[1];
    first = 2;
  }
  std::string report;
  report += "pid " + std::to_string(getpid()) + "\n";
  report += "ppid " + std::to_string(getppid()) + "\n";
  report += "sid " + std::to_string(getsid(0)) + "\n";
  char cwd[4096];
  report += std::string("cwd ") + (getcwd(cwd, sizeof cwd) ? cwd : "?") + "\n";

  std::string fds;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      if (std::atoi(entry->d_name) == dirfd(dir)) continue;
      fds += fds.empty() ? "" : " ";
      fds += entry->d_name;
    }
    closedir(dir);
  }
  report += "fds " + fds + "\n";

  struct sigaction action;
  sigaction(SIGCHLD, nullptr, &action);
  report += std::string("sigchld ") + (action.sa_handler == SIG_IGN ? "ignored" : "default") + "\n";
  sigset_t mask;
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  report += std::string("blocked ") + (sigismember(&mask, SIGTERM) ? "yes" : "no") + "\n";
  for (int i = first; i < argc; ++i) report += std::string("arg ") + argv[i] + "\n";

  std::string temp = std::string(target) + ".part";
  FILE* out = std::fopen(temp.c_str(), "we");
  if (out == nullptr) return 3;
  std::fwrite(report.data(), 1, report.size(), out);
  if (std::fclose(out) != 0) return 3;
  return std::rename(temp.c_str(), target) == 0 ? 0 : 3;
}
