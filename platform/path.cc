#include "platform/path.h"

#include <algorithm>
#include <cstring>

#include "platform/letter_case.h"

namespace tw {

namespace {

// Whether Windows would take the path element `element` (not empty) for
// something other than the file of exactly that name: it drops a trailing
// "." or " " ("a.txt." is the file "a.txt"), reads a device in CON, PRN,
// AUX, NUL, COM0-9 and LPT0-9 whatever the case and extension ("nul.txt" is
// the null device), takes ":" for a drive or a stream and "<>\"|?*" as
// wildcards, and has no file names with control characters.
bool RefusedOnWindows(std::string_view element) {
  for (const char c : element) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 32 || std::strchr(":<>\"|?*", c) != nullptr) return true;
  }
  if (element.back() == '.' || element.back() == ' ') return true;
  // The device names hold before the first "." and ignore trailing spaces
  // ("con .txt" is the console too).
  std::string_view stem = element.substr(0, element.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  const std::string upper = UpperCase(stem);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (upper == device) return true;
  }
  // COM0-9 and LPT0-9, and the superscript 1-3 the system also reads as
  // digits there (their bytes in code page 1252).
  if (upper.size() == 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0)) {
    const unsigned char digit = static_cast<unsigned char>(upper[3]);
    if ((digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string NativeToWire(std::string_view path) {
  std::string wire(path);
  std::replace(wire.begin(), wire.end(), '/', kWireSeparator);
  return wire;
}

bool WireToNative(std::string_view wire, std::string* native) {
  if (wire.empty() || wire.front() == kWireSeparator || wire.front() == '/') {
    return false;
  }
  std::string result;
  size_t start = 0;
  while (start <= wire.size()) {
    size_t end = wire.find(kWireSeparator, start);
    if (end == std::string_view::npos) end = wire.size();
    const std::string_view element = wire.substr(start, end - start);
    if (element.empty() || element == "." || element == ".." ||
        element.find('/') != std::string_view::npos ||
        element.find('\0') != std::string_view::npos) {
      return false;
    }
    if (kNativeSeparator == '\\' && RefusedOnWindows(element)) return false;
    if (!result.empty()) result += kNativeSeparator;
    result.append(element);
    start = end + 1;
  }
  *native = std::move(result);
  return true;
}

std::string DropTrailingSeparator(std::string_view path, char separator) {
  while (path.size() > 1 && path.back() == separator) path.remove_suffix(1);
  return std::string(path);
}

std::string LastComponent(std::string_view path, char separator) {
  const std::string trimmed = DropTrailingSeparator(path, separator);
  if (trimmed.size() == 1 && trimmed[0] == separator) return "";
  const size_t cut = trimmed.rfind(separator);
  return cut == std::string::npos ? trimmed : trimmed.substr(cut + 1);
}

std::string ParentPath(std::string_view path, char separator) {
  const std::string trimmed = DropTrailingSeparator(path, separator);
  const size_t cut = trimmed.rfind(separator);
  if (cut == std::string::npos) return "";
  if (cut == 0) return std::string(1, separator);
  return DropTrailingSeparator(std::string_view(trimmed).substr(0, cut), separator);
}

std::string JoinPath(std::string_view base, std::string_view name, char separator) {
  if (base.empty()) return std::string(name);
  if (name.empty()) return std::string(base);
  while (!name.empty() && name.front() == separator) name.remove_prefix(1);
  std::string joined(base);
  if (joined.back() != separator) joined += separator;
  joined.append(name);
  return joined;
}

bool IsFullPosixPath(std::string_view path) {
  return !path.empty() && path.front() == '/';
}

bool IsFullWindowsPath(std::string_view path) {
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  if (path.size() >= 3 && path[1] == ':' && separator(path[2])) {
    const char drive = path[0];
    return (drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z');
  }
  if (path.size() < 2 || !separator(path[0]) || !separator(path[1])) return false;
  // "\\server\share": both named.
  const size_t server_end = path.find_first_of("\\/", 2);
  if (server_end == std::string_view::npos) return false;
  const std::string_view server = path.substr(2, server_end - 2);
  if (server.empty() || server == "." || server == "?") return false;
  const size_t share_start = server_end + 1;
  return share_start < path.size() && !separator(path[share_start]);
}

bool SamePathIgnoringCase(std::string_view a, std::string_view b) {
  return EqualIgnoringCase(a, b);
}

}  // namespace tw
