// The files a working folder keeps out of control: a built-in list (vscc's
// own binding file, other clients' folders, editor leftovers) and the
// patterns of the .vsccignore files in the working folder and in folders
// below it, in the syntax other clients' ignore files use: one pattern a
// line; blank lines and lines starting with '#' say nothing; '*' matches
// within a name, '?' one character, "[a-z]" a class, "**/" any folders; a
// pattern ending in '/' matches folders only; one holding a '/' elsewhere
// (a leading one, say) is matched against the path from the folder of its
// .vsccignore, any other against the name at any depth below that folder;
// '!' takes the files a pattern matches back in; '\' makes the next
// character literal ("\#", "\!"). A folder's own patterns apply only below
// it and come after those of the folders above it; the last pattern that
// matches decides; what lies in an ignored folder is ignored too (and its
// .vsccignore is not read).
//
// Read as the folders are walked (ReadFolder); Ignored may be called from
// any thread once reading is done.
#ifndef TW_TOOLS_VSCC_IGNORE_H_
#define TW_TOOLS_VSCC_IGNORE_H_

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/vscc/workspace.h"

namespace vscc {

class IgnoreRules {
 public:
  // The built-in patterns only.
  IgnoreRules();

  // The built-in patterns and those of `root`/.vsccignore (none when it is
  // missing); `root` is the working folder that ReadFolder reads below.
  // False, with the reason in `error`, when it cannot be read.
  bool ReadWorkingFolder(const std::string& root, std::string* error);

  // The patterns of the .vsccignore of `folder` ('/'-separated, from the
  // working folder), once: they apply below it. A missing file adds none.
  // False, with the reason in `error`, when it cannot be read.
  bool ReadFolder(const std::string& folder, std::string* error);

  // Reads, from the working folder down, the .vsccignore of every folder
  // that holds `relative` (and of `relative` itself when it is a folder)
  // that is not ignored. False as ReadFolder.
  bool ReadFoldersAbove(const std::string& relative, bool folder, std::string* error);

  // Adds the patterns of `text`, an ignore file's contents, for the files
  // below `folder` (as for ReadFolder; empty: the working folder).
  void AddLines(const std::string& text, const std::string& folder = std::string());

  // Whether `relative` ('/'-separated, from the working folder) is ignored:
  // itself, or a folder it lies in.
  bool Ignored(const std::string& relative, bool folder) const;

 private:
  struct Rule {
    std::string pattern;
    bool negate = false;
    bool folder_only = false;
    bool anchored = false;
  };
  // Whether the last rule that matches `relative` itself ignores it.
  bool Matches(const std::string& relative, bool folder) const;

  std::string root_;
  // The rules of each folder's file, by the folder's path followed by '/'
  // (the working folder's: ""), in the order of their lines.
  std::map<std::string, std::vector<Rule>> rules_;
  std::set<std::string> read_;
};

// Whether `pattern` matches all of `text` by the rules above ('*' and '?'
// do not match '/'; "**" does).
bool GlobMatch(const std::string& pattern, const std::string& text);

}  // namespace vscc

#endif  // TW_TOOLS_VSCC_IGNORE_H_
