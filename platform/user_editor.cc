// The editor the user chose for texts, as the environment names it
// (declared in system_factory.h). Reads the environment only; any thread.
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/system_factory.h"

namespace tw {

std::vector<std::string> UserEditorCommand() {
  for (const char* variable : {"VISUAL", "EDITOR"}) {
    const char* value = std::getenv(variable);
    if (value == nullptr) continue;
    std::vector<std::string> command = SplitCommandLine(value);
    // A blank value names no editor: the next variable may.
    if (!command.empty()) return command;
  }
  return {};
}

}  // namespace tw
