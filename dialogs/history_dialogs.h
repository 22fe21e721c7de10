// The dialogs that show what the server knows about one Document: its
// version history (template 114, list view 1030) and its locks (template
// 115, list view 1031). Each is a report-style list with an OK button; the
// dialog asks the session for its rows itself ("GETNAMELIST" kind 4 for the
// versions, kind 3 for the lock table, property 59) when it opens. A
// request that fails, or a reply that is no name table, leaves the list
// empty: the dialog still shows.
//
// Used on the host's thread that runs the export, while it holds the
// shared session slot.
#ifndef TW_DIALOGS_HISTORY_DIALOGS_H_
#define TW_DIALOGS_HISTORY_DIALOGS_H_

#include <string>
#include <vector>

#include "ui/user_interface.h"

namespace tw {

class ClientSession;
class NameTable;
struct DocumentInfo;

// Control ids of templates 114 and 115.
enum HistoryDialogControl : int {
  kHistoryTemplate = 114,
  kHistoryList = 1030,
  kPropertiesTemplate = 115,
  kPropertiesList = 1031,
};

// The longest comment the history shows before "..." is appended, in bytes.
constexpr size_t kHistoryCommentLimit = 252;

// A server stamp as the "Server Date" column shows it: split at ":", and
// with at least five pieces "%04s/%02s/%02s %02s:%02s" of the first five
// (year, month, day, hour, minute; a short piece is padded with blanks on
// the left, a long one kept whole); otherwise the text unchanged.
std::string ShortServerDate(const std::string& stamp);

// A version comment as the "Comment" column shows it: cut before the
// character that precedes its first line feed (the carriage return of a
// CR LF pair) with "..." appended; then, when longer than 252 bytes, cut to
// 252 (back to the start of a UTF-8 sequence the cut would split) with
// "..." appended.
std::string ShortComment(const std::string& comment);

// The list views filled from name tables: the versions (columns "Version"
// 25, "User" 100, "Server Date" 100, "Comment" 100, one row per version in
// the order received) and the lock table (columns "Locked By",
// "Exclusive", "Deferred", "Rank", each 100; flags as "Yes" or "No").
ListControl HistoryList(const NameTable& versions);
ListControl LockList(const NameTable& locks);

// The dialogs over rows already loaded; `title` replaces the template's.
void ShowHistoryList(void* owner, const std::string& title, const ListControl& list);
void ShowPropertiesList(void* owner, const std::string& title, const ListControl& list);

// The dialogs as the exports open them: the rows of the Document of
// `record` are asked from `session` (field 13 = `project_name`). `session`
// may be null, and a record without a Document identifier asks nothing:
// the list is then empty.
void ShowHistoryDialog(void* owner, ClientSession* session, const DocumentInfo& record,
                       const std::string& project_name, const std::string& title);
void ShowPropertiesDialog(void* owner, ClientSession* session, const DocumentInfo& record,
                          const std::string& project_name, const std::string& title);

}  // namespace tw

#endif  // TW_DIALOGS_HISTORY_DIALOGS_H_
