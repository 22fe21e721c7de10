#include "servers/twserver/storage_rules.h"

#include <algorithm>

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

std::string JoinFullPath(const std::vector<std::string>& leaf_first) {
  std::string path;
  for (auto it = leaf_first.rbegin(); it != leaf_first.rend(); ++it) {
    if (it != leaf_first.rbegin()) path += '\\';
    path += *it;
  }
  return path;
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
