// The administrative command line of TWServer:
//   init   create a repository
//   set    change one of its settings
//   user   add, remove or list users
//   show   print a Document's versions and locks
//   serve  run the server
//   locks  list locks and deferred-lock queues
//   unlock break a lock
//   verify check every version's content
//   gc     remove contents no version refers to
//   backup copy the repository while it is served (backup.h)
//   restore make a repository of a backup
//   migrate move the metadata into PostgreSQL
// Messages go to the error stream; listings to the output stream. Exit codes:
// 0 success, 1 failure, 2 usage error. "--help" after a command (or alone)
// prints its usage to the output stream and exits 0.
#ifndef TW_SERVERS_TWSERVER_CLI_H_
#define TW_SERVERS_TWSERVER_CLI_H_

#include <iosfwd>

namespace tw::twserver {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Runs the command line `argv[1..argc-1]`. `in` supplies the password of
// "user add" (one line; with a terminal as standard input it is read without
// echo).
int RunCommandLine(int argc, const char* const* argv, std::istream& in, std::ostream& out,
                   std::ostream& err);

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_CLI_H_
