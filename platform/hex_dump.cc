// The classic hex dump of the diagnostic output (declared in
// debug_output.h); a pure function, shared by every platform.
#include <cctype>
#include <string>

#include "platform/debug_output.h"
#include "platform/hex.h"

namespace tw {

std::string HexDump(const void* bytes, size_t count, int width) {
  if (width < 4) width = 4;
  const size_t per_line = static_cast<size_t>(width - 1) / 3;
  const auto* p = static_cast<const unsigned char*>(bytes);
  std::string out, hex, chars;
  for (size_t i = 0; i < count; ++i) {
    AppendHexByte(&hex, p[i]);
    hex += ' ';
    chars += std::isprint(p[i]) ? static_cast<char>(p[i]) : '.';
    const bool line_full = (i + 1) % per_line == 0;
    if (line_full || i + 1 == count) {
      for (size_t missing = chars.size(); missing < per_line; ++missing) hex += "   ";
      out += hex;
      out += " - ";
      out += chars;
      out += '\n';
      hex.clear();
      chars.clear();
    }
  }
  return out;
}

}  // namespace tw
