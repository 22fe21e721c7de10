// What the property file server needs of its operating system, one form per
// system (os.cc for POSIX, win32/os.cc for Windows): the server's own lock,
// the lock of a store file, the check of a store file's name, and the stop
// request. (A process's start time is the platform's, platform/process.h.)
//
// Threads: the functions keep no state but the stop flag's address, set
// once before the server runs; any thread.
#ifndef TW_SERVERS_TWPMSVR_OS_H_
#define TW_SERVERS_TWPMSVR_OS_H_

#include <csignal>
#include <string>

namespace tw::pmsvr {

// The separator of the system's native paths.
extern const char kPathSeparator;

// Opens (creating) and locks the server's lock file without waiting, and
// writes the holder's process id into it. The descriptor, or -2 when
// another server holds the lock, or -1 (with *error) on a failing call.
int HoldServerLock(const std::string& path, std::string* error);

// Opens the store file at `path` (never through a link) and takes its
// exclusive lock without waiting; the lock leaves no mark in the file's
// contents, which SQLite keeps. The descriptor, or -1 with *error.
int OpenLockedStoreFile(const std::string& path, std::string* error);

void CloseDescriptor(int fd);

// True when `name` is the canonical absolute name of an existing regular
// file (no link, no "..", the case the system gives it).
bool IsCanonicalFileName(const std::string& name);

// SIGTERM and SIGINT (on Windows the console's Ctrl+C, Ctrl+Break and
// close) set *stop to 1.
void StopOnRequest(volatile std::sig_atomic_t* stop);

}  // namespace tw::pmsvr

#endif  // TW_SERVERS_TWPMSVR_OS_H_
