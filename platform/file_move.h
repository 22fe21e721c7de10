// Moving a received file into its place: the file the connection received
// into a scratch file becomes the user's local copy. Where the place comes
// from a name the server gave, the folder that takes the file is reached
// through ContainedFolder, which never leaves the working folder.
//
// Thread-safe: each call stands alone; a ContainedFolder is used by one
// thread at a time.
#ifndef TW_PLATFORM_FILE_MOVE_H_
#define TW_PLATFORM_FILE_MOVE_H_

#include <cstdint>
#include <string>

namespace tw {

// Moves the received file `from` to `to`, replacing what is there (a
// read-only file too). Across file systems the bytes are copied and `from`
// removed; the file then has the mode 0666 & ~umask. False, with `to` left
// as it was, when the move fails; `*error` says why when given.
bool MoveFileReplacing(const std::string& from, const std::string& to, std::string* error);

// Copies `from` to `to`, replacing what is there (the move across file
// systems, and the merge's copies): the bytes go into a new file beside
// `to` with a random name of its own (made with O_EXCL, never through a
// link), reach the disk, and are renamed over `to`, so a link named `to` is
// replaced, not followed. `from` stays. On any failure the new file is
// removed and `to` stays as it was. The copy has the mode 0666 & ~umask.
bool CopyFileReplacing(const std::string& from, const std::string& to, std::string* error);

// A folder at or below a working folder, reached without leaving it: the
// place of a file whose name the server gave (a Document in a
// sub-Production becomes a file in a subfolder), so that no name and no
// symbolic link in the working folder can make the provider create, move or
// write anything elsewhere.
//
// Open resolves the part of the folder that exists to its real path, which
// must be the working folder's real path or lie below it (a link that stays
// inside the working folder is allowed, one that leads out is refused). On
// POSIX systems it then holds the folder open, reached from the working
// folder one step at a time without following any link, and creates each
// missing folder in the one above it, opened the same way; PathOf names a
// file through that open folder (/proc/self/fd/N/name), so a link swapped
// in above it afterwards changes nothing. On Windows the folders are
// created by name and the real path of the result is checked.
class ContainedFolder {
 public:
  ContainedFolder() = default;
  ~ContainedFolder();
  ContainedFolder(const ContainedFolder&) = delete;
  ContainedFolder& operator=(const ContainedFolder&) = delete;

  // Opens `folder` (absolute), which must be `root` or lie below it by its
  // text; with `create`, missing folders are made (0777 narrowed by the
  // umask). False, with `*error` (when given) saying why, when a path is
  // not absolute, `folder` is not below `root`, an element is "." or "..",
  // the real path leads out of `root`'s, a step is no folder, a folder is
  // missing without `create`, or a call fails. Folders made before a
  // failure stay.
  bool Open(const std::string& root, const std::string& folder, bool create, std::string* error);
  bool is_open() const;
  // A path that names `name` (one element) in the open folder.
  std::string PathOf(const std::string& name) const;

 private:
  int fd_ = -1;         // POSIX: the open folder
  std::string folder_;  // Windows: the folder checked
};

// Whether the folder `folder` (absolute, it and the folders above it may be
// missing) stays inside `root` when resolved: the real path of the nearest
// part that exists is `root`'s real path or lies below it, and `folder` is
// below `root` by its text. Nothing is created or changed.
bool FolderStaysInside(const std::string& root, const std::string& folder);

}  // namespace tw

#endif  // TW_PLATFORM_FILE_MOVE_H_
