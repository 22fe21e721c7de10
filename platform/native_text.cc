// The POSIX form of platform/native_text.h: paths are bytes and the
// locale's bytes are taken as they are (UTF-8 in a UTF-8 locale).
//
// Pure functions; any thread.
#include "platform/native_text.h"

namespace tw {

std::filesystem::path FsPath(const std::string& native) {
  return std::filesystem::path(native);
}

std::string FsText(const std::filesystem::path& path) {
  return path.native();
}

std::string Utf8FromNative(const std::string& native) {
  return native;
}

std::string NativeFromUtf8(const std::string& utf8) {
  return utf8;
}

bool NarrowTextIsByteSafe(std::string*) {
  return true;
}

}  // namespace tw
