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
