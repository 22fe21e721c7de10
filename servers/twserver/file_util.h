// Small file-system helpers of the server's repository code.
#ifndef TW_SERVERS_TWSERVER_FILE_UTIL_H_
#define TW_SERVERS_TWSERVER_FILE_UTIL_H_

#include <string>

#include "platform/errno_text.h"

namespace tw::twserver {

// Flushes a folder's entries to disk (after a rename into it). False, with
// `error` set, when the folder cannot be opened or synced.
bool SyncFolder(const std::string& path, std::string* error);

// Flushes everything written to the file system that holds `path`: one
// call instead of a sync per file when many files were written.
bool SyncFileSystem(const std::string& path, std::string* error);

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_FILE_UTIL_H_
