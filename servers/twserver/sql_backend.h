// What SqlStorage (sql_storage.h) needs of a database: transactions with
// the database's own way of serialising writers and of retrying them,
// statements prepared on the connection of the calling thread's
// transaction, and the few checks only the database can make. Everything
// the repository decides lives in SqlStorage, once; a backend holds only
// its connections, its transactions and what its SQL makes different.
//
// Statements are written once for every backend, with numbered
// parameters in SQLite's form ("?1", "?2", ...); a backend whose database
// writes them otherwise translates them. Texts are bytes and compare
// bytewise; integers are 64 bits.
//
// Threads: a backend is shared by the threads of its SqlStorage. Run may be
// called from any number of threads at once; Prepare and the statements it
// gives are used only inside Run's body, on the thread that called Run.
#ifndef TW_SERVERS_TWSERVER_SQL_BACKEND_H_
#define TW_SERVERS_TWSERVER_SQL_BACKEND_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "servers/twserver/read_gate.h"

namespace tw::twserver {

// The state of a SqlError that stopped a read at its deadline: PostgreSQL's
// query_canceled, which its statement_timeout raises; the backends' own
// deadline checks throw it too.
constexpr char kSqlStatePastDeadline[] = "57014";
// What Run returns for a read stopped at its deadline (SqlStorage answers
// kOverLimit); never leaves the storage.
constexpr int kSqlPastDeadline = -100;

// A failure of the database inside one operation, with the database's
// state code when it gave one (PostgreSQL's SQLSTATE). It never leaves the
// storage: a backend's Run turns it into a retry or kStorageFailure and
// keeps its text.
class SqlError : public std::runtime_error {
 public:
  explicit SqlError(const std::string& text, std::string state = std::string())
      : std::runtime_error(text), state_(std::move(state)) {}
  const std::string& state() const { return state_; }

 private:
  std::string state_;
};

// One prepared statement on the current connection. Bound, stepped, and
// reset before it is used again; a statement is never stepped by two users
// at once (callers copy rows out before they run another query). Every
// method throws SqlError when the database fails.
class SqlStatement {
 public:
  virtual ~SqlStatement() = default;

  virtual void BindText(int index, const std::string& value) = 0;
  virtual void BindInt(int index, int64_t value) = 0;
  virtual void BindNull(int index) = 0;
  // Runs the statement when first stepped; true with a row, false when
  // done. A read past its deadline fails here.
  virtual bool Step() = 0;
  // Forgets the bindings and the rows, ready to be bound again.
  virtual void Reset() = 0;
  // Rows the last INSERT, UPDATE or DELETE changed.
  virtual int64_t Changes() const = 0;

  // Columns of the current row; an empty text or 0 for a null.
  virtual std::string Text(int column) const = 0;
  virtual int64_t Int(int column) const = 0;
  virtual bool IsNull(int column) const = 0;
};

// How a transaction runs.
enum class SqlMode {
  kRead,         // a snapshot that changes nothing
  kWrite,        // serialised with every other writer of the repository
  kAddVersions,  // kWrite, and no content collection may run meanwhile
  kCollect,      // content collection: no version may be added meanwhile
};

// Which connection of type `Connection` the calling thread's transaction
// runs on: an object makes one current for its lifetime (and restores the
// one before it); Get gives it, null outside a transaction.
template <typename Connection>
class CurrentConnection {
 public:
  explicit CurrentConnection(Connection* connection) : previous_(Slot()) { Slot() = connection; }
  ~CurrentConnection() { Slot() = previous_; }
  CurrentConnection(const CurrentConnection&) = delete;
  CurrentConnection& operator=(const CurrentConnection&) = delete;

  static Connection* Get() { return Slot(); }
  // Replaces the current connection inside the scope of an object.
  static void Set(Connection* connection) { Slot() = connection; }

 private:
  static Connection*& Slot() {
    thread_local Connection* current = nullptr;
    return current;
  }

  Connection* const previous_;
};

class SqlBackend {
 public:
  virtual ~SqlBackend() = default;

  // How many reads may run at once besides one for logons: the capacity of
  // the ReadGate that SqlStorage admits reads by. 0: reads run as writes do
  // (one connection), without a gate.
  virtual size_t ReadCapacity() const = 0;

  // Runs `body` as one transaction of `mode`: kept when `body` returns kOk
  // and the mode writes, rolled back otherwise, or when the database fails
  // (kStorageFailure, the cause noted). A writer that meets another is
  // serialised with it or run again from the start, as the database wants;
  // it is never refused for being busy. A read must be over by `deadline`
  // (`budget` long, zero for none): past it, its statements fail and Run
  // returns kSqlPastDeadline.
  virtual int Run(SqlMode mode, ReadGate::Clock::time_point deadline,
                  std::chrono::milliseconds budget, const std::function<int()>& body) = 0;

  // The statement `sql` on the connection of the calling thread's
  // transaction, ready to be bound. Valid until the transaction ends.
  virtual SqlStatement& Prepare(const char* sql) = 0;

  // Appends what the database's own checks find wrong (its integrity, its
  // references between rows), one line per problem. Inside a transaction.
  virtual void DatabaseProblems(std::vector<std::string>* problems) = 0;

  // The text of the latest failure; for logs and messages.
  std::string FailureText() const {
    std::lock_guard<std::mutex> guard(failure_mutex_);
    return failure_;
  }
  // Keeps `text` (without trailing line ends) as the latest failure.
  void NoteFailure(const std::string& text) {
    std::string trimmed = text;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == ' ')) {
      trimmed.pop_back();
    }
    std::lock_guard<std::mutex> guard(failure_mutex_);
    failure_ = std::move(trimmed);
  }

 private:
  mutable std::mutex failure_mutex_;
  std::string failure_;  // guarded by failure_mutex_
};

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_SQL_BACKEND_H_
