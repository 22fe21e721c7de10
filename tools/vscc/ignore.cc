#include "tools/vscc/ignore.h"

#include <filesystem>
#include <string_view>
#include <vector>

#include "platform/list_text.h"
#include "platform/native_text.h"
#include "platform/small_file.h"

namespace vscc {

namespace {

constexpr char kBuiltInPatterns[] = ".vscc\n.git/\n.svn/\n*~\n*.swp\n.DS_Store\n";

// Larger than any ignore file a person writes.
constexpr size_t kMaxIgnoreFileBytes = 1 << 20;

// Matches the class at p[*pi] ('[' ... ']') against `c`; advances *pi past
// it. False in *valid when the class never closes ('[' is then literal).
bool ClassMatches(std::string_view p, size_t* pi, char c, bool* valid) {
  size_t i = *pi + 1;
  const bool negate = i < p.size() && (p[i] == '!' || p[i] == '^');
  if (negate) ++i;
  bool matched = false;
  bool first = true;
  for (; i < p.size() && (first || p[i] != ']'); ++i, first = false) {
    char low = p[i];
    if (low == '\\' && i + 1 < p.size()) low = p[++i];
    char high = low;
    if (i + 2 < p.size() && p[i + 1] == '-' && p[i + 2] != ']') {
      high = p[i + 2];
      i += 2;
    }
    if (low <= c && c <= high) matched = true;
  }
  *valid = i < p.size();
  if (!*valid) return false;
  *pi = i + 1;
  return matched != negate;
}

// Matches pattern `p` against text `t` from given positions. Each way of
// splitting the text at a '*' is tried once at most: without the memo, a
// pattern of many stars that cannot match (one in a .vsccignore that came
// with the files, say) would try every split and never end.
class Glob {
 public:
  Glob(std::string_view p, std::string_view t) : p_(p), t_(t) {}

  // Whether p_ from `pi` matches all of t_ from `ti`.
  bool Match(size_t pi, size_t ti) {
    const std::string_view p = p_;
    const std::string_view t = t_;
    while (pi < p.size()) {
      const char c = p[pi];
      if (c == '*') {
        if (pi + 1 < p.size() && p[pi + 1] == '*') {
          // "**/" stands for no folder or any folders; "**" otherwise for
          // anything at all.
          if (pi + 2 < p.size() && p[pi + 2] == '/') {
            if (Rest(pi + 3, ti)) return true;
            for (size_t k = ti; k < t.size(); ++k) {
              if (t[k] == '/' && Rest(pi + 3, k + 1)) return true;
            }
            return false;
          }
          for (size_t k = ti; k <= t.size(); ++k) {
            if (Rest(pi + 2, k)) return true;
          }
          return false;
        }
        for (size_t k = ti; k <= t.size(); ++k) {
          if (Rest(pi + 1, k)) return true;
          if (k < t.size() && t[k] == '/') break;
        }
        return false;
      }
      if (ti >= t.size()) return false;
      if (c == '?') {
        if (t[ti] == '/') return false;
        ++pi;
        ++ti;
        continue;
      }
      if (c == '[') {
        size_t at = pi;
        bool valid = true;
        const bool matched = t[ti] != '/' && ClassMatches(p, &at, t[ti], &valid);
        if (valid) {
          if (!matched) return false;
          pi = at;
          ++ti;
          continue;
        }
      }
      char literal = c;
      if (c == '\\' && pi + 1 < p.size()) literal = p[++pi];
      if (literal != t[ti]) return false;
      ++pi;
      ++ti;
    }
    return ti == t.size();
  }

 private:
  // Match, remembered for the pattern after a star.
  bool Rest(size_t pi, size_t ti) {
    const size_t width = t_.size() + 1;
    if (memo_.empty()) memo_.assign((p_.size() + 1) * width, kUnknown);
    const size_t at = pi * width + ti;
    if (memo_[at] == kUnknown) memo_[at] = Match(pi, ti) ? kYes : kNo;
    return memo_[at] == kYes;
  }

