// ScratchFiles: the files the message reader created for one received
// message, and nothing else. The reader writes every received file into a
// scratch file it creates itself (owner-only, O_EXCL | O_NOFOLLOW); when the
// message is complete it hands the set of those files over with the
// message, recording for each file-list field the scratch files it names and
// for each file its identity (device, inode, size and change time, taken
// when it was closed) and, when the reader was asked to make them, the
// SHA-256 of the bytes it wrote and the members file of the gzip members
// they came as (with its own identity).
//
// Whoever takes the message may move a file out of the set (Take) only when
// the path still is that very file: a regular file with the recorded
// identity. A path that a peer writes into a text field is never in the set,
// so no server can make the client move or remove a file it did not create.
//
// The set travels with the message and its copies (a shared pointer); when
// the last holder lets go - a reply nobody waited for, one that came late,
// one whose request was cancelled, a message dropped on the way - every
// file not taken is removed.
//
// Threads: the reader fills the set before the message leaves its thread;
// afterwards any thread may use it (a mutex guards the file table).
#ifndef TW_MESSAGING_SCRATCH_FILES_H_
#define TW_MESSAGING_SCRATCH_FILES_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tw {

class ScratchFiles {
 public:
  ScratchFiles() = default;
  // Removes every file not taken.
  ~ScratchFiles();
  ScratchFiles(const ScratchFiles&) = delete;
  ScratchFiles& operator=(const ScratchFiles&) = delete;

  // What ties a path to the file the reader wrote: device, inode, size and
  // change time.
  struct Identity {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t changed_ns = 0;
    bool operator==(const Identity& o) const {
      return device == o.device && inode == o.inode && size == o.size && changed_ns == o.changed_ns;
    }
  };
  // The identity of the regular file at `path` (not following a link);
  // false when there is none.
  static bool ReadIdentity(const std::string& path, Identity* identity);

  // Reader side. Records `path`, a scratch file the reader created, with
  // the identity read when the reader closed it and, when the reader made
  // it while writing, the SHA-256 of its bytes as lower-case hex: should
  // the file change after it was closed, nobody can take it, so a digest is
  // never handed over for other bytes.
  void AddFile(const std::string& path, const Identity& closed, std::string sha256);
  // Records `members`, a file the reader created beside `path` (already
  // added) holding the gzip members that the file's chunks after its first
  // came as, with its identity when closed. It goes wherever `path` goes.
  void AddMembers(const std::string& path, const std::string& members, const Identity& closed);
  // Records that file-list field `field` names `paths` in order; an empty
  // path stands for a file that did not arrive.
  void AddField(uint32_t field, std::vector<std::string> paths);

  // Whether `field` arrived as a file list.
  bool HasField(uint32_t field) const;
  // The scratch files of file-list field `field`, in order. False when the
  // field did not arrive as a file list, or a file it names did not arrive,
  // was taken or removed already.
  bool OfField(uint32_t field, std::vector<std::string>* paths) const;
  // Whether `path` is one of ours, not yet taken, and still the file the
  // reader closed (a regular file of the recorded identity).
  bool IsOwn(const std::string& path) const;
  // Gives `path` up to the caller (it is not removed later), with the
  // digest recorded for it in `sha256` when not null (empty when none was
  // made): the file is still the one closed, so the digest still holds.
  // False, with nothing changed, when IsOwn(path) is false. The file's
  // members file (AddMembers), still the one closed, goes with it into
  // `members` when not null; else it is removed, and `members` is emptied.
  bool Take(const std::string& path, std::string* sha256 = nullptr, std::string* members = nullptr);
  // Removes `path` now when it is ours.
  void Remove(const std::string& path);
  // Removes every file not taken.
  void RemoveAll();
  // Files not yet taken or removed.
  size_t size() const;

 private:
  bool IsOwnLocked(const std::string& path) const;
  void RemoveLocked(const std::string& path);

  struct Entry {
    Identity identity;
    std::string sha256;
    std::string members;  // empty when none
    Identity members_identity;
  };
  // Whether the members file of `entry` is still the one the reader closed.
  static bool MembersOwn(const Entry& entry);
  // Removes the members file of `entry` when it is still ours, and forgets it.
  static void RemoveMembers(Entry* entry);

  mutable std::mutex mutex_;
  std::map<std::string, Entry> files_;                   // guarded by mutex_
  std::map<uint32_t, std::vector<std::string>> fields_;  // guarded by mutex_
};

using ScratchFilesRef = std::shared_ptr<ScratchFiles>;

}  // namespace tw

#endif  // TW_MESSAGING_SCRATCH_FILES_H_
