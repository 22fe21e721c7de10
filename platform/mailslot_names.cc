// Mailslot names (declared in mailslot.h): the parts of a mailslot path and
// fresh names for readers. Pure functions; any thread.
#include <string>

#include "platform/guid.h"
#include "platform/letter_case.h"
#include "platform/mailslot.h"

namespace tw {

bool ParseMailslotPath(const std::string& path, std::string* computer, std::string* name) {
  if (path.size() < 2 || path[0] != '\\' || path[1] != '\\') return false;
  const size_t computer_end = path.find('\\', 2);
  if (computer_end == std::string::npos || computer_end == 2) return false;
  static const char kWord[] = "mailslot\\";
  const size_t word_length = sizeof kWord - 1;
  if (path.size() <= computer_end + 1 + word_length) return false;
  if (UpperCase(path.substr(computer_end + 1, word_length)) != UpperCase(kWord)) return false;
  *computer = path.substr(2, computer_end - 2);
  *name = path.substr(computer_end + 1 + word_length);
  return true;
}

std::string UniqueMailslotName() {
  return Guid::New().ToText();
}

}  // namespace tw
