#include "platform/errno_text.h"

#include <string.h>

namespace tw {

std::string ErrnoReason(int err) {
  char buffer[256];
  // The GNU strerror_r returns the text, in `buffer` or a static string.
  return ::strerror_r(err, buffer, sizeof buffer);
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