  enum : unsigned char { kUnknown, kYes, kNo };
  const std::string_view p_;
  const std::string_view t_;
  std::vector<unsigned char> memo_;  // by pattern and text position
};

}  // namespace

bool GlobMatch(const std::string& pattern, const std::string& text) {
  return Glob(pattern, text).Match(0, 0);
}

IgnoreRules::IgnoreRules() {
  AddLines(kBuiltInPatterns);
}

bool IgnoreRules::ReadWorkingFolder(const std::string& root, std::string* error) {
  root_ = root;
  return ReadFolder(std::string(), error);
}

bool IgnoreRules::ReadFolder(const std::string& folder, std::string* error) {
  if (root_.empty() || !read_.insert(folder).second) return true;
  const std::string path = root_ + "/" + (folder.empty() ? "" : folder + "/") + kIgnoreFile;
  std::string text;
  std::string why;
  if (!tw::ReadSmallFile(path, kMaxIgnoreFileBytes, &text, &why)) {
    std::error_code ec;
    // A missing file is no error: the folder adds no patterns.
    if (!std::filesystem::exists(tw::FsPath(path), ec) && !ec) return true;
    *error = "cannot read " + path + ": " + why;
    return false;
  }
  AddLines(text, folder);
  return true;
}

bool IgnoreRules::ReadFoldersAbove(const std::string& relative, bool folder, std::string* error) {
  // Each folder's file is read before the folders below it are asked
  // about: a pattern above may ignore a folder whose own file then counts
  // for nothing.
  std::string above;
  for (size_t slash = relative.find('/'); slash != std::string::npos;
       slash = relative.find('/', slash + 1)) {
    above = relative.substr(0, slash);
    if (above.empty()) continue;
    if (Ignored(above, true)) return true;
    if (!ReadFolder(above, error)) return false;
  }
  if (folder && !relative.empty() && !Ignored(relative, true)) return ReadFolder(relative, error);
  return true;
}

void IgnoreRules::AddLines(const std::string& text, const std::string& folder) {
  std::vector<Rule>& rules = rules_[folder.empty() ? folder : folder + "/"];
  for (std::string line : tw::SplitList(text, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Trailing blanks go, unless a backslash keeps the last one.
    while (!line.empty() && line.back() == ' ' &&
           !(line.size() >= 2 && line[line.size() - 2] == '\\')) {
      line.pop_back();
    }
    if (line.empty() || line[0] == '#') continue;
    Rule rule;
    if (line[0] == '!') {
      rule.negate = true;
      line.erase(0, 1);
    } else if (line[0] == '\\' && line.size() > 1 && (line[1] == '!' || line[1] == '#')) {
      line.erase(0, 1);
    }
    if (!line.empty() && line.back() == '/') {
      rule.folder_only = true;
      line.pop_back();
    }
    rule.anchored = line.find('/') != std::string::npos;
    if (!line.empty() && line[0] == '/') line.erase(0, 1);
    if (line.empty()) continue;
    rule.pattern = line;
    rules.push_back(rule);
  }
}

bool IgnoreRules::Matches(const std::string& relative, bool folder) const {
  const size_t slash = relative.rfind('/');
  const std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
  bool ignored = false;
  // The working folder's rules first, then those of each folder down to
  // the one that holds `relative`: a deeper file overrides.
  for (size_t end = 0; end != std::string::npos; end = relative.find('/', end + 1)) {
    const std::string base = end == 0 ? std::string() : relative.substr(0, end + 1);
    auto found = rules_.find(base);
    if (found == rules_.end()) continue;
    const std::string below = relative.substr(base.size());
    for (const Rule& rule : found->second) {
      if (rule.folder_only && !folder) continue;
      if (GlobMatch(rule.pattern, rule.anchored ? below : name)) ignored = !rule.negate;
    }
  }
  return ignored;
}

bool IgnoreRules::Ignored(const std::string& relative, bool folder) const {
  for (size_t slash = relative.find('/'); slash != std::string::npos;
       slash = relative.find('/', slash + 1)) {
    if (slash > 0 && Matches(relative.substr(0, slash), true)) return true;
  }
  return Matches(relative, folder);
}

}  // namespace vscc
