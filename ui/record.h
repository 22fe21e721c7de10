// The record of what the user interface showed: one JSON line per dialog or
// message box, appended to the file named by $VELTRANE_UI_RECORD, so that
// tests and tools can assert what a person would have seen:
//
//   {"kind": "dialog"|"msgbox", "id": <template id or 0>, "title": "...",
//    "texts": {"<control id>": "..."}, "enabled": {"<control id>": true|false},
//    "answer": <button id or name>, "unexpected": true|false}
//
// (on one line, keys in this order, ", " and ": " as separators). A dialog
// records its `texts` and `enabled` maps (a list view's rows as its
// ListText under its control id) and its closing button id as a number. A message box records id 0,
// its text under control id "0", each of its buttons as enabled, and its answer by name ("OK",
// "Cancel", "Yes", "No"). The scripted form also records the status window as kind "status" (see
// StatusRecordLine).
//
// Strings are written as UTF-8 (on Windows converted from the ANSI code
// page, in which the system's strings are): quotes, backslashes and control
// bytes are escaped; valid UTF-8 sequences pass through unchanged; a byte that is not
// part of a valid sequence is taken as Latin-1 and written as \u00XX, so a
// line is always valid JSON.
//
// Threads: the functions keep no state; each line is one append(2)-mode
// write, so lines from several threads or processes do not interleave.
#ifndef TW_UI_RECORD_H_
#define TW_UI_RECORD_H_

#include <cstddef>
#include <string>

#include "platform/json_text.h"
#include "ui/user_interface.h"

namespace tw {

// The record lines, without the final line feed.
std::string DialogRecordLine(const DialogRequest& request, const DialogResult& result);
std::string MessageBoxRecordLine(const MessageBoxRequest& request, int answer, bool unexpected);
// The status window (template 112, title "Veltrane", its text under control
// id "1024", no buttons), answered "shown" when shown or given a new text and
// "closed" when closed.
std::string StatusRecordLine(const std::string& text, bool shown);

// Appends `line` and a line feed to $VELTRANE_UI_RECORD when it is set and
// non-empty. A failing write is reported to the diagnostic output and
// otherwise ignored: the record never fails a dialog.
void AppendUiRecord(const std::string& line);

}  // namespace tw

#endif  // TW_UI_RECORD_H_
