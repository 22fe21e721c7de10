// The file operations of an update, one form per operating system: whether
// a file of the installation is in use, and the steps of replacing it so
// that at every moment the file is either the old one or the new one.
//
// Stateless; any thread.
#ifndef TW_TOOLS_TWUPDATE_INSTALL_FILES_H_
#define TW_TOOLS_TWUPDATE_INSTALL_FILES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tw {

// The first of `paths` that a running program has in use, so that it must
// not be replaced yet; empty when none is. On POSIX systems a file is in use
// while a live process of this user (other than this one) maps it: a loaded
// module, or the program file of a running program. On Windows a file is in
// use while it cannot be opened for writing without sharing; a read-only
// file, which no one may open for writing, while it cannot be opened for
// reading without sharing or a process of this user has it loaded. A path
// that does not exist is not in use.
std::string FirstFileInUse(const std::vector<std::string>& paths);

// Whether `path` names an existing regular file.
bool IsRegularFile(const std::string& path);

// Copies `source` (a regular file) to the new file `staged`, which must not
// exist, and flushes it to the disk. On POSIX systems the copy gets the
// permissions of `like` when that exists (a program stays a program), else
// those of `source`; on Windows it keeps the attributes of `source`, as
// the package gives them. On failure `staged` is gone and *error says why.
bool StageCopy(const std::string& source, const std::string& staged, const std::string& like,
               std::string* error);

// Makes `backup`, which must not exist, hold what `path` holds now: a
// second name of the same file where the file system allows it, else a
// copy. On failure `backup` is gone and *error says why.
bool KeepBackup(const std::string& path, const std::string& backup, std::string* error);

// Renames `from` over `to` in one step (a reader sees the old file or the
// new one) and makes the rename last. False with *error on failure, both
// left as they were.
bool RenameOver(const std::string& from, const std::string& to, std::string* error);

// Removes the file `path`, read-only or not; true when it is gone (or was
// never there).
bool RemoveFile(const std::string& path);

// Lets the file `path` be renamed over: on Windows clears its read-only
// attribute (which every name of the file shares), saying in
// *was_read_only whether it had it; on POSIX systems the folder's
// permissions alone govern that, and nothing changes. False, with *error
// saying why, when the attribute cannot be cleared.
bool MakeReplaceable(const std::string& path, bool* was_read_only, std::string* error);

// Gives the file `path` the read-only attribute again (Windows; nothing on
// POSIX systems).
void RestoreReadOnly(const std::string& path);

// The lock that keeps two updaters off one installation: held from Take
// until the object goes, through the file `path` (beside update.ini), which
// is gone again once the lock is let go.
class UpdateLock {
 public:
  UpdateLock() = default;
  UpdateLock(const UpdateLock&) = delete;
  UpdateLock& operator=(const UpdateLock&) = delete;
  ~UpdateLock();

  // Takes the lock without waiting. False, with the reason in *error, when
  // another updater holds it or the file cannot be made.
  bool Take(const std::string& path, std::string* error);

 private:
  std::string path_;
  intptr_t handle_ = -1;
};

}  // namespace tw

#endif  // TW_TOOLS_TWUPDATE_INSTALL_FILES_H_
