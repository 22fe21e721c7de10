#include "servers/twserver/repository.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "servers/twserver/names.h"
#include "servers/twserver/sqlite_storage.h"
#include "crypto/crypto.h"

#include "servers/twserver/file_util.h"

namespace tw::twserver {

namespace {

// Key files larger than this are not ours.
constexpr size_t kMaxKeyFileBytes = 64 * 1024;
// Temporary contents older than this belong to no living writer.
constexpr int64_t kStaleTemporarySeconds = 24 * 60 * 60;


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


bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Generates the key pair and writes it, mode 0600, under its final name.
bool WriteServerKey(const std::string& dir, std::string* error) {
  std::string private_key;
  std::string public_key;
  if (!CRLDATcrypto::GenerateKeyPair(kServerKeyBits, &private_key, &public_key)) {
    *error = "cannot generate the server's key pair";
    return false;
  }
  std::string text = "private=" + private_key + "\npublic=" + public_key + "\n";
  CRLDATcrypto::Wipe(&private_key);
  const std::string path = dir + "/" + kServerKeyFile;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  if (!ok) *error = ErrnoText("cannot create", path, errno);
  if (ok && !(WriteAll(fd, text) && fsync(fd) == 0)) {
    *error = ErrnoText("cannot write", path, errno);
    ok = false;
  }
  CRLDATcrypto::Wipe(&text);
  if (fd >= 0 && close(fd) != 0 && ok) {
    *error = ErrnoText("cannot close", path, errno);
    ok = false;
  }
  return ok;
}

bool CreateInside(const std::string& dir, const RepositorySettings& settings, std::string* error) {
  if (!ContentStore::Create(dir + "/" + kContentFolder, error)) return false;
  if (!WriteServerKey(dir, error)) return false;
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
    for (const char* name : {kContentFolder, kServerKeyFile}) {
      std::filesystem::remove_all(dir + "/" + name, ec);
    }
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

bool ReadServerKey(const std::string& dir, std::string* private_key, std::string* public_key,
                   std::string* error) {
  const std::string path = dir + "/" + kServerKeyFile;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText("cannot open", path, errno);
    return false;
  }
  std::string text;
  char buffer[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = ErrnoText("cannot read", path, errno);
      ok = false;
      break;
    }
    if (n == 0) break;
    if (text.size() + static_cast<size_t>(n) > kMaxKeyFileBytes) {
      *error = path + " is too large to be a key file";
      ok = false;
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  std::memset(buffer, 0, sizeof buffer);
  std::string priv;
  std::string pub;
  size_t start = 0;
  while (ok && start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + start, end - start);
    if (line.rfind("private=", 0) == 0) priv.assign(line.substr(8));
    if (line.rfind("public=", 0) == 0) pub.assign(line.substr(7));
    start = end + 1;
  }
  CRLDATcrypto::Wipe(&text);
  if (ok && (priv.empty() || pub.empty())) {
    *error = path + " does not hold a key pair";
    ok = false;
  }
  if (!ok) {
    CRLDATcrypto::Wipe(&priv);
    return false;
  }
  *private_key = std::move(priv);
  *public_key = std::move(pub);
  return true;
}

}  // namespace tw::twserver
