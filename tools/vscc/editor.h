// A text written by the person in their own editor: the check-in comment
// when no -m gives one on a terminal.
//
// Threads: the main thread only (the editor owns the terminal meanwhile).
#ifndef TW_TOOLS_VSCC_EDITOR_H_
#define TW_TOOLS_VSCC_EDITOR_H_

#include <string>

namespace vscc {

// Opens the editor (the user's, tw::UserEditorCommand: $VISUAL, else
// $EDITOR, with its options; else the system's default) on a new file holding `initial`
// in the user's private runtime folder, waits for it to end and sets `text`
// to what was saved, cleaned by CleanComment. The file is removed. False,
// with the reason in `error`, when the file cannot be made or read, or the
// editor cannot start or ends with a failure.
bool EditText(const std::string& initial, std::string* text, std::string* error);

// `text` without its lines that start with '#', the blanks and carriage
// returns at the end of each line, and the empty lines before the first
// line and after the last; lines are joined by line feeds.
std::string CleanComment(const std::string& text);

}  // namespace vscc

#endif  // TW_TOOLS_VSCC_EDITOR_H_
