// The PostgreSQL backend of Storage, for a repository that several servers
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

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "servers/twserver/read_gate.h"
#include "servers/twserver/storage.h"
#include "servers/twserver/storage_rules.h"

namespace tw::twserver {

// True for a text that names a PostgreSQL database ("postgresql://..." or
// "postgres://...").
bool IsPostgresConnection(const std::string& conninfo);

class PostgresStorage final : public Storage {
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

  // Connects to the repository database `conninfo` with contents in
  // `contents`. Nothing, with `error`, when it cannot be reached or is not
  // ours.
  static std::unique_ptr<PostgresStorage> Open(const std::string& conninfo, ContentStore contents,
                                               Clock clock, std::string* error);

  ~PostgresStorage() override;

  std::string FailureText() const override;
  const ContentStore& Contents() const override { return contents_; }

  int GetSettings(RepositorySettings* out) override;
  int SetSetting(const std::string& key, const std::string& value) override;

  int AddUser(const std::string& name, const std::string& digest) override;
  int SetUserDigest(const std::string& name, const std::string& digest) override;
  int RemoveUser(const std::string& name) override;
  int ListUsers(std::vector<std::string>* names) override;
  int CheckLogon(const std::string& name, const std::string& digest) override;

  int GetRootProduction(ProductionEntry* root) override;
  int CreateProduction(const std::string& parent_id, const std::string& name,
                       std::string* id) override;
  int LookupProduction(const std::string& path, std::string* id) override;
  int ListChildProductions(const std::string& id, std::vector<ProductionEntry>* out) override;

  int GetDocumentInfo(const std::string& user, const std::string& production_id,
                      const std::vector<std::string>& names,
                      std::vector<DocumentInfo>* out) override;
  int ValidateAdd(const std::vector<NewDocument>& items, size_t* failed_index) override;
  int AddDocuments(const std::string& user, const std::string& comment,
                   const std::vector<NewDocument>& items, std::vector<StoredVersion>* out,
                   size_t* failed_index) override;
  int ValidateCheckIn(const std::string& user, const std::vector<std::string>& ids,
                      size_t* failed_index) override;
  int CheckIn(const std::string& user, const std::string& comment, bool work_in_progress,
              const std::vector<CheckInItem>& items, std::vector<StoredVersion>* out,
              size_t* failed_index) override;
  int Fetch(const std::vector<FetchItem>& items, std::vector<FetchedVersion>* out,
            size_t* failed_index) override;
  int FindDocument(const std::string& path, std::string* id) override;
  int ListVersions(const std::string& document_id, std::vector<VersionInfo>* out) override;
  int ListLocks(const std::string& document_id, std::vector<LockEntry>* out) override;
  int GetNameTable(int kind, const std::string& subject, bool recursive, NameTable* out) override;

  int AcquireLocks(const std::string& user, const std::vector<LockRequest>& items, int lock_type,
                   LockFailure* failure) override;
  int ReleaseLocks(const std::string& user, const std::vector<std::string>& ids,
                   LockFailure* failure) override;

  int ListAllLocks(std::vector<DocumentLocks>* out) override;
  int ListVersionContents(std::vector<VersionContent>* out) override;
  int BreakLocks(const std::string& document_id, const std::string& user,
                 std::vector<LockEntry>* broken, std::vector<LockEntry>* granted) override;
  int CheckConsistency(std::vector<std::string>* problems) override;
  int ReferencedContents(std::unordered_set<std::string>* out) override;
  int RemoveUnreferenced(const std::vector<std::string>& digests,
                         const std::function<bool(const std::string&)>& remove,
                         std::vector<std::string>* removed) override;

 private:
  class Query;
  struct Connection;
  struct Document;
  struct Holder;
  // How a transaction runs.
  enum class Mode {
    kRead,       // REPEATABLE READ READ ONLY
    kWrite,      // SERIALIZABLE, retried
    kCollector,  // READ COMMITTED under the exclusive collection lock
  };
  // Makes `connection` the current one of this thread for its lifetime.
  class Use {
   public:
    explicit Use(Connection* connection);
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

   private:
    Connection* const previous_;
  };

  PostgresStorage(std::string conninfo, ContentStore contents, Clock clock);

  static Connection*& Current();

  // Runs `body` as one transaction on a leased connection; a write is kept
  // when `body` returns kOk and rolled back otherwise, or when the database
  // fails (kStorageFailure).
  int Transact(Mode mode, const std::function<int()>& body);
  void NoteFailure(const std::string& text);
  // A connection, from the pool or new; `fresh` tells which. A writer
  // (`write`) waits while kWriteConnections are leased to writers; readers
  // come admitted by the gate.
  std::unique_ptr<Connection> Lease(bool write, bool* fresh = nullptr);
  // Closes the pooled connections.
  void DropIdle();
  void Return(std::unique_ptr<Connection> connection, bool keep, bool write);

  void Exec(const char* sql);
  // Holds the collection lock shared for the rest of the transaction.
  void ShareCollectionLock();

  std::string NewIdentifier();
  int64_t RootSeq();
  int64_t ProductionSeq(const std::string& id);
  int64_t ChildProduction(int64_t parent, const std::string& name);
  int ResolveProductionPath(const std::string& path, int64_t* seq);
  bool LoadDocument(const std::string& id, Document* doc);
  bool FindDocumentBelow(int64_t production, const std::string& relative, Document* doc);
  std::string StampAfter(int64_t document, int64_t* ms);
  // The Productions of one operation, read through the current connection.
  ProductionTree Tree();
  std::vector<Holder> Holders(int64_t document);
  bool IsQueued(int64_t document, const std::string& user);
  void LeaveQueue(int64_t document, const std::string& user);
  void Grant(int64_t document, const std::string& user, bool exclusive);
  void ServeQueue(int64_t document);
  int ListLocksLocked(int64_t document, std::vector<LockEntry>* out);
  // With `budget` (may be null) the rows are charged as the version table
  // (VersionRowCharge): kOverLimit when they do not fit.
  int ListVersionsLocked(int64_t document, std::vector<VersionInfo>* out,
                         ReplyBudget* budget = nullptr);
  int WriteVersion(int64_t document, int version, const std::string& user,
                   const std::string& comment, bool wip, const ContentRef& content,
                   std::string* stamp, bool new_document = false);
  int CheckNewDocuments(const std::vector<NewDocument>& items, size_t* failed_index,
                        std::vector<std::pair<int64_t, std::string>>* keys);
  int CheckCheckIn(const std::string& user, const std::vector<std::string>& ids,
                   size_t* failed_index, std::vector<Document>* docs);

  const ContentStore contents_;
  const Clock clock_;
  const std::string conninfo_;
  // The schema of our tables, which every connection's search_path is
  // pinned to; set by Open before the object is shared, then only read.
  std::string schema_;

  ReadGate gate_{kReadConnections};

  std::mutex pool_mutex_;
  std::condition_variable pool_ready_;             // signalled under pool_mutex_
  std::vector<std::unique_ptr<Connection>> idle_;  // guarded by pool_mutex_
  size_t open_ = 0;                                // guarded by pool_mutex_
  size_t writers_ = 0;                             // guarded by pool_mutex_: leased to writers

  mutable std::mutex failure_mutex_;
  std::string failure_;  // guarded by failure_mutex_: the latest failure's text
};

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_POSTGRES_STORAGE_H_
