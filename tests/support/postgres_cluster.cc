#include "tests/support/postgres_cluster.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace tw::test {

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;
// initdb and pg_ctl (which waits at most its own -t) are given this long.
constexpr int kProgramSeconds = 180;

bool IsProgram(const std::string& path) {
  return access(path.c_str(), X_OK) == 0;
}

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

}  // namespace

std::string PostgresBinDir() {
  if (const char* path = std::getenv("PATH")) {
    std::string rest = path;
    while (!rest.empty()) {
      const size_t colon = rest.find(':');
      const std::string dir = rest.substr(0, colon);
      if (!dir.empty() && IsProgram(dir + "/initdb") && IsProgram(dir + "/pg_ctl")) return dir;
      if (colon == std::string::npos) break;
      rest = rest.substr(colon + 1);
    }
  }
  std::string best;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    const std::string dir = entry.path().string() + "/bin";
    if (IsProgram(dir + "/initdb") && IsProgram(dir + "/pg_ctl") && dir > best) best = dir;
  }
  return best;
}

PostgresCluster::PostgresCluster(const std::string& folder)
    : bin_(PostgresBinDir()), folder_(folder), data_(folder + "/data") {
  if (bin_.empty()) {
    problem_ = "PostgreSQL is not installed (no initdb and pg_ctl)";
    return;
  }
  if (mkdir(folder_.c_str(), 0700) != 0) {
    problem_ = "cannot make " + folder_;
    return;
  }
  as_nobody_ = geteuid() == 0;
  if (as_nobody_) {
    // The cluster's user must reach its folder through the test's own.
    const fs::path parent = fs::path(folder_).parent_path();
    if (chmod(parent.c_str(), 0711) != 0 || chown(folder_.c_str(), kNobody, kNobody) != 0) {
      problem_ = "cannot open " + folder_ + " to the user nobody";
      return;
    }
    // And through every folder above, which are not the test's to open.
    for (fs::path above = parent.parent_path(); !above.empty(); above = above.parent_path()) {
      struct stat st;
      if (stat(above.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) {
        problem_ = "the user nobody cannot pass through " + above.string() +
                   " to reach the cluster (set TW_TEST_TMP to a folder it can reach)";
        return;
      }
      if (above == above.root_path()) break;
    }
  }
  if (Run("initdb", {"-D", data_, "-U", "tw", "-A", "trust", "-E", "UTF8", "--locale=C",
                     "--no-sync", "--no-instructions"}) != 0) {
    problem_ = "initdb failed (see " + folder_ + "/log)";
    return;
  }
  for (int attempt = 0; attempt < 5 && !running_; ++attempt) {
    port_ = FreePort();
    const std::string options = "-c listen_addresses=127.0.0.1 -p " + std::to_string(port_) +
                                " -k " + folder_ + " -c fsync=off -c max_connections=200" +
                                " -c max_pred_locks_per_transaction=256";
    running_ = Run("pg_ctl", {"-D", data_, "-w", "-t", "120", "-l", folder_ + "/server.log", "-o",
                              options, "start"}) == 0;
  }
  if (!running_) problem_ = "the PostgreSQL server did not start (see " + folder_ + ")";
}

PostgresCluster::~PostgresCluster() {
  if (running_) Run("pg_ctl", {"-D", data_, "-w", "-t", "60", "-m", "immediate", "stop"});
}

int PostgresCluster::Run(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> argv;
  if (as_nobody_) {
    for (const char* a : {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"}) {
      argv.emplace_back(a);
    }
  }
  argv.push_back(bin_ + "/" + program);
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (std::string& a : argv) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  const std::string log = folder_ + "/log";
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    // The cluster's user starts in a folder of its own.
    if (chdir(folder_.c_str()) != 0) _exit(126);
    execvp(pointers[0], pointers.data());
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kProgramSeconds);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 || std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string PostgresCluster::NewDatabase(const std::string& name) {
  if (!running_) return std::string();
  const std::string admin =
      "postgresql://tw@127.0.0.1:" + std::to_string(port_) + "/postgres?connect_timeout=30";
  PGconn* conn = PQconnectdb(admin.c_str());
  std::string address;
  if (PQstatus(conn) == CONNECTION_OK) {
    const std::string sql = "CREATE DATABASE \"" + name + "\"";
    PGresult* result = PQexec(conn, sql.c_str());
    if (PQresultStatus(result) == PGRES_COMMAND_OK) {
      address = "postgresql://tw@127.0.0.1:" + std::to_string(port_) + "/" + name;
    } else {
      problem_ = PQerrorMessage(conn);
    }
    PQclear(result);
  } else {
    problem_ = PQerrorMessage(conn);
  }
  PQfinish(conn);
  return address;
}

}  // namespace tw::test
