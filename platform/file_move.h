// Moving a received file into its place: the file the connection received
// into a scratch file becomes the user's local copy. Copying a local file
// whole beside itself, the same careful way.
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

// Copies `from` to `to`, replacing what is there: the bytes go into a new
// file beside `to` (created afresh, never through a link), which is then
// renamed over `to`, so a link named `to` is replaced, not followed, and a
// failure leaves `to` as it was and no partial file behind. The copy has
// the mode 0666 & ~umask. False, with `*error` saying why when given.
bool CopyFileReplacing(const std::string& from, const std::string& to, std::string* error);

}  // namespace tw

#endif  // TW_PLATFORM_FILE_MOVE_H_
