// Moving a received file into its place: the file the connection received
// into a scratch file becomes the user's local copy.
//
// Thread-safe: each call stands alone.
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

}  // namespace tw

#endif  // TW_PLATFORM_FILE_MOVE_H_
