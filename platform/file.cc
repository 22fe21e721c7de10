// The local file object: a POSIX descriptor behind the FileObject interface.
// Descriptors are close-on-exec; new files get 0666 narrowed by the umask.
// Not thread-safe: one owner at a time. The only thread of its own is the
// flush that StartWriteback starts, which Close and Open wait for.
#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace tw {
namespace {

static_assert(sizeof(off_t) == 8, "file offsets must be 64-bit");

class LocalFile final : public FileObject {
 public:
  LocalFile() = default;
  ~LocalFile() override { Close(); }
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;

  bool Open(const std::string& path, uint32_t access, uint32_t share_mode, uint32_t disposition,
            uint32_t flags) override;
  bool Read(void* buffer, uint32_t count, uint32_t* read_count) override;
  bool Write(const void* buffer, uint32_t count, uint32_t* written_count) override;
  int ReadByte() override;
  int WriteByte(int value) override;
  int64_t Seek(int64_t offset, uint32_t origin) override;
  int64_t Tell() override { return Seek(0, kCurrent); }
  int64_t Size() override;
  bool SetModifiedTime(const DateTime& time) override;
  bool IsEndOfFile() const override { return end_of_file_; }
  void Close() override;
  void StartWriteback() override;
  bool WritebackFailed() const override { return flush_failed_.load(); }

 private:
  void WaitForFlush();

  int fd_ = -1;
  bool end_of_file_ = false;
  std::thread flush_;
  std::atomic<bool> flushing_{false};
  std::atomic<bool> flush_failed_{false};
};

// The open(2) flags of an access mask and a disposition, or -1. A truncating
// disposition needs write access, as it does on Windows.
int OpenFlags(uint32_t access, uint32_t disposition) {
  const bool read = (access & FileObject::kRead) != 0;
  const bool write = (access & FileObject::kWrite) != 0;
  // O_NONBLOCK: opening a pipe must not wait for its other end; it is
  // refused once open, and cleared for a regular file.
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY);
  if (write && (access & FileObject::kAppend) != 0) flags |= O_APPEND;
  switch (disposition) {
    case FileObject::kCreateNew:
    case FileObject::kCreateNewPrivate:
      return flags | O_CREAT | O_EXCL | O_NOFOLLOW;
    case FileObject::kCreateAlways:
      return write ? flags | O_CREAT | O_TRUNC : -1;
    case FileObject::kOpenExisting:
      return flags;
    case FileObject::kOpenAlways:
      return flags | O_CREAT;
    case FileObject::kTruncateExisting:
      return write ? flags | O_TRUNC : -1;
    default:
      return -1;
  }
}

