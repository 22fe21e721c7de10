#include "tests/support/postgres_cluster.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "platform/decimal.h"
#include "tests/support/test_env.h"

namespace tw::test {

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;
// initdb and pg_ctl (which waits at most its own -t) are given this long.
constexpr int kProgramSeconds = 180;
// The folders of the clusters started for a test run or a test process.
constexpr char kSharedPrefix[] = "twpg-";

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

std::string TestTmp() {
  const char* base = std::getenv("TW_TEST_TMP");
  return base != nullptr && *base != '\0' ? base : "/tmp";
}

// The first line of a small file; empty when it cannot be read.
std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

bool Alive(pid_t pid) {
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

// When the process `pid` started (field 22 of /proc/PID/stat, in clock
// ticks since boot); empty when there is no such process. With the pid it
// names one process, not a later one given the same pid.
std::string StartTime(pid_t pid) {
  const std::string stat = FirstLine("/proc/" + std::to_string(pid) + "/stat");
  const size_t name_end = stat.rfind(')');
  if (pid <= 0 || name_end == std::string::npos) return std::string();
  // Fields 3 on follow the name.
  std::istringstream fields(stat.substr(name_end + 1));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) return field;
  }
  return std::string();
}

// "PID START" of the process `pid`, as an owner file records it.
std::string OwnerLine(pid_t pid) {
  return std::to_string(pid) + " " + StartTime(pid);
}

// Whether the process an owner file names still runs: the same pid and the
// same start.
bool OwnerAlive(const std::string& folder) {
  std::istringstream line(FirstLine(folder + "/owner"));
  pid_t pid = 0;
  std::string start;
  if (!(line >> pid >> start)) return false;
  return Alive(pid) && StartTime(pid) == start;
}

// Whether the pid of `data`/postmaster.pid is a server whose data folder is
// `data` (its working folder): else it is gone, and the pid may have gone
// to another process that is not ours to stop.
bool OurPostmaster(const std::string& data) {
  const pid_t pid = static_cast<pid_t>(std::atol(FirstLine(data + "/postmaster.pid").c_str()));
  std::error_code ec;
  const fs::path cwd = fs::read_symlink("/proc/" + std::to_string(pid) + "/cwd", ec);
  if (pid <= 0 || ec) return false;
  const fs::path canonical = fs::canonical(data, ec);
  return !ec && cwd == canonical;
}

// Writes a file that must be new (never through a link another user put
// there).
bool WriteNewFile(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok;
}

// The address of the database `name` through the cluster's socket in
// `folder`: postgresql://tw@%2F...:PORT/NAME.
std::string Address(const std::string& folder, int port, const std::string& name) {
  std::string host;
  for (const char c : folder) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.') {
      host += c;
    } else {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", static_cast<unsigned char>(c));
      host += code;
    }
  }
  return "postgresql://tw@" + host + ":" + std::to_string(port) + "/" + name;
}

