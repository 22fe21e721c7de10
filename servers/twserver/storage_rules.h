// What the storage backends decide the same way whatever their database:
// when a lock conflicts with the holders, the stored form of a logon
// digest and how it compares, new identifiers, stamp texts, and the
// queries that check a repository's consistency (plain SQL both databases
// run as written). The backends keep only what their SQL and transactions
// make different.
//
// Values only; every function may be called from any thread.
#ifndef TW_SERVERS_TWSERVER_STORAGE_RULES_H_
#define TW_SERVERS_TWSERVER_STORAGE_RULES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "servers/twserver/storage.h"

namespace tw::twserver {

// The conflict a lock of `user` would meet among `holders` (each with
// `user` and `exclusive`): kExclusiveConflict when another user holds an
// exclusive lock, kSharedConflict when an exclusive lock is wanted and
// another user holds any lock, else kOk. The user's own lock never
// conflicts: it changes type instead.
template <typename Holders>
int LockConflict(const Holders& holders, const std::string& user, bool exclusive) {
  bool others = false;
  for (const auto& h : holders) {
    if (h.user == user) continue;
    if (h.exclusive) return kExclusiveConflict;
    others = true;
  }
  return exclusive && others ? kSharedConflict : kOk;
}

// True for 32 hex digits in either letter case, the form of a logon digest.
bool IsDigestText(const std::string& text);

// The stored form of a digest: hex letters in upper case.
std::string StoredDigest(std::string digest);

// Compares two digests without stopping at the first difference, so that
// the time taken tells nothing about the stored one.
bool SameDigest(const std::string& a, const std::string& b);

// A new identifier: 16 lower-case hex digits drawn at random. False when no
// random bytes came.
bool RandomIdentifier(std::string* id);

// The stamp text of a time in milliseconds since 1970 (UTC).
std::string StampText(int64_t ms);

// The stamp of a new version made at `now`: strictly later than the
// Document's latest (`previous`, when it has versions), even when the clock
// stands still or went back.
int64_t NextStampMilliseconds(int64_t now, bool has_previous, int64_t previous);

// True when every element of a Production path after the first (the root's
// name or empty) is a valid name. An invalid path is refused before any
// lookup, whether or not its Productions exist.
bool IsValidProductionPath(const std::vector<std::string>& elements);

// Splits a Document path at its last backslash into the Production path
// (empty for none) and the Document's name.
void SplitDocumentPath(const std::string& path, std::string* folder, std::string* name);

// Joins the names of a Document and its Productions, given leaf first, into
// the full path from the root, joined with "\".
std::string JoinFullPath(const std::vector<std::string>& leaf_first);

// GETNAMELIST kinds 3 and 4: the lock table and the version list of a
// Document in their columns and row form.
NameTable LockNameTable(const std::vector<LockEntry>& locks);
NameTable VersionNameTable(const std::vector<VersionInfo>& versions);

// One query of the consistency check: every row it gives is a problem,
// told as `problem` followed by the row's first column.
struct ConsistencyQuery {
  const char* sql;
  const char* problem;
};

// The rules the database's rows must keep (one root, versions numbered
// 1..current with rising stamps, no lock beside an exclusive one, queue
// ranks 1..n). The queue heads and the contents are checked by code.
extern const ConsistencyQuery kConsistencyQueries[5];

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_STORAGE_RULES_H_
