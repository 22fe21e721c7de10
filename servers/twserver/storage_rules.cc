#include "servers/twserver/storage_rules.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "crypto/crypto.h"
#include "platform/hex.h"
#include "platform/letter_case.h"
#include "protocol/name_table.h"
#include "servers/twserver/names.h"
#include "settings/stamp.h"

namespace tw::twserver {

bool IsDigestText(const std::string& text) {
  if (text.size() != 32) return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return HexDigitValue(c) >= 0; });
}

std::string StoredDigest(std::string digest) {
  return UpperCase(digest);
}

bool SameDigest(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

bool RandomIdentifier(std::string* id) {
  unsigned char bytes[8];
  if (CRLDATcrypto::RandomBytes(bytes, sizeof bytes) != 0) return false;
  *id = HexText(bytes, sizeof bytes, HexCase::kLower);
  return true;
}

std::string StampText(int64_t ms) {
  return FormatStamp(DateTimeStamp::FromMilliseconds(ms), true);
}

int64_t NextStampMilliseconds(int64_t now, bool has_previous, int64_t previous) {
  return has_previous && now <= previous ? previous + 1 : now;
}

bool IsValidProductionPath(const std::vector<std::string>& elements) {
  for (size_t i = 1; i < elements.size(); ++i) {
    if (!IsValidName(elements[i])) return false;
  }
  return true;
}

void SplitDocumentPath(const std::string& path, std::string* folder, std::string* name) {
  const size_t cut = path.rfind('\\');
  *folder = cut == std::string::npos ? std::string() : path.substr(0, cut);
  *name = cut == std::string::npos ? path : path.substr(cut + 1);
}

std::vector<LockEntry> LocksToBreak(const std::vector<LockEntry>& locks, const std::string& user) {
  std::vector<LockEntry> broken;
  for (const LockEntry& lock : locks) {
    if (!lock.deferred && (user.empty() || lock.user == user)) broken.push_back(lock);
  }
  return broken;
}

std::vector<LockEntry> GrantedFromQueue(const std::vector<LockEntry>& before,
                                        const std::vector<LockEntry>& after) {
  std::vector<LockEntry> granted;
  for (const LockEntry& now : after) {
    if (now.deferred) continue;
    const bool waited = std::any_of(before.begin(), before.end(), [&](const LockEntry& was) {
      return was.deferred && was.user == now.user;
    });
    if (waited) granted.push_back(now);
  }
  return granted;
}

bool PathWithin(const std::string& full_path, const std::string& scope) {
  const std::vector<std::string> path = SplitPath(full_path);
  const std::vector<std::string> within = SplitPath(scope);
  // The first elements name the root, each in its own way.
  if (within.size() > path.size()) return false;
  for (size_t i = 1; i < within.size(); ++i) {
    if (FoldName(within[i]) != FoldName(path[i])) return false;
  }
  return true;
}

std::string JoinFullPath(const std::vector<std::string>& leaf_first) {
  std::string path;
  for (auto it = leaf_first.rbegin(); it != leaf_first.rend(); ++it) {
    if (it != leaf_first.rbegin()) path += '\\';
    path += *it;
  }
  return path;
}

namespace {

// Parent steps beyond which a walk up the tree is taken for a cycle: far
// deeper than any tree the server lets anyone build.
constexpr int kMaxWalk = 100000;

// The fixed part of a name table line: "NameTable/Row<n>/", "=", "\n".
constexpr size_t kNameTableLineBytes = 32;

}  // namespace

size_t NameTableCharge(const std::vector<std::string>& columns,
                       const std::vector<std::string>& values) {
  size_t bytes = 0;
  for (size_t c = 0; c < columns.size(); ++c) {
    const size_t value = c < values.size() ? values[c].size() : 0;
    bytes += kNameTableLineBytes + 2 * columns[c].size() + 2 * value;
  }
  return bytes;
}

bool AddChargedRow(NameTable* table, std::vector<std::string> values, ReplyBudget* budget) {
  if (budget != nullptr && !budget->Take(NameTableCharge(table->columns, values))) return false;
  table->rows.push_back(std::move(values));
  return true;
}

const ProductionTree::Row* ProductionTree::Find(int64_t seq) {
  auto it = rows_.find(seq);
  if (it != rows_.end()) return &it->second;
  Row row;
  if (!read_(seq, &row)) return nullptr;
  return &rows_.emplace(seq, std::move(row)).first->second;
}

int ProductionTree::FullPath(int64_t seq, const std::string& leaf, std::string* path,
                             ReplyBudget* budget) {
  auto known = paths_.find(seq);
  if (known == paths_.end()) {
    // The names from `seq` up to the root, then joined root first; their
    // bytes are counted before the path is built.
    std::vector<const std::string*> names;
    size_t bytes = 0;
    for (int64_t at = seq;;) {
      if (names.size() > static_cast<size_t>(kMaxWalk)) return kStorageFailure;
      const Row* row = Find(at);
      if (row == nullptr) return kStorageFailure;
      names.push_back(&row->name);
      bytes += row->name.size() + 1;
      if (row->parent < 0) break;
      at = row->parent;
    }
    if (budget != nullptr && !budget->Take(bytes)) return kOverLimit;
    std::string built;
    built.reserve(bytes);
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
      if (it != names.rbegin()) built += '\\';
      built += **it;
    }
    known = paths_.emplace(seq, std::move(built)).first;
  }
  const size_t bytes = known->second.size() + (leaf.empty() ? 0 : leaf.size() + 1);
  if (budget != nullptr && !budget->Take(bytes)) return kOverLimit;
  path->clear();
  path->reserve(bytes);
  *path = known->second;
  if (!leaf.empty()) {
    *path += '\\';
    *path += leaf;
  }
  return kOk;
}