// The command line of `program` from `bin`, as the cluster's user.
std::vector<std::string> Command(const std::string& bin, bool as_nobody,
                                 const std::string& program) {
  std::vector<std::string> argv;
  if (as_nobody) {
    for (const char* a : {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"}) {
      argv.emplace_back(a);
    }
  }
  argv.push_back(bin + "/" + program);
  return argv;
}

// Forks a child with standard input from /dev/null, output and errors
// appended to `log`, in the folder `dir`, none of this process's other
// descriptors, and (for a watchdog) a session of its own, so that the
// terminal's interrupt meant for the test does not reach it. Everything the
// child needs is made before the fork: the child only calls what is safe
// between fork and exec in a process with threads.
pid_t ForkExec(std::vector<std::string> argv, const std::string& log, const std::string& dir,
               bool own_session) {
  std::vector<char*> pointers;
  for (std::string& a : argv) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  // Opened here, never through a link the cluster's user put there.
  const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
  const pid_t pid = fork();
  if (pid != 0) {
    if (fd >= 0) close(fd);
    return pid;
  }
  if (own_session) setsid();
  if (fd >= 0) {
    dup2(fd, 1);
    dup2(fd, 2);
  }
  const int null = open("/dev/null", O_RDONLY);
  if (null >= 0) dup2(null, 0);
  for (int other = 3; other < 1024; ++other) close(other);
  if (chdir(dir.c_str()) != 0) _exit(126);
  execvp(pointers[0], pointers.data());
  _exit(127);
}

// Runs a PostgreSQL program of `bin` with its output in `folder`/log; its
// exit status, -1 when it did not end in time.
int RunProgram(const std::string& bin, bool as_nobody, const std::string& folder,
               const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> argv = Command(bin, as_nobody, program);
  argv.insert(argv.end(), args.begin(), args.end());
  // The cluster's user starts in a folder of its own.
  const pid_t pid = ForkExec(argv, folder + "/log", folder, false);
  if (pid < 0) return -1;
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

// Stops the cluster in `folder` if it runs, and removes the folder.
void StopAndRemove(const std::string& bin, const std::string& folder) {
  const std::string data = folder + "/data";
  if (!bin.empty() && OurPostmaster(data)) {
    RunProgram(bin, geteuid() == 0, folder, "pg_ctl",
               {"-D", data, "-w", "-t", "60", "-m", "immediate", "stop"});
  }
  std::error_code ec;
  fs::remove_all(folder, ec);
}

// Stops and removes the clusters of twpg-* folders whose owner is gone: a
// test run or test process that was killed before it, or its watchdog,
// could stop its cluster. A folder without an owner yet is being made.
void StopStaleClusters(const std::string& bin) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(TestTmp(), ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kSharedPrefix, 0) != 0) continue;
    const std::string owner = FirstLine(entry.path().string() + "/owner");
    if (owner.empty()) continue;
    struct stat st {};
    // Only this user's clusters (the owner file is the starter's; the
    // folder may be given to the cluster's user): another user's test run
    // is not ours to end.
    if (OwnerAlive(entry.path().string()) ||
        lstat((entry.path().string() + "/owner").c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != geteuid()) {
      continue;
    }
    StopAndRemove(bin, entry.path().string());
  }
}

}  // namespace

void PrintTo(Backend backend, std::ostream* os) {
  *os << (backend == Backend::kSqlite ? "SQLite" : "PostgreSQL");
}

std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::kSqlite ? "Sqlite" : "Postgres";
}

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

