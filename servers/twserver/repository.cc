#include "servers/twserver/repository.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "servers/twserver/content_gc.h"
#include "servers/twserver/file_util.h"
#include "servers/twserver/names.h"
#include "servers/twserver/postgres_storage.h"
#include "servers/twserver/sqlite_storage.h"

namespace tw::twserver {

namespace {

bool IsEmptyFolder(const std::string& path, bool* empty) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  *empty = true;
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      *empty = false;
      break;
    }
  }
  closedir(dir);
  return true;
}

}  // namespace

bool WriteDatabaseAddress(const std::string& dir, const std::string& database, std::string* error) {
  const std::string scratch = dir + "/" + kDatabaseAddressFile + ".new";
  const std::string final_path = dir + "/" + kDatabaseAddressFile;
  unlink(scratch.c_str());
  const int fd = open(scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = ErrnoText("cannot create", scratch, errno);
    return false;
  }
  const std::string text = database + "\n";
  const bool written =
      write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
  const int saved = errno;
  close(fd);
  if (!written) {
    *error = ErrnoText("cannot write", scratch, saved);
    unlink(scratch.c_str());
    return false;
  }
  if (link(scratch.c_str(), final_path.c_str()) != 0) {
    *error = errno == EEXIST ? dir + " already holds a repository"
                             : ErrnoText("cannot name the database address", final_path, errno);
    unlink(scratch.c_str());
    return false;
  }
  unlink(scratch.c_str());
  return SyncFolder(dir, error);
}

bool ReadDatabaseAddress(const std::string& dir, std::string* database) {
  const std::string path = dir + "/" + kDatabaseAddressFile;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = read(fd, buffer, sizeof buffer)) > 0 && text.size() < 65536) {
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  *database = text;
  return true;
}

namespace {

bool CreateInside(const std::string& dir, const RepositorySettings& settings,
                  const std::string& database, std::string* error) {
  if (!ContentStore::Create(dir + "/" + kContentFolder, error)) return false;
  if (!database.empty()) {
    return PostgresStorage::CreateDatabase(database, settings, error) &&
           WriteDatabaseAddress(dir, database, error);
  }
  // The database is made under a scratch name and linked to its own only
  // when complete: link refuses to replace a database made meanwhile.
  const std::string scratch = dir + "/" + kDatabaseFile + ".new";
  const std::string final_path = dir + "/" + kDatabaseFile;
  if (!SqliteStorage::CreateDatabase(scratch, settings, error)) return false;
  if (link(scratch.c_str(), final_path.c_str()) != 0) {
    *error = errno == EEXIST ? dir + " already holds a repository"
                             : ErrnoText("cannot name the database", final_path, errno);
    return false;
  }
  unlink(scratch.c_str());
  return SyncFolder(dir, error);
}

}  // namespace

int CreateRepository(const std::string& dir, const RepositorySettings& settings, std::string* error,
                     const std::string& database) {
  RepositorySettings check;
  if (!ApplySetting("root-name", settings.root_name, &check) ||
      !ApplySetting("selector", std::to_string(settings.selector), &check) ||
      !ApplySetting("compression", std::to_string(settings.compression), &check) ||
      !ApplySetting("lock-policy", std::to_string(settings.lock_policy), &check)) {
    *error = "invalid repository settings";
    return kInvalidValue;
  }
  if (!database.empty() && !PostgresStorage::CheckConnectionText(database, error)) {
    return kInvalidValue;
  }
  if (dir.empty()) {
    *error = "no repository folder given";
    return kStorageFailure;
  }
  bool made = false;
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      *error = dir + " exists and is not a folder";
      return kStorageFailure;
    }
    if (access((dir + "/" + kDatabaseFile).c_str(), F_OK) == 0 ||
        access((dir + "/" + kDatabaseAddressFile).c_str(), F_OK) == 0) {
      *error = dir + " already holds a repository";
      return kRepositoryExists;
    }
    bool empty = false;
    if (!IsEmptyFolder(dir, &empty)) {
      *error = ErrnoText("cannot read folder", dir, errno);
      return kStorageFailure;
    }
    if (!empty) {
      *error = dir + " is not empty";
      return kStorageFailure;
    }
  } else if (mkdir(dir.c_str(), 0700) == 0) {
    made = true;
  } else {
    *error = ErrnoText("cannot make folder", dir, errno);
    return kStorageFailure;
  }
  // mkdir's mode passed through the umask, and an existing folder had its own.
  if (chmod(dir.c_str(), 0700) != 0) {
    *error = ErrnoText("cannot set the mode of", dir, errno);
  } else if (CreateInside(dir, settings, database, error)) {
    return kOk;
  }
  std::error_code ec;
  if (made) {
    std::filesystem::remove_all(dir, ec);
  } else {
    std::filesystem::remove_all(dir + "/" + kContentFolder, ec);
    for (const char* suffix : {".new", ".new-wal", ".new-shm"}) {
      std::filesystem::remove(dir + "/" + kDatabaseFile + suffix, ec);
    }
    std::filesystem::remove(dir + "/" + kDatabaseAddressFile + ".new", ec);
  }
  return kStorageFailure;
}

