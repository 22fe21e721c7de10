#include "servers/twserver/content_store.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>
#include <vector>

#include "crypto/crypto.h"
#include "messaging/stream_format.h"
#include "platform/hex.h"
#include "servers/twserver/file_util.h"

namespace tw::twserver {

namespace {

constexpr size_t kReadBlockBytes = size_t{1} << 20;

// How long ago a file was last changed, in whole seconds, 0 for a time
// ahead of `now`: the file system stamps times from a finer clock than
// time() reads, so a file written a moment ago may show the next second
// for a few milliseconds. Counted as negative, such a content dropped out
// of every listing (and every collection with no grace) for that moment.
int64_t AgeSeconds(time_t now, time_t changed) {
  return std::max<int64_t>(0, static_cast<int64_t>(now) - static_cast<int64_t>(changed));
}

// True when `path` is a folder itself, not a link to one.
bool IsOwnFolder(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Makes `path` a folder of mode 0700 unless it exists as one, a link to a
// folder included: contents reach a content folder ("<ab>") by renaming,
// so one linked elsewhere on the same file system takes them as before.
// The temporary folder must be the store's own (see CheckTempFolder).
bool MakeFolder(const std::string& path, bool* made, std::string* error) {
  if (made != nullptr) *made = false;
  if (mkdir(path.c_str(), 0700) == 0) {
    if (made != nullptr) *made = true;
    return true;
  }
  struct stat st;
  if (errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  *error = ErrnoText("cannot make folder", path, errno);
  return false;
}

std::string RandomHex() {
  unsigned char bytes[8];
  if (CRLDATcrypto::RandomBytes(bytes, sizeof bytes) != 0) return std::string();
  return HexText(bytes, sizeof bytes, HexCase::kLower);
}

std::string RandomName() {
  const std::string hex = RandomHex();
  return hex.empty() ? hex : hex + ".part";
}

constexpr char kUploadPrefix[] = "uploads-";
constexpr char kNewUploadPrefix[] = ".uploads-";
constexpr char kNewUploadSuffix[] = ".new";
constexpr char kUploadLock[] = "owner.lock";

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Removes the folder `path` and everything below it, never following a
// symbolic link out of it. Returns how many files (not folders) went.
int RemoveTree(const std::string& path) {
  namespace fs = std::filesystem;
  int files = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_directory(ec) || it->is_symlink(ec)) ++files;
  }
  fs::remove_all(path, ec);
  return files;
}

// Moves the finished file `from` to the content's name, making its folder
// first; syncs what a durable store needs.
bool PlaceContent(const ContentStore& store, const std::string& from, const std::string& hex,
                  std::string* error) {
  const std::string folder = store.root() + "/" + hex.substr(0, 2);
  bool made = false;
  if (!MakeFolder(folder, &made, error)) return false;
  if (made && store.durable() && !SyncFolder(store.root(), error)) return false;
  const std::string target = store.PathOf(hex);
  // Identical bytes may already be stored: the rename then replaces a file
  // by its twin, which every reader sees as the same content.
  if (rename(from.c_str(), target.c_str()) != 0) {
    *error = ErrnoText("cannot rename to", target, errno);
    return false;
  }
  return !store.durable() || SyncFolder(folder, error);
}

}  // namespace

ContentWriter::ContentWriter(const ContentStore* store, int fd, std::string temp_path)
    : store_(store),
      fd_(fd),
      temp_path_(std::move(temp_path)),
      hash_(std::make_unique<Sha256Stream>()) {}

ContentWriter::~ContentWriter() {
  Abort();
}

bool ContentWriter::Fail(const std::string& what) {
  error_ = what;
  Abort();
  return false;
}

void ContentWriter::Abort() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  if (!temp_path_.empty()) {
    unlink(temp_path_.c_str());
    temp_path_.clear();
  }
}

