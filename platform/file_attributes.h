// The few file attributes the provider keeps in line with the server: the
// last-write time it compares with the state cache, and the read-only
// attribute that follows the user's locks. On Linux read-only means no write
// bit in the file's mode, writable the owner's write bit; on Windows it is
// FILE_ATTRIBUTE_READONLY.
//
// Besides, the few questions about paths that the settings ask when they
// bind a store: whether a name is taken, the real name of a file, making a
// folder chain and removing a file.
//
// Functions without state; thread-safe.
#ifndef TW_PLATFORM_FILE_ATTRIBUTES_H_
#define TW_PLATFORM_FILE_ATTRIBUTES_H_

#include <cstdint>
#include <string>

namespace tw {

// Whether `path` names an existing file (a symbolic link is followed); a
// folder does not count.
bool LocalFileExists(const std::string& path);

// Whether anything (file, folder, link, even a dangling one) has this name.
bool LocalPathExists(const std::string& path);

// The real absolute path of an existing `path` (links and "." / ".."
// resolved); empty when it cannot be resolved.
std::string CanonicalLocalPath(const std::string& path);

// Creates `path` and the folders above it that are missing, each with
// `mode` (narrowed by the umask). False when the folder is not there
// afterwards.
bool MakeLocalDirectories(const std::string& path, uint32_t mode);

// Removes the file `path` (not a folder); false when it is not removed.
bool RemoveLocalFile(const std::string& path);

// The last-write time of `path` in whole seconds since 1970; false (and
// *seconds untouched) when it cannot be read.
bool LocalFileModifiedSeconds(const std::string& path, int64_t* seconds);

// What tells one version of a file from the next without reading it: the
// last-write time as finely as the file system keeps it (nanoseconds since
// 1970; on Windows in steps of 100 ns) and the size in bytes.
struct LocalFileVersion {
  int64_t modified_ns = 0;
  int64_t size = 0;
};
// The version of the file `path` (a link is followed); false (and *version
// untouched) when it cannot be read.
bool ReadLocalFileVersion(const std::string& path, LocalFileVersion* version);

// Read-only: clears every write bit of the file's mode. Writable: adds the
// owner's write bit. The other bits stay. Only a regular file is changed: a
// symbolic link (never followed) or a folder is refused. False when the
// file cannot be read, is refused or its mode not changed; `*error` says
// why when given.
bool SetLocalFileReadOnly(const std::string& path, bool read_only, std::string* error = nullptr);

// The permission bits (0777) of the file `path`, to give a file that
// replaces it the same ones; on POSIX a link is followed. Windows has only
// the read-only attribute, of the name itself: 0444 for a read-only file,
// else 0666. False when the file cannot be read.
bool ReadLocalFileMode(const std::string& path, uint32_t* mode);
// Gives the regular file `path` the permission bits `mode & 0777` (on
// Windows: read-only when `mode` has no write bit), never through a link,
// as SetLocalFileReadOnly. False when refused or not changed; `*error`
// says why when given.
bool SetLocalFileMode(const std::string& path, uint32_t mode, std::string* error = nullptr);

}  // namespace tw

#endif  // TW_PLATFORM_FILE_ATTRIBUTES_H_
