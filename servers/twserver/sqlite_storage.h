// The SQLite backend of SqlStorage (sql_backend.h, sql_storage.h).
//
// One database file in WAL mode holds everything but file contents; those
// live in the ContentStore beside it. Every operation is one transaction:
// those that write begin with BEGIN IMMEDIATE, so that a writer takes the
// database's write lock before it reads what it decides on and never has to
// upgrade (the one way SQLite could refuse it as busy); readers take a
// snapshot with a plain BEGIN, which WAL never blocks. A writer that finds
// the lock taken waits up to the busy time-out, so concurrent requests are
// serialised, not refused.
//
// Threads: the object may be shared by threads. Writers queue up in order
// and run in batches on one writer connection: the thread that finds no
// batch under way runs every waiting writer's request in one transaction,
// each as a savepoint of its own (kept or rolled back whole), so one commit
// and one sync serve them all; the others wait for the batch to end. One
// client's long write delays other writers only; readers lease a
// connection of their own from a small pool (up to kMaxReaders, and one
// kept for logons, opened on demand), admitted by a ReadGate (read_gate.h),
// and are never held up by a writer. A read past its deadline is
// interrupted (kOverLimit). Open any number of objects on one repository,
// from any number of threads or processes. Mutexes are held briefly and
// never two at once.
#ifndef TW_SERVERS_TWSERVER_SQLITE_STORAGE_H_
#define TW_SERVERS_TWSERVER_SQLITE_STORAGE_H_

#include <cstddef>
#include <memory>
#include <string>

#include "servers/twserver/sql_storage.h"
#include "servers/twserver/storage.h"

namespace tw::twserver {

// Makes and opens SQLite repository databases.
class SqliteStorage {
 public:
  // How long a writer waits for another one before it fails.
  static constexpr int kDefaultBusyMilliseconds = 60000;
  // Reader connections for reads at once, besides the one kept for logons;
  // more readers wait at the gate.
  static constexpr size_t kMaxReaders = 8;

  SqliteStorage() = delete;

  // Creates the database file `path` (which must not exist) with its tables,
  // the settings and the root Production. False with `error` on failure.
  static bool CreateDatabase(const std::string& path, const RepositorySettings& settings,
                             std::string* error);

  // Opens the database `path` (it must exist) with contents in `contents`.
  // Nothing, with `error`, when it cannot be opened or is not ours.
  static std::unique_ptr<SqlStorage> Open(const std::string& path, ContentStore contents,
                                          Clock clock, std::string* error,
                                          int busy_milliseconds = kDefaultBusyMilliseconds);

  // A repository held in memory, with one connection for everything: for
  // the command fuzz target and tests that need no files. Nothing, with
  // `error`, on failure.
  static std::unique_ptr<SqlStorage> OpenInMemory(const RepositorySettings& settings,
                                                  ContentStore contents, Clock clock,
                                                  std::string* error);
};

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_SQLITE_STORAGE_H_
