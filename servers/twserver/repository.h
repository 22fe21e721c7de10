// A repository folder and what it holds:
//   repository.db   the database (SQLite, WAL mode; -wal and -shm beside it)
//   content/        the content store (content_store.h)
// The folder itself is mode 0700. The database file appears last when a
// repository is created, so a folder with one is a whole repository.
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

// Creates a repository in `dir`: a new folder (its parent must exist) or an
// existing empty one. Returns kOk; kRepositoryExists when `dir` holds one;
// kInvalidValue for settings outside their ranges; kStorageFailure for
// anything else (a non-empty folder, a file system or key failure), with
// `error` saying what. A failure leaves nothing behind of what it made.
int CreateRepository(const std::string& dir, const RepositorySettings& settings,
                     std::string* error);

// Opens the repository in `dir` with `clock` as stamp source (null: the
// system clock), and removes temporary contents a day old. Nothing on
// failure, with `result` (kNotRepository, kStorageFailure) and `error` set.
std::unique_ptr<Storage> OpenRepository(const std::string& dir, Clock clock, int* result,
                                        std::string* error);

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_REPOSITORY_H_
