// The storage rules over an SQL database: every operation of Storage, its
// queries and its checks, written once for every backend (sql_backend.h).
// A backend gives transactions, statements and the database's own checks;
// SqliteStorage (sqlite_storage.h) and PostgresStorage (postgres_storage.h)
// make one over their database.
//
// Every operation is one transaction of the backend (SqlMode). Reads are
// admitted by a ReadGate sized by the backend: a read past its deadline is
// stopped (kOverLimit), and so is one whose reply would pass
// kMaxReplyBytes. Helpers below run inside a transaction, on the thread
// that runs it, and read and write through the backend's current
// connection.
//
// Threads: the object may be shared by threads, as Storage says; it holds
// no state of its own between operations besides the gate.
#ifndef TW_SERVERS_TWSERVER_SQL_STORAGE_H_
#define TW_SERVERS_TWSERVER_SQL_STORAGE_H_

#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "servers/twserver/read_gate.h"
#include "servers/twserver/sql_backend.h"
#include "servers/twserver/storage.h"
#include "servers/twserver/storage_rules.h"

namespace tw::twserver {

// The schema version a repository database records (setting "schema").
constexpr const char* kSchemaVersion = "1";

// A database's type names for the columns of the repository's tables.
struct SqlTypes {
  const char* text;    // bytes, compared and ordered bytewise
  const char* whole;   // a 64-bit whole number
  const char* serial;  // the primary key: a 64-bit number each new row is given
};

// The statements that create the repository's tables and indexes in a
// database with `types`. "user" is reserved in some SQL dialects, hence
// "user_name".
std::string SchemaSql(const SqlTypes& types);

// One row a new repository starts with: an INSERT with ?N parameters and
// the texts bound to them, in order.
struct SqlRow {
  const char* sql;
  std::vector<std::string> values;
};
// The rows of a new repository with `settings`: its settings (the schema
// version among them) and its root Production under a new identifier.
// Throws SqlError when no random bytes can be had.
std::vector<SqlRow> NewRepositoryRows(const RepositorySettings& settings);

class SqlStorage final : public Storage {
 public:
  // Works on the repository database of `backend`, with contents in
  // `contents`; `clock` stamps new versions (null: the system clock).
  SqlStorage(std::unique_ptr<SqlBackend> backend, ContentStore contents, Clock clock);
  ~SqlStorage() override;

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
  int PathsOf(const std::vector<std::string>& ids, std::vector<std::string>* paths) override;
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
  struct Document;
  struct Holder;

  // Runs `body` as one transaction of `mode` (SqlBackend::Run), a read
  // admitted by the gate first; a read stopped at its deadline is
  // kOverLimit.
  int Transact(SqlMode mode, const std::function<int()>& body);

  std::string NewIdentifier();
  int64_t ProductionSeq(const std::string& id);
  int64_t ChildProduction(int64_t parent, const std::string& name);
  int ResolveProductionPath(const std::string& path, int64_t* seq);
  bool LoadDocument(const std::string& id, Document* doc);
  bool FindDocumentBelow(int64_t production, const std::string& relative, Document* doc);
  // The stamp of a new version of `document` made at `*ms`: later than every
  // stamp it has, `*ms` moved on to it when needed.
  std::string StampAfter(int64_t document, int64_t* ms);
  // The Productions of one operation, read through the current connection.
  ProductionTree Tree();
  std::vector<Holder> Holders(int64_t document);
  bool IsQueued(int64_t document, const std::string& user);
  void LeaveQueue(int64_t document, const std::string& user);
  void Grant(int64_t document, const std::string& user, bool exclusive);
  void ServeQueue(int64_t document);
  void ListLocksLocked(int64_t document, std::vector<LockEntry>* out);
  // With `budget` (may be null) the rows are charged as the version table
  // (VersionRowCharge): kOverLimit when they do not fit.
  int ListVersionsLocked(int64_t document, std::vector<VersionInfo>* out,
                         ReplyBudget* budget = nullptr);
  void WriteVersion(int64_t document, int version, const std::string& user,
                    const std::string& comment, bool wip, const ContentRef& content,
                    std::string* stamp, bool new_document = false);
  // The checks of an add that need no content, item by item; `keys` gets
  // each item's Production and folded name.
  int CheckNewDocuments(const std::vector<NewDocument>& items, size_t* failed_index,
                        std::vector<std::pair<int64_t, std::string>>* keys);
  int CheckCheckIn(const std::string& user, const std::vector<std::string>& ids,
                   size_t* failed_index, std::vector<Document>* docs);

  const std::unique_ptr<SqlBackend> backend_;
  const ContentStore contents_;
  const Clock clock_;
  // Admits reads; null when the backend runs them as writes.
  const std::unique_ptr<ReadGate> gate_;
};

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_SQL_STORAGE_H_