bool ContentWriter::Write(const void* bytes, size_t count) {
  if (fd_ < 0) {
    if (error_.empty()) error_ = "the content is already finished or aborted";
    return false;
  }
  if (count == 0) return true;
  if (bytes == nullptr) return Fail("no bytes to write");
  hash_->Update(bytes, count);
  const char* p = static_cast<const char*>(bytes);
  size_t left = count;
  while (left > 0) {
    const ssize_t n = write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(ErrnoText("cannot write", temp_path_, errno));
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  size_ += count;
  return true;
}

bool ContentWriter::Finish(ContentRef* ref) {
  if (fd_ < 0) {
    if (error_.empty()) error_ = "the content is already finished or aborted";
    return false;
  }
  if (store_->durable() && fsync(fd_) != 0)
    return Fail(ErrnoText("cannot sync", temp_path_, errno));
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) return Fail(ErrnoText("cannot close", temp_path_, errno));

  std::string hex = hash_->FinalLowerHex();
  std::string error;
  const bool placed = PlaceContent(*store_, temp_path_, hex, &error);
  if (!placed && access(temp_path_.c_str(), F_OK) == 0) return Fail(error);
  temp_path_.clear();
  if (!placed) {
    error_ = error;  // renamed, but its folder could not be synced
    return false;
  }
  ref->sha256 = std::move(hex);
  ref->size = size_;
  return true;
}

bool ContentStore::Create(const std::string& root, std::string* error) {
  return MakeFolder(root, nullptr, error) && MakeFolder(root + "/tmp", nullptr, error);
}

bool ContentStore::IsDigest(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::unique_ptr<ContentWriter> ContentStore::NewWriter(std::string* error) const {
  if (!CheckTempFolder(error)) return nullptr;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::string name = RandomName();
    if (name.empty()) {
      *error = "no random bytes for a temporary name";
      return nullptr;
    }
    std::string path = TempFolder() + "/" + name;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      return std::unique_ptr<ContentWriter>(new ContentWriter(this, fd, std::move(path)));
    }
    if (errno != EEXIST) {
      *error = ErrnoText("cannot create", path, errno);
      return nullptr;
    }
  }
  *error = "no free temporary name in " + TempFolder();
  return nullptr;
}

bool ContentStore::Put(std::string_view bytes, ContentRef* ref, std::string* error) const {
  std::unique_ptr<ContentWriter> writer = NewWriter(error);
  if (!writer) return false;
  if (!writer->Write(bytes) || !writer->Finish(ref)) {
    *error = writer->error();
    return false;
  }
  return true;
}

