#include "servers/twserver/sqlite_storage.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <utility>

#include "protocol/name_table.h"
#include "servers/twserver/names.h"
#include "servers/twserver/storage_rules.h"

namespace tw::twserver {

namespace {

// A failure of the database inside one operation. It never leaves this
// file: Transact turns it into kStorageFailure and keeps its text.
class DbError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

constexpr const char* kSchemaVersion = "1";

// "user" is reserved in other SQL dialects, hence "user_name".
constexpr const char* kSchema = R"sql(
CREATE TABLE settings(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE users(name TEXT PRIMARY KEY, digest TEXT NOT NULL);
CREATE TABLE productions(
  seq INTEGER PRIMARY KEY,
  id TEXT NOT NULL UNIQUE,
  parent INTEGER REFERENCES productions(seq),
  name TEXT NOT NULL,
  fold TEXT NOT NULL);
CREATE UNIQUE INDEX productions_by_name ON productions(parent, fold);
CREATE TABLE documents(
  seq INTEGER PRIMARY KEY,
  id TEXT NOT NULL UNIQUE,
  production INTEGER NOT NULL REFERENCES productions(seq),
  name TEXT NOT NULL,
  fold TEXT NOT NULL,
  current_version INTEGER NOT NULL,
  UNIQUE(production, fold));
CREATE TABLE versions(
  document INTEGER NOT NULL REFERENCES documents(seq),
  version INTEGER NOT NULL,
  user_name TEXT NOT NULL,
  stamp_ms INTEGER NOT NULL,
  stamp TEXT NOT NULL,
  comment TEXT NOT NULL,
  work_in_progress INTEGER NOT NULL,
  content TEXT NOT NULL,
  size INTEGER NOT NULL,
  PRIMARY KEY(document, version));
CREATE TABLE locks(
  seq INTEGER PRIMARY KEY,
  document INTEGER NOT NULL REFERENCES documents(seq),
  user_name TEXT NOT NULL,
  exclusive INTEGER NOT NULL,
  UNIQUE(document, user_name));
CREATE INDEX locks_by_user ON locks(user_name);
CREATE TABLE lock_queue(
  document INTEGER NOT NULL REFERENCES documents(seq),
  user_name TEXT NOT NULL,
  exclusive INTEGER NOT NULL,
  rank INTEGER NOT NULL,
  PRIMARY KEY(document, user_name));
CREATE INDEX lock_queue_by_rank ON lock_queue(document, rank);
CREATE INDEX lock_queue_by_user ON lock_queue(user_name);
CREATE INDEX versions_by_content ON versions(content);
)sql";

// The index by which content collection finds whether a content is still
// referred to; added to databases made before it existed.
constexpr const char* kContentIndex =
    "CREATE INDEX IF NOT EXISTS versions_by_content ON versions(content)";

// A new identifier, or a failure of the operation.
std::string NewRandomIdentifier() {
  std::string id;
  if (!RandomIdentifier(&id)) throw DbError("no random bytes");
  return id;
}

void ExecOn(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message != nullptr ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    throw DbError(text);
  }
}

}  // namespace

// One SQLite connection with its prepared statements. Used by one thread at
// a time: the writer by the leader of a write batch, a reader while leased
// from the pool.
struct SqliteStorage::Connection {
  sqlite3* db = nullptr;
  std::unordered_map<std::string, sqlite3_stmt*> statements;
  // When the read under way must be over (a reader's; the writer's stays
  // at the end of time). Set and read by the thread that holds the
  // connection.
  ReadGate::Clock::time_point deadline = ReadGate::Clock::time_point::max();

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    for (auto& entry : statements) sqlite3_finalize(entry.second);
    sqlite3_close(db);
  }
};

// A cached prepared statement in use: bound, stepped, then reset when the
// object goes out of scope. Results are copied out, so a statement is never
// stepped by two users at once (helpers collect rows before calling others).
class SqliteStorage::Query {
 public:
  Query(SqliteStorage* owner, const char* sql)
      : db_(SqliteStorage::Current()->db), stmt_(owner->Prepared(sql)) {}
  ~Query() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& Bind(int index, const std::string& value) {
    if (value.size() > INT_MAX) throw DbError("value too long");
    Check(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  Query& Bind(int index, int64_t value) {
    Check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }
  Query& BindNull(int index) {
    Check(sqlite3_bind_null(stmt_, index));
    return *this;
  }

  // True with a row, false when done.
  bool Step() {
    // Many short statements never reach the progress handler: the
    // deadline is checked before each step as well.
    if (ReadGate::Clock::now() > SqliteStorage::Current()->deadline) {
      throw DbError("the read ran past its time budget");
    }
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw DbError(sqlite3_errmsg(db_));
  }
  void Run() {
    while (Step()) {
    }
  }
  int Changes() const { return sqlite3_changes(db_); }

  std::string Text(int column) const {
    const unsigned char* p = sqlite3_column_text(stmt_, column);
    const int n = sqlite3_column_bytes(stmt_, column);
    return p != nullptr ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
  }
  int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) throw DbError(sqlite3_errmsg(db_));
  }

  sqlite3* const db_;
  sqlite3_stmt* const stmt_;
};

struct SqliteStorage::Document {
  int64_t seq = -1;
  std::string id;
  int64_t production = -1;
  std::string name;
  int current_version = 0;
};

struct SqliteStorage::Holder {
  std::string user;
  bool exclusive = false;
};

// ------------------------------------------------------------ life cycle

SqliteStorage::Connection*& SqliteStorage::Current() {
  thread_local Connection* current = nullptr;
  return current;
}

namespace {

// Fills a new, empty database: the tables, the settings and the root.
void InitializeDatabase(sqlite3* db, const RepositorySettings& settings) {
  ExecOn(db, "BEGIN IMMEDIATE");
  ExecOn(db, kSchema);
  sqlite3_stmt* stmt = nullptr;
  const char* sql = "INSERT INTO settings(key, value) VALUES(?1, ?2)";
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    throw DbError(sqlite3_errmsg(db));
  }
  const std::pair<std::string, std::string> rows[] = {
      {"schema", kSchemaVersion},
      {"selector", std::to_string(settings.selector)},
      {"compression", std::to_string(settings.compression)},
      {"lock-policy", std::to_string(settings.lock_policy)},
  };
  for (const auto& [key, value] : rows) {
    sqlite3_bind_text(stmt, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 2, value.c_str(), -1, SQLITE_TRANSIENT);
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    if (rc != SQLITE_DONE) {
      sqlite3_finalize(stmt);
      throw DbError(sqlite3_errmsg(db));
    }
  }
  sqlite3_finalize(stmt);
  stmt = nullptr;
  sql = "INSERT INTO productions(id, parent, name, fold) VALUES(?1, NULL, ?2, ?3)";
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    throw DbError(sqlite3_errmsg(db));
  }
  const std::string id = NewRandomIdentifier();
  const std::string fold = FoldName(settings.root_name);
  sqlite3_bind_text(stmt, 1, id.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 2, settings.root_name.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 3, fold.c_str(), -1, SQLITE_TRANSIENT);
  const int rc = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) throw DbError(sqlite3_errmsg(db));
  ExecOn(db, "COMMIT");
}

