// A private PostgreSQL cluster for the tests of the server's PostgreSQL
// storage: initdb in a folder of the test's own, the server started on a
// free loopback port with its socket in that folder, stopped (and waited
// for) when the object goes, also when the test failed. As root the
// cluster runs as the unprivileged user "nobody" (PostgreSQL refuses
// root), and the test's folder is opened for it to pass through.
//
// One thread.
#ifndef TW_TESTS_SUPPORT_POSTGRES_CLUSTER_H_
#define TW_TESTS_SUPPORT_POSTGRES_CLUSTER_H_

#include <string>
#include <vector>

namespace tw::test {

// The folder holding initdb and pg_ctl (PATH, then Debian's
// /usr/lib/postgresql/<version>/bin); empty when PostgreSQL is not
// installed.
std::string PostgresBinDir();

class PostgresCluster {
 public:
  // Starts a cluster in `folder` (created; its parent must exist). Check
  // running() and problem().
  explicit PostgresCluster(const std::string& folder);
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
  // (postgresql://tw@127.0.0.1:PORT/NAME); empty with problem() on failure.
  std::string NewDatabase(const std::string& name);
  int port() const { return port_; }

 private:
  // Runs a PostgreSQL program (as the cluster's user); its exit status.
  int Run(const std::string& program, const std::vector<std::string>& args);

  std::string bin_;
  std::string folder_;
  std::string data_;
  int port_ = 0;
  bool as_nobody_ = false;
  bool running_ = false;
  std::string problem_;
};

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_POSTGRES_CLUSTER_H_
