// Backups of a repository taken while servers serve it, and their
// restoration into a new repository folder.
//
// A backup folder holds:
//   repository.db     a copy of the SQLite database, taken through SQLite's
//                     online backup (one read snapshot; writers go on)
//   metadata.pgdump   or instead: pg_dump's archive (custom format) of the
//                     schema holding a PostgreSQL repository's tables
//   content/          every content a version of that snapshot refers to
//   backup.info       written last: a folder without it is no backup
//
// The order makes the copy whole: the metadata's snapshot is taken first,
// then the contents that the live database refers to are linked (copied
// where the file systems differ). Versions are never removed, so every
// content the snapshot refers to is still referred to afterwards, and
// content collection, which removes only contents no version refers to,
// cannot take one away meanwhile; contents referred to only by versions
// newer than the snapshot come along and do no harm. Contents are
// immutable once stored (a twin replaces a file by rename, never in place),
// so a hard link is as good as a copy and costs no space.
//
// Values and files only; any thread.
#ifndef TW_SERVERS_TWSERVER_BACKUP_H_
#define TW_SERVERS_TWSERVER_BACKUP_H_

#include <cstddef>
#include <string>

#include "servers/twserver/storage.h"

namespace tw::twserver {

constexpr const char* kBackupInfoFile = "backup.info";
constexpr const char* kPostgresDumpFile = "metadata.pgdump";

struct BackupReport {
  bool postgres = false;  // the metadata came from PostgreSQL
  size_t contents = 0;    // contents in the backup
  size_t linked = 0;      // of them hard links
};

// Backs up the repository in `dir`, open as `storage`, into `to`: a new
// folder (its parent must exist) or an empty one. kOk; kStorageFailure with
// `error` saying what (a folder that is not empty, a content missing from
// the repository, a failing pg_dump), and then nothing of what was made is
// left behind.
int BackupRepository(const std::string& dir, Storage& storage, const std::string& to,
                     BackupReport* report, std::string* error);

// Makes the repository of the backup in `from` in `dir`: a new folder or
// an empty one; never over a repository. The metadata of a PostgreSQL
// backup goes into `database` (required then; a database whose schema
// holds no tables). kOk; kRepositoryExists; kStorageFailure with `error`,
// and then nothing of what was made is left behind.
int RestoreRepository(const std::string& from, const std::string& dir, const std::string& database,
                      BackupReport* report, std::string* error);

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_BACKUP_H_
