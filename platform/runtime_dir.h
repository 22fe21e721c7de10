// The runtime folder: the one private folder of the user in which the local
// inter-process objects live (mailslot sockets, shared blocks and their
// mutexes, the recipient table), and the helpers for files kept there.
//
// The folder is $VELTRANE_RUNTIME_DIR, else $XDG_RUNTIME_DIR/veltrane, else
// veltrane/runtime in the user's cache folder ($XDG_CACHE_HOME, else
// ~/.cache), re-read on every call; never a predictable name in a shared
// folder, which another user could take first. It is created with mode 0700,
// with the sub-folders "mailslot", "shm" and "recipients". A folder that is
// not a plain folder, is owned by another user or is writable by group or
// others is refused: nobody else may plant a socket or a block there. One
// of ours with another mode (readable by others, say) is given 0700.
//
// Threads: the functions keep no state and may be called from any thread.
// An ExclusiveFileLock belongs to one thread at a time.
#ifndef TW_PLATFORM_RUNTIME_DIR_H_
#define TW_PLATFORM_RUNTIME_DIR_H_

#include <string>

#include "platform/errno_text.h"

namespace tw {

// Sub-folders of the runtime folder.
constexpr const char kMailslotFolder[] = "mailslot";
constexpr const char kSharedBlockFolder[] = "shm";
constexpr const char kRecipientFolder[] = "recipients";

// The runtime folder, created (with its sub-folders) when missing and checked.
// On failure returns false with a readable reason in *error.
bool RuntimeDirectory(std::string* path, std::string* error);

// One sub-folder of the runtime folder. With `create` false nothing is
// created: a missing folder fails ("... does not exist"), so that a mere
// lookup leaves no trace; *absent (when given) then tells absence from a
// refused folder. Existing folders are checked either way.
bool RuntimeSubdirectory(const char* sub, bool create, std::string* path, std::string* error,
                         bool* absent = nullptr);

// Turns an object name into one safe file-name component: letters, digits
// and "-_.~+=,@" stay (a leading "." does not), every other byte becomes
// "%XX". Distinct names give distinct results, and no result starts with
// "." — names starting with "." are free for the system's own side files.
std::string EncodeFileName(const std::string& name);

// An exclusive flock on a lock file that may be removed while locked.
//
// Lock opens (creating, mode 0600) and locks the file, and retries when the
// file it locked has meanwhile been unlinked or replaced by its previous
// holder, so that holding the lock always means holding the file that the
// path names. RemoveAndUnlock unlinks the file before letting go, so lock
// files do not accumulate. The destructor unlocks.
class ExclusiveFileLock {
 public:
  ExclusiveFileLock() = default;
  ~ExclusiveFileLock();
  ExclusiveFileLock(const ExclusiveFileLock&) = delete;
  ExclusiveFileLock& operator=(const ExclusiveFileLock&) = delete;

  // Blocks until the lock is held; false with *error on a failing call. On
  // Windows the wait is at most 10 s, then it fails saying so.
  bool Lock(const std::string& path, std::string* error);
  void Unlock();
  void RemoveAndUnlock();

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace tw

#endif  // TW_PLATFORM_RUNTIME_DIR_H_