RepositoryHold::~RepositoryHold() {
  if (fd_ >= 0) close(fd_);
}

int RepositoryHold::Share(const std::string& dir, std::string* error) {
  if (fd_ >= 0 || access((dir + "/" + kDatabaseAddressFile).c_str(), F_OK) == 0 ||
      access((dir + "/" + kDatabaseFile).c_str(), F_OK) != 0) {
    return kOk;
  }
  // A reader without the right to make the file goes on unheld: it cannot
  // write what a migration would lose. Any other failure is one.
  const std::string path = dir + "/" + kHoldFile;
  const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0 && errno == EACCES) {
    *error = "may not make " + path + ": going on without holding the repository";
    return kOk;
  }
  if (fd < 0) {
    *error = ErrnoText("cannot open", path, errno);
    return kStorageFailure;
  }
  if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
    close(fd);
    *error = dir + " is being moved to PostgreSQL; try again when the migration has ended";
    return kStorageFailure;
  }
  fd_ = fd;
  return kOk;
}

int RepositoryHold::Take(const std::string& dir, std::string* error) {
  const std::string path = dir + "/" + kHoldFile;
  const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *error = ErrnoText("cannot open", path, errno);
    return kStorageFailure;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    *error = dir + " is in use by another TWServer command (a serve among them?): " +
             "stop it before migrating, so that nothing it writes is lost";
    return kStorageFailure;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  return kOk;
}

std::unique_ptr<Storage> OpenRepository(const std::string& dir, Clock clock, int* result,
                                        std::string* error) {
  const std::string db = dir + "/" + kDatabaseFile;
  // The address wins: a migration writes it before it moves the SQLite
  // database aside.
  std::string database;
  if (ReadDatabaseAddress(dir, &database)) {
    if (!PostgresStorage::CheckConnectionText(database, error)) {
      *result = kStorageFailure;
      *error = dir + "/" + kDatabaseAddressFile + ": " + *error;
      return nullptr;
    }
    ContentStore contents(dir + "/" + kContentFolder);
    if (!contents.CheckTempFolder(error)) {
      *result = kStorageFailure;
      return nullptr;
    }
    contents.RemoveStaleTemporaries(kStaleTemporarySeconds);
    std::unique_ptr<Storage> storage =
        PostgresStorage::Open(database, std::move(contents), std::move(clock), error);
    *result = storage ? kOk : kStorageFailure;
    return storage;
  }
  struct stat st;
  if (stat(db.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *result = kNotRepository;
    *error = dir + " is not a repository (no " + kDatabaseFile + ")";
    return nullptr;
  }
  ContentStore contents(dir + "/" + kContentFolder);
  if (!contents.CheckTempFolder(error)) {
    *result = kStorageFailure;
    return nullptr;
  }
  contents.RemoveStaleTemporaries(kStaleTemporarySeconds);
  std::unique_ptr<Storage> storage =
      SqliteStorage::Open(db, std::move(contents), std::move(clock), error);
  *result = storage ? kOk : kStorageFailure;
  return storage;
}

int MigrateRepository(const std::string& dir, const std::string& database, std::string* error) {
  if (!PostgresStorage::CheckConnectionText(database, error)) return kInvalidValue;
  const std::string db = dir + "/" + kDatabaseFile;
  struct stat st;
  if (access((dir + "/" + kDatabaseAddressFile).c_str(), F_OK) == 0) {
    *error = dir + " is already kept in PostgreSQL";
    return kStorageFailure;
  }
  if (stat(db.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = dir + " is not a repository (no " + kDatabaseFile + ")";
    return kNotRepository;
  }
  // Held until the switch is done: a server started meanwhile waits for no
  // copy, it is refused.
  RepositoryHold hold;
  if (hold.Take(dir, error) != kOk) return kStorageFailure;
  {
    // Opening checks that the file is a repository database of ours.
    std::unique_ptr<Storage> check =
        SqliteStorage::Open(db, ContentStore(dir + "/" + kContentFolder), nullptr, error);
    if (!check) return kStorageFailure;
  }
  if (!PostgresStorage::ImportSqlite(db, database, error)) return kStorageFailure;
  if (!WriteDatabaseAddress(dir, database, error)) return kStorageFailure;
  const std::string aside = dir + "/" + kMigratedDatabaseFile;
  if (rename(db.c_str(), aside.c_str()) != 0) {
    // The address is in place and wins; the old database only lies beside it.
    *error = ErrnoText("switched over, but cannot rename", db, errno);
    return kOk;
  }
  for (const char* suffix : {"-wal", "-shm"}) {
    const std::string from = db + suffix;
    if (access(from.c_str(), F_OK) == 0) rename(from.c_str(), (aside + suffix).c_str());
  }
  SyncFolder(dir, error);
  error->clear();
  return kOk;
}

}  // namespace tw::twserver
