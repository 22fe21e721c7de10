// Records of store files that a property client has just made, kept in the
// runtime folder for the property file server.
//
// A client that binds a store whose file does not exist makes the file
// itself, empty (or a copy of default.usr), before the server ever sees its
// name. The server turns an empty file into a store only when such a record
// names it, so that a client naming some other empty file of the user's
// (a marker or placeholder file) cannot have it rewritten as a database.
// A record is the file "<runtime>/new-stores/<device>-<inode>" holding the
// file's change time; a later file on a reused inode has another change
// time and is not taken for the recorded one.
//
// Threads: no state; any thread.
#ifndef TW_SETTINGS_NEW_STORE_RECORD_H_
#define TW_SETTINGS_NEW_STORE_RECORD_H_

#include <string>

namespace tw {

// Client side: records that this process just made the file at `path`
// (call it right after making the file, before anyone else can replace it).
// False when no record could be written.
bool RecordNewStoreFile(const std::string& path);

// Server side: true when a record names the file open as `fd` (same device,
// inode and change time). A record of an earlier file on that inode is
// removed.
bool HasNewStoreRecord(const std::string& runtime_dir, int fd);
// Removes the record of the file open as `fd`, once it has become a store.
void DropNewStoreRecord(const std::string& runtime_dir, int fd);

// Removes records older than `max_age_s` seconds (files made but never
// served).
void SweepNewStoreRecords(const std::string& runtime_dir, long max_age_s);

}  // namespace tw

#endif  // TW_SETTINGS_NEW_STORE_RECORD_H_
