// The stores of the property file server. A store maps encoded property
// paths (escaped names joined with "/") to encoded values, exactly as the
// clients sent them; a node exists when it holds a value or has a
// descendant that does.
//
// FileStore keeps its tree in an SQLite database in WAL mode at the store's
// own path and holds an exclusive flock on that file while it is open, so
// that no second server ever writes the same file. A store file is marked
// as one (the table "store_format" with its format version): an empty file
// becomes a store only when a client recorded it as made for one
// (settings/new_store_record.h), a database holding exactly the table of
// the stores made before the mark existed gets the mark, and any other file
// is refused and left as it was, so that a client cannot have the server
// write into some other database or empty file of the user's. Writes
// collect in one
// open transaction that Commit() ends; the server commits before every
// reply and whenever its queue runs empty, so every acknowledged value is on
// disk in the write-ahead log (it survives the server being killed) and the
// file is never left half-written. MemoryStore holds an "[SD]" store.
//
// Threads: the server's single loop thread owns every store.
#ifndef TW_SERVERS_TWPMSVR_STORE_H_
#define TW_SERVERS_TWPMSVR_STORE_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

namespace tw::pmsvr {

class Store {
 public:
  virtual ~Store() = default;
  virtual bool Set(const std::string& path, const std::string& value) = 0;
  // The node's value ("" for a node that only has descendants); false when
  // the node does not exist.
  virtual bool Get(const std::string& path, std::string* value) = 0;
  // The names of the node's direct children, ascending, without duplicates.
  virtual bool List(const std::string& path, std::vector<std::string>* names) = 0;
  // Removes the node's own value, or with `recursive` the node and all its
  // descendants.
  virtual bool Delete(const std::string& path, bool recursive) = 0;
  // Ends the open write transaction.
  virtual bool Commit() = 0;
  // Commit() and move the write-ahead log into the main file, synced.
  virtual bool Flush() = 0;
};

class MemoryStore : public Store {
 public:
  bool Set(const std::string& path, const std::string& value) override;
  bool Get(const std::string& path, std::string* value) override;
  bool List(const std::string& path, std::vector<std::string>* names) override;
  bool Delete(const std::string& path, bool recursive) override;
  bool Commit() override { return true; }
  bool Flush() override { return true; }
  size_t bytes() const { return bytes_; }

 private:
  std::map<std::string, std::string> values_;
  size_t bytes_ = 0;
};

class FileStore : public Store {
 public:
  ~FileStore() override;
  // The format version of the stores this server makes.
  static constexpr int kFormat = 1;

  // Opens the store at `path`, making an empty file that a client recorded
  // in `runtime_dir` as new a store. Null, with *error, when the file is
  // locked by another server, is not a store (of this format or an older
  // one), is empty without that record, or cannot be opened.
  static std::unique_ptr<FileStore> Open(const std::string& path, const std::string& runtime_dir,
                                         std::string* error);

  bool Set(const std::string& path, const std::string& value) override;
  bool Get(const std::string& path, std::string* value) override;
  bool List(const std::string& path, std::vector<std::string>* names) override;
  bool Delete(const std::string& path, bool recursive) override;
  bool Commit() override;
  bool Flush() override;

 private:
  FileStore() = default;
  bool Exec(const char* sql);
  bool BeginIfNeeded();

  sqlite3* db_ = nullptr;
  int lock_fd_ = -1;
  bool in_transaction_ = false;
};

// The ordered range of descendants of `path`: keys k with lo <= k < hi.
// For the root (empty path) both are empty and the range is every key.
void DescendantRange(const std::string& path, std::string* lo, std::string* hi);

}  // namespace tw::pmsvr

#endif  // TW_SERVERS_TWPMSVR_STORE_H_