namespace {

// Reads the file at `path` through: its digest and size in `found`. `block`
// is grown to the largest file read, at most kReadBlockBytes: small files
// (the usual) cost no large buffer. Stops early, as a failure, when `stop`
// (may be null) turns true.
bool ReadThrough(const std::string& path, std::vector<char>* block, const std::atomic<bool>* stop,
                 ContentRef* found, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    *error = ErrnoText("cannot open", path, errno);
    return false;
  }
  struct stat st;
  const size_t want = fstat(fd, &st) == 0 && st.st_size >= 0
                          ? static_cast<size_t>(std::min<off_t>(st.st_size + 1, kReadBlockBytes))
                          : kReadBlockBytes;
  if (block->size() < want) block->resize(want);
  Sha256Stream hash;
  uint64_t size = 0;
  for (;;) {
    if (stop != nullptr && stop->load()) {
      close(fd);
      *error = "stopped while reading " + path;
      return false;
    }
    const ssize_t n = read(fd, block->data(), block->size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = ErrnoText("cannot read", path, errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    hash.Update(block->data(), static_cast<size_t>(n));
    size += static_cast<uint64_t>(n);
  }
  close(fd);
  *found = ContentRef{hash.FinalLowerHex(), size};
  return true;
}

}  // namespace

bool ContentStore::AdoptAll(const std::vector<std::string>& paths, std::vector<ContentRef>* refs,
                            std::string* error, const std::atomic<bool>* stop,
                            const std::vector<std::string>* known,
                            const std::vector<std::string>* members) const {
  // Up to this many files are synced one by one; more with one sync of the
  // whole file system, which costs the same for thirty thousand.
  constexpr size_t kSyncOneByOne = 16;
  std::vector<ContentRef> found(paths.size());
  // Grown to the largest file read, at most kReadBlockBytes: small files
  // (the usual) cost no large buffer.
  std::vector<char> block;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (known != nullptr && i < known->size() && !(*known)[i].empty()) {
      // Made of the very bytes written, as they came: not read again.
      struct stat st;
      const int missing = lstat(paths[i].c_str(), &st) != 0 ? errno
                          : S_ISREG(st.st_mode)             ? 0
                                                            : EINVAL;
      if (missing != 0) {
        *error = ErrnoText("cannot find", paths[i], missing);
        return false;
      }
      if (!IsDigest((*known)[i])) {
        *error = "not a digest for " + paths[i] + ": " + (*known)[i];
        return false;
      }
      found[i] = ContentRef{(*known)[i], static_cast<uint64_t>(st.st_size)};
    } else if (!ReadThrough(paths[i], &block, stop, &found[i], error)) {
      return false;
    }
  }
  // A content stored before only gets a fresh time: collection leaves young
  // contents alone, and this one is about to be referred to. Should
  // collection have taken it just now, the touch fails and the file here
  // takes its place. Every other file gets a fresh time too, however long
  // ago its bytes arrived.
  std::vector<size_t> placing;
  std::set<std::string> placed;  // digests that one of these files brings
  std::vector<bool> kept(paths.size(), false);
  for (size_t i = 0; i < paths.size(); ++i) {
    if (placed.count(found[i].sha256) != 0 ||
        (Contains(found[i]) &&
         utimensat(AT_FDCWD, PathOf(found[i].sha256).c_str(), nullptr, 0) == 0)) {
      kept[i] = true;
      continue;
    }
    placed.insert(found[i].sha256);
    if (utimensat(AT_FDCWD, paths[i].c_str(), nullptr, AT_SYMLINK_NOFOLLOW) != 0) {
      *error = ErrnoText("cannot touch", paths[i], errno);
      return false;
    }
    placing.push_back(i);
  }
  // The bytes reach the disk before any of them its name.
  if (durable_ && !placing.empty()) {
    if (placing.size() > kSyncOneByOne) {
      if (!SyncFileSystem(root_, error)) return false;
    } else {
      for (size_t i : placing) {
        const int fd = open(paths[i].c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        const bool synced = fd >= 0 && fsync(fd) == 0;
        if (fd >= 0) close(fd);
        if (!synced) {
          *error = ErrnoText("cannot sync", paths[i], errno);
          return false;
        }
      }
    }
  }
  std::set<std::string> folders;
  for (size_t i : placing) {
    const std::string& hex = found[i].sha256;
    const std::string folder = root_ + "/" + hex.substr(0, 2);
    bool made = false;
    if (!MakeFolder(folder, &made, error)) return false;
    if (made) folders.insert(root_);
    // Identical bytes may be stored meanwhile: the rename then replaces a
    // file by its twin, which every reader sees as the same content.
    const std::string target = PathOf(hex);
    if (rename(paths[i].c_str(), target.c_str()) != 0) {
      *error = ErrnoText("cannot rename to", target, errno);
      return false;
    }
    folders.insert(folder);
  }
  if (durable_ && !folders.empty()) {
    if (folders.size() > kSyncOneByOne) {
      if (!SyncFileSystem(root_, error)) return false;
    } else {
      for (const std::string& folder : folders) {
        if (!SyncFolder(folder, error)) return false;
      }
    }
  }
  for (size_t i = 0; i < paths.size(); ++i) {
    if (kept[i]) unlink(paths[i].c_str());
  }
  for (size_t i = 0; members != nullptr && i < members->size() && i < paths.size(); ++i) {
    const std::string& from = (*members)[i];
    if (from.empty()) continue;
    // Any members describe the bytes; the shortest stay, so that whoever
    // uploads a content first cannot pin members that barely compress.
    // Either way a reader sees a whole file: a link, or a rename over it.
    const std::string to = MembersOf(found[i].sha256);
    struct stat now, was;
    if (link(from.c_str(), to.c_str()) != 0 && errno == EEXIST && lstat(from.c_str(), &now) == 0 &&
        lstat(to.c_str(), &was) == 0 && S_ISREG(was.st_mode) && now.st_size < was.st_size &&
        rename(from.c_str(), to.c_str()) == 0) {
      continue;
    }
    unlink(from.c_str());
  }
  *refs = std::move(found);
  return true;
}

std::vector<std::string> ContentStore::ListOlderThan(int64_t min_age_seconds) const {
  std::vector<std::string> digests;
  DIR* top = opendir(root_.c_str());
  if (top == nullptr) return digests;
  std::vector<std::string> folders;
  while (const dirent* entry = readdir(top)) {
    const std::string name = entry->d_name;
    if (name.size() == 2 && IsDigest(name + std::string(62, '0'))) folders.push_back(name);
  }
  closedir(top);
  const time_t now = time(nullptr);
  for (const std::string& folder : folders) {
    const std::string path = root_ + "/" + folder;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) continue;
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (!IsDigest(name) || name.compare(0, 2, folder) != 0) continue;
      struct stat st;
      if (lstat((path + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          AgeSeconds(now, st.st_mtime) >= min_age_seconds) {
        digests.push_back(name);
      }
    }
    closedir(dir);
  }
  return digests;
}

int64_t ContentStore::RemoveIfOlder(const std::string& sha256, int64_t min_age_seconds) const {
  const std::string path = PathOf(sha256);
  const std::string hex = RandomHex();
  if (path.empty() || hex.empty()) return -1;
  const std::string aside = TempFolder() + "/" + sha256 + "." + hex + ".gc";
  // The members go first: a content without them is merely compressed on
  // a get, while members left without their content would never be
  // collected. Should the content turn out too young, it only loses them.
  struct stat before;
  if (lstat(path.c_str(), &before) != 0 ||
      AgeSeconds(time(nullptr), before.st_mtime) < min_age_seconds) {
    return -1;
  }
  if (!IsOwnFolder(TempFolder())) return -1;  // the content is not moved behind a link
  unlink(MembersOf(sha256).c_str());
  if (rename(path.c_str(), aside.c_str()) != 0) return -1;
  struct stat st;
  if (lstat(aside.c_str(), &st) != 0) return -1;
  if (AgeSeconds(time(nullptr), st.st_mtime) < min_age_seconds) {
    // A writer put a fresh copy in place just now: it goes back (over a
    // twin that may have come meanwhile, which holds the same bytes).
    rename(aside.c_str(), path.c_str());
    return -1;
  }
  return unlink(aside.c_str()) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

std::string ContentStore::PathOf(const std::string& sha256) const {
  if (!IsDigest(sha256)) return std::string();
  return root_ + "/" + sha256.substr(0, 2) + "/" + sha256;
}

std::string ContentStore::MembersOf(const std::string& sha256) const {
  const std::string path = PathOf(sha256);
  return path.empty() ? path : path + kMembersSuffix;
}

std::string ContentStore::MembersForPath(const std::string& path) const {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  const std::string digest = path.substr(slash + 1);
  return IsDigest(digest) && PathOf(digest) == path ? MembersOf(digest) : std::string();
}

bool ContentStore::Contains(const ContentRef& ref) const {
  const std::string path = PathOf(ref.sha256);
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         static_cast<uint64_t>(st.st_size) == ref.size;
}

bool ContentStore::Check(const ContentRef& ref, std::string* problem) const {
  const std::string path = PathOf(ref.sha256);
  if (path.empty()) {
    *problem = "not a digest";
    return false;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    *problem = errno == ENOENT ? "missing" : ErrnoText("cannot read", path, errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *problem = "not a plain file";
    return false;
  }
  std::vector<char> block;
  ContentRef found;
  if (!ReadThrough(path, &block, nullptr, &found, problem)) return false;
  if (found.size != ref.size) {
    *problem = std::to_string(found.size) + " bytes instead of " + std::to_string(ref.size);
    return false;
  }
  if (found.sha256 != ref.sha256) {
    *problem = "its bytes have the digest " + found.sha256;
    return false;
  }
  return true;
}

bool ContentStore::CheckTempFolder(std::string* error) const {
  const std::string folder = TempFolder();
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0 && errno == ENOENT) {
    // Removed by hand: it holds nothing of worth, and is made again.
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = ErrnoText("cannot make folder", folder, errno);
      return false;
    }
  }
  if (IsOwnFolder(folder)) return true;
  *error = folder +
           " is not a folder of its own (a link?): the content store writes and removes its "
           "temporary files there, and must not do so elsewhere; make it a plain folder";
  return false;
}

int ContentStore::RemoveStaleTemporaries(int64_t age_seconds) const {
  const std::string folder = TempFolder();
  if (!IsOwnFolder(folder)) return 0;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return 0;
  std::vector<std::string> stale;
  std::vector<std::string> unfinished;
  const time_t now = time(nullptr);
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || AgeSeconds(now, st.st_mtime) <= age_seconds) continue;
    if (S_ISREG(st.st_mode)) {
      stale.push_back(path);
    } else if (S_ISDIR(st.st_mode) && StartsWith(name, kNewUploadPrefix)) {
      unfinished.push_back(path);
    }
  }
  closedir(dir);
  int removed = 0;
  for (const auto& path : stale) {
    if (unlink(path.c_str()) == 0) ++removed;
  }
  for (const auto& path : unfinished) removed += RemoveTree(path);
  return removed;
}

