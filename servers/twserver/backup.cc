#include "servers/twserver/backup.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/decimal.h"
#include "platform/file_move.h"
#include "platform/file_replace.h"
#include "platform/process.h"
#include "platform/small_file.h"
#include "servers/twserver/content_store.h"
#include "servers/twserver/file_util.h"
#include "servers/twserver/postgres_storage.h"
#include "servers/twserver/repository.h"
#include "servers/twserver/serve.h"

namespace tw::twserver {

namespace {

// How long the database copy waits for writers that hold it up, in all.
constexpr int kBusyMilliseconds = 60000;
// The longest pg_dump or pg_restore may run: the metadata of a large
// repository takes minutes; a program stuck for longer is stopped.
constexpr std::chrono::minutes kProgramMinutes(60);
// The most of the backup's info and of a dump's table of contents read.
constexpr size_t kMaxInfoBytes = 65536;
constexpr size_t kMaxListingBytes = 16 << 20;

// Makes `dir` a new folder (mode 0700) or takes an existing empty one.
// `made` tells whether it was made here. False with `error`.
bool TakeEmptyFolder(const std::string& dir, bool* made, std::string* error) {
  *made = false;
  if (dir.empty()) {
    *error = "no folder given";
    return false;
  }
  if (mkdir(dir.c_str(), 0700) == 0) {
    *made = true;
    return true;
  }
  if (errno != EEXIST) {
    *error = ErrnoText("cannot make folder", dir, errno);
    return false;
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = dir + " exists and is not a folder";
    return false;
  }
  std::error_code ec;
  if (!std::filesystem::is_empty(dir, ec) || ec) {
    *error = ec ? ErrnoText("cannot read folder", dir, ec.value()) : dir + " is not empty";
    return false;
  }
  return chmod(dir.c_str(), 0700) == 0 ||
         (*error = ErrnoText("cannot set the mode of", dir, errno), false);
}

// Removes what was made in `dir`: the folder itself when `made`, else
// everything in it.
void Undo(const std::string& dir, bool made) {
  std::error_code ec;
  if (made) {
    std::filesystem::remove_all(dir, ec);
    return;
  }
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code ignored;
    std::filesystem::remove_all(it->path(), ignored);
  }
}

// Copies `from` to `to`, replacing it, for the owner only (the folders
// that hold it are too). False with `error`.
bool CopyPrivate(const std::string& from, const std::string& to, std::string* error) {
  if (!CopyFileReplacing(from, to, error)) return false;
  if (chmod(to.c_str(), 0600) != 0) {
    *error = ErrnoText("cannot set the mode of", to, errno);
    return false;
  }
  return true;
}

// Puts the content file `from` at `to`: a hard link where the file system
// allows, else a copy. `linked` tells which. A content that was moved
// elsewhere and linked back by hand is served through its link, and is
// copied: a hard link would be one to the symbolic link, and the backup
// would hold no bytes of it.
bool PlaceContent(const std::string& from, const std::string& to, bool* linked,
                  std::string* error) {
  *linked = false;
  const std::string folder = to.substr(0, to.rfind('/'));
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = ErrnoText("cannot make folder", folder, errno);
    return false;
  }
  struct stat st;
  if (lstat(from.c_str(), &st) != 0) {
    *error = errno == ENOENT ? from + " is missing" : ErrnoText("cannot look at", from, errno);
    return false;
  }
  if (S_ISREG(st.st_mode)) {
    *linked = link(from.c_str(), to.c_str()) == 0;
    if (*linked) return true;
    // EXDEV: another file system; EPERM, EMLINK, ENOTSUP: no (more) links.
    if (errno == ENOENT) {
      *error = from + " is missing";
      return false;
    }
  }
  return CopyPrivate(from, to, error);
}

