// The SQLite backend of Storage.
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

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "servers/twserver/read_gate.h"
#include "servers/twserver/storage.h"
#include "servers/twserver/storage_rules.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tw::twserver {

class SqliteStorage final : public Storage {
 public:
  // How long a writer waits for another one before it fails.
  static constexpr int kDefaultBusyMilliseconds = 60000;
  // Reader connections for reads at once, besides the one kept for logons;
  // more readers wait at the gate.
  static constexpr size_t kMaxReaders = 8;

  // Creates the database file `path` (which must not exist) with its tables,
  // the settings and the root Production. False with `error` on failure.
  static bool CreateDatabase(const std::string& path, const RepositorySettings& settings,
                             std::string* error);

  // Opens the database `path` (it must exist) with contents in `contents`.
  // Nothing, with `error`, when it cannot be opened or is not ours.
  static std::unique_ptr<SqliteStorage> Open(const std::string& path, ContentStore contents,
                                             Clock clock, std::string* error,
                                             int busy_milliseconds = kDefaultBusyMilliseconds);

  // A repository held in memory, with one connection for everything: for
  // the command fuzz target and tests that need no files. Nothing, with
  // `error`, on failure.
  static std::unique_ptr<SqliteStorage> OpenInMemory(const RepositorySettings& settings,
                                                     ContentStore contents, Clock clock,
                                                     std::string* error);

  ~SqliteStorage() override;

  // Removes every Production below the root and every Document with its
  // versions, locks and queue places: the tree as a new repository has it
  // (users and settings stay). The command fuzz target starts every input
  // from there. kOk or kStorageFailure.
  int ResetTree();

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

  SqliteStorage(std::unique_ptr<Connection> writer, std::string path, int busy_milliseconds,
                ContentStore contents, Clock clock);

  // The connection the calling thread's transaction runs on.
  static Connection*& Current();

  // Runs `body` as one transaction: a write in the next batch on the writer
  // connection, a read on a leased reader. A write is kept when `body`
  // returns kOk and rolled back otherwise, or when the database fails
  // (kStorageFailure); it is on disk when this returns.
  template <typename Body>
  int Transact(bool write, Body&& body);
  int RunRead(Connection* connection, const std::function<int()>& body);
  // A request waiting for its batch.
  struct WriteJob {
    const std::function<int()>* body;
    int result = kStorageFailure;
    bool done = false;  // guarded by batch_mutex_
  };
  int RunWrite(const std::function<int()>& body);
  void RunBatch(const std::vector<WriteJob*>& batch);
  void NoteFailure(const std::string& text);
  // A reader connection from the pool, opened when none is idle and fewer
  // than kMaxReaders are open; waits otherwise. Throws DbError when it
  // cannot be opened.
  std::unique_ptr<Connection> LeaseReader();
  // Puts a leased reader back (null: it was never opened).
  void ReturnReader(std::unique_ptr<Connection> reader);

  // Runs one SQL statement (kept prepared) on the current connection.
  void Exec(const char* sql);
  sqlite3_stmt* Prepared(const char* sql);

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
  // The checks of an add that need no content, item by item; `keys` gets
  // each item's Production and folded name.
  int CheckNewDocuments(const std::vector<NewDocument>& items, size_t* failed_index,
                        std::vector<std::pair<int64_t, std::string>>* keys);
  int CheckCheckIn(const std::string& user, const std::vector<std::string>& ids,
                   size_t* failed_index, std::vector<Document>* docs);

  const ContentStore contents_;
  const Clock clock_;
  const std::string path_;  // empty for a repository in memory
  const int busy_milliseconds_;

  const std::unique_ptr<Connection> writer_;  // used by the batch's leader

  std::mutex batch_mutex_;
  std::condition_variable batch_done_;  // signalled under batch_mutex_
  std::deque<WriteJob*> waiting_;       // guarded by batch_mutex_
  bool leading_ = false;                // guarded by batch_mutex_: a batch runs

  ReadGate gate_{kMaxReaders};

  std::mutex pool_mutex_;
  std::condition_variable pool_ready_;                     // signalled under pool_mutex_
  std::vector<std::unique_ptr<Connection>> idle_readers_;  // guarded by pool_mutex_
  size_t readers_open_ = 0;                                // guarded by pool_mutex_

  mutable std::mutex failure_mutex_;
  std::string failure_;  // guarded by failure_mutex_: the latest failure's text
};

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_SQLITE_STORAGE_H_
