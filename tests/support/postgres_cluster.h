// A private PostgreSQL cluster for the tests of the server's PostgreSQL
// storage: initdb in a folder of the test's own, the server listening only
// on its socket in that folder (0700: the cluster trusts whoever
// connects), stopped (and waited for) when the object goes, also when the
// test failed. As root the
// cluster runs as the unprivileged user "nobody" (PostgreSQL refuses
// root), and the test's folder is opened for it to pass through.
//
// A cluster never outlives the process that owns it by more than a second
// or so: a watchdog process stops it once the owner is gone, also when the
// owner crashed or was killed. Each cluster folder records its owner (pid
// and start time, so that a later process given the same pid does not pass
// for it), and starting a cluster first stops and removes the clusters in
// twpg-* folders (below TW_TEST_TMP, /tmp by default) whose owner is gone
// and whose watchdog did not get to it; a server is stopped only while the
// pid of its postmaster.pid still works in its data folder.
//
// The tests share one cluster per test run: ctest starts it before the
// first test that needs it and stops it after the last (the program
// servers_postgres_cluster_helper, run as a ctest fixture, owned by ctest
// itself); a test program run by hand starts one of its own on first use.
// Each test takes fresh databases from it (PostgresDatabases) and drops
// them at its end.
//
// One thread.
#ifndef TW_TESTS_SUPPORT_POSTGRES_CLUSTER_H_
#define TW_TESTS_SUPPORT_POSTGRES_CLUSTER_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <ostream>
#include <string>
#include <vector>

namespace tw::test {

// The storage a parameterised test runs on.
enum class Backend { kSqlite, kPostgres };

void PrintTo(Backend backend, std::ostream* os);
// "Sqlite" or "Postgres", the end of the test's name.
std::string BackendName(const ::testing::TestParamInfo<Backend>& info);

// The folder holding initdb and pg_ctl (PATH, then Debian's
// /usr/lib/postgresql/<version>/bin); empty when PostgreSQL is not
// installed.
std::string PostgresBinDir();

class PostgresCluster {
 public:
  // Starts a cluster in `folder` (created unless it exists and is empty;
  // its parent must exist), watched for the death of `owner` (this process
  // by default). Check running() and problem().
  explicit PostgresCluster(const std::string& folder, pid_t owner = 0);
  ~PostgresCluster();
  PostgresCluster(const PostgresCluster&) = delete;
  PostgresCluster& operator=(const PostgresCluster&) = delete;

  bool running() const { return running_; }
  // True when PostgreSQL is installed: a cluster that does not run is then
  // a failure, not a reason to skip.
  bool installed() const { return !bin_.empty(); }
  // Why it is not running.
  const std::string& problem() const { return problem_; }

  // Creates an empty database and gives its address
  // (postgresql://tw@%2F...FOLDER:PORT/NAME); empty with problem() on failure.
  std::string NewDatabase(const std::string& name);
  int port() const { return port_; }
  const std::string& folder() const { return folder_; }

  // Leaves the cluster running when the object goes: its owner (not this
  // process) or its watchdog stops it.
  void Release() { released_ = true; }

 private:
  // Runs a PostgreSQL program (as the cluster's user); its exit status.
  int Run(const std::string& program, const std::vector<std::string>& args);
  void StartWatchdog(pid_t owner, const std::string& owner_start);

  std::string bin_;
  std::string folder_;
  std::string data_;
  int port_ = 0;
  bool as_nobody_ = false;
  bool running_ = false;
  bool released_ = false;
  pid_t watchdog_ = -1;
  std::string problem_;
};

// Fresh databases on the cluster the test run shares (see above), dropped
// when the object goes. Tests skip when installed() is false and fail when
// New() gives an empty address.
class PostgresDatabases {
 public:
  PostgresDatabases();
  ~PostgresDatabases();
  PostgresDatabases(const PostgresDatabases&) = delete;
  PostgresDatabases& operator=(const PostgresDatabases&) = delete;

  bool installed() const;
  const std::string& problem() const { return problem_; }
  // The address of a new empty database whose name starts with `label`;
  // empty with problem() on failure.
  std::string New(const std::string& label = "db");

 private:
  std::string folder_;
  int port_ = 0;
  std::vector<std::string> names_;
  std::string problem_;
};

// Stops the cluster in `folder` (if it runs) and removes the folder; when
// `unless_owned_by_other_than` is given, not while a live owner other than
// that process has it (another test run's cluster). True when it did.
bool StopPostgresCluster(const std::string& folder, pid_t unless_owned_by_other_than = 0);

// Runs SQL as the cluster's administrator on the database `name` of the
// cluster with its socket in `folder` and `port`; false with `*problem`
// when it fails.
bool PostgresAdmin(const std::string& folder, int port, const std::string& name,
                   const std::string& sql, std::string* problem);

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_POSTGRES_CLUSTER_H_
