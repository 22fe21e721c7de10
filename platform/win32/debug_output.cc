// Diagnostic output on Windows: each record goes to the debugger output
// (OutputDebugStringA), as it is, with no time stamp or line end added. For
// tests, $VELTRANE_DEBUG_OUTPUT may name a file (or "-", standard error)
// that receives the records instead, one line each, as on Linux.
#include "platform/debug_output.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win32/win32_util.h"

namespace tw {

void DebugOutput(const std::string& text) {
  const char* target = std::getenv("VELTRANE_DEBUG_OUTPUT");
  if (target == nullptr || *target == '\0') {
    OutputDebugStringA(text.c_str());
    return;
  }
  const std::string record = text + "\n";
  HANDLE out = GetStdHandle(STD_ERROR_HANDLE);
  win32::ScopedHandle file;
  if (std::strcmp(target, "-") != 0) {
    // FILE_APPEND_DATA alone makes every write an append at the end. A
    // link is opened as itself, and then refused: it could lead the records
    // into another file of the user's.
    file.Reset(CreateFileW(win32::Wide(target).c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr));
    if (!file.valid()) return;  // diagnostics never fail the caller
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return;
    }
    out = file.get();
  }
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(out, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
}

void DebugLog(const char* format, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  DebugOutput(buffer);
}

}  // namespace tw
