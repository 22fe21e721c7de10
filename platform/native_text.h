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

}  // namespace tw

#endif  // TW_PLATFORM_NATIVE_TEXT_H_
