// A repository folder and what it holds:
//   repository.db     the database (SQLite, WAL mode; -wal and -shm beside it)
//   database.address  or instead: the PostgreSQL database's connection text
//                     (no password), for a repository several servers serve
//   content/          the content store (content_store.h)
// The folder itself is mode 0700. The database file (or the address) appears
// last when a repository is created, so a folder with one is a whole
// repository.
//
// The server's logon keys are not kept here: a serving server makes new
// ones every few minutes and holds them in memory only (logon_keys.h), so
// that a logon captured once can never be sent again. Repositories made
// before kept a "server.key" file, which nothing reads any more.
//
// Values and files only; any thread.
#ifndef TW_SERVERS_TWSERVER_REPOSITORY_H_
#define TW_SERVERS_TWSERVER_REPOSITORY_H_

#include <memory>
#include <string>

#include "servers/twserver/storage.h"

namespace tw::twserver {

constexpr const char* kDatabaseFile = "repository.db";
constexpr const char* kContentFolder = "content";
constexpr const char* kDatabaseAddressFile = "database.address";
// What a migrated repository's SQLite database is renamed to.
constexpr const char* kMigratedDatabaseFile = "repository.db.migrated";
// The file whose lock tells a migration that a SQLite repository is in use.
constexpr const char* kHoldFile = "repository.lock";

// Creates a repository in `dir`: a new folder (its parent must exist) or an
// existing empty one. Returns kOk; kRepositoryExists when `dir` holds one;
// kInvalidValue for settings outside their ranges; kStorageFailure for
// anything else (a non-empty folder, a file system or key failure), with
// `error` saying what. A failure leaves nothing behind of what it made.
// With `database` ("postgresql://...", no password) the metadata goes into
// that PostgreSQL database, which must hold no tables.
int CreateRepository(const std::string& dir, const RepositorySettings& settings, std::string* error,
                     const std::string& database = std::string());

// Writes `database` as the kDatabaseAddressFile of `dir`: whole, synced,
// and linked to its name only when complete (link refuses to replace one).
// False with `error` set.
bool WriteDatabaseAddress(const std::string& dir, const std::string& database, std::string* error);
// The address in the kDatabaseAddressFile of `dir`; false when there is none.
bool ReadDatabaseAddress(const std::string& dir, std::string* database);

// Copies the metadata of the SQLite repository in `dir` into the empty
// PostgreSQL database `database` and switches the repository over to it
// (the SQLite database is kept as kMigratedDatabaseFile). It refuses while
// any other process holds the repository (see RepositoryHold). kOk;
// kNotRepository; kInvalidValue for the address; kStorageFailure (a
// non-empty target or a repository in use among others) with `error`, the
// repository then unchanged.
int MigrateRepository(const std::string& dir, const std::string& database, std::string* error);

// A SQLite repository in use: every command of the command line holds it
// shared while it runs (serve for as long as it serves), a migration
// exclusively, so that nothing written to the SQLite database after the
// migration's copy is lost. A lock on kHoldFile, released when the object
// goes or the process ends in any way, so no stale record is left. A
// repository kept in PostgreSQL is not held: it may be served from several
// machines through a shared file system, whose locks are not relied on.
class RepositoryHold {
 public:
  RepositoryHold() = default;
  ~RepositoryHold();
  RepositoryHold(const RepositoryHold&) = delete;
  RepositoryHold& operator=(const RepositoryHold&) = delete;

  // Holds `dir` shared; kOk, also when there is nothing to hold (no SQLite
  // repository), or when the user may not make the hold file (then with
  // `error` saying so, for the log); kStorageFailure with `error` while a
  // migration holds it or the hold file cannot be opened.
  int Share(const std::string& dir, std::string* error);
  // Holds `dir` exclusively; kOk, or kStorageFailure with `error` while
  // another process uses it or the hold file cannot be made.
  int Take(const std::string& dir, std::string* error);

 private:
  int fd_ = -1;
};

// Opens the repository in `dir` with `clock` as stamp source (null: the
// system clock), and removes temporary contents a day old. Nothing on
// failure, with `result` (kNotRepository, kStorageFailure) and `error` set.
std::unique_ptr<Storage> OpenRepository(const std::string& dir, Clock clock, int* result,
                                        std::string* error);

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_REPOSITORY_H_
