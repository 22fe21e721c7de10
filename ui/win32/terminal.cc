// The terminal user interface on Windows: not there. The prompts of the
// terminal form are the Linux command-line host's; a Windows process has no
// /dev/tty, so the terminal is never found and "tty" answers as "none"
// (every dialog Cancel, every message box its default button).
#include "ui/terminal.h"

namespace tw {

std::shared_ptr<TerminalUserInterface> TerminalUserInterface::OpenTty() {
  return nullptr;
}

}  // namespace tw
