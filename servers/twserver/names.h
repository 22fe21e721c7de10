// Name rules of the repository: which Production and Document names are
// valid, how names compare, and how backslash paths split into names.
//
// Names compare without regard to letter case. Folding is ASCII only: bytes
// outside A-Z (including every byte of a multi-byte character) compare as
// they are, so that two ends that do not share a character set still agree.
// Values only; every function may be called from any thread.
#ifndef TW_SERVERS_TWSERVER_NAMES_H_
#define TW_SERVERS_TWSERVER_NAMES_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/list_text.h"

namespace tw::twserver {

// Longest name accepted, in bytes. Longer names are invalid.
constexpr size_t kMaxNameBytes = 1024;

// True when `name` may name a Production or a Document: not empty, not "."
// or "..", at most kMaxNameBytes, and free of \ / : ? , * " < > | and of
// control characters (0x00-0x1F, 0x7F).
bool IsValidName(std::string_view name);

// The form under which names compare: A-Z turned into a-z, all else kept.
std::string FoldName(std::string_view name);

// Splits a backslash path into its elements (SplitList on "\\").
inline std::vector<std::string> SplitPath(std::string_view path) {
  return SplitList(path, '\\');
}

// The text with control characters shown as escapes (\n, \t, \xHH), so
// that names and comments from clients cannot drive an administrator's
// terminal or split a log line.
std::string Printable(std::string_view text);

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_NAMES_H_
