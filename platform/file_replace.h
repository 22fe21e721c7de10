// Replacing a small file whole: the new contents go into a new file beside
// the old one, reach the disk, and are renamed over it, so that a reader
// sees the old file or the new one and a failure at any step leaves the old
// file as it was.
//
// Thread-safe: each call stands alone (concurrent writers of one file must
// agree on a lock of their own; the last rename wins).
#ifndef TW_PLATFORM_FILE_REPLACE_H_
#define TW_PLATFORM_FILE_REPLACE_H_

#include <sys/types.h>

#include <string>

namespace tw {

// Writes `contents` as the whole of `path`. The file gets the permission
// bits `mode`; with `mode` negative, 0666 narrowed by the umask, as a new
// file. `path` names the file itself, not a symbolic link to it (a link
// would be replaced by the file). Returns 0, or the errno of the failing
// step with *error (when given) naming the step, the file and the system's
// message.
int ReplaceFileWhole(const std::string& path, const std::string& contents, int mode,
                     std::string* error);

// Creates a new empty file beside `path` (in its folder) whose name is
// `path`, ".tw-" and twelve random hex digits, made with O_EXCL and never
// through a link; the kernel narrows `mode` by the umask, as for any new
// file. The descriptor, open for writing, with *name set; -1 with errno on
// failure.
int CreateSibling(const std::string& path, std::string* name, mode_t mode = 0666);

// Flushes the folder that holds `path` to the disk, so that a rename in it
// lasts; failures are ignored (the rename happened, only its durability is
// in question).
void SyncFolderOf(const std::string& path);

}  // namespace tw

#endif  // TW_PLATFORM_FILE_REPLACE_H_
