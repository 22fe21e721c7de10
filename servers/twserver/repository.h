// A repository folder and what it holds:
//   repository.db   the database (SQLite, WAL mode; -wal and -shm beside it)
//   content/        the content store (content_store.h)
//   server.key      the server's RSA key pair, mode 0600: two lines,
//                   "private=<hex DER>" and "public=<hex DER>" (PKCS #1)
// The folder itself is mode 0700. The database file appears last when a
// repository is created, so a folder with one is a whole repository.
//
// The key is 2048 bits: the logon only moves a 32-character digest and a
// 64-character channel key through it, so the larger modulus costs nothing
// per logon and keeps the server key sound for the repository's lifetime.
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
constexpr const char* kServerKeyFile = "server.key";
constexpr unsigned kServerKeyBits = 2048;

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

// Reads the server's key pair. The private key text is key material: wipe
// it with CRLDATcrypto::Wipe. False with `error` when the file is missing,
// unreadable or malformed.
bool ReadServerKey(const std::string& dir, std::string* private_key, std::string* public_key,
                   std::string* error);

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_REPOSITORY_H_