// Runs `argv` (argv[0] found on the PATH) with the standard streams
// alone inherited, for at most `limit`; true when it exited with 0, else
// false with `error`.
bool RunProgram(const std::vector<std::string>& argv, std::chrono::minutes limit,
                std::string* error) {
  LaunchRequest request;
  request.argv = argv;
  request.argv[0] = FindProgram(argv[0], std::string());
  if (request.argv[0].empty()) {
    *error = "cannot find " + argv[0] +
             " on the PATH: the PostgreSQL client programs are needed for a repository kept "
             "in PostgreSQL";
    return false;
  }
  LaunchOutcome outcome;
  if (!LaunchAndWait(request, limit, &outcome)) {
    *error = "cannot start " + request.argv[0];
    return false;
  }
  switch (outcome.end) {
    case LaunchOutcome::End::kExited:
      if (outcome.status == 0) return true;
      *error = argv[0] + " failed with exit status " + std::to_string(outcome.status);
      return false;
    case LaunchOutcome::End::kSignalled:
      *error = argv[0] + " was ended by signal " + std::to_string(outcome.status);
      return false;
    case LaunchOutcome::End::kTimedOut:
      *error = argv[0] + " did not finish within " + std::to_string(limit.count()) +
               " minutes and was stopped";
      return false;
    case LaunchOutcome::End::kUnknown:
      break;
  }
  *error = "cannot tell how " + argv[0] + " ended (its exit status was lost)";
  return false;
}

// `database` as the PostgreSQL programs are given it: a connection text
// with the server's own limits where the address sets none, so that a
// database host that is down or falls silent fails the program within
// minutes (the statements' own time limits are the programs' to set).
std::string ProgramAddress(const std::string& database) {
  PQconninfoOption* options = PQconninfoParse(database.c_str(), nullptr);
  if (options == nullptr) return database;  // the program tells what is wrong with it
  std::map<std::string, std::string> values = {
      {"connect_timeout", std::to_string(PostgresStorage::kConnectSeconds)},
      {"keepalives", "1"},
      {"keepalives_idle", "30"},
      {"keepalives_interval", "10"},
      {"keepalives_count", "3"},
      {"tcp_user_timeout", "60000"}};
  for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    if (o->val != nullptr && o->val[0] != '\0') values[o->keyword] = o->val;
  }
  PQconninfoFree(options);
  std::string text;
  for (const auto& [key, value] : values) {
    text += (text.empty() ? "" : " ") + key + "='";
    for (char c : value) {
      if (c == '\'' || c == '\\') text += '\\';
      text += c;
    }
    text += "'";
  }
  return text;
}

