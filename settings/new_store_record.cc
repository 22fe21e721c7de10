// Records of store files that a property client has just made.
#include "settings/new_store_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "platform/file_replace.h"
#include "platform/runtime_dir.h"

namespace tw {

namespace {

constexpr char kNewStoreFolder[] = "new-stores";

std::string RecordName(const struct stat& st) {
  return std::to_string(static_cast<unsigned long long>(st.st_dev)) + "-" +
         std::to_string(static_cast<unsigned long long>(st.st_ino));
}

std::string ChangeTime(const struct stat& st) {
  return std::to_string(static_cast<long long>(st.st_ctim.tv_sec)) + "." +
         std::to_string(static_cast<long>(st.st_ctim.tv_nsec));
}

}  // namespace

bool RecordNewStoreFile(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::string folder, error;
  if (!RuntimeSubdirectory(kNewStoreFolder, true, &folder, &error)) return false;
  // Whole or not at all: the server never reads half a record.
  return ReplaceFileWhole(folder + "/" + RecordName(st), ChangeTime(st), 0600, nullptr) == 0;
}

bool HasNewStoreRecord(const std::string& runtime_dir, int fd) {
  struct stat st;
  if (runtime_dir.empty() || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const std::string record = runtime_dir + "/" + kNewStoreFolder + "/" + RecordName(st);
  const int record_fd = ::open(record.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (record_fd < 0) return false;
  char text[64];
  struct stat record_st;
  ssize_t got = -1;
  if (::fstat(record_fd, &record_st) == 0 && S_ISREG(record_st.st_mode)) {
    got = ::read(record_fd, text, sizeof text);
  }
  ::close(record_fd);
  const bool same = got > 0 && std::string(text, static_cast<size_t>(got)) == ChangeTime(st);
  if (!same) ::unlink(record.c_str());
  return same;
}

void DropNewStoreRecord(const std::string& runtime_dir, int fd) {
  struct stat st;
  if (runtime_dir.empty() || ::fstat(fd, &st) != 0) return;
  ::unlink((runtime_dir + "/" + kNewStoreFolder + "/" + RecordName(st)).c_str());
}

void SweepNewStoreRecords(const std::string& runtime_dir, long max_age_s) {
  const std::string folder = runtime_dir + "/" + kNewStoreFolder;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  const time_t now = ::time(nullptr);
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    struct stat st;
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (now - st.st_mtime > max_age_s) ::unlinkat(::dirfd(dir), entry->d_name, 0);
  }
  ::closedir(dir);
}

}  // namespace tw
