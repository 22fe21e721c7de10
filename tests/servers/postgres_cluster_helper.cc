// The PostgreSQL cluster a test run shares, as a ctest fixture:
//   servers_postgres_cluster_helper start FILE   starts a cluster in a new
//       twpg-* folder, owned by the calling ctest (the cluster stops when
//       ctest is gone), and writes the folder's path to FILE
//   servers_postgres_cluster_helper stop FILE    stops it, removes the folder
//       and FILE (not another live test run's cluster)
// Where PostgreSQL is not installed, start writes nothing and succeeds: the
// tests then skip their PostgreSQL cases themselves.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/support/postgres_cluster.h"
#include "tests/support/test_env.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s start|stop FILE\n", argv[0]);
    return 2;
  }
  const std::string command = argv[1];
  const std::string file = argv[2];
  // A run that was cut off may have left its cluster (when its watchdog was
  // cut off too): it stops here before a new one starts. The cluster of
  // another run that is still going (a second ctest in the same build
  // folder) is left to it.
  std::string folder;
  std::getline(std::ifstream(file), folder);
  if (folder.empty() || tw::test::StopPostgresCluster(folder, getppid())) unlink(file.c_str());
  if (command == "stop") return 0;
  if (command != "start") return 2;

  if (tw::test::PostgresBinDir().empty()) {
    std::printf("PostgreSQL is not installed: its tests skip\n");
    return 0;
  }
  const char* base = std::getenv("TW_TEST_TMP");
  std::string templ =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/twpg-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  tw::test::PostgresCluster cluster(templ, getppid());
  if (!cluster.running()) {
    std::fprintf(stderr, "%s\n", cluster.problem().c_str());
    tw::test::StopPostgresCluster(templ);
    return 1;
  }
  cluster.Release();
  tw::test::WriteFile(file, templ + "\n");
  std::printf("PostgreSQL cluster in %s on port %d\n", templ.c_str(), cluster.port());
  return 0;
}
