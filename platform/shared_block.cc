#include "platform/shared_block.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/runtime_dir.h"

// ThreadSanitizer runtimes that predate pthread_mutex_clocklock do not see a
// lock taken with it, and would report the matching unlock as wrong; such a
// lock is announced to them by hand. A runtime that intercepts the call
// defines the weak symbol below and needs no announcement.
#if defined(__SANITIZE_THREAD__)
#define TW_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TW_THREAD_SANITIZER 1
#endif
#endif
#ifdef TW_THREAD_SANITIZER
#include <sanitizer/tsan_interface.h>
extern "C" int __interceptor_pthread_mutex_clocklock(pthread_mutex_t*, clockid_t,
                                                     const struct timespec*) __attribute__((weak));
#endif

namespace tw {

namespace {

int ClockLock(pthread_mutex_t* m, const timespec& deadline) {
#ifdef TW_THREAD_SANITIZER
  const bool announce = &__interceptor_pthread_mutex_clocklock == nullptr;
  if (announce) __tsan_mutex_pre_lock(m, __tsan_mutex_try_lock);
  const int rc = pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &deadline);
  if (announce) {
    const bool got = rc == 0 || rc == EOWNERDEAD;
    __tsan_mutex_post_lock(m, __tsan_mutex_try_lock | (got ? 0 : __tsan_mutex_try_lock_failed), 0);
  }
  return rc;
#else
  return pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &deadline);
#endif
}

// The mutex file: a marker that tells an initialised record from a torn or
// foreign file, then the mutex itself.
struct MutexRecord {
  uint32_t magic;
  uint32_t reserved;
  pthread_mutex_t mutex;
};
constexpr uint32_t kMutexMagic = 0x584D5754;  // "TWMX"
constexpr size_t kHeaderSize = sizeof(uint32_t);

bool InitMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  const bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
                  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
                  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
                  pthread_mutex_init(mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

void* MapFile(int fd, size_t length) {
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : p;
}

}  // namespace

std::string SharedObjectPrefix(int os_major_version) {
  return os_major_version >= 5 ? "Global\\" : "";
}

int PlatformMajorVersion() {
  return 4;
}

struct SharedBlock::Impl {
  ~Impl() { Release(); }

  // Creates or opens the block; runs under the exclusive guard.
  bool Open(uint32_t requested_size, std::string* error);
  bool CreateFresh(uint32_t requested_size, std::string* error);
  bool OpenExisting(std::string* error);
  // Unmaps and closes; the last holder removes the files.
  void Release();

  std::string name;
  std::string map_path;
  std::string mutex_path;
  std::string guard_path;
  // Open for the block's whole life: it carries our shared flock, the mark
  // by which others see that the block is held.
  int map_fd = -1;
  uint8_t* view = nullptr;
  size_t view_length = 0;
  MutexRecord* mutex = nullptr;
  uint32_t size = 0;
  bool existed = false;
};

bool SharedBlock::Impl::Open(uint32_t requested_size, std::string* error) {
  const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (requested_size != 0 ? O_CREAT : 0);
  map_fd = ::open(map_path.c_str(), flags, 0600);
  if (map_fd < 0) {
    *error = errno == ENOENT ? "absent" : ErrnoText("cannot open", map_path, errno);
    return false;
  }
  if (::flock(map_fd, LOCK_EX | LOCK_NB) == 0) {
    // Nobody holds the file: new, or a dead process's leftover.
    if (requested_size == 0) {
      ::unlink(map_path.c_str());
      ::unlink(mutex_path.c_str());
      *error = "absent";
      return false;
    }
    return CreateFresh(requested_size, error);
  }
  if (errno != EWOULDBLOCK) {
    *error = ErrnoText("cannot lock", map_path, errno);
    return false;
  }
  return OpenExisting(error);
}

