// The system's narrow strings where they meet text of a fixed encoding:
// std::filesystem paths and UTF-8 formats (JSON).
//
// Narrow strings are in the encoding of the process: on Linux the bytes of
// the locale, passed through as they are; on Windows the ANSI code page,
// in which a host passes paths and names to the exports and the wire
// carries them. std::filesystem on Windows takes and gives narrow strings
// as UTF-8 (or the C library's locale), so code shared by both systems
// never converts between a path and a narrow string on its own: FsPath and
// FsText do it, in the encoding of the process.
//
// Pure functions; any thread.
#ifndef TW_PLATFORM_NATIVE_TEXT_H_
#define TW_PLATFORM_NATIVE_TEXT_H_

#include <filesystem>
#include <string>

namespace tw {

// A path from a narrow string of the process, and back. A character the
// narrow encoding lacks becomes "?" (no file name holds one).
std::filesystem::path FsPath(const std::string& native);
std::string FsText(const std::filesystem::path& path);

// Narrow text of the process as UTF-8, and back, for formats that are UTF-8
// by definition. On Linux both return the bytes unchanged.
std::string Utf8FromNative(const std::string& native);
std::string NativeFromUtf8(const std::string& utf8);

// Whether the process's narrow encoding keeps every byte below 0x80 the
// character it is: the path helpers split at "\" and "/" and fold letters
// byte by byte. True on Linux and for Windows' single-byte code pages and
// UTF-8; false for the double-byte and GB18030 code pages, where the second
// byte of a character can be "\" or a letter, so that splitting there
// would put files outside the folder they were meant for. Then `why` (when
// given) names the code page.
bool NarrowTextIsByteSafe(std::string* why);
// The same question for Windows code page `code_page` (any system).
bool CodePageIsByteSafe(unsigned code_page);

}  // namespace tw

#endif  // TW_PLATFORM_NATIVE_TEXT_H_
