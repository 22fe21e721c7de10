// The PostgreSQL backend of SqlStorage (sql_backend.h, sql_storage.h), for a
// repository that several servers
// (on several machines) serve at once. The database holds everything but
// file contents; those stay in the ContentStore, a folder the servers share.
//
// Concurrency between servers: every writing operation is one SERIALIZABLE
// transaction, retried from the start when PostgreSQL reports a
// serialization failure or a deadlock (up to kMaxAttempts times). Every
// operation reads before it decides (lock conflicts, queue ranks, the next
// version number, whether a name is taken), so it must see the database as
// if it ran alone, exactly as SQLite's single writer gives it. Row locks
// would give the same only if every one of those reads took the right lock
// (and a missing one is a silent race between two servers), and a name not
// yet taken has no row to lock at all; serializable transactions guard
// every read, and only commands that touch the same rows ever retry. Two
// writers of one Document's locks each read the rows the other writes
// (all of its locks, its queue), so PostgreSQL lets one of them commit and
// makes the other fail and run again, now seeing the first one's grant. The
// guarantee holds because nothing leaves a transaction but by its commit:
// every statement runs on the operation's own connection inside it, a
// failed statement ends the attempt (none is caught and passed over, which
// would let COMMIT quietly roll back), and an attempt run again starts
// from nothing, its results replaced by the new attempt's. Writers take no
// row locks: claiming a Document's row first would make the second writer
// wait and then fail all the same, at the price of a rewritten row per
// Document and request.
// Readers take a REPEATABLE READ READ ONLY snapshot, which never fails.
// Content collection is the one operation whose decision rests on the file
// system too: it holds a row of the settings table locked exclusively
// (FOR UPDATE) that every operation adding versions holds shared (FOR
// SHARE), so no version can come to refer to a content while it is being
// removed.
//
// Every wait has a limit: connecting (connect_timeout), each statement and
// each lock wait (statement_timeout, lock_timeout), a database host that
// falls silent (TCP keepalives, tcp_user_timeout), a free connection.
//
// Names: Open finds the schema of our tables, requires it and them to be
// the connecting role's, and pins every connection's search_path to
// pg_catalog and that schema, so that no other role's table or function
// in another schema is ever used in their place.
//
// Reads are admitted by a ReadGate (read_gate.h) to kReadConnections
// connections and one kept for logons; a read past its deadline is
// cancelled (kOverLimit). Writes and collection take up to
// kWriteConnections, so that neither kind can take every connection from
// the other.
//
// Threads: the object may be shared by threads. Each operation leases a
// connection of its own from a pool (up to kMaxConnections, opened on
// demand); a connection is used by one thread at a time. Mutexes are held
// briefly and never two at once.
#ifndef TW_SERVERS_TWSERVER_POSTGRES_STORAGE_H_
#define TW_SERVERS_TWSERVER_POSTGRES_STORAGE_H_

#include <cstddef>
#include <memory>
#include <string>

#include "servers/twserver/sql_storage.h"
#include "servers/twserver/storage.h"

namespace tw::twserver {

// True for a text that names a PostgreSQL database ("postgresql://..." or
// "postgres://...").
bool IsPostgresConnection(const std::string& conninfo);

// Makes, fills and opens PostgreSQL repository databases.
class PostgresStorage {
 public:
  // Connections for reads at once (besides the one kept for logons) and
  // for writes at once; more operations wait for one to be free.
  static constexpr size_t kReadConnections = 6;
  static constexpr size_t kWriteConnections = 3;
  // Connections open at most.
  static constexpr size_t kMaxConnections = kReadConnections + 1 + kWriteConnections;
  // Tries of one writing operation that meets serialization failures.
  static constexpr int kMaxAttempts = 50;
  // The longest a statement, a lock wait or the wait for a connection takes.
  static constexpr int kStatementMilliseconds = 60000;
  // The longest a connection attempt takes, in seconds.
  static constexpr int kConnectSeconds = 10;

  PostgresStorage() = delete;

  // Checks that `conninfo` carries no password of any kind (that comes from
  // PGPASSWORD or the password file), turns off no time limit, and is
  // well-formed. False with `error`.
  static bool CheckConnectionText(const std::string& conninfo, std::string* error);

  // Creates the tables, the settings and the root Production in the
  // database `conninfo`, which must hold no tables. False with `error`.
  static bool CreateDatabase(const std::string& conninfo, const RepositorySettings& settings,
                             std::string* error);

  // Copies every row of the SQLite repository database `sqlite_path` into
  // the database `conninfo`, which must hold no tables, in one transaction.
  // False with `error`; the target is then left as it was.
  static bool ImportSqlite(const std::string& sqlite_path, const std::string& conninfo,
                           std::string* error);

  // The schema that holds the tables of the repository database
  // `conninfo`, found as Open finds it (that of the settings table along the
  // connection's search_path) and refused as Open refuses it: when it or one
  // of the tables is another role's. False with `error`.
  static bool RepositorySchemaOf(const std::string& conninfo, std::string* schema,
                                 std::string* error);

  // Whether the database `conninfo` has a schema named `schema`. False with
  // `error` when the database cannot be asked.
  static bool SchemaExists(const std::string& conninfo, const std::string& schema, bool* exists,
                           std::string* error);

  // Connects to the repository database `conninfo` with contents in
  // `contents`. Nothing, with `error`, when it cannot be reached or is not
  // ours.
  static std::unique_ptr<SqlStorage> Open(const std::string& conninfo, ContentStore contents,
                                          Clock clock, std::string* error);
};

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_POSTGRES_STORAGE_H_