bool ProductionTree::Measure(int64_t seq, int* depth, size_t* bytes) {
  const auto known = places_.find(seq);
  if (known != places_.end()) {
    *depth = known->second.depth;
    *bytes = known->second.bytes;
    return true;
  }
  Place place{0, 0};
  for (int64_t at = seq;;) {
    const Row* row = Find(at);
    if (row == nullptr) return false;
    if (row->parent < 0) break;  // the root's name is not counted
    place.bytes += row->name.size() + (place.depth > 0 ? 1 : 0);
    ++place.depth;
    if (place.depth > kMaxProductionDepth || place.bytes > kMaxFullPathBytes) break;
    at = row->parent;
  }
  places_.emplace(seq, place);
  *depth = place.depth;
  *bytes = place.bytes;
  return true;
}

std::string FetchPlan::Key(const FetchItem& item) {
  return item.document_id + '\n' + std::to_string(item.version);
}

bool FetchPlan::Repeat(const FetchItem& item, std::vector<FetchedVersion>* fetched,
                       ReplyBudget* budget, int* result) {
  const auto it = read_.find(Key(item));
  if (it == read_.end()) return false;
  const FetchedVersion& before = (*fetched)[it->second];
  if (!budget->Take(FixedCharge(before) + before.full_path.size())) {
    *result = kOverLimit;
    return true;
  }
  FetchedVersion copy = before;
  fetched->push_back(std::move(copy));
  *result = kOk;
  return true;
}

void FetchPlan::Note(const FetchItem& item, size_t index) {
  read_.emplace(Key(item), index);
}

size_t FetchPlan::FixedCharge(const FetchedVersion& f) {
  // The version number, the per-item result and the separators of the
  // reply's lists.
  constexpr size_t kNumbersAndSeparators = 32;
  return f.document_id.size() + f.name.size() + f.stamp.size() + f.content_path.size() +
         kNumbersAndSeparators;
}

int CheckNewProduction(ProductionTree& tree, int64_t parent, const std::string& name) {
  int depth = 0;
  size_t bytes = 0;
  if (!tree.Measure(parent, &depth, &bytes)) return kStorageFailure;
  const size_t total = bytes + (depth > 0 ? 1 : 0) + name.size();
  return depth + 1 > kMaxProductionDepth || total > kMaxFullPathBytes ? int{kInvalidPath}
                                                                      : int{kOk};
}

int CheckNewDocument(ProductionTree& tree, int64_t production, const std::string& name) {
  int depth = 0;
  size_t bytes = 0;
  if (!tree.Measure(production, &depth, &bytes)) return kStorageFailure;
  const size_t total = bytes + (depth > 0 ? 1 : 0) + name.size();
  return total > kMaxFullPathBytes ? int{kInvalidDocumentName} : int{kOk};
}