// SQLite's progress handler on a reader: a long statement stops (with
// SQLITE_INTERRUPT) once the read is past its deadline.
int ReadExpired(void* deadline) {
  return ReadGate::Clock::now() > *static_cast<const ReadGate::Clock::time_point*>(deadline) ? 1
                                                                                             : 0;
}

// Virtual machine steps between two looks at the clock.
constexpr int kProgressSteps = 10000;

std::string OpenFailure(const std::string& path, sqlite3* db) {
  return "cannot open " + path + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
}

}  // namespace

bool SqliteStorage::CreateDatabase(const std::string& path, const RepositorySettings& settings,
                                   std::string* error) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    *error = path + " already exists";
    return false;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    *error =
        "cannot create " + path + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return false;
  }
  try {
    ExecOn(db, "PRAGMA journal_mode=WAL");
    ExecOn(db, "PRAGMA synchronous=FULL");
    InitializeDatabase(db, settings);
  } catch (const std::exception& e) {
    *error = std::string("cannot create the database: ") + e.what();
    sqlite3_close(db);
    unlink(path.c_str());
    return false;
  }
  // SQLite gives its -wal and -shm files the database file's mode.
  chmod(path.c_str(), 0600);
  if (sqlite3_close(db) != SQLITE_OK) {
    *error = "cannot close the new database " + path;
    return false;
  }
  return true;
}

