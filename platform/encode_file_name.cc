// Object names as file-name components (declared in runtime_dir.h). A pure
// function; any thread.
#include <cstring>
#include <string>

#include "platform/hex.h"
#include "platform/runtime_dir.h"

namespace tw {

std::string EncodeFileName(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       std::strchr("-_~+=,@", c) != nullptr || (c == '.' && i > 0);
    if (plain && c != '\0') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      AppendHexByte(&out, c);
    }
  }
  return out;
}

}  // namespace tw
