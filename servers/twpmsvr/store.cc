// The stores of the property file server: in memory and in SQLite files.
#include "servers/twpmsvr/store.h"

#include <sqlite3.h>

#include <cstring>
#include <set>

#include "servers/twpmsvr/os.h"
#include "settings/new_store_record.h"

namespace tw::pmsvr {

void DescendantRange(const std::string& path, std::string* lo, std::string* hi) {
  if (path.empty()) {
    lo->clear();
    hi->clear();
    return;
  }
  // "/" + 1 is "0": every key that starts with path + "/" lies below path + "0".
  *lo = path + "/";
  *hi = path + "0";
}

namespace {

// The name of the child of `path` through which `key` descends.
std::string ChildOf(const std::string& path, const std::string& key) {
  const size_t start = path.empty() ? 0 : path.size() + 1;
  const size_t end = key.find('/', start);
  return key.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

// ---- MemoryStore ----

bool MemoryStore::Set(const std::string& path, const std::string& value) {
  auto [it, inserted] = values_.try_emplace(path);
  if (!inserted) bytes_ -= it->first.size() + it->second.size();
  it->second = value;
  bytes_ += path.size() + value.size();
  return true;
}

bool MemoryStore::Get(const std::string& path, std::string* value) {
  auto it = values_.find(path);
  if (it != values_.end()) {
    *value = it->second;
    return true;
  }
  std::string lo, hi;
  DescendantRange(path, &lo, &hi);
  auto below = values_.lower_bound(lo);
  if (below != values_.end() && (hi.empty() || below->first < hi)) {
    value->clear();
    return true;
  }
  return false;
}

bool MemoryStore::List(const std::string& path, std::vector<std::string>* names) {
  std::string lo, hi;
  DescendantRange(path, &lo, &hi);
  std::set<std::string> unique;
  for (auto it = values_.lower_bound(lo); it != values_.end() && (hi.empty() || it->first < hi);
       ++it) {
    if (path.empty() && it->first.empty()) continue;
    unique.insert(ChildOf(path, it->first));
  }
  names->assign(unique.begin(), unique.end());
  return true;
}

bool MemoryStore::Delete(const std::string& path, bool recursive) {
  auto it = values_.find(path);
  if (it != values_.end()) {
    bytes_ -= it->first.size() + it->second.size();
    values_.erase(it);
  }
  if (recursive) {
    std::string lo, hi;
    DescendantRange(path, &lo, &hi);
    auto first = values_.lower_bound(lo);
    auto last = first;
    while (last != values_.end() && (hi.empty() || last->first < hi)) {
      bytes_ -= last->first.size() + last->second.size();
      ++last;
    }
    values_.erase(first, last);
  }
  return true;
}

// ---- FileStore ----

namespace {

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  bool ok() const { return stmt_ != nullptr; }
  void Bind(int index, const std::string& text) {
    sqlite3_bind_blob(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  int Step() { return sqlite3_step(stmt_); }
  std::string Column(int index) {
    const void* data = sqlite3_column_blob(stmt_, index);
    const int size = sqlite3_column_bytes(stmt_, index);
    return data != nullptr ? std::string(static_cast<const char*>(data), size) : std::string();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace

FileStore::~FileStore() {
  Commit();
  sqlite3_close(db_);
  CloseDescriptor(lock_fd_);
}

namespace {

// The one table of a store, as SQLite records its creation.
constexpr char kPropertyTableSql[] =
    "CREATE TABLE property (path BLOB PRIMARY KEY, value BLOB NOT NULL) WITHOUT ROWID";
constexpr char kFormatTableSql[] = "CREATE TABLE store_format (version INTEGER NOT NULL)";

enum class Kind { kEmpty, kUnmarked, kMarked, kForeign };

// What the database at `path` holds, looked at through a read-only
// connection so that nothing in a foreign file is changed (not even a
// journal rolled back). `version` gets the mark's version.
Kind Inspect(const std::string& path, int* version, std::string* why) {
  sqlite3* db = nullptr;
  Kind kind = Kind::kForeign;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr) !=
      SQLITE_OK) {
    *why = sqlite3_errmsg(db);
    sqlite3_close(db);
    return kind;
  }
  sqlite3_stmt* stmt = nullptr;
  std::set<std::string> objects;
  std::string property_sql, format_sql;
  if (sqlite3_prepare_v2(db, "SELECT name, sql FROM sqlite_master", -1, &stmt, nullptr) !=
      SQLITE_OK) {
    *why = sqlite3_errmsg(db);
    sqlite3_close(db);
    return kind;
  }
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    const auto* sql = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
    const std::string n = name != nullptr ? name : "";
    objects.insert(n);
    if (n == "property") property_sql = sql != nullptr ? sql : "";
    if (n == "store_format") format_sql = sql != nullptr ? sql : "";
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) {
    *why = sqlite3_errmsg(db);
  } else if (objects.empty()) {
    kind = Kind::kEmpty;
  } else if (objects == std::set<std::string>{"property"} && property_sql == kPropertyTableSql) {
    kind = Kind::kUnmarked;
  } else if (objects == std::set<std::string>{"property", "store_format"} &&
             property_sql == kPropertyTableSql && format_sql == kFormatTableSql &&
             sqlite3_prepare_v2(db, "SELECT version FROM store_format", -1, &stmt, nullptr) ==
                 SQLITE_OK) {
    int rows = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      *version = sqlite3_column_int(stmt, 0);
      ++rows;
    }
    sqlite3_finalize(stmt);
    if (rows == 1) kind = Kind::kMarked;
    if (rows != 1) *why = "its format mark is damaged";
  } else {
    *why = "it holds other tables";
  }
  sqlite3_close(db);
  return kind;
}

}  // namespace

std::unique_ptr<FileStore> FileStore::Open(const std::string& path, const std::string& runtime_dir,
                                           std::string* error) {
  std::unique_ptr<FileStore> store(new FileStore);
  store->lock_fd_ = OpenLockedStoreFile(path, error);
  if (store->lock_fd_ < 0) return nullptr;
  int version = 0;
  std::string why;
  const Kind kind = Inspect(path, &version, &why);
  // An empty file is a new store only if a client made it as one just now:
  // any other empty file of the user's (a marker, a placeholder) stays as
  // it is.
  const bool unrecorded = kind == Kind::kEmpty && !HasNewStoreRecord(runtime_dir, store->lock_fd_);
  if (unrecorded) why = "an empty file that no client made for a store";
  if (kind == Kind::kForeign || unrecorded ||
      (kind == Kind::kMarked && (version < 1 || version > kFormat))) {
    if (kind == Kind::kMarked) why = "format " + std::to_string(version) + " is unknown";
    *error = "refused " + path + ": not a property store (" + why + ")";
    return nullptr;
  }
  if (sqlite3_open_v2(path.c_str(), &store->db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW,
                      nullptr) != SQLITE_OK) {
    *error = "cannot open store " + path + ": " + sqlite3_errmsg(store->db_);
    return nullptr;
  }
  sqlite3_busy_timeout(store->db_, 2000);
  // NORMAL in WAL mode: a commit is in the log before the call returns, so a
  // killed server loses nothing it acknowledged; only a power loss could.
  bool ready = store->Exec("PRAGMA journal_mode=WAL") && store->Exec("PRAGMA synchronous=NORMAL");
  if (ready && kind != Kind::kMarked) {
    // A new store, or one from before the mark: made or marked in one go.
    const std::string mark = std::string("BEGIN IMMEDIATE; ") +
                             (kind == Kind::kEmpty ? std::string(kPropertyTableSql) + "; " : "") +
                             kFormatTableSql + "; INSERT INTO store_format VALUES (" +
                             std::to_string(kFormat) + "); COMMIT";
    ready = store->Exec(mark.c_str());
    if (!ready) store->Exec("ROLLBACK");
    if (ready && kind == Kind::kEmpty) DropNewStoreRecord(runtime_dir, store->lock_fd_);
  }
  if (!ready) {
    *error = "cannot set up store " + path + ": " + sqlite3_errmsg(store->db_);
    return nullptr;
  }
  return store;
}

bool FileStore::Exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool FileStore::BeginIfNeeded() {
  if (in_transaction_) return true;
  in_transaction_ = Exec("BEGIN IMMEDIATE");
  return in_transaction_;
}

bool FileStore::Commit() {
  if (!in_transaction_) return true;
  in_transaction_ = false;
  if (Exec("COMMIT")) return true;
  Exec("ROLLBACK");
  return false;
}

bool FileStore::Flush() {
  if (!Commit()) return false;
  return Exec("PRAGMA wal_checkpoint(FULL)");
}

bool FileStore::Set(const std::string& path, const std::string& value) {
  if (!BeginIfNeeded()) return false;
  Statement st(db_, "INSERT OR REPLACE INTO property (path, value) VALUES (?1, ?2)");
  if (!st.ok()) return false;
  st.Bind(1, path);
  st.Bind(2, value);
  return st.Step() == SQLITE_DONE;
}

bool FileStore::Get(const std::string& path, std::string* value) {
  {
    Statement st(db_, "SELECT value FROM property WHERE path = ?1");
    if (!st.ok()) return false;
    st.Bind(1, path);
    if (st.Step() == SQLITE_ROW) {
      *value = st.Column(0);
      return true;
    }
  }
  std::string lo, hi;
  DescendantRange(path, &lo, &hi);
  Statement st(db_, hi.empty() ? "SELECT 1 FROM property WHERE path >= ?1 LIMIT 1"
                               : "SELECT 1 FROM property WHERE path >= ?1 AND path < ?2 LIMIT 1");
  if (!st.ok()) return false;
  st.Bind(1, lo);
  if (!hi.empty()) st.Bind(2, hi);
  if (st.Step() != SQLITE_ROW) return false;
  value->clear();
  return true;
}

bool FileStore::List(const std::string& path, std::vector<std::string>* names) {
  std::string lo, hi;
  DescendantRange(path, &lo, &hi);
  Statement st(db_, hi.empty() ? "SELECT path FROM property WHERE path >= ?1"
                               : "SELECT path FROM property WHERE path >= ?1 AND path < ?2");
  if (!st.ok()) return false;
  st.Bind(1, lo);
  if (!hi.empty()) st.Bind(2, hi);
  std::set<std::string> unique;
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) {
    const std::string key = st.Column(0);
    if (path.empty() && key.empty()) continue;
    unique.insert(ChildOf(path, key));
  }
  names->assign(unique.begin(), unique.end());
  return rc == SQLITE_DONE;
}

bool FileStore::Delete(const std::string& path, bool recursive) {
  if (!BeginIfNeeded()) return false;
  {
    Statement st(db_, "DELETE FROM property WHERE path = ?1");
    if (!st.ok()) return false;
    st.Bind(1, path);
    if (st.Step() != SQLITE_DONE) return false;
  }
  if (!recursive) return true;
  std::string lo, hi;
  DescendantRange(path, &lo, &hi);
  Statement st(db_, hi.empty() ? "DELETE FROM property WHERE path >= ?1"
                               : "DELETE FROM property WHERE path >= ?1 AND path < ?2");
  if (!st.ok()) return false;
  st.Bind(1, lo);
  if (!hi.empty()) st.Bind(2, hi);
  return st.Step() == SQLITE_DONE;
}

}  // namespace tw::pmsvr
