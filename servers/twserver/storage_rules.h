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
#include <functional>
#include <string>
#include <unordered_map>
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

// The held locks of `locks` (ListLocks's form) that breaking `user`'s lock
// removes: that user's, or every holder's when `user` is empty.
std::vector<LockEntry> LocksToBreak(const std::vector<LockEntry>& locks, const std::string& user);

// The entries held in `after` that were queued in `before`: what serving a
// queue granted.
std::vector<LockEntry> GrantedFromQueue(const std::vector<LockEntry>& before,
                                        const std::vector<LockEntry>& after);

// True when the full path of a Document (root's display name first) lies
// within `scope`, a Production or Document path as LookupProduction takes
// it: its elements after the first begin the Document's, names compared
// without regard to ASCII letter case.
bool PathWithin(const std::string& full_path, const std::string& scope);

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

// The bytes one reply may still take. Each part of a reply is charged
// before it is built, so that a read refused for its size never held much
// more than the limit.
class ReplyBudget {
 public:
  explicit ReplyBudget(size_t limit = kMaxReplyBytes) : left_(limit) {}
  // Takes `bytes`; false, taking nothing, when fewer are left.
  bool Take(size_t bytes) {
    if (bytes > left_) return false;
    left_ -= bytes;
    return true;
  }

 private:
  size_t left_;
};

// What a row of a name table costs at most in the reply's text form: each
// value on a line of its own after its row and column, escaped (at most
// twice its bytes). `values` go with `columns` in order.
size_t NameTableCharge(const std::vector<std::string>& columns,
                       const std::vector<std::string>& values);

// The Productions one operation looks at, each read once: a request naming
// many Documents below one deep Production walks up the tree once, and a
// Production's full path is built once. A value of one operation, on the
// thread of its transaction.
class ProductionTree {
 public:
  struct Row {
    int64_t parent = -1;  // negative: the root
    std::string name;
  };
  // Reads the Production `seq`; false when there is none.
  using ReadRow = std::function<bool(int64_t seq, Row* row)>;

  explicit ProductionTree(ReadRow read) : read_(std::move(read)) {}

  // The full path of the Production `seq`: the root's display name, the
  // Productions down to it, then `leaf` when it is not empty, joined with
  // "\". kOk; kOverLimit (nothing built) when `budget` (may be null) has
  // no room for it; kStorageFailure when the parents do not lead to the
  // root (a damaged database).
  int FullPath(int64_t seq, const std::string& leaf, std::string* path, ReplyBudget* budget);

  // Where a new Production or Document below `seq` would stand: the depth
  // of `seq` below the root (the root's is 0) and the bytes of its path
  // below the root. The walk up stops once either passes its limit
  // (kMaxProductionDepth, kMaxFullPathBytes), leaving a value beyond it.
  // False when the parents do not lead to the root.
  bool Measure(int64_t seq, int* depth, size_t* bytes);

 private:
  const Row* Find(int64_t seq);

  struct Place {
    int depth;
    size_t bytes;
  };

  const ReadRow read_;
  std::unordered_map<int64_t, Row> rows_;
  std::unordered_map<int64_t, std::string> paths_;  // without a leaf
  std::unordered_map<int64_t, Place> places_;       // what Measure found
};

// The items of one fetch already read: an item named again (the same
// identifier and version) is copied, never read again.
class FetchPlan {
 public:
  // When `item` was read before: appends a copy of what it gave to
  // `fetched`, charged to `budget`, sets `*result` to kOk or kOverLimit, and
  // returns true. False for an item not read yet.
  bool Repeat(const FetchItem& item, std::vector<FetchedVersion>* fetched, ReplyBudget* budget,
              int* result);
  // Notes that `item` gave fetched[index].
  void Note(const FetchItem& item, size_t index);
  // What a fetched version costs in the reply besides its full path.
  static size_t FixedCharge(const FetchedVersion& f);

 private:
  static std::string Key(const FetchItem& item);

  std::unordered_map<std::string, size_t> read_;
};

// The kInvalidPath (kInvalidDocumentName for a Document) checks of a new
// item named `name` below the Production `parent`: its depth and the length
// of its path below the root. kOk, the result, or kStorageFailure for a
// damaged tree.
int CheckNewProduction(ProductionTree& tree, int64_t parent, const std::string& name);
int CheckNewDocument(ProductionTree& tree, int64_t production, const std::string& name);

// The rows of a GETNAMELIST kind 2 table below the Production `top`: its
// Documents, and with `recursive` those of every Production below, depth
// first, each Production's own Documents before its children's, named by
// their path below `top` in wire form. The walk keeps one path of names,
// never a path per waiting Production, and charges every row to `budget`.
// `documents` calls `emit` with each Document (name, identifier) of a
// Production in order, stopping when it returns false; `children` gives a
// Production's children (sequence number, name) in order. kOk or
// kOverLimit; kStorageFailure when a Production turns up twice (a damaged
// database).
struct DocumentTreeSource {
  using Emit = std::function<bool(const std::string& name, const std::string& id)>;
  std::function<void(int64_t production, const Emit& emit)> documents;
  std::function<void(int64_t production, std::vector<std::pair<int64_t, std::string>>* out)>
      children;
};
int ListDocumentTree(int64_t top, bool recursive, const DocumentTreeSource& source,
                     NameTable* table, ReplyBudget* budget);

// Adds `values` as a row of `table` when `budget` has room for it
// (NameTableCharge); false otherwise.
bool AddChargedRow(NameTable* table, std::vector<std::string> values, ReplyBudget* budget);

// GETNAMELIST kinds 3 and 4: the lock table and the version list of a
// Document in their columns and row form.
NameTable LockNameTable(const std::vector<LockEntry>& locks);
NameTable VersionNameTable(const std::vector<VersionInfo>& versions);
// What a version's row costs in the version table (NameTableCharge).
size_t VersionRowCharge(const VersionInfo& version);

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