// A pg_dump pattern that matches exactly `name`.
std::string ExactPattern(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

bool DumpPostgres(const std::string& database, const std::string& to, std::string* error) {
  std::string schema;
  if (!PostgresStorage::RepositorySchemaOf(database, &schema, error)) return false;
  // One snapshot of the whole schema: pg_dump reads in a single
  // repeatable-read transaction, and writers go on meanwhile.
  // A table that another session holds locked fails the dump rather than
  // holding it up. A password comes from PGPASSWORD or the password file,
  // as for the servers; nobody is asked.
  return RunProgram(
      {"pg_dump", "--dbname=" + ProgramAddress(database), "--schema=" + ExactPattern(schema),
       "--format=custom", "--no-owner", "--no-privileges", "--no-password",
       "--lock-wait-timeout=" + std::to_string(PostgresStorage::kStatementMilliseconds),
       "--file=" + to + "/" + kPostgresDumpFile},
      kProgramMinutes, error);
}

bool CopySqlite(const std::string& from, const std::string& to, std::string* error) {
  sqlite3* source = nullptr;
  sqlite3* target = nullptr;
  bool ok = false;
  const auto fail = [&](sqlite3* db, const std::string& what) {
    *error = what + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
  };
  // A connection of its own, writing nothing: the backup reads one snapshot
  // of the database (WAL mode lets the servers write on meanwhile).
  if (sqlite3_open_v2(from.c_str(), &source, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    fail(source, "cannot open " + from);
  } else if (sqlite3_open_v2(to.c_str(), &target,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr) != SQLITE_OK) {
    fail(target, "cannot create " + to);
  } else {
    sqlite3_busy_timeout(source, kBusyMilliseconds);
    sqlite3_backup* backup = sqlite3_backup_init(target, "main", source, "main");
    if (backup == nullptr) {
      fail(target, "cannot copy " + from);
    } else {
      int rc = SQLITE_OK;
      // All pages in one step, so the copy is one snapshot; a writer
      // holding the database up makes it wait and try again, up to a limit.
      const auto give_up =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyMilliseconds);
      while ((rc = sqlite3_backup_step(backup, -1)) == SQLITE_BUSY || rc == SQLITE_LOCKED) {
        if (std::chrono::steady_clock::now() > give_up) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      sqlite3_backup_finish(backup);
      if (rc == SQLITE_DONE) {
        ok = true;
      } else {
        *error = "cannot copy " + from + ": " + sqlite3_errstr(rc);
      }
    }
  }
  sqlite3_close_v2(source);
  if (sqlite3_close_v2(target) != SQLITE_OK && ok) {
    *error = "cannot close " + to;
    ok = false;
  }
  if (!ok) return false;
  // The copy holds what the repository's database does: for its owner only.
  const int fd = open(to.c_str(), O_RDONLY | O_CLOEXEC);
  const bool synced = fd >= 0 && fchmod(fd, 0600) == 0 && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  if (!synced) *error = ErrnoText("cannot sync", to, errno);
  return synced;
}

// Writes `text` as the file `path`, whole or not at all, for the owner
// only.
bool WriteWhole(const std::string& path, const std::string& text, std::string* error) {
  return ReplaceFileWhole(path, text, 0600, error) == 0;
}

// Reads the value of `key` ("key value" lines) from the backup's info.
bool InfoValue(const std::string& info, const std::string& key, std::string* value) {
  size_t at = 0;
  while (at < info.size()) {
    size_t end = info.find('\n', at);
    if (end == std::string::npos) end = info.size();
    const std::string line = info.substr(at, end - at);
    if (line.compare(0, key.size() + 1, key + " ") == 0) {
      *value = line.substr(key.size() + 1);
      return true;
    }
    at = end + 1;
  }
  return false;
}

// Places every content of the store at `from` into the store at `to`.
// The backup's entries are taken as they are, never through a symbolic
// link: a link would make the new store hold a link (a hard link to a
// symbolic link is one) or a file from elsewhere. Anything but folders
// and regular files where the store has them is refused.
bool PlaceAllContents(const ContentStore& from, const ContentStore& to, BackupReport* report,
                      std::string* error) {
  namespace fs = std::filesystem;
  const auto refuse = [&](const fs::path& path) {
    *error = path.string() + " is neither a folder nor a regular file (a link?): " +
             "the backup is not as TWServer backup made it";
    return false;
  };
  std::error_code ec;
  for (fs::directory_iterator folder(from.root(), ec), end; !ec && folder != end;
       folder.increment(ec)) {
    const std::string prefix = folder->path().filename().string();
    if (prefix.size() != 2) continue;  // "tmp" and strays
    const fs::file_type type = folder->symlink_status(ec).type();
    if (ec) break;
    if (type == fs::file_type::regular) continue;  // a stray file
    if (type != fs::file_type::directory) return refuse(folder->path());
    for (fs::directory_iterator it(folder->path(), ec); !ec && it != end; it.increment(ec)) {
      const std::string digest = it->path().filename().string();
      if (!ContentStore::IsDigest(digest) || digest.compare(0, 2, prefix) != 0) continue;
      if (it->symlink_status(ec).type() != fs::file_type::regular) {
        if (ec) break;
        return refuse(it->path());
      }
      bool linked = false;
      if (!PlaceContent(from.PathOf(digest), to.PathOf(digest), &linked, error)) return false;
      ++report->contents;
      if (linked) ++report->linked;
    }
    if (ec) break;
  }
  if (ec) {
    *error = ErrnoText("cannot read the contents of", from.root(), ec.value());
    return false;
  }
  return true;
}

int BackupInto(const std::string& dir, Storage& storage, const std::string& to,
               BackupReport* report, std::string* error) {
  std::string database;
  report->postgres = ReadDatabaseAddress(dir, &database);
  const ContentStore target(to + "/" + kContentFolder);
  if (!ContentStore::Create(target.root(), error)) return kStorageFailure;
  // The metadata's snapshot first: see backup.h.
  if (report->postgres ? !DumpPostgres(database, to, error)
                       : !CopySqlite(dir + "/" + kDatabaseFile, to + "/" + kDatabaseFile, error)) {
    return kStorageFailure;
  }
  std::unordered_set<std::string> referenced;
  if (storage.ReferencedContents(&referenced) != kOk) {
    *error = "storage failure: " + storage.FailureText();
    return kStorageFailure;
  }
  std::vector<std::string> missing;
  for (const std::string& digest : referenced) {
    bool linked = false;
    std::string problem;
    if (!PlaceContent(storage.Contents().PathOf(digest), target.PathOf(digest), &linked,
                      &problem)) {
      if (access(storage.Contents().PathOf(digest).c_str(), F_OK) != 0) {
        missing.push_back(digest);
        continue;
      }
      *error = problem;
      return kStorageFailure;
    }
    ++report->contents;
    if (linked) ++report->linked;
  }
  if (!missing.empty()) {
    *error = std::to_string(missing.size()) + " contents that versions refer to are missing (" +
             missing.front() + (missing.size() > 1 ? ", ..." : "") +
             "): \"TWServer verify\" lists the versions";
    return kStorageFailure;
  }
  if (!SyncFileSystem(to, error)) return kStorageFailure;
  const std::string info = std::string("TWServer backup\n") + "version " + TW_VERSION + "\n" +
                           "made " + LogStamp() + "\n" + "metadata " +
                           (report->postgres ? "postgresql" : "sqlite") + "\n" + "contents " +
                           std::to_string(report->contents) + "\n";
  if (!WriteWhole(to + "/" + kBackupInfoFile, info, error)) return kStorageFailure;
  return SyncFolder(to, error) ? kOk : kStorageFailure;
}

// Restores the metadata of a PostgreSQL backup into `database`. The
// dump's schema entry is left out when the schema exists there already
// (public, as a rule): its tables are made in it.
bool RestorePostgres(const std::string& dump, const std::string& dir, const std::string& database,
                     std::string* error) {
  std::string schema;
  const std::string list = dir + "/restore.list";
  {
    // The archive's table of contents, without the schema's own entry
    // when the target has the schema.
    std::string all;
    const std::string listing = dir + "/restore.list.all";
    if (!RunProgram({"pg_restore", "--list", "--file=" + listing, dump}, kProgramMinutes, error)) {
      unlink(listing.c_str());
      return false;
    }
    if (!ReadSmallFile(listing, kMaxListingBytes, &all, error)) {
      *error = "cannot read " + listing + ": " + *error;
      unlink(listing.c_str());
      return false;
    }
    unlink(listing.c_str());
    std::string kept;
    size_t at = 0;
    while (at < all.size()) {
      size_t end = all.find('\n', at);
      if (end == std::string::npos) end = all.size();
      const std::string line = all.substr(at, end - at);
      at = end + 1;
      const size_t entry = line.find(" SCHEMA - ");
      if (line.empty() || line[0] == ';' || entry == std::string::npos) {
        kept += line + "\n";
        continue;
      }
      // "<id>; <oid> <oid> SCHEMA - <name> <owner>"
      const std::string rest = line.substr(entry + 10);
      const std::string name = rest.substr(0, rest.find(' '));
      bool exists = false;
      if (!PostgresStorage::SchemaExists(database, name, &exists, error)) return false;
      if (!exists) kept += line + "\n";
    }
    if (!WriteWhole(list, kept, error)) return false;
  }
  const bool ok = RunProgram(
      {"pg_restore", "--dbname=" + ProgramAddress(database), "--no-owner", "--no-privileges",
       "--no-password", "--exit-on-error", "--single-transaction", "--use-list=" + list, dump},
      kProgramMinutes, error);
  unlink(list.c_str());
  return ok && WriteDatabaseAddress(dir, database, error);
}

// `counted`: the contents the backup's info says it holds, or nothing.
int RestoreInto(const std::string& from, const std::string& dir, const std::string& database,
                std::optional<size_t> counted, BackupReport* report, std::string* error) {
  const ContentStore source(from + "/" + kContentFolder);
  const ContentStore target(dir + "/" + kContentFolder);
  if (!ContentStore::Create(target.root(), error) ||
      !PlaceAllContents(source, target, report, error)) {
    return kStorageFailure;
  }
  // Fewer contents than the backup was made with: refused before any
  // metadata is restored, so that a database given for it stays empty.
  if (counted && report->contents < *counted) {
    *error = from + " holds " + std::to_string(report->contents) + " of the " +
             std::to_string(*counted) + " contents it was made with: the backup is not whole";
    return kStorageFailure;
  }
  if (report->postgres) {
    if (!RestorePostgres(from + "/" + kPostgresDumpFile, dir, database, error)) {
      return kStorageFailure;
    }
  } else {
    // Copied under a scratch name and linked to its own only when whole, as
    // a new repository's database is.
    const std::string scratch = dir + "/" + kDatabaseFile + ".new";
    const std::string final_path = dir + "/" + kDatabaseFile;
    if (!CopyPrivate(from + "/" + kDatabaseFile, scratch, error)) return kStorageFailure;
    if (link(scratch.c_str(), final_path.c_str()) != 0) {
      *error = ErrnoText("cannot name the database", final_path, errno);
      return kStorageFailure;
    }
    unlink(scratch.c_str());
  }
  if (!SyncFileSystem(dir, error)) return kStorageFailure;
  // The restored repository must open as one, and hold every content its
  // versions refer to: a backup that lost some in storage is no backup to
  // restore silently, whatever its count said.
  int result = kOk;
  std::unique_ptr<Storage> storage = OpenRepository(dir, nullptr, &result, error);
  if (!storage) return kStorageFailure;
  std::unordered_set<std::string> referenced;
  if (storage->ReferencedContents(&referenced) != kOk) {
    *error = "storage failure: " + storage->FailureText();
    return kStorageFailure;
  }
  size_t missing = 0;
  std::string first;
  for (const std::string& digest : referenced) {
    struct stat st;
    if (lstat(target.PathOf(digest).c_str(), &st) == 0 && S_ISREG(st.st_mode)) continue;
    if (missing++ == 0) first = digest;
  }
  if (missing > 0) {
    *error = from + " lacks " + std::to_string(missing) + " of the " +
             std::to_string(referenced.size()) + " contents its versions refer to (" + first +
             (missing > 1 ? ", ..." : "") + "): the backup is not whole";
    return kStorageFailure;
  }
  return kOk;
}

}  // namespace

int BackupRepository(const std::string& dir, Storage& storage, const std::string& to,
                     BackupReport* report, std::string* error) {
  *report = BackupReport();
  bool made = false;
  if (!TakeEmptyFolder(to, &made, error)) {
    *error = "cannot back up into " + to + ": " + *error;
    return kStorageFailure;
  }
  const int result = BackupInto(dir, storage, to, report, error);
  if (result != kOk) Undo(to, made);
  return result;
}

int RestoreRepository(const std::string& from, const std::string& dir, const std::string& database,
                      BackupReport* report, std::string* error) {
  *report = BackupReport();
  std::string info;
  std::string metadata;
  std::string unread;
  if (!ReadSmallFile(from + "/" + kBackupInfoFile, kMaxInfoBytes, &info, &unread) ||
      !InfoValue(info, "metadata", &metadata) ||
      (metadata != "sqlite" && metadata != "postgresql")) {
    *error = from + " is no complete backup (no " + kBackupInfoFile + ")";
    return kStorageFailure;
  }
  report->postgres = metadata == "postgresql";
  if (report->postgres && database.empty()) {
    *error =
        "the backup's metadata was kept in PostgreSQL: give --database postgresql://... "
        "for an empty database to restore it into";
    return kStorageFailure;
  }
  if (!report->postgres && !database.empty()) {
    *error = "the backup's metadata was kept in SQLite: --database does not apply";
    return kStorageFailure;
  }
  if (access((dir + "/" + kDatabaseFile).c_str(), F_OK) == 0 ||
      access((dir + "/" + kDatabaseAddressFile).c_str(), F_OK) == 0) {
    *error = dir + " already holds a repository: restore into a new folder";
    return kRepositoryExists;
  }
  bool made = false;
  if (!TakeEmptyFolder(dir, &made, error)) {
    *error = "cannot restore into " + dir + ": " + *error;
    return kStorageFailure;
  }
  std::string counted_text;
  int64_t counted = 0;
  const bool has_count = InfoValue(info, "contents", &counted_text) &&
                         ParseDecimal(counted_text, 0, INT64_MAX, &counted);
  const int result =
      RestoreInto(from, dir, database,
                  has_count ? std::optional<size_t>(static_cast<size_t>(counted)) : std::nullopt,
                  report, error);
  if (result != kOk) Undo(dir, made);
  return result;
}

}  // namespace tw::twserver