UploadFolder::~UploadFolder() {
  if (path_.empty()) return;
  // Still locked: nobody else removes it meanwhile.
  RemoveTree(path_);
  if (lock_fd_ >= 0) close(lock_fd_);
}

bool ContentStore::OpenUploadFolder(UploadFolder* folder, std::string* error) const {
  if (!CheckTempFolder(error)) return false;
  const std::string hex = RandomHex();
  if (hex.empty()) {
    *error = "no random bytes for an upload folder's name";
    return false;
  }
  // Made under a name collection leaves alone while it is young, locked,
  // and only then given the name by which collection judges it.
  const std::string making = TempFolder() + "/" + kNewUploadPrefix + hex + kNewUploadSuffix;
  const std::string path = TempFolder() + "/" + kUploadPrefix + hex;
  if (mkdir(making.c_str(), 0700) != 0) {
    *error = ErrnoText("cannot make folder", making, errno);
    return false;
  }
  const std::string lock = making + "/" + kUploadLock;
  const int fd = open(lock.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = ErrnoText("cannot lock", lock, errno);
    if (fd >= 0) close(fd);
    RemoveTree(making);
    return false;
  }
  if (rename(making.c_str(), path.c_str()) != 0) {
    *error = ErrnoText("cannot rename to", path, errno);
    close(fd);
    RemoveTree(making);
    return false;
  }
  folder->path_ = path;
  folder->lock_fd_ = fd;
  return true;
}

int ContentStore::RemoveAbandonedUploads() const {
  const std::string folder = TempFolder();
  if (!IsOwnFolder(folder)) return 0;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return 0;
  std::vector<std::string> candidates;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (StartsWith(name, kUploadPrefix)) candidates.push_back(folder + "/" + name);
  }
  closedir(dir);
  int removed = 0;
  for (const std::string& path : candidates) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    const std::string lock = path + "/" + kUploadLock;
    const int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    // A folder in place always has its lock file: one without has lost it
    // to a removal that was cut short, and nobody owns it.
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      continue;  // its owner lives
    }
    // Held by us now (or ownerless): the owner is gone, and no other
    // collector removes it at the same time. The lock file is no upload.
    removed += std::max(0, RemoveTree(path) - (fd >= 0 ? 1 : 0));
    if (fd >= 0) close(fd);
  }
  return removed;
}

}  // namespace tw::twserver