bool LocalFile::Open(const std::string& path, uint32_t access, uint32_t share_mode,
                     uint32_t disposition, uint32_t flags) {
  Close();
  end_of_file_ = false;
  flush_failed_ = false;
  const int open_flags = OpenFlags(access, disposition);
  if (open_flags < 0) return false;
  const mode_t mode = disposition == kCreateNewPrivate ? 0600 : 0666;
  int fd;
  do {
    fd = ::open(path.c_str(), open_flags, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  // A folder opens read-only on Linux but is no file to read or write; a
  // pipe or a device might never end.
  struct stat st;
  const int fd_flags = fcntl(fd, F_GETFL);
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fd_flags < 0 ||
      fcntl(fd, F_SETFL, fd_flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool LocalFile::Read(void* buffer, uint32_t count, uint32_t* read_count) {
  if (read_count != nullptr) *read_count = 0;
  ssize_t n = -1;
  if (fd_ >= 0) {
    do {
      n = ::read(fd_, buffer, count);
    } while (n < 0 && errno == EINTR);
  }
  if (n <= 0) {
    end_of_file_ = true;
    return false;
  }
  if (read_count != nullptr) *read_count = static_cast<uint32_t>(n);
  return true;
}

// Writes everything, as a Windows write to a file does; a failure leaves the
// count of what was written.
bool LocalFile::Write(const void* buffer, uint32_t count, uint32_t* written_count) {
  if (written_count != nullptr) *written_count = 0;
  if (fd_ < 0) return false;
  if (flush_failed_.load()) {
    errno = EIO;
    return false;
  }
  const char* p = static_cast<const char*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, p + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<uint32_t>(n);
  }
  if (written_count != nullptr) *written_count = done;
  return done == count;
}

int LocalFile::ReadByte() {
  unsigned char byte = 0;
  uint32_t n = 0;
  if (!Read(&byte, 1, &n) || n != 1) return -1;
  return byte;
}

// Returns the byte written (the value's low eight bits), so that writing -1
// is not mistaken for a failure.
int LocalFile::WriteByte(int value) {
  const unsigned char byte = static_cast<unsigned char>(value);
  uint32_t n = 0;
  if (!Write(&byte, 1, &n) || n != 1) return -1;
  return byte;
}

int64_t LocalFile::Seek(int64_t offset, uint32_t origin) {
  if (fd_ < 0) return -1;
  int whence;
  switch (origin) {
    case kBegin:
      whence = SEEK_SET;
      break;
    case kCurrent:
      whence = SEEK_CUR;
      break;
    case kEnd:
      whence = SEEK_END;
      break;
    default:
      return -1;
  }
  const off_t position = ::lseek(fd_, static_cast<off_t>(offset), whence);
  return position < 0 ? -1 : static_cast<int64_t>(position);
}

int64_t LocalFile::Size() {
  const int64_t position = Tell();
  if (position < 0) return -1;
  const int64_t end = Seek(0, kEnd);
  if (Seek(position, kBegin) != position) return -1;
  return end;
}

bool LocalFile::SetModifiedTime(const DateTime& time) {
  if (fd_ < 0) return false;
  if (!time.IsValid()) return true;  // nothing to set; a failed update is ignored
  const int64_t ms = time.Milliseconds();
  int64_t seconds = ms / 1000;
  int64_t rest = ms % 1000;
  if (rest < 0) {
    rest += 1000;
    seconds -= 1;
  }
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the last-access time stays
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = static_cast<long>(rest * 1000000);
  (void)::futimens(fd_, times);
  return true;
}

void LocalFile::Close() {
  WaitForFlush();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

// The system starts writing every page still dirty, and a flush of the
// file to stable storage runs meanwhile on a thread of its own. A disk with
// a write cache takes the flush of a large file at the end in one piece,
// long after the bytes were written: flushed as they arrive, the sync once
// the file is complete finds little left. One flush at a time; a hint that
// comes while one runs is left to the next, so a slow disk is asked less
// often. A failed flush is kept, since the sync that follows on another
// descriptor may no longer hear of it. Closing waits for the running flush,
// also when the file is closed only to be removed: a wait for the disk no
// longer than the sync that ends a whole upload.
void LocalFile::StartWriteback() {
  if (fd_ < 0) return;
  sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
  if (flushing_.load()) return;
  WaitForFlush();
  flushing_ = true;
  const int fd = fd_;
  try {
    flush_ = std::thread([this, fd] {
      // EINVAL: a file system without the call, where the sync once the
      // file is complete fails by itself.
      if (fdatasync(fd) != 0 && errno != EINVAL) flush_failed_ = true;
      flushing_ = false;
    });
  } catch (...) {
    flushing_ = false;  // no thread now: the sync at the end does it all
  }
}

void LocalFile::WaitForFlush() {
  if (flush_.joinable()) flush_.join();
}

}  // namespace

std::unique_ptr<FileObject> NewLocalFile() {
  return std::make_unique<LocalFile>();
}

bool DiskSpace(const std::string& folder, uint64_t* available, uint64_t* total) {
  struct statvfs fs;
  if (::statvfs(folder.c_str(), &fs) != 0) return false;
  *available = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  *total = static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize;
  return true;
}

}  // namespace tw
