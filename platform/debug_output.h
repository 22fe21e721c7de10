// Diagnostic output: the system's stand-in for the Windows debugger output.
//
// Each call is one record. With $VELTRANE_DEBUG_OUTPUT naming a file the
// record is appended to it followed by a line feed (the separator between
// records; "-" means standard error); otherwise it goes to syslog at
// LOG_DEBUG under the program's ident (on Windows: OutputDebugStringA).
// The named file must be a plain file of the user's (or a character device
// such as /dev/null): a symbolic link, a pipe or another user's file there
// gets nothing.
// Thread-safe: one write per record.
#ifndef TW_PLATFORM_DEBUG_OUTPUT_H_
#define TW_PLATFORM_DEBUG_OUTPUT_H_

#include <cstddef>
#include <string>

namespace tw {

// Formats with the printf rules into a 4096-byte buffer (longer texts are
// cut) and writes the result as one record.
void DebugLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes one record as it stands.
void DebugOutput(const std::string& text);

// The classic hex dump: (width - 1) / 3 bytes per line, each as "%02X ",
// a short last line padded with three blanks per missing byte, then " - ",
// the bytes as characters (isprint, else "."), "\n". Width is at least 4.
std::string HexDump(const void* bytes, size_t count, int width);

}  // namespace tw

#endif  // TW_PLATFORM_DEBUG_OUTPUT_H_
