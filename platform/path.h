// The path helper: the few operations on paths that every export, the
// session, the state cache and the locks need, in the two forms the system
// uses.
//
//   native  local file-system paths, with "/" ("\" on Windows: what the
//           host passes, what the provider opens, moves and stamps);
//   wire    names on the server and binding strings, with "\" (project
//           names, auxiliary project paths, Production paths, the relative
//           Document names sent to the server).
//
// Local paths that the provider sends only to have them echoed back stay
// native. Names that come from the server become native only through
// WireToNative, which refuses any element that could leave the folder the
// provider chose.
//
// Pure functions on strings; no file-system access; thread-safe.
#ifndef TW_PLATFORM_PATH_H_
#define TW_PLATFORM_PATH_H_

#include <string>
#include <string_view>

namespace tw {

#ifdef _WIN32
constexpr char kNativeSeparator = '\\';
#else
constexpr char kNativeSeparator = '/';
#endif
constexpr char kWireSeparator = '\\';

// Every "/" becomes "\" (the host may hand binding strings with either; on
// Windows the native form is the wire form already).
std::string NativeToWire(std::string_view path);
// A relative wire name from the server ("src\main.c") in native form
// ("src/main.c"). False, with `native` untouched, when the name is empty,
// absolute, or has an empty, "." or ".." element (it would leave the folder
// it is joined to), a "/" or a NUL byte; on Windows also an element
// Windows would read as another file or a device: one holding ":" (a drive
// or a stream), one of <>"|?* or a byte 1-31, one ending in "." or " "
// (dropped by the system), or a device name (CON, PRN, AUX, NUL, COM0-9,
// LPT0-9, with any extension, in any case).
bool WireToNative(std::string_view wire, std::string* native);

// Operations of one form; `separator` is kNativeSeparator or kWireSeparator.
// The path without trailing separators (a lone root separator stays).
std::string DropTrailingSeparator(std::string_view path, char separator);
// The last element after dropping trailing separators ("a\b\" -> "b"); the
// whole path when it has no separator.
std::string LastComponent(std::string_view path, char separator);
// Everything before the last element, without its trailing separator
// ("a/b/c" -> "a/b", "/c" -> "/", "c" -> "").
std::string ParentPath(std::string_view path, char separator);
// `base` and `name` with exactly one separator between them; either may be
// empty, and then the other is returned.
std::string JoinPath(std::string_view base, std::string_view name, char separator);

// Native shorthands.
inline std::string NativeLastComponent(std::string_view path) {
  return LastComponent(path, kNativeSeparator);
}
inline std::string NativeParent(std::string_view path) {
  return ParentPath(path, kNativeSeparator);
}
inline std::string NativeJoin(std::string_view base, std::string_view name) {
  return JoinPath(base, name, kNativeSeparator);
}
// Wire shorthands.
inline std::string WireLastComponent(std::string_view path) {
  return LastComponent(path, kWireSeparator);
}
inline std::string WireParent(std::string_view path) {
  return ParentPath(path, kWireSeparator);
}
inline std::string WireJoin(std::string_view base, std::string_view name) {
  return JoinPath(base, name, kWireSeparator);
}

// Whether `path` is a full path, one that names the same file whatever the
// current folder and drive are: the rule of each system, as text (no
// file-system access), so that both can be checked on either.
//   POSIX    it starts with "/".
//   Windows  a drive letter, ":" and a separator ("C:\x", "C:/x"), or a UNC
//            name "\\server\share..." (either separator) with a server and
//            a share. Refused: relative names, drive-relative ones ("C:x"),
//            root-relative ones ("\x", which take the current drive) and the
//            device namespaces ("\\.\", "\\?\"), which name no file on a
//            share.
bool IsFullPosixPath(std::string_view path);
bool IsFullWindowsPath(std::string_view path);
// The rule of the system this is built for.
inline bool IsFullNativePath(std::string_view path) {
#ifdef _WIN32
  return IsFullWindowsPath(path);
#else
  return IsFullPosixPath(path);
#endif
}

// Whether two paths are equal without regard to the case of ASCII letters
// (platform/letter_case.h).
bool SamePathIgnoringCase(std::string_view a, std::string_view b);

}  // namespace tw

#endif  // TW_PLATFORM_PATH_H_