bool SharedBlock::Impl::CreateFresh(uint32_t requested_size, std::string* error) {
  const size_t length = kHeaderSize + requested_size;
  // Truncating first clears whatever a leftover held.
  if (::ftruncate(map_fd, 0) != 0 || ::ftruncate(map_fd, static_cast<off_t>(length)) != 0) {
    *error = ErrnoText("cannot size", map_path, errno);
    return false;
  }
  const int mutex_fd = ::open(mutex_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (mutex_fd < 0) {
    *error = ErrnoText("cannot open", mutex_path, errno);
    return false;
  }
  bool ok = ::ftruncate(mutex_fd, 0) == 0 && ::ftruncate(mutex_fd, sizeof(MutexRecord)) == 0;
  if (!ok) *error = ErrnoText("cannot size", mutex_path, errno);
  void* record = ok ? MapFile(mutex_fd, sizeof(MutexRecord)) : nullptr;
  if (ok && record == nullptr) *error = ErrnoText("cannot map", mutex_path, errno);
  ::close(mutex_fd);
  if (record == nullptr) return false;
  mutex = static_cast<MutexRecord*>(record);
  if (!InitMutex(&mutex->mutex)) {
    *error = "cannot initialise the mutex";
    return false;
  }
  mutex->magic = kMutexMagic;

  void* data = MapFile(map_fd, length);
  if (data == nullptr) {
    *error = ErrnoText("cannot map", map_path, errno);
    return false;
  }
  view = static_cast<uint8_t*>(data);
  view_length = length;
  std::memcpy(view, &requested_size, kHeaderSize);
  size = requested_size;
  existed = false;
  // From exclusive to shared: not atomic, but every other opener and every
  // closer first takes the guard we hold.
  if (::flock(map_fd, LOCK_SH) != 0) {
    *error = ErrnoText("cannot lock", map_path, errno);
    return false;
  }
  return true;
}

bool SharedBlock::Impl::OpenExisting(std::string* error) {
  // Live holders keep only shared locks, and exclusive ones are taken under
  // the guard we hold, so this does not wait.
  if (::flock(map_fd, LOCK_SH | LOCK_NB) != 0) {
    *error = ErrnoText("cannot lock", map_path, errno);
    return false;
  }
  struct stat st;
  if (::fstat(map_fd, &st) != 0) {
    *error = ErrnoText("cannot examine", map_path, errno);
    return false;
  }
  const uint64_t file_size = static_cast<uint64_t>(st.st_size);
  if (file_size < kHeaderSize || file_size > kHeaderSize + uint64_t{0xFFFFFFFFu}) {
    *error = "mapping file has a bad size";
    return false;
  }
  void* data = MapFile(map_fd, static_cast<size_t>(file_size));
  if (data == nullptr) {
    *error = ErrnoText("cannot map", map_path, errno);
    return false;
  }
  view = static_cast<uint8_t*>(data);
  view_length = static_cast<size_t>(file_size);
  uint32_t header;
  std::memcpy(&header, view, kHeaderSize);
  if (kHeaderSize + uint64_t{header} > file_size) {
    *error = "size word exceeds the mapping";
    return false;
  }
  size = header;
  existed = true;

  const int mutex_fd = ::open(mutex_path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (mutex_fd < 0) {
    *error = ErrnoText("cannot open", mutex_path, errno);
    return false;
  }
  void* record = nullptr;
  if (::fstat(mutex_fd, &st) != 0 || static_cast<size_t>(st.st_size) < sizeof(MutexRecord)) {
    *error = "mutex file is missing its record";
  } else if ((record = MapFile(mutex_fd, sizeof(MutexRecord))) == nullptr) {
    *error = ErrnoText("cannot map", mutex_path, errno);
  }
  ::close(mutex_fd);
  if (record == nullptr) return false;
  mutex = static_cast<MutexRecord*>(record);
  if (mutex->magic != kMutexMagic) {
    *error = "mutex file is not initialised";
    return false;
  }
  return true;
}

void SharedBlock::Impl::Release() {
  if (view != nullptr) ::munmap(view, view_length);
  if (mutex != nullptr) ::munmap(mutex, sizeof(MutexRecord));
  view = nullptr;
  mutex = nullptr;
  if (map_fd < 0) return;
  ExclusiveFileLock guard;
  std::string ignored;
  const bool guarded = guard.Lock(guard_path, &ignored);
  ::close(map_fd);  // drops our shared lock
  map_fd = -1;
  if (!guarded) return;  // a leftover is recognised and renewed later
  // Under the guard nobody can open the block meanwhile: if no other holder
  // remains, the block ends here, as it would on Windows.
  const int probe = ::open(map_path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (probe >= 0) {
    if (::flock(probe, LOCK_EX | LOCK_NB) == 0) {
      ::unlink(map_path.c_str());
      ::unlink(mutex_path.c_str());
    }
    ::close(probe);
  }
  guard.RemoveAndUnlock();
}

SharedBlock::SharedBlock(const std::string& name, uint32_t size) : impl_(std::make_unique<Impl>()) {
  impl_->name = name;
  std::string dir, error;
  // A mere open (size 0) creates nothing: a block cannot exist where its
  // folder does not, and an open made after the runtime folder was taken
  // away must not bring the folder back.
  bool absent = false;
  if (!RuntimeSubdirectory(kSharedBlockFolder, size != 0, &dir, &error, &absent)) {
    if (!absent) DebugLog("Shared block %s: %s", name.c_str(), error.c_str());
    return;
  }
  const std::string full = SharedObjectPrefix(PlatformMajorVersion()) + name;
  impl_->map_path = dir + "/" + EncodeFileName(full + "_SharedMemory");
  impl_->mutex_path = dir + "/" + EncodeFileName(full + "_Mutex");
  impl_->guard_path = dir + "/." + EncodeFileName(full) + ".guard";

  ExclusiveFileLock guard;
  if (!guard.Lock(impl_->guard_path, &error)) {
    DebugLog("Shared block %s: %s", name.c_str(), error.c_str());
    return;
  }
  const bool ok = impl_->Open(size, &error);
  guard.RemoveAndUnlock();
  if (!ok) {
    // Absence is an ordinary answer to an open with size 0, not a fault.
    if (error != "absent") DebugLog("Shared block %s: %s", name.c_str(), error.c_str());
    impl_->Release();
    impl_->size = 0;
    impl_->existed = false;
  }
}

SharedBlock::~SharedBlock() = default;

bool SharedBlock::IsValid() const {
  return impl_->view != nullptr && impl_->mutex != nullptr;
}

bool SharedBlock::ExistedBefore() const {
  return impl_->existed;
}

uint32_t SharedBlock::Size() const {
  return impl_->size;
}

void* SharedBlock::Lock(uint32_t timeout_ms) {
  if (!IsValid()) return nullptr;
  pthread_mutex_t* m = &impl_->mutex->mutex;
  int rc;
  if (timeout_ms == kInfiniteWait) {
    rc = pthread_mutex_lock(m);
  } else if (timeout_ms == 0) {
    rc = pthread_mutex_trylock(m);
  } else {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    rc = ClockLock(m, deadline);
  }
  if (rc == EOWNERDEAD) {
    // The owner died holding it; what it left is the data as it stands.
    pthread_mutex_consistent(m);
    rc = 0;
  }
  if (rc == 0) return impl_->view + kHeaderSize;
  if (rc != ETIMEDOUT && rc != EBUSY) {
    DebugLog("Shared block %s: cannot lock its mutex: %s", impl_->name.c_str(),
             ErrnoReason(rc).c_str());
  }
  return nullptr;
}

void SharedBlock::Unlock() {
  if (IsValid()) pthread_mutex_unlock(&impl_->mutex->mutex);
}

}  // namespace tw
