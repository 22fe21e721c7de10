// The Windows form of platform/native_text.h: narrow strings are in the
// ANSI code page; a path's native form is UTF-16.
//
// Pure functions; any thread.
#include "platform/native_text.h"

#include "platform/win32/win32_util.h"

namespace tw {

std::filesystem::path FsPath(const std::string& native) {
  return std::filesystem::path(win32::Wide(native));
}

std::string FsText(const std::filesystem::path& path) {
  return win32::Narrow(path.native());
}

std::string Utf8FromNative(const std::string& native) {
  return win32::Utf8FromWide(win32::Wide(native));
}

std::string NativeFromUtf8(const std::string& utf8) {
  return win32::Narrow(win32::WideFromUtf8(utf8));
}

}  // namespace tw
