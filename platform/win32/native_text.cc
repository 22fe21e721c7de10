// The Windows form of platform/native_text.h: narrow strings are in the
// ANSI code page; a path's native form is UTF-16.
//
// Pure functions; any thread.
#include "platform/native_text.h"

#include <windows.h>

#include <string>

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

bool NarrowTextIsByteSafe(std::string* why) {
  const UINT code_page = GetACP();
  CPINFO info{};
  const bool multi_byte =
      code_page != CP_UTF8 && GetCPInfo(code_page, &info) && info.MaxCharSize > 1;
  if (!multi_byte && CodePageIsByteSafe(code_page)) return true;
  if (why != nullptr) {
    *why = "the ANSI code page " + std::to_string(code_page) +
           " has characters whose second byte can be a path separator";
  }
  return false;
}

}  // namespace tw