std::unique_ptr<SqliteStorage> SqliteStorage::Open(const std::string& path, ContentStore contents,
                                                   Clock clock, std::string* error,
                                                   int busy_milliseconds) {
  auto writer = std::make_unique<Connection>();
  if (sqlite3_open_v2(path.c_str(), &writer->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    *error = OpenFailure(path, writer->db);
    return nullptr;
  }
  sqlite3_busy_timeout(writer->db, busy_milliseconds);
  std::unique_ptr<SqliteStorage> storage(
      new SqliteStorage(std::move(writer), path, busy_milliseconds, std::move(contents),
                        clock ? std::move(clock) : SystemClockMilliseconds));
  try {
    // Nobody else has the object yet: no batch runs.
    const Use use(storage->writer_.get());
    storage->Exec("PRAGMA foreign_keys=ON");
    storage->Exec("PRAGMA synchronous=FULL");
    std::string schema;
    {
      Query q(storage.get(), "SELECT value FROM settings WHERE key = 'schema'");
      if (q.Step()) schema = q.Text(0);
    }
    if (schema != kSchemaVersion) {
      *error = path + " is not a repository database of this server";
      return nullptr;
    }
    // Databases made before content collection lack this index; without it
    // the collection still works, only slower, so a failure is no reason to
    // refuse the repository.
    sqlite3_exec(storage->writer_->db, kContentIndex, nullptr, nullptr, nullptr);
  } catch (const std::exception& e) {
    *error = path + ": " + e.what();
    return nullptr;
  }
  return storage;
}

std::unique_ptr<SqliteStorage> SqliteStorage::OpenInMemory(const RepositorySettings& settings,
                                                           ContentStore contents, Clock clock,
                                                           std::string* error) {
  auto writer = std::make_unique<Connection>();
  if (sqlite3_open_v2(":memory:", &writer->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    *error = OpenFailure(":memory:", writer->db);
    return nullptr;
  }
  try {
    ExecOn(writer->db, "PRAGMA foreign_keys=ON");
    InitializeDatabase(writer->db, settings);
  } catch (const std::exception& e) {
    *error = std::string("cannot create the database: ") + e.what();
    return nullptr;
  }
  return std::unique_ptr<SqliteStorage>(
      new SqliteStorage(std::move(writer), std::string(), 0, std::move(contents),
                        clock ? std::move(clock) : SystemClockMilliseconds));
}

SqliteStorage::SqliteStorage(std::unique_ptr<Connection> writer, std::string path,
                             int busy_milliseconds, ContentStore contents, Clock clock)
    : contents_(std::move(contents)),
      clock_(std::move(clock)),
      path_(std::move(path)),
      busy_milliseconds_(busy_milliseconds),
      writer_(std::move(writer)) {}

SqliteStorage::~SqliteStorage() = default;

std::string SqliteStorage::FailureText() const {
  std::lock_guard<std::mutex> guard(failure_mutex_);
  return failure_;
}

SqliteStorage::Use::Use(Connection* connection) : previous_(Current()) {
  Current() = connection;
}
SqliteStorage::Use::~Use() {
  Current() = previous_;
}

// One statement, prepared once per connection: transaction control runs
// several times per request.
void SqliteStorage::Exec(const char* sql) {
  Query(this, sql).Run();
}

sqlite3_stmt* SqliteStorage::Prepared(const char* sql) {
  Connection* connection = Current();
  auto it = connection->statements.find(sql);
  if (it != connection->statements.end()) return it->second;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(connection->db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
      SQLITE_OK) {
    throw DbError(sqlite3_errmsg(connection->db));
  }
  connection->statements.emplace(sql, stmt);
  return stmt;
}

std::unique_ptr<SqliteStorage::Connection> SqliteStorage::LeaseReader() {
  std::unique_lock<std::mutex> lock(pool_mutex_);
  // The gate admits no more reads than there are connections to open, so
  // this wait is only a guard.
  if (!pool_ready_.wait_for(lock, kDefaultReaderWait, [this] {
        return !idle_readers_.empty() || readers_open_ < gate_.capacity();
      })) {
    throw DbError("no database reader came free in time");
  }
  if (!idle_readers_.empty()) {
    std::unique_ptr<Connection> reader = std::move(idle_readers_.back());
    idle_readers_.pop_back();
    return reader;
  }
  ++readers_open_;
  lock.unlock();
  auto reader = std::make_unique<Connection>();
  if (sqlite3_open_v2(path_.c_str(), &reader->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    const std::string text = OpenFailure(path_, reader->db);
    ReturnReader(nullptr);
    throw DbError(text);
  }
  sqlite3_busy_timeout(reader->db, busy_milliseconds_);
  sqlite3_progress_handler(reader->db, kProgressSteps, ReadExpired, &reader->deadline);
  return reader;
}

void SqliteStorage::ReturnReader(std::unique_ptr<Connection> reader) {
  {
    std::lock_guard<std::mutex> lock(pool_mutex_);
    if (reader) {
      idle_readers_.push_back(std::move(reader));
    } else {
      --readers_open_;
    }
  }
  pool_ready_.notify_one();
}

void SqliteStorage::NoteFailure(const std::string& text) {
  std::lock_guard<std::mutex> guard(failure_mutex_);
  failure_ = text;
}

int SqliteStorage::RunRead(Connection* connection, const std::function<int()>& body) {
  const Use use(connection);
  try {
    Exec("BEGIN");
    const int result = body();
    Exec("ROLLBACK");  // a read has nothing to keep
    return result;
  } catch (const std::exception& e) {
    NoteFailure(e.what());
    if (sqlite3_get_autocommit(connection->db) == 0) {
      sqlite3_exec(connection->db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    return kStorageFailure;
  }
}

int SqliteStorage::RunWrite(const std::function<int()>& body) {
  WriteJob job{&body};
  std::unique_lock<std::mutex> lock(batch_mutex_);
  waiting_.push_back(&job);
  while (!job.done) {
    if (leading_) {
      batch_done_.wait(lock);
      continue;
    }
    // No batch under way: this thread runs every job waiting, its own
    // among them, in one transaction.
    leading_ = true;
    std::vector<WriteJob*> batch(waiting_.begin(), waiting_.end());
    waiting_.clear();
    lock.unlock();
    RunBatch(batch);
    lock.lock();
    leading_ = false;
    for (WriteJob* done : batch) done->done = true;
    batch_done_.notify_all();
  }
  return job.result;
}

void SqliteStorage::RunBatch(const std::vector<WriteJob*>& batch) {
  const Use use(writer_.get());
  sqlite3* const db = writer_->db;
  const auto fail_all = [&](const std::string& text) {
    NoteFailure(text);
    for (WriteJob* job : batch) job->result = kStorageFailure;
    if (sqlite3_get_autocommit(db) == 0) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  };
  try {
    Exec("BEGIN IMMEDIATE");
  } catch (const std::exception& e) {
    fail_all(e.what());
    return;
  }
  for (WriteJob* job : batch) {
    // Each request is a savepoint of its own: it keeps all of its changes
    // or none, whatever the others of the batch do.
    try {
      Exec("SAVEPOINT request");
      job->result = (*job->body)();
      if (job->result != kOk) Exec("ROLLBACK TO request");
      Exec("RELEASE request");
    } catch (const std::exception& e) {
      NoteFailure(e.what());
      job->result = kStorageFailure;
      if (sqlite3_get_autocommit(db) != 0) {
        // SQLite gave the whole transaction up: the batch's earlier
        // requests are gone with it.
        fail_all(e.what());
        return;
      }
      sqlite3_exec(db, "ROLLBACK TO request; RELEASE request", nullptr, nullptr, nullptr);
    }
  }
  try {
    Exec("COMMIT");
  } catch (const std::exception& e) {
    fail_all(e.what());
  }
}

// Writers queue up, and whoever finds no batch under way runs all waiting
// writers in one transaction on the writer connection, each as a savepoint:
// one commit (one sync of the log) serves them all, in the order they
// came. Readers each lease a connection of their own, so in WAL mode they
// read a snapshot while writers work. A repository in memory has only the
// writer: its reads queue up with the writes.
template <typename Body>
int SqliteStorage::Transact(bool write, Body&& body) {
  if (write || path_.empty()) {
    const std::function<int()> job = std::ref(body);
    return RunWrite(job);
  }
  ReadGate::Pass pass;
  std::string why;
  if (!gate_.Enter(&pass, &why)) {
    NoteFailure(why);
    return kStorageFailure;
  }
  std::unique_ptr<Connection> reader;
  try {
    reader = LeaseReader();
  } catch (const std::exception& e) {
    NoteFailure(e.what());
    return kStorageFailure;
  }
  reader->deadline = pass.deadline();
  int result = RunRead(reader.get(), std::ref(body));
  if (result == kStorageFailure && ReadGate::Clock::now() > reader->deadline) {
    NoteFailure("the read ran past its time budget of " + std::to_string(pass.budget().count()) +
                " ms");
    result = kOverLimit;
  } else if (result == kOverLimit) {
    NoteFailure("the reply would pass " + std::to_string(kMaxReplyBytes) + " bytes");
  }
  reader->deadline = ReadGate::Clock::time_point::max();
  ReturnReader(std::move(reader));
  return result;
}

// ------------------------------------------------------------ helpers

std::string SqliteStorage::NewIdentifier() {
  for (;;) {
    std::string id = NewRandomIdentifier();
    Query q(
        this,
        "SELECT 1 FROM productions WHERE id = ?1 UNION ALL SELECT 1 FROM documents WHERE id = ?1");
    if (!q.Bind(1, id).Step()) return id;
  }
}

int64_t SqliteStorage::RootSeq() {
  Query q(this, "SELECT seq FROM productions WHERE parent IS NULL");
  if (!q.Step()) throw DbError("the repository has no root");
  return q.Int(0);
}

int64_t SqliteStorage::ProductionSeq(const std::string& id) {
  Query q(this, "SELECT seq FROM productions WHERE id = ?1");
  return q.Bind(1, id).Step() ? q.Int(0) : -1;
}

int64_t SqliteStorage::ChildProduction(int64_t parent, const std::string& name) {
  Query q(this, "SELECT seq FROM productions WHERE parent = ?1 AND fold = ?2");
  return q.Bind(1, parent).Bind(2, FoldName(name)).Step() ? q.Int(0) : -1;
}

int SqliteStorage::ResolveProductionPath(const std::string& path, int64_t* seq) {
  const std::vector<std::string> elements = SplitPath(path);
  if (!IsValidProductionPath(elements)) return kInvalidPath;
  int64_t current = RootSeq();
  if (!elements[0].empty()) {
    Query q(this, "SELECT fold FROM productions WHERE seq = ?1");
    if (!q.Bind(1, current).Step() || q.Text(0) != FoldName(elements[0])) return kPathNotFound;
  }
  for (size_t i = 1; i < elements.size(); ++i) {
    current = ChildProduction(current, elements[i]);
    if (current < 0) return kPathNotFound;
  }
  *seq = current;
  return kOk;
}

bool SqliteStorage::LoadDocument(const std::string& id, Document* doc) {
  Query q(this, "SELECT seq, production, name, current_version FROM documents WHERE id = ?1");
  if (!q.Bind(1, id).Step()) return false;
  doc->seq = q.Int(0);
  doc->id = id;
  doc->production = q.Int(1);
  doc->name = q.Text(2);
  doc->current_version = static_cast<int>(q.Int(3));
  return true;
}

bool SqliteStorage::FindDocumentBelow(int64_t production, const std::string& relative,
                                      Document* doc) {
  const std::vector<std::string> elements = SplitPath(relative);
  for (const auto& element : elements) {
    if (!IsValidName(element)) return false;
  }
  for (size_t i = 0; i + 1 < elements.size(); ++i) {
    production = ChildProduction(production, elements[i]);
    if (production < 0) return false;
  }
  std::string id;
  {
    Query q(this, "SELECT id FROM documents WHERE production = ?1 AND fold = ?2");
    if (!q.Bind(1, production).Bind(2, FoldName(elements.back())).Step()) return false;
    id = q.Text(0);
  }
  return LoadDocument(id, doc);
}

std::string SqliteStorage::StampAfter(int64_t document, int64_t* ms) {
  int64_t stamp = clock_();
  Query q(this, "SELECT MAX(stamp_ms) FROM versions WHERE document = ?1");
  const bool has_previous = q.Bind(1, document).Step() && !q.IsNull(0);
  stamp = NextStampMilliseconds(stamp, has_previous, has_previous ? q.Int(0) : 0);
  *ms = stamp;
  return StampText(stamp);
}

ProductionTree SqliteStorage::Tree() {
  return ProductionTree([this](int64_t seq, ProductionTree::Row* row) {
    Query q(this, "SELECT parent, name FROM productions WHERE seq = ?1");
    if (!q.Bind(1, seq).Step()) return false;
    row->parent = q.IsNull(0) ? -1 : q.Int(0);
    row->name = q.Text(1);
    return true;
  });
}

std::vector<SqliteStorage::Holder> SqliteStorage::Holders(int64_t document) {
  std::vector<Holder> holders;
  Query q(this, "SELECT user_name, exclusive FROM locks WHERE document = ?1 ORDER BY seq");
  q.Bind(1, document);
  while (q.Step()) holders.push_back(Holder{q.Text(0), q.Int(1) != 0});
  return holders;
}

bool SqliteStorage::IsQueued(int64_t document, const std::string& user) {
  Query q(this, "SELECT 1 FROM lock_queue WHERE document = ?1 AND user_name = ?2");
  return q.Bind(1, document).Bind(2, user).Step();
}

void SqliteStorage::LeaveQueue(int64_t document, const std::string& user) {
  int64_t rank = 0;
  {
    Query q(this, "SELECT rank FROM lock_queue WHERE document = ?1 AND user_name = ?2");
    if (!q.Bind(1, document).Bind(2, user).Step()) return;
    rank = q.Int(0);
  }
  Query(this, "DELETE FROM lock_queue WHERE document = ?1 AND user_name = ?2")
      .Bind(1, document)
      .Bind(2, user)
      .Run();
  Query(this, "UPDATE lock_queue SET rank = rank - 1 WHERE document = ?1 AND rank > ?2")
      .Bind(1, document)
      .Bind(2, rank)
      .Run();
}

void SqliteStorage::Grant(int64_t document, const std::string& user, bool exclusive) {
  Query update(this, "UPDATE locks SET exclusive = ?3 WHERE document = ?1 AND user_name = ?2");
  update.Bind(1, document).Bind(2, user).Bind(3, int64_t{exclusive ? 1 : 0}).Run();
  if (update.Changes() > 0) return;
  Query(this, "INSERT INTO locks(document, user_name, exclusive) VALUES(?1, ?2, ?3)")
      .Bind(1, document)
      .Bind(2, user)
      .Bind(3, int64_t{exclusive ? 1 : 0})
      .Run();
}

void SqliteStorage::ServeQueue(int64_t document) {
  for (;;) {
    Holder head;
    {
      Query q(this,
              "SELECT user_name, exclusive FROM lock_queue WHERE document = ?1 "
              "ORDER BY rank LIMIT 1");
      if (!q.Bind(1, document).Step()) return;
      head = Holder{q.Text(0), q.Int(1) != 0};
    }
    if (LockConflict(Holders(document), head.user, head.exclusive) != kOk) return;
    Grant(document, head.user, head.exclusive);
    LeaveQueue(document, head.user);
  }
}

int SqliteStorage::ListLocksLocked(int64_t document, std::vector<LockEntry>* out) {
  out->clear();
  for (const Holder& h : Holders(document))
    out->push_back(LockEntry{h.user, h.exclusive, false, 0});
  Query q(this,
          "SELECT user_name, exclusive, rank FROM lock_queue WHERE document = ?1 ORDER BY rank");
  q.Bind(1, document);
  while (q.Step()) {
    out->push_back(LockEntry{q.Text(0), q.Int(1) != 0, true, static_cast<int>(q.Int(2))});
  }
  return kOk;
}

int SqliteStorage::ListVersionsLocked(int64_t document, std::vector<VersionInfo>* out,
                                      ReplyBudget* budget) {
  out->clear();
  Query q(this,
          "SELECT version, stamp, user_name, comment, work_in_progress, content, size "
          "FROM versions WHERE document = ?1 ORDER BY version DESC");
  q.Bind(1, document);
  while (q.Step()) {
    VersionInfo v;
    v.version = static_cast<int>(q.Int(0));
    v.stamp = q.Text(1);
    v.user = q.Text(2);
    v.comment = q.Text(3);
    v.work_in_progress = q.Int(4) != 0;
    v.content.sha256 = q.Text(5);
    v.content.size = static_cast<uint64_t>(q.Int(6));
    if (budget != nullptr && !budget->Take(VersionRowCharge(v))) return kOverLimit;
    out->push_back(std::move(v));
  }
  return kOk;
}

int SqliteStorage::WriteVersion(int64_t document, int version, const std::string& user,
                                const std::string& comment, bool wip, const ContentRef& content,
                                std::string* stamp, bool new_document) {
  int64_t ms = clock_();
  // A new Document has no stamp to follow (and its row says version 1).
  if (new_document) {
    *stamp = StampText(ms);
  } else {
    *stamp = StampAfter(document, &ms);
  }
  Query(this,
        "INSERT INTO versions(document, version, user_name, stamp_ms, stamp, comment, "
        "work_in_progress, content, size) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)")
      .Bind(1, document)
      .Bind(2, int64_t{version})
      .Bind(3, user)
      .Bind(4, ms)
      .Bind(5, *stamp)
      .Bind(6, comment)
      .Bind(7, int64_t{wip ? 1 : 0})
      .Bind(8, content.sha256)
      .Bind(9, static_cast<int64_t>(content.size))
      .Run();
  if (new_document) return kOk;
  Query(this, "UPDATE documents SET current_version = ?2 WHERE seq = ?1")
      .Bind(1, document)
      .Bind(2, int64_t{version})
      .Run();
  return kOk;
}

// ------------------------------------------------------------ settings and users

int SqliteStorage::GetSettings(RepositorySettings* out) {
  return Transact(false, [&]() -> int {
    RepositorySettings settings;
    {
      Query q(this, "SELECT name FROM productions WHERE parent IS NULL");
      if (!q.Step()) throw DbError("the repository has no root");
      settings.root_name = q.Text(0);
    }
    Query q(this, "SELECT key, value FROM settings");
    while (q.Step()) {
      const std::string key = q.Text(0);
      if (key != "schema" && !ApplySetting(key, q.Text(1), &settings)) {
        throw DbError("the stored setting " + key + " is invalid");
      }
    }
    *out = settings;
    return kOk;
  });
}

int SqliteStorage::SetSetting(const std::string& key, const std::string& value) {
  RepositorySettings probe;
  if (!ApplySetting(key, value, &probe)) return kInvalidValue;
  return Transact(true, [&]() -> int {
    if (key == "root-name") {
      Query(this, "UPDATE productions SET name = ?1, fold = ?2 WHERE parent IS NULL")
          .Bind(1, value)
          .Bind(2, FoldName(value))
          .Run();
    } else {
      Query(this, "UPDATE settings SET value = ?2 WHERE key = ?1")
          .Bind(1, key)
          .Bind(2, value)
          .Run();
    }
    return kOk;
  });
}

int SqliteStorage::AddUser(const std::string& name, const std::string& digest) {
  if (!IsValidUserName(name) || !IsDigestText(digest)) return kInvalidValue;
  return Transact(true, [&]() -> int {
    {
      Query q(this, "SELECT 1 FROM users WHERE name = ?1");
      if (q.Bind(1, name).Step()) return kUserExists;
    }
    Query(this, "INSERT INTO users(name, digest) VALUES(?1, ?2)")
        .Bind(1, name)
        .Bind(2, StoredDigest(digest))
        .Run();
    return kOk;
  });
}

int SqliteStorage::SetUserDigest(const std::string& name, const std::string& digest) {
  if (!IsDigestText(digest)) return kInvalidValue;
  return Transact(true, [&]() -> int {
    Query q(this, "UPDATE users SET digest = ?2 WHERE name = ?1");
    q.Bind(1, name).Bind(2, StoredDigest(digest)).Run();
    return q.Changes() == 0 ? kNoSuchUser : kOk;
  });
}

int SqliteStorage::RemoveUser(const std::string& name) {
  return Transact(true, [&]() -> int {
    {
      Query q(this, "DELETE FROM users WHERE name = ?1");
      q.Bind(1, name).Run();
      if (q.Changes() == 0) return kNoSuchUser;
    }
    std::vector<int64_t> documents;
    {
      Query q(this,
              "SELECT document FROM locks WHERE user_name = ?1 "
              "UNION SELECT document FROM lock_queue WHERE user_name = ?1");
      q.Bind(1, name);
      while (q.Step()) documents.push_back(q.Int(0));
    }
    for (int64_t document : documents) {
      Query(this, "DELETE FROM locks WHERE document = ?1 AND user_name = ?2")
          .Bind(1, document)
          .Bind(2, name)
          .Run();
      LeaveQueue(document, name);
      ServeQueue(document);
    }
    return kOk;
  });
}

int SqliteStorage::ListUsers(std::vector<std::string>* names) {
  return Transact(false, [&]() -> int {
    names->clear();
    Query q(this, "SELECT name FROM users ORDER BY name");
    while (q.Step()) names->push_back(q.Text(0));
    return kOk;
  });
}

int SqliteStorage::CheckLogon(const std::string& name, const std::string& digest) {
  return Transact(false, [&]() -> int {
    Query q(this, "SELECT digest FROM users WHERE name = ?1");
    if (!q.Bind(1, name).Step()) return kLogonRefused;
    return SameDigest(q.Text(0), StoredDigest(digest)) ? kOk : kLogonRefused;
  });
}

// ------------------------------------------------------------ Productions

int SqliteStorage::GetRootProduction(ProductionEntry* root) {
  return Transact(false, [&]() -> int {
    Query q(this, "SELECT id, name FROM productions WHERE parent IS NULL");
    if (!q.Step()) throw DbError("the repository has no root");
    *root = ProductionEntry{q.Text(0), q.Text(1)};
    return kOk;
  });
}

int SqliteStorage::CreateProduction(const std::string& parent_id, const std::string& name,
                                    std::string* id) {
  return Transact(true, [&]() -> int {
    const int64_t parent = ProductionSeq(parent_id);
    if (parent < 0) return kUnknownId;
    if (!IsValidName(name)) return kInvalidPath;
    {
      Query q(this, "SELECT id, name FROM productions WHERE parent = ?1 AND fold = ?2");
      if (q.Bind(1, parent).Bind(2, FoldName(name)).Step()) {
        *id = q.Text(0);
        return q.Text(1) == name ? kProductionExists : kProductionCaseVariant;
      }
    }
    ProductionTree tree = Tree();
    const int placed = CheckNewProduction(tree, parent, name);
    if (placed == kStorageFailure) throw DbError("the Production tree is damaged");
    if (placed != kOk) return placed;
    const std::string new_id = NewIdentifier();
    Query(this, "INSERT INTO productions(id, parent, name, fold) VALUES(?1, ?2, ?3, ?4)")
        .Bind(1, new_id)
        .Bind(2, parent)
        .Bind(3, name)
        .Bind(4, FoldName(name))
        .Run();
    *id = new_id;
    return kOk;
  });
}

int SqliteStorage::LookupProduction(const std::string& path, std::string* id) {
  return Transact(false, [&]() -> int {
    int64_t seq = -1;
    const int result = ResolveProductionPath(path, &seq);
    if (result != kOk) return result;
    Query q(this, "SELECT id FROM productions WHERE seq = ?1");
    if (!q.Bind(1, seq).Step()) throw DbError("a resolved Production vanished");
    *id = q.Text(0);
    return kOk;
  });
}

int SqliteStorage::ListChildProductions(const std::string& id, std::vector<ProductionEntry>* out) {
  return Transact(false, [&]() -> int {
    const int64_t parent = ProductionSeq(id);
    if (parent < 0) return kUnknownId;
    out->clear();
    Query q(this, "SELECT id, name FROM productions WHERE parent = ?1 ORDER BY seq");
    q.Bind(1, parent);
    while (q.Step()) out->push_back(ProductionEntry{q.Text(0), q.Text(1)});
    return kOk;
  });
}

// ------------------------------------------------------------ Documents

int SqliteStorage::GetDocumentInfo(const std::string& user, const std::string& production_id,
                                   const std::vector<std::string>& names,
                                   std::vector<DocumentInfo>* out) {
  return Transact(false, [&]() -> int {
    const int64_t production = ProductionSeq(production_id);
    if (production < 0) return kUnknownId;
    std::vector<DocumentInfo> rows;
    rows.reserve(names.size());
    for (const std::string& name : names) {
      DocumentInfo info;
      Document doc;
      if (FindDocumentBelow(production, name, &doc)) {
        info.id = doc.id;
        info.version = doc.current_version;
        info.flags = kDocumentControlled;
        for (const Holder& h : Holders(doc.seq)) {
          info.flags |= kDocumentCheckedOut;
          if (h.user == user) info.flags |= kDocumentCheckedOutByMe;
          if (h.exclusive) info.flags |= kDocumentExclusive;
        }
        if (IsQueued(doc.seq, user)) info.flags |= kDocumentQueuedForLock;
        Query q(this, "SELECT stamp FROM versions WHERE document = ?1 AND version = ?2");
        if (q.Bind(1, doc.seq).Bind(2, int64_t{doc.current_version}).Step()) info.stamp = q.Text(0);
      }
      rows.push_back(std::move(info));
    }
    *out = std::move(rows);
    return kOk;
  });
}

int SqliteStorage::CheckNewDocuments(const std::vector<NewDocument>& items, size_t* failed_index,
                                     std::vector<std::pair<int64_t, std::string>>* keys) {
  // Hash lookups, so that a request of many names costs time in proportion
  // to its size: one writer must not hold the others up for long.
  std::unordered_map<std::string, int64_t> productions;
  std::unordered_set<std::string> seen;
  ProductionTree tree = Tree();
  keys->clear();
  keys->reserve(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const NewDocument& item = items[i];
    if (failed_index != nullptr) *failed_index = i;
    auto known = productions.find(item.production_id);
    if (known == productions.end()) {
      known = productions.emplace(item.production_id, ProductionSeq(item.production_id)).first;
    }
    const int64_t production = known->second;
    if (production < 0) return kUnknownId;
    if (!IsValidName(item.name)) return kInvalidDocumentName;
    const int placed = CheckNewDocument(tree, production, item.name);
    if (placed == kStorageFailure) throw DbError("the Production tree is damaged");
    if (placed != kOk) return placed;
    std::pair<int64_t, std::string> key{production, FoldName(item.name)};
    if (!seen.insert(std::to_string(production) + '/' + key.second).second) return kDocumentTwice;
    {
      Query q(this, "SELECT 1 FROM documents WHERE production = ?1 AND fold = ?2");
      if (q.Bind(1, production).Bind(2, key.second).Step()) return kDocumentExists;
    }
    keys->push_back(std::move(key));
  }
  return kOk;
}

int SqliteStorage::ValidateAdd(const std::vector<NewDocument>& items, size_t* failed_index) {
  return Transact(false, [&]() -> int {
    std::vector<std::pair<int64_t, std::string>> keys;
    return CheckNewDocuments(items, failed_index, &keys);
  });
}

int SqliteStorage::AddDocuments(const std::string& user, const std::string& comment,
                                const std::vector<NewDocument>& items,
                                std::vector<StoredVersion>* out, size_t* failed_index) {
  return Transact(true, [&]() -> int {
    std::vector<std::pair<int64_t, std::string>> keys;
    const int checked = CheckNewDocuments(items, failed_index, &keys);
    if (checked != kOk) return checked;
    std::vector<StoredVersion> added;
    added.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      const NewDocument& item = items[i];
      if (failed_index != nullptr) *failed_index = i;
      if (!contents_.Contains(item.content)) return kContentIncomplete;
      const std::string id = NewIdentifier();
      Query(this,
            "INSERT INTO documents(id, production, name, fold, current_version) "
            "VALUES(?1, ?2, ?3, ?4, 1)")
          .Bind(1, id)
          .Bind(2, keys[i].first)
          .Bind(3, item.name)
          .Bind(4, keys[i].second)
          .Run();
      const int64_t seq = sqlite3_last_insert_rowid(Current()->db);
      StoredVersion stored{id, 1, std::string()};
      WriteVersion(seq, 1, user, comment, false, item.content, &stored.stamp, true);
      added.push_back(std::move(stored));
    }
    *out = std::move(added);
    return kOk;
  });
}

int SqliteStorage::CheckCheckIn(const std::string& user, const std::vector<std::string>& ids,
                                size_t* failed_index, std::vector<Document>* docs) {
  docs->clear();
  docs->reserve(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    if (failed_index != nullptr) *failed_index = i;
    Document doc;
    if (!LoadDocument(ids[i], &doc)) return kUnknownId;
    Query q(this, "SELECT 1 FROM locks WHERE document = ?1 AND user_name = ?2");
    if (!q.Bind(1, doc.seq).Bind(2, user).Step()) return kNotCheckedOut;
    docs->push_back(std::move(doc));
  }
  return kOk;
}

int SqliteStorage::ValidateCheckIn(const std::string& user, const std::vector<std::string>& ids,
                                   size_t* failed_index) {
  return Transact(false, [&]() -> int {
    std::vector<Document> docs;
    return CheckCheckIn(user, ids, failed_index, &docs);
  });
}

int SqliteStorage::CheckIn(const std::string& user, const std::string& comment,
                           bool work_in_progress, const std::vector<CheckInItem>& items,
                           std::vector<StoredVersion>* out, size_t* failed_index) {
  return Transact(true, [&]() -> int {
    std::vector<std::string> ids;
    ids.reserve(items.size());
    for (const CheckInItem& item : items) ids.push_back(item.document_id);
    std::vector<Document> docs;
    const int checked = CheckCheckIn(user, ids, failed_index, &docs);
    if (checked != kOk) return checked;
    std::vector<StoredVersion> stored;
    for (size_t i = 0; i < items.size(); ++i) {
      if (failed_index != nullptr) *failed_index = i;
      if (!contents_.Contains(items[i].content)) return kContentIncomplete;
      // The same Document twice in one check-in gives two versions.
      Document doc;
      if (!LoadDocument(items[i].document_id, &doc)) return kUnknownId;
      StoredVersion version{doc.id, doc.current_version + 1, std::string()};
      WriteVersion(doc.seq, version.version, user, comment, work_in_progress, items[i].content,
                   &version.stamp);
      stored.push_back(std::move(version));
    }
    *out = std::move(stored);
    return kOk;
  });
}

int SqliteStorage::Fetch(const std::vector<FetchItem>& items, std::vector<FetchedVersion>* out,
                         size_t* failed_index) {
  return Transact(false, [&]() -> int {
    std::vector<FetchedVersion> fetched;
    FetchPlan plan;
    ProductionTree tree = Tree();
    ReplyBudget budget;
    for (size_t i = 0; i < items.size(); ++i) {
      const FetchItem& item = items[i];
      if (failed_index != nullptr) *failed_index = i;
      int again = kOk;
      if (plan.Repeat(item, &fetched, &budget, &again)) {
        if (again != kOk) return again;
        continue;
      }
      Document doc;
      if (!LoadDocument(item.document_id, &doc)) return kUnknownId;
      FetchedVersion f;
      f.document_id = doc.id;
      f.version = item.version == 0 ? doc.current_version : item.version;
      f.name = doc.name;
      ContentRef content;
      {
        Query q(this,
                "SELECT stamp, content, size FROM versions WHERE document = ?1 AND version = ?2");
        if (!q.Bind(1, doc.seq).Bind(2, int64_t{f.version}).Step()) return kUnknownId;
        f.stamp = q.Text(0);
        content.sha256 = q.Text(1);
        content.size = static_cast<uint64_t>(q.Int(2));
      }
      if (!contents_.Contains(content)) {
        throw DbError("the content of " + doc.id + " version " + std::to_string(f.version) +
                      " is missing from the store");
      }
      f.content_path = contents_.PathOf(content.sha256);
      f.size = content.size;
      if (!budget.Take(FetchPlan::FixedCharge(f))) return kOverLimit;
      const int path = tree.FullPath(doc.production, doc.name, &f.full_path, &budget);
      if (path == kStorageFailure) throw DbError("the Production tree is damaged");
      if (path != kOk) return path;
      plan.Note(item, fetched.size());
      fetched.push_back(std::move(f));
    }
    *out = std::move(fetched);
    return kOk;
  });
}

int SqliteStorage::FindDocument(const std::string& path, std::string* id) {
  return Transact(false, [&]() -> int {
    std::string folder;
    std::string name;
    SplitDocumentPath(path, &folder, &name);
    int64_t production = -1;
    const int result = ResolveProductionPath(folder, &production);
    if (result != kOk) return result;
    if (!IsValidName(name)) return kInvalidDocumentName;
    Query q(this, "SELECT id FROM documents WHERE production = ?1 AND fold = ?2");
    if (!q.Bind(1, production).Bind(2, FoldName(name)).Step()) return kUnknownId;
    *id = q.Text(0);
    return kOk;
  });
}

int SqliteStorage::ListVersions(const std::string& document_id, std::vector<VersionInfo>* out) {
  return Transact(false, [&]() -> int {
    Document doc;
    if (!LoadDocument(document_id, &doc)) return kUnknownId;
    return ListVersionsLocked(doc.seq, out);
  });
}

int SqliteStorage::ListLocks(const std::string& document_id, std::vector<LockEntry>* out) {
  return Transact(false, [&]() -> int {
    Document doc;
    if (!LoadDocument(document_id, &doc)) return kUnknownId;
    return ListLocksLocked(doc.seq, out);
  });
}

int SqliteStorage::GetNameTable(int kind, const std::string& subject, bool recursive,
                                NameTable* out) {
  if (kind < kNameListProductions || kind > kNameListVersions) return kMalformed;
  return Transact(false, [&]() -> int {
    NameTable table;
    ReplyBudget budget;
    if (kind == kNameListProductions) {
      const size_t cut = subject.rfind('\\');
      const int64_t parent =
          ProductionSeq(cut == std::string::npos ? subject : subject.substr(cut + 1));
      if (parent < 0) return kUnknownId;
      table.columns = {kColumnId, kColumnName};
      Query q(this, "SELECT id, name FROM productions WHERE parent = ?1 ORDER BY seq");
      q.Bind(1, parent);
      while (q.Step()) {
        if (!AddChargedRow(&table, {q.Text(0), q.Text(1)}, &budget)) return kOverLimit;
      }
    } else if (kind == kNameListDocuments) {
      const int64_t top = ProductionSeq(subject);
      if (top < 0) return kUnknownId;
      DocumentTreeSource source;
      source.documents = [this](int64_t production, const DocumentTreeSource::Emit& emit) {
        Query q(this, "SELECT name, id FROM documents WHERE production = ?1 ORDER BY seq");
        q.Bind(1, production);
        while (q.Step()) {
          if (!emit(q.Text(0), q.Text(1))) return;
        }
      };
      source.children = [this](int64_t production,
                               std::vector<std::pair<int64_t, std::string>>* children) {
        Query q(this, "SELECT seq, name FROM productions WHERE parent = ?1 ORDER BY seq");
        q.Bind(1, production);
        while (q.Step()) children->emplace_back(q.Int(0), q.Text(1));
      };
      const int listed = ListDocumentTree(top, recursive, source, &table, &budget);
      if (listed == kStorageFailure) throw DbError("the Production tree is damaged");
      if (listed != kOk) return listed;
    } else {
      Document doc;
      if (!LoadDocument(subject, &doc)) return kUnknownId;
      if (kind == kNameListLocks) {
        std::vector<LockEntry> locks;
        ListLocksLocked(doc.seq, &locks);
        table = LockNameTable(locks);
      } else {
        std::vector<VersionInfo> versions;
        const int listed = ListVersionsLocked(doc.seq, &versions, &budget);
        if (listed != kOk) return listed;
        table = VersionNameTable(versions);
      }
    }
    *out = std::move(table);
    return kOk;
  });
}

// ------------------------------------------------------------ locks

int SqliteStorage::AcquireLocks(const std::string& user, const std::vector<LockRequest>& items,
                                int lock_type, LockFailure* failure) {
  if (lock_type != kLockExclusive && lock_type != kLockShared) return kMalformed;
  const bool exclusive = lock_type == kLockExclusive;
  return Transact(true, [&]() -> int {
    // A Document named again in the same request is the same lock: it is
    // worked on once, so that a long list of one name costs no more than
    // the name.
    std::unordered_set<std::string> seen;
    for (size_t i = 0; i < items.size(); ++i) {
      const LockRequest& item = items[i];
      if (item.document_id.empty() || !seen.insert(item.document_id).second) continue;
      Document doc;
      const auto fail = [&](int code) {
        if (failure != nullptr) *failure = LockFailure{i, item.document_id, doc.name};
        return code;
      };
      if (!LoadDocument(item.document_id, &doc)) return fail(kUnknownId);
      const int conflict = LockConflict(Holders(doc.seq), user, exclusive);
      if (conflict == kOk) {
        // Granted at once, flagged or not; a place in the queue is then moot.
        // A weaker lock than before, or the place given up, may let the
        // queue advance.
        Grant(doc.seq, user, exclusive);
        LeaveQueue(doc.seq, user);
        ServeQueue(doc.seq);
        continue;
      }
      if (!item.deferred) return fail(conflict);
      if (IsQueued(doc.seq, user)) return fail(kAlreadyQueued);
      Query(this,
            "INSERT INTO lock_queue(document, user_name, exclusive, rank) "
            "SELECT ?1, ?2, ?3, COALESCE(MAX(rank), 0) + 1 FROM lock_queue WHERE document = ?1")
          .Bind(1, doc.seq)
          .Bind(2, user)
          .Bind(3, int64_t{exclusive ? 1 : 0})
          .Run();
    }
    return kOk;
  });
}

int SqliteStorage::ReleaseLocks(const std::string& user, const std::vector<std::string>& ids,
                                LockFailure* failure) {
  return Transact(true, [&]() -> int {
    std::unordered_set<std::string> seen;  // as for AcquireLocks
    for (size_t i = 0; i < ids.size(); ++i) {
      if (ids[i].empty() || !seen.insert(ids[i]).second) continue;
      Document doc;
      if (!LoadDocument(ids[i], &doc)) {
        if (failure != nullptr) *failure = LockFailure{i, ids[i], std::string()};
        return kUnknownId;
      }
      Query(this, "DELETE FROM locks WHERE document = ?1 AND user_name = ?2")
          .Bind(1, doc.seq)
          .Bind(2, user)
          .Run();
      LeaveQueue(doc.seq, user);
      ServeQueue(doc.seq);
    }
    return kOk;
  });
}

// ------------------------------------------------------------ administration

int SqliteStorage::ListAllLocks(std::vector<DocumentLocks>* out) {
  return Transact(false, [&]() -> int {
    out->clear();
    std::vector<Document> documents;
    {
      Query q(this,
              "SELECT seq, id, production, name FROM documents WHERE seq IN "
              "(SELECT document FROM locks UNION SELECT document FROM lock_queue) ORDER BY seq");
      while (q.Step()) {
        Document doc;
        doc.seq = q.Int(0);
        doc.id = q.Text(1);
        doc.production = q.Int(2);
        doc.name = q.Text(3);
        documents.push_back(std::move(doc));
      }
    }
    ProductionTree tree = Tree();
    for (const Document& doc : documents) {
      DocumentLocks entry;
      entry.document_id = doc.id;
      if (tree.FullPath(doc.production, doc.name, &entry.full_path, nullptr) != kOk) {
        NoteFailure("the Productions above Document " + doc.id + " do not lead to the root");
        return kStorageFailure;
      }
      ListLocksLocked(doc.seq, &entry.locks);
      out->push_back(std::move(entry));
    }
    return kOk;
  });
}

int SqliteStorage::ListVersionContents(std::vector<VersionContent>* out) {
  return Transact(false, [&]() -> int {
    out->clear();
    struct Row {
      int64_t production;
      std::string name;
      VersionContent version;
    };
    std::vector<Row> rows;
    {
      Query q(this,
              "SELECT d.production, d.name, v.version, v.content, v.size FROM versions v "
              "JOIN documents d ON d.seq = v.document ORDER BY d.seq, v.version");
      while (q.Step()) {
        rows.push_back(Row{q.Int(0), q.Text(1),
                           VersionContent{std::string(), static_cast<int>(q.Int(2)),
                                          ContentRef{q.Text(3), static_cast<uint64_t>(q.Int(4))}}});
      }
    }
    ProductionTree tree = Tree();
    for (Row& row : rows) {
      if (tree.FullPath(row.production, row.name, &row.version.full_path, nullptr) != kOk) {
        NoteFailure("the Productions above Document " + row.name + " do not lead to the root");
        return kStorageFailure;
      }
      out->push_back(std::move(row.version));
    }
    return kOk;
  });
}

int SqliteStorage::BreakLocks(const std::string& document_id, const std::string& user,
                              std::vector<LockEntry>* broken, std::vector<LockEntry>* granted) {
  return Transact(true, [&]() -> int {
    broken->clear();
    granted->clear();
    Document doc;
    if (!LoadDocument(document_id, &doc)) return kUnknownId;
    std::vector<LockEntry> before;
    ListLocksLocked(doc.seq, &before);
    *broken = LocksToBreak(before, user);
    if (broken->empty()) return kNotCheckedOut;
    for (const LockEntry& lock : *broken) {
      Query(this, "DELETE FROM locks WHERE document = ?1 AND user_name = ?2")
          .Bind(1, doc.seq)
          .Bind(2, lock.user)
          .Run();
    }
    ServeQueue(doc.seq);
    std::vector<LockEntry> after;
    ListLocksLocked(doc.seq, &after);
    *granted = GrantedFromQueue(before, after);
    return kOk;
  });
}

// ------------------------------------------------------------ checks

int SqliteStorage::CheckConsistency(std::vector<std::string>* problems) {
  return Transact(false, [&]() -> int {
    const auto each = [&](const char* sql, const std::string& what) {
      Query q(this, sql);
      while (q.Step()) problems->push_back(what + q.Text(0));
    };
    {
      Query q(this, "PRAGMA integrity_check");
      while (q.Step()) {
        if (q.Text(0) != "ok") problems->push_back("database: " + q.Text(0));
      }
    }
    each("SELECT \"table\" FROM pragma_foreign_key_check",
         "a row refers to a missing row, in table ");
    for (const ConsistencyQuery& rule : kConsistencyQueries) each(rule.sql, rule.problem);
    std::vector<std::pair<int64_t, Holder>> heads;
    {
      Query q(this, "SELECT document, user_name, exclusive FROM lock_queue WHERE rank = 1");
      while (q.Step()) heads.emplace_back(q.Int(0), Holder{q.Text(1), q.Int(2) != 0});
    }
    for (const auto& [document, head] : heads) {
      if (LockConflict(Holders(document), head.user, head.exclusive) == kOk) {
        problems->push_back("a queue head that could be granted: Document seq " +
                            std::to_string(document));
      }
    }
    Query q(this, "SELECT DISTINCT content, size FROM versions");
    while (q.Step()) {
      const ContentRef ref{q.Text(0), static_cast<uint64_t>(q.Int(1))};
      if (!contents_.Contains(ref)) {
        problems->push_back("content missing or of another size: " + ref.sha256);
      }
    }
    return kOk;
  });
}

// ------------------------------------------------------------ content collection

int SqliteStorage::ReferencedContents(std::unordered_set<std::string>* out) {
  return Transact(false, [&]() -> int {
    std::unordered_set<std::string> digests;
    Query q(this, "SELECT DISTINCT content FROM versions");
    while (q.Step()) digests.insert(q.Text(0));
    *out = std::move(digests);
    return kOk;
  });
}

int SqliteStorage::RemoveUnreferenced(const std::vector<std::string>& digests,
                                      const std::function<bool(const std::string&)>& remove,
                                      std::vector<std::string>* removed) {
  return Transact(true, [&]() -> int {
    for (const std::string& digest : digests) {
      {
        Query q(this, "SELECT 1 FROM versions WHERE content = ?1 LIMIT 1");
        if (q.Bind(1, digest).Step()) continue;
      }
      if (remove(digest)) removed->push_back(digest);
    }
    return kOk;
  });
}

int SqliteStorage::ResetTree() {
  return Transact(true, [&]() -> int {
    Exec("DELETE FROM lock_queue");
    Exec("DELETE FROM locks");
    Exec("DELETE FROM versions");
    Exec("DELETE FROM documents");
    Exec("DELETE FROM productions WHERE parent IS NOT NULL");
    return kOk;
  });
}

}  // namespace tw::twserver
