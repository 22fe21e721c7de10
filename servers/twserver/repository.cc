#include "servers/twserver/repository.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "servers/twserver/content_gc.h"
#include "servers/twserver/file_util.h"
#include "servers/twserver/names.h"
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

bool CreateInside(const std::string& dir, const RepositorySettings& settings, std::string* error) {
  if (!ContentStore::Create(dir + "/" + kContentFolder, error)) return false;
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

int CreateRepository(const std::string& dir, const RepositorySettings& settings,
                     std::string* error) {
  RepositorySettings check;
  if (!ApplySetting("root-name", settings.root_name, &check) ||
      !ApplySetting("selector", std::to_string(settings.selector), &check) ||
      !ApplySetting("compression", std::to_string(settings.compression), &check) ||
      !ApplySetting("lock-policy", std::to_string(settings.lock_policy), &check)) {
    *error = "invalid repository settings";
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
    if (access((dir + "/" + kDatabaseFile).c_str(), F_OK) == 0) {
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
  } else if (CreateInside(dir, settings, error)) {
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
  }
  return kStorageFailure;
}

std::unique_ptr<Storage> OpenRepository(const std::string& dir, Clock clock, int* result,
                                        std::string* error) {
  const std::string db = dir + "/" + kDatabaseFile;
  struct stat st;
  if (stat(db.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *result = kNotRepository;
    *error = dir + " is not a repository (no " + kDatabaseFile + ")";
    return nullptr;
  }
  ContentStore contents(dir + "/" + kContentFolder);
  contents.RemoveStaleTemporaries(kStaleTemporarySeconds);
  std::unique_ptr<Storage> storage =
      SqliteStorage::Open(db, std::move(contents), std::move(clock), error);
  *result = storage ? kOk : kStorageFailure;
  return storage;
}

}  // namespace tw::twserver
