#include "servers/twserver/sqlite_storage.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

#include "servers/twserver/names.h"
#include "servers/twserver/read_gate.h"
#include "servers/twserver/sql_backend.h"
#include "servers/twserver/storage_rules.h"

namespace tw::twserver {

namespace {

// SQLite's types: TEXT compares bytewise (the default collation), and an
// INTEGER PRIMARY KEY is the row's own number.
constexpr SqlTypes kTypes{"TEXT", "INTEGER", "INTEGER PRIMARY KEY"};

// The index by which content collection finds whether a content is still
// referred to; added to databases made before it existed.
constexpr const char* kContentIndex =
    "CREATE INDEX IF NOT EXISTS versions_by_content ON versions(content)";

void ExecOn(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message != nullptr ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    throw SqlError(text);
  }
}

// One prepared statement of a connection, kept for the connection's life:
// transaction control and every query run many times per request.
class SqliteStatement final : public SqlStatement {
 public:
  SqliteStatement(sqlite3* db, sqlite3_stmt* stmt, const ReadGate::Clock::time_point* deadline)
      : db_(db), stmt_(stmt), deadline_(deadline) {}
  ~SqliteStatement() override { sqlite3_finalize(stmt_); }
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  void BindText(int index, const std::string& value) override {
    if (value.size() > INT_MAX) throw SqlError("value too long");
    Check(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                            SQLITE_TRANSIENT));
  }
  void BindInt(int index, int64_t value) override {
    Check(sqlite3_bind_int64(stmt_, index, value));
  }
  void BindNull(int index) override { Check(sqlite3_bind_null(stmt_, index)); }

  bool Step() override {
    // Many short statements never reach the progress handler: the
    // deadline is checked before each step as well.
    if (ReadGate::Clock::now() > *deadline_) {
      throw SqlError("the read ran past its time budget", kSqlStatePastDeadline);
    }
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    // Only the progress handler interrupts, and only past the deadline.
    if (rc == SQLITE_INTERRUPT) {
      throw SqlError("the read ran past its time budget", kSqlStatePastDeadline);
    }
    throw SqlError(sqlite3_errmsg(db_));
  }
  void Reset() override {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  int64_t Changes() const override { return sqlite3_changes(db_); }

  std::string Text(int column) const override {
    const unsigned char* p = sqlite3_column_text(stmt_, column);
    const int n = sqlite3_column_bytes(stmt_, column);
    return p != nullptr ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
  }
  int64_t Int(int column) const override { return sqlite3_column_int64(stmt_, column); }
  bool IsNull(int column) const override {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
  }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) throw SqlError(sqlite3_errmsg(db_));
  }

  sqlite3* const db_;
  sqlite3_stmt* const stmt_;
  const ReadGate::Clock::time_point* const deadline_;
};

// One SQLite connection with its prepared statements. Used by one thread at
// a time: the writer by the leader of a write batch, a reader while leased
// from the pool.
struct Connection {
  sqlite3* db = nullptr;
  std::unordered_map<std::string, std::unique_ptr<SqliteStatement>> statements;
  // When the read under way must be over (a reader's; the writer's stays
  // at the end of time). Set and read by the thread that holds the
  // connection.
  ReadGate::Clock::time_point deadline = ReadGate::Clock::time_point::max();

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    statements.clear();
    sqlite3_close(db);
  }
};

// The connection of the calling thread's transaction, made current for a
// scope by a Use.
using Use = CurrentConnection<Connection>;
Connection* Current() {
  return Use::Get();
}

// Fills a new, empty database: the tables, the settings and the root.
void InitializeDatabase(sqlite3* db, const RepositorySettings& settings) {
  ExecOn(db, "BEGIN IMMEDIATE");
  ExecOn(db, SchemaSql(kTypes).c_str());
  for (const SqlRow& row : NewRepositoryRows(settings)) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, row.sql, -1, &raw, nullptr) != SQLITE_OK) {
      throw SqlError(sqlite3_errmsg(db));
    }
    const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> stmt(raw, sqlite3_finalize);
    for (size_t i = 0; i < row.values.size(); ++i) {
      if (sqlite3_bind_text(raw, static_cast<int>(i + 1), row.values[i].c_str(), -1,
                            SQLITE_TRANSIENT) != SQLITE_OK) {
        throw SqlError(sqlite3_errmsg(db));
      }
    }
    if (sqlite3_step(raw) != SQLITE_DONE) throw SqlError(sqlite3_errmsg(db));
  }
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

