// The few file attributes the provider keeps in line with the server: the
// last-write time it compares with the state cache, and the read-only
// attribute that follows the user's locks. On this platform read-only means
// no write bit in the file's mode; writable means the owner's write bit.
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

// The last-write time of `path` in whole seconds since 1970; false (and
// *seconds untouched) when it cannot be read.
bool LocalFileModifiedSeconds(const std::string& path, int64_t* seconds);

// Read-only: clears every write bit of the file's mode. Writable: adds the
// owner's write bit. The other bits stay. False when the file cannot be
// read or its mode not changed.
bool SetLocalFileReadOnly(const std::string& path, bool read_only);

}  // namespace tw

#endif  // TW_PLATFORM_FILE_ATTRIBUTES_H_
