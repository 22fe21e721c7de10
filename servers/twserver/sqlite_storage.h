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
// Threads: one connection per object, guarded by `mutex_`; the object may be
// shared by threads. Open any number of objects on one repository, from any
// number of threads or processes.
#ifndef TW_SERVERS_TWSERVER_SQLITE_STORAGE_H_
#define TW_SERVERS_TWSERVER_SQLITE_STORAGE_H_

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "servers/twserver/storage.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tw::twserver {

class SqliteStorage final : public Storage {
 public:
  // How long a writer waits for another one before it fails.
  static constexpr int kDefaultBusyMilliseconds = 60000;

  // Creates the database file `path` (which must not exist) with its tables,
  // the settings and the root Production. False with `error` on failure.
  static bool CreateDatabase(const std::string& path, const RepositorySettings& settings,
                             std::string* error);

  // Opens the database `path` (it must exist) with contents in `contents`.
  // Nothing, with `error`, when it cannot be opened or is not ours.
  static std::unique_ptr<SqliteStorage> Open(const std::string& path, ContentStore contents,
                                             Clock clock, std::string* error,
                                             int busy_milliseconds = kDefaultBusyMilliseconds);

  ~SqliteStorage() override;

  std::string FailureText() const override;
  const ContentStore& Contents() const override { return contents_; }

  int GetSettings(RepositorySettings* out) override;
  int SetSetting(const std::string& key, const std::string& value) override;

  int AddUser(const std::string& name, const std::string& digest) override;
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
  int AddDocuments(const std::string& user, const std::string& comment,
                   const std::vector<NewDocument>& items, std::vector<StoredVersion>* out,
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

 private:
  class Query;
  struct Document;
  struct Holder;

  SqliteStorage(sqlite3* db, ContentStore contents, Clock clock);

  // Runs `body` in one transaction under `mutex_`: commits when it returns
  // kOk, rolls back otherwise or when the database fails.
  template <typename Body>
  int Transact(bool write, Body&& body);

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
  std::string FullPath(int64_t production, const std::string& name);
  std::vector<Holder> Holders(int64_t document);
  bool IsQueued(int64_t document, const std::string& user);
  void LeaveQueue(int64_t document, const std::string& user);
  void Grant(int64_t document, const std::string& user, bool exclusive);
  void ServeQueue(int64_t document);
  int ListLocksLocked(int64_t document, std::vector<LockEntry>* out);
  int ListVersionsLocked(int64_t document, std::vector<VersionInfo>* out);
  int WriteVersion(int64_t document, int version, const std::string& user,
                   const std::string& comment, bool wip, const ContentRef& content,
                   std::string* stamp);

  const ContentStore contents_;
  const Clock clock_;

  mutable std::mutex mutex_;
  sqlite3* const db_;                                          // guarded by mutex_
  std::unordered_map<std::string, sqlite3_stmt*> statements_;  // guarded by mutex_
  std::string failure_;                                        // guarded by mutex_
};

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_SQLITE_STORAGE_H_