// Writers queue up, and whoever finds no batch under way runs all waiting
// writers in one transaction on the writer connection, each as a savepoint:
// one commit (one sync of the log) serves them all, in the order they
// came. Readers each lease a connection of their own, so in WAL mode they
// read a snapshot while writers work. A repository in memory has only the
// writer: its reads queue up with the writes.
class SqliteBackend final : public SqlBackend {
 public:
  SqliteBackend(std::unique_ptr<Connection> writer, std::string path, int busy_milliseconds)
      : path_(std::move(path)), busy_milliseconds_(busy_milliseconds), writer_(std::move(writer)) {}

  size_t ReadCapacity() const override { return path_.empty() ? 0 : SqliteStorage::kMaxReaders; }

  int Run(SqlMode mode, ReadGate::Clock::time_point deadline, std::chrono::milliseconds,
          const std::function<int()>& body) override {
    // Content collection needs nothing more than a writer: writers run
    // one at a time.
    if (mode != SqlMode::kRead || path_.empty()) return RunWrite(body);
    std::unique_ptr<Connection> reader;
    try {
      reader = LeaseReader();
    } catch (const std::exception& e) {
      NoteFailure(e.what());
      return kStorageFailure;
    }
    reader->deadline = deadline;
    const int result = RunRead(reader.get(), body);
    reader->deadline = ReadGate::Clock::time_point::max();
    ReturnReader(std::move(reader));
    return result;
  }

  SqlStatement& Prepare(const char* sql) override {
    Connection* connection = Current();
    auto it = connection->statements.find(sql);
    if (it != connection->statements.end()) return *it->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(connection->db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
        SQLITE_OK) {
      throw SqlError(sqlite3_errmsg(connection->db));
    }
    auto statement = std::make_unique<SqliteStatement>(connection->db, stmt, &connection->deadline);
    return *connection->statements.emplace(sql, std::move(statement)).first->second;
  }

  void DatabaseProblems(std::vector<std::string>* problems) override {
    Each("PRAGMA integrity_check", [&](SqlStatement& q) {
      if (q.Text(0) != "ok") problems->push_back("database: " + q.Text(0));
    });
    Each("SELECT \"table\" FROM pragma_foreign_key_check", [&](SqlStatement& q) {
      problems->push_back("a row refers to a missing row, in table " + q.Text(0));
    });
  }

  // Sets up the writer of a database file and checks that it is ours. False
  // with `error`.
  bool Start(std::string* error) {
    // Nobody else has the object yet: no batch runs.
    const Use use(writer_.get());
    try {
      Exec("PRAGMA foreign_keys=ON");
      Exec("PRAGMA synchronous=FULL");
      std::string schema;
      Each("SELECT value FROM settings WHERE key = 'schema'",
           [&](SqlStatement& q) { schema = q.Text(0); });
      if (schema != kSchemaVersion) {
        *error = path_ + " is not a repository database of this server";
        return false;
      }
    } catch (const std::exception& e) {
      *error = path_ + ": " + e.what();
      return false;
    }
    // Databases made before content collection lack this index; without it
    // the collection still works, only slower, so a failure is no reason to
    // refuse the repository.
    sqlite3_exec(writer_->db, kContentIndex, nullptr, nullptr, nullptr);
    return true;
  }

 private:
  // A request waiting for its batch.
  struct WriteJob {
    const std::function<int()>* body;
    int result = kStorageFailure;
    bool done = false;  // guarded by batch_mutex_
  };

