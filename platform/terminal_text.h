// Text a server or a user sent, made safe to print on a terminal or a
// console: control characters and invisible formatting shown as visible
// escapes, so that a name can neither move the cursor nor pass for another.
// Every platform has it, the Windows one included.
//
// Stateless; callable from any thread.
#ifndef TW_PLATFORM_TERMINAL_TEXT_H_
#define TW_PLATFORM_TERMINAL_TEXT_H_

#include <string>

namespace tw {

// `text` made safe to print on a terminal. Line feeds and tabs
// stay: a text may have lines.
std::string TerminalSafeText(const std::string& text);
// A name (of a file, a Document, a Production) made safe to print as one
// item of a list: as TerminalSafeText, and line feeds and tabs shown as ^J
// and ^I too, so that a name cannot pass for two lines or two columns.
std::string TerminalSafeName(const std::string& name);

}  // namespace tw

#endif  // TW_PLATFORM_TERMINAL_TEXT_H_