PostgresCluster::PostgresCluster(const std::string& folder, pid_t owner)
    : bin_(PostgresBinDir()), folder_(folder), data_(folder + "/data") {
  if (bin_.empty()) {
    problem_ = "PostgreSQL is not installed (no initdb and pg_ctl)";
    return;
  }
  StopStaleClusters(bin_);
  std::error_code ec;
  if (mkdir(folder_.c_str(), 0700) != 0 && !(errno == EEXIST && fs::is_empty(folder_, ec))) {
    problem_ = "cannot make " + folder_;
    return;
  }
  if (owner <= 0) owner = getpid();
  const std::string owner_start = StartTime(owner);
  if (owner_start.empty() || !WriteNewFile(folder_ + "/owner", OwnerLine(owner) + "\n")) {
    problem_ = "cannot record the owner of " + folder_;
    return;
  }
  as_nobody_ = geteuid() == 0;
  if (as_nobody_) {
    // The cluster's user must reach its folder through the test's own
    // (opened for others to pass, never to read, and only when closed).
    const fs::path parent = fs::path(folder_).parent_path();
    struct stat st {};
    if (stat(parent.c_str(), &st) != 0 ||
        ((st.st_mode & S_IXOTH) == 0 &&
         chmod(parent.c_str(), (st.st_mode & 07777) | S_IXGRP | S_IXOTH) != 0) ||
        chown(folder_.c_str(), kNobody, kNobody) != 0) {
      problem_ = "cannot open " + folder_ + " to the user nobody";
      return;
    }
    // And through every folder above, which are not the test's to open.
    for (fs::path above = parent.parent_path(); !above.empty(); above = above.parent_path()) {
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
    // Room for two tests at once with a hundred clients over two servers.
    // Only the socket in the cluster's own folder (0700) takes connections:
    // the cluster trusts whoever connects.
    const std::string options = "-c listen_addresses= -p " + std::to_string(port_) + " -k " +
                                folder_ + " -c fsync=off -c max_connections=300" +
                                " -c max_pred_locks_per_transaction=256";
    running_ = Run("pg_ctl", {"-D", data_, "-w", "-t", "120", "-l", folder_ + "/server.log", "-o",
                              options, "start"}) == 0;
  }
  if (!running_) {
    problem_ = "the PostgreSQL server did not start (see " + folder_ + ")";
    return;
  }
  if (!WriteNewFile(folder_ + "/port", std::to_string(port_) + "\n")) {
    problem_ = "cannot write " + folder_ + "/port";
    Run("pg_ctl", {"-D", data_, "-w", "-t", "60", "-m", "immediate", "stop"});
    running_ = false;
    return;
  }
  StartWatchdog(owner, owner_start);
}

PostgresCluster::~PostgresCluster() {
  if (released_) return;
  if (watchdog_ > 0) {
    kill(watchdog_, SIGKILL);
    waitpid(watchdog_, nullptr, 0);
  }
  if (running_) Run("pg_ctl", {"-D", data_, "-w", "-t", "60", "-m", "immediate", "stop"});
}

void PostgresCluster::StartWatchdog(pid_t owner, const std::string& owner_start) {
  // Polls once a second: while the owner lives (the same pid with the same
  // start) and the cluster runs it sleeps; once the owner is gone it stops
  // the cluster, if the pid of postmaster.pid is still a server of this
  // data folder, and removes a twpg-* folder, which nobody else will.
  const bool remove = fs::path(folder_).filename().string().rfind(kSharedPrefix, 0) == 0;
  std::error_code ec;
  const std::string canonical = fs::canonical(data_, ec).string();
  std::vector<std::string> argv{
      "/bin/sh",
      "-c",
      "owner=$1 start=$2 data=$3 folder=$4 remove=$5 real=$6; shift 6\n"
      "started() { read -r line 2>/dev/null <\"/proc/$1/stat\" || return 0;"
      " set -- ${line##*) }; shift 19; echo \"$1\"; }\n"
      "while [ \"$(started \"$owner\")\" = \"$start\" ] && [ -e \"$data/postmaster.pid\" ]; do\n"
      "  sleep 1\n"
      "done\n"
      "if [ -e \"$data/postmaster.pid\" ]; then\n"
      "  read -r pm <\"$data/postmaster.pid\"\n"
      "  if [ -n \"$pm\" ] && [ \"$(readlink \"/proc/$pm/cwd\")\" = \"$real\" ]; then\n"
      "    \"$@\" -D \"$data\" -w -t 60 -m immediate stop\n"
      "  fi\n"
      "  if [ \"$remove\" = 1 ]; then rm -rf \"$folder\"; fi\n"
      "fi\n",
      "watchdog",
      std::to_string(owner),
      owner_start,
      data_,
      folder_,
      remove ? "1" : "0",
      canonical};
  for (const std::string& part : Command(bin_, as_nobody_, "pg_ctl")) argv.push_back(part);
  watchdog_ = ForkExec(argv, folder_ + "/watchdog.log", "/", true);
}

int PostgresCluster::Run(const std::string& program, const std::vector<std::string>& args) {
  return RunProgram(bin_, as_nobody_, folder_, program, args);
}

bool StopPostgresCluster(const std::string& folder, pid_t unless_owned_by_other_than) {
  if (unless_owned_by_other_than > 0 && OwnerAlive(folder)) {
    const pid_t owner = static_cast<pid_t>(std::atol(FirstLine(folder + "/owner").c_str()));
    if (owner != unless_owned_by_other_than) return false;
  }
  StopAndRemove(PostgresBinDir(), folder);
  return true;
}

bool PostgresAdmin(const std::string& folder, int port, const std::string& name,
                   const std::string& sql, std::string* problem) {
  const std::string admin = Address(folder, port, name) + "?connect_timeout=30";
  PGconn* conn = PQconnectdb(admin.c_str());
  bool ok = false;
  if (PQstatus(conn) == CONNECTION_OK) {
    PGresult* result = PQexec(conn, sql.c_str());
    ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    PQclear(result);
  }
  if (!ok) *problem = PQerrorMessage(conn);
  PQfinish(conn);
  return ok;
}

std::string PostgresCluster::NewDatabase(const std::string& name) {
  if (!running_) return std::string();
  if (!PostgresAdmin(folder_, port_, "postgres", "CREATE DATABASE \"" + name + "\"", &problem_)) {
    return std::string();
  }
  return Address(folder_, port_, name);
}

namespace {

// The cluster of this test process: the test run's, when ctest started one
// (its folder is named in the file TW_POSTGRES_FIXTURE_FILE), else one of
// its own, started on first use and stopped with the process.
struct SharedCluster {
  bool tried = false;
  bool installed = false;
  int port = 0;
  std::string folder;
  std::string problem;
  std::unique_ptr<PostgresCluster> own;

  ~SharedCluster() {
    if (!own) return;
    const std::string folder = own->folder();
    own.reset();
    std::error_code ec;
    fs::remove_all(folder, ec);
  }

  void Find() {
    tried = true;
    installed = !PostgresBinDir().empty();
    if (!installed) {
      problem = "PostgreSQL is not installed (no initdb and pg_ctl)";
      return;
    }
#ifdef TW_POSTGRES_FIXTURE_FILE
    folder = FirstLine(TW_POSTGRES_FIXTURE_FILE);
    struct stat st {};
    if (!folder.empty() && OwnerAlive(folder) &&
        stat((folder + "/data/postmaster.pid").c_str(), &st) == 0) {
      uint16_t read = 0;
      if (ParsePort(FirstLine(folder + "/port"), &read) && read > 0) {
        port = read;
        return;
      }
    }
#endif
    std::string templ = TestTmp() + "/" + kSharedPrefix + "XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
      problem = "cannot make a folder in " + TestTmp();
      return;
    }
    own = std::make_unique<PostgresCluster>(templ);
    if (!own->running()) {
      problem = own->problem();
      return;
    }
    port = own->port();
    folder = own->folder();
  }
};

SharedCluster& Shared() {
  static SharedCluster shared;
  if (!shared.tried) shared.Find();
  return shared;
}

}  // namespace

PostgresDatabases::PostgresDatabases()
    : folder_(Shared().folder), port_(Shared().port), problem_(Shared().problem) {}

PostgresDatabases::~PostgresDatabases() {
  std::string ignored;
  for (const std::string& name : names_) {
    PostgresAdmin(folder_, port_, "postgres",
                  "DROP DATABASE IF EXISTS \"" + name + "\" WITH (FORCE)", &ignored);
  }
}

bool PostgresDatabases::installed() const {
  return Shared().installed;
}

std::string PostgresDatabases::New(const std::string& label) {
  if (port_ <= 0) return std::string();
  // Unique across the test processes sharing the cluster.
  static int counter = 0;
  const std::string name = label + "_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
  if (!PostgresAdmin(folder_, port_, "postgres", "CREATE DATABASE \"" + name + "\"", &problem_)) {
    return std::string();
  }
  names_.push_back(name);
  return Address(folder_, port_, name);
}

}  // namespace tw::test