  // Runs `sql` on the current connection, calling `row` with each row.
  template <typename Row>
  void Each(const char* sql, Row&& row) {
    SqlStatement& q = Prepare(sql);
    struct Reset {
      SqlStatement& q;
      ~Reset() { q.Reset(); }
    } reset{q};
    while (q.Step()) row(q);
  }
  // One statement, prepared once per connection: transaction control runs
  // several times per request.
  void Exec(const char* sql) {
    Each(sql, [](SqlStatement&) {});
  }

  // A reader connection from the pool, opened when none is idle and fewer
  // than the gate's capacity are open; waits otherwise. Throws SqlError
  // when it cannot be opened.
  std::unique_ptr<Connection> LeaseReader() {
    std::unique_lock<std::mutex> lock(pool_mutex_);
    // The gate admits no more reads than there are connections to open, so
    // this wait is only a guard.
    if (!pool_ready_.wait_for(lock, kDefaultReaderWait, [this] {
          return !idle_readers_.empty() || readers_open_ < SqliteStorage::kMaxReaders + 1;
        })) {
      throw SqlError("no database reader came free in time");
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
      throw SqlError(text);
    }
    sqlite3_busy_timeout(reader->db, busy_milliseconds_);
    sqlite3_progress_handler(reader->db, kProgressSteps, ReadExpired, &reader->deadline);
    return reader;
  }

  // Puts a leased reader back (null: it was never opened).
  void ReturnReader(std::unique_ptr<Connection> reader) {
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

  int RunRead(Connection* connection, const std::function<int()>& body) {
    const Use use(connection);
    try {
      Exec("BEGIN");
      const int result = body();
      Exec("ROLLBACK");  // a read has nothing to keep
      return result;
    } catch (const std::exception& e) {
      if (sqlite3_get_autocommit(connection->db) == 0) {
        sqlite3_exec(connection->db, "ROLLBACK", nullptr, nullptr, nullptr);
      }
      const auto* sql = dynamic_cast<const SqlError*>(&e);
      if (sql != nullptr && sql->state() == kSqlStatePastDeadline) return kSqlPastDeadline;
      NoteFailure(e.what());
      return kStorageFailure;
    }
  }

  int RunWrite(const std::function<int()>& body) {
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

  void RunBatch(const std::vector<WriteJob*>& batch) {
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

  const std::string path_;  // empty for a repository in memory
  const int busy_milliseconds_;

  const std::unique_ptr<Connection> writer_;  // used by the batch's leader

  std::mutex batch_mutex_;
  std::condition_variable batch_done_;  // signalled under batch_mutex_
  std::deque<WriteJob*> waiting_;       // guarded by batch_mutex_
  bool leading_ = false;                // guarded by batch_mutex_: a batch runs

  std::mutex pool_mutex_;
  std::condition_variable pool_ready_;                     // signalled under pool_mutex_
  std::vector<std::unique_ptr<Connection>> idle_readers_;  // guarded by pool_mutex_
  size_t readers_open_ = 0;                                // guarded by pool_mutex_
};

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

std::unique_ptr<SqlStorage> SqliteStorage::Open(const std::string& path, ContentStore contents,
                                                Clock clock, std::string* error,
                                                int busy_milliseconds) {
  auto writer = std::make_unique<Connection>();
  if (sqlite3_open_v2(path.c_str(), &writer->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    *error = OpenFailure(path, writer->db);
    return nullptr;
  }
  sqlite3_busy_timeout(writer->db, busy_milliseconds);
  auto backend = std::make_unique<SqliteBackend>(std::move(writer), path, busy_milliseconds);
  if (!backend->Start(error)) return nullptr;
  return std::make_unique<SqlStorage>(std::move(backend), std::move(contents), std::move(clock));
}

std::unique_ptr<SqlStorage> SqliteStorage::OpenInMemory(const RepositorySettings& settings,
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
  return std::make_unique<SqlStorage>(
      std::make_unique<SqliteBackend>(std::move(writer), std::string(), 0), std::move(contents),
      std::move(clock));
}

}  // namespace tw::twserver