int ListDocumentTree(int64_t top, bool recursive, const DocumentTreeSource& source,
                     NameTable* table, ReplyBudget* budget) {
  table->columns = {kColumnName, kColumnId};
  // Depth first with an explicit stack, so a deep tree cannot exhaust the
  // thread's stack. A waiting Production keeps its own name and depth
  // only; `path` holds the names from `top` down to the one at work.
  struct Waiting {
    int64_t seq;
    size_t depth;  // Productions between `top` and it, itself included
    std::string name;
  };
  std::vector<Waiting> stack{{top, 0, std::string()}};
  std::vector<std::string> path;
  std::unordered_set<int64_t> seen;
  bool over = false;
  while (!stack.empty() && !over) {
    Waiting at = std::move(stack.back());
    stack.pop_back();
    if (!seen.insert(at.seq).second) return kStorageFailure;
    path.resize(at.depth);
    if (at.depth > 0) path.back() = std::move(at.name);
    std::string prefix;
    bool prefix_built = false;
    source.documents(at.seq, [&](const std::string& name, const std::string& id) {
      if (!prefix_built) {
        // Built once per Production, and only for one that has Documents.
        size_t bytes = 0;
        for (const std::string& element : path) bytes += element.size() + 1;
        if (budget != nullptr && !budget->Take(bytes)) {
          over = true;
          return false;
        }
        prefix.reserve(bytes);
        for (const std::string& element : path) prefix += element + "\\";
        prefix_built = true;
      }
      if (!AddChargedRow(table, {prefix + name, id}, budget)) {
        over = true;
        return false;
      }
      return true;
    });
    if (!recursive || over) break;
    std::vector<std::pair<int64_t, std::string>> children;
    source.children(at.seq, &children);
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      stack.push_back({it->first, at.depth + 1, std::move(it->second)});
    }
  }
  return over ? int{kOverLimit} : int{kOk};
}

NameTable LockNameTable(const std::vector<LockEntry>& locks) {
  NameTable table;
  table.columns = {kColumnUser, kColumnExclusive, kColumnDeferred, kColumnRank};
  for (const LockEntry& e : locks) {
    table.rows.push_back(
        {e.user, e.exclusive ? "1" : "0", e.deferred ? "1" : "0", std::to_string(e.rank)});
  }
  return table;
}

size_t VersionRowCharge(const VersionInfo& v) {
  // As NameTableCharge, without copying the comment.
  constexpr size_t kColumns = 4;
  const size_t names = sizeof kColumnVersion + sizeof kColumnStamp + sizeof kColumnComment +
                       sizeof kColumnVersionUser;
  const size_t values =
      std::to_string(v.version).size() + v.stamp.size() + v.comment.size() + v.user.size();
  return kColumns * kNameTableLineBytes + 2 * names + 2 * values;
}

NameTable VersionNameTable(const std::vector<VersionInfo>& versions) {
  NameTable table;
  table.columns = {kColumnVersion, kColumnStamp, kColumnComment, kColumnVersionUser};
  for (const VersionInfo& v : versions) {
    table.rows.push_back({std::to_string(v.version), v.stamp, v.comment, v.user});
  }
  return table;
}

// Grouped by the Document's key and identifier together, which both
// databases accept as a grouping that names the identifier.
const ConsistencyQuery kConsistencyQueries[5] = {
    {"SELECT COUNT(*) FROM productions WHERE parent IS NULL HAVING COUNT(*) != 1", "roots: "},
    {"SELECT d.id FROM documents d LEFT JOIN (SELECT document, MIN(version) AS low, "
     "MAX(version) AS high, COUNT(*) AS n FROM versions GROUP BY document) v "
     "ON v.document = d.seq WHERE v.n IS NULL OR v.low != 1 OR v.high != v.n OR "
     "d.current_version != v.n",
     "versions not numbered 1..current: Document "},
    {"SELECT d.id FROM versions a JOIN versions b ON b.document = a.document AND "
     "b.version = a.version + 1 JOIN documents d ON d.seq = a.document "
     "WHERE b.stamp_ms <= a.stamp_ms",
     "stamps not rising: Document "},
    {"SELECT d.id FROM locks l JOIN documents d ON d.seq = l.document GROUP BY d.seq, d.id "
     "HAVING SUM(l.exclusive) > 0 AND COUNT(*) > 1",
     "a lock beside an exclusive one: Document "},
    {"SELECT d.id FROM lock_queue q JOIN documents d ON d.seq = q.document "
     "GROUP BY d.seq, d.id HAVING MIN(q.rank) != 1 OR MAX(q.rank) != COUNT(*)",
     "queue ranks not 1..n: Document "},
};

}  // namespace tw::twserver
