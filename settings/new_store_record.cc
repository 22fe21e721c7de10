// Records of store files that a property client has just made.
#include "settings/new_store_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

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
  const std::string record = folder + "/" + RecordName(st);
  const std::string temporary = record + ".new";
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  const std::string text = ChangeTime(st);
  const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
  ::close(fd);
  // Whole or not at all: the server never reads half a record.
  if (!written || ::rename(temporary.c_str(), record.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
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
