// errno values as text on Windows, through the C runtime's reentrant
// strerror_s; see platform/errno_text.h.
#include "platform/errno_text.h"

#include <string.h>

namespace tw {

std::string ErrnoReason(int err) {
  char buffer[256];
  if (strerror_s(buffer, sizeof buffer, err) != 0) return "error " + std::to_string(err);
  return buffer;
}

std::string ErrnoText(std::string_view what, std::string_view path, int err) {
  std::string text(what);
  text += ' ';
  text += path;
  text += ": ";
  text += ErrnoReason(err);
  return text;
}

}  // namespace tw
