// The files a working folder keeps out of control: a built-in list (vscc's
// own binding file, other clients' folders, editor leftovers) and the
// working folder's .vsccignore, in the syntax other clients' ignore files
// use: one pattern a line; blank lines and lines starting with '#' say
// nothing; '*' matches within a name, '?' one character, "[a-z]" a class,
// "**/" any folders; a pattern ending in '/' matches folders only; one
// holding a '/' elsewhere (a leading one, say) is matched against the path
// from the working folder, any other against the name at any depth; '!'
// takes the files a pattern matches back in; '\' makes the next character
// literal ("\#", "\!"). The last pattern that matches decides; what lies in
// an ignored folder is ignored too.
//
// Immutable once read; any thread.
#ifndef TW_TOOLS_VSCC_IGNORE_H_
#define TW_TOOLS_VSCC_IGNORE_H_

#include <string>
#include <vector>

#include "tools/vscc/workspace.h"

namespace vscc {

class IgnoreRules {
 public:
  // The built-in patterns only.
  IgnoreRules();

  // The built-in patterns and those of `root`/.vsccignore (none when it is
  // missing). False, with the reason in `error`, when it cannot be read.
  bool ReadWorkingFolder(const std::string& root, std::string* error);

  // Adds the patterns of `text`, an ignore file's contents.
  void AddLines(const std::string& text);

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

  std::vector<Rule> rules_;
};

// Whether `pattern` matches all of `text` by the rules above ('*' and '?'
// do not match '/'; "**" does).
bool GlobMatch(const std::string& pattern, const std::string& text);

}  // namespace vscc

#endif  // TW_TOOLS_VSCC_IGNORE_H_
