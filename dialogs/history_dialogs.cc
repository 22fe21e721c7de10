#include "dialogs/history_dialogs.h"

#include <utility>

#include "platform/debug_output.h"
#include "platform/list_text.h"
#include "protocol/name_table.h"
#include "session/client_session.h"
#include "session/document_info.h"
#include "session/production_requests.h"
#include "settings/stamp.h"

namespace tw {

namespace {

constexpr char kEllipsis[] = "...";

// `piece` as "%<width>s" prints it.
std::string Padded(const std::string& piece, size_t width) {
  return piece.size() >= width ? piece : std::string(width - piece.size(), ' ') + piece;
}

const char* YesNo(const std::string& flag) {
  return flag == "1" ? "Yes" : "No";
}

// The name table of `kind` for the Document; empty when it cannot be had.
NameTable LoadTable(ClientSession* session, const DocumentInfo& record,
                    const std::string& project_name, NameListKind kind) {
  NameTable table;
  if (session == nullptr || record.document_id.empty()) return table;
  std::string text;
  if (GetNameList(session, project_name, record.document_id, kind, false, &text) != kSessionOk) {
    return table;
  }
  std::string error;
  if (!NameTable::Parse(text, &table, &error)) {
    DebugLog("Name list %d of %s: %s", static_cast<int>(kind), record.document_id.c_str(),
             error.c_str());
  }
  return table;  // emptied when the text was no table
}

void ShowList(void* owner, int template_id, int list_id, const std::string& title,
              const ListControl& list) {
  DialogRequest request;
  request.owner = owner;
  request.template_id = template_id;
  request.title = title;
  request.texts = {{kIdOk, "OK"}};
  request.buttons = {kIdOk};
  request.lists[list_id] = list;
  ShowDialog(request);
}

// The server's UTC stamp in the user's local time; a text that names no
// valid instant is shown as the server sent it.
std::string ShownStamp(const std::string& server_stamp) {
  const std::string local = ServerStampToLocal(server_stamp);
  return local.empty() ? server_stamp : local;
}

}  // namespace

std::string ShortServerDate(const std::string& stamp) {
  const std::vector<std::string> pieces = SplitList(stamp, ':');
  if (pieces.size() < 5) return stamp;
  return Padded(pieces[0], 4) + "/" + Padded(pieces[1], 2) + "/" + Padded(pieces[2], 2) + " " +
         Padded(pieces[3], 2) + ":" + Padded(pieces[4], 2);
}

std::string ShortComment(const std::string& comment) {
  std::string shown = comment;
  const size_t line_feed = shown.find('\n');
  if (line_feed != std::string::npos) {
    // The first line, without the carriage return of a CR LF pair; a line
    // that ends in a bare line feed (as comments typed on this system do)
    // keeps all of its characters.
    size_t cut = line_feed;
    if (cut > 0 && shown[cut - 1] == '\r') --cut;
    shown = shown.substr(0, cut) + kEllipsis;
  }
  if (shown.size() > kHistoryCommentLimit) {
    size_t cut = kHistoryCommentLimit;
    while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) --cut;
    shown = shown.substr(0, cut) + kEllipsis;
  }
  return shown;
}

ListControl HistoryList(const NameTable& versions) {
  ListControl list;
  list.columns = {{"Version", 25}, {"User", 100}, {"Server Date", 100}, {"Comment", 100}};
  for (size_t row = 0; row < versions.row_count(); ++row) {
    list.rows.push_back({versions.Get(row, kColumnVersion), versions.Get(row, kColumnVersionUser),
                         ShortServerDate(ShownStamp(versions.Get(row, kColumnStamp))),
                         ShortComment(versions.Get(row, kColumnComment))});
  }
  return list;
}

ListControl LockList(const NameTable& locks) {
  ListControl list;
  list.columns = {{"Locked By", 100}, {"Exclusive", 100}, {"Deferred", 100}, {"Rank", 100}};
  for (size_t row = 0; row < locks.row_count(); ++row) {
    list.rows.push_back({locks.Get(row, kColumnUser), YesNo(locks.Get(row, kColumnExclusive)),
                         YesNo(locks.Get(row, kColumnDeferred)), locks.Get(row, kColumnRank)});
  }
  return list;
}

void ShowHistoryList(void* owner, const std::string& title, const ListControl& list) {
  ShowList(owner, kHistoryTemplate, kHistoryList, title, list);
}

void ShowPropertiesList(void* owner, const std::string& title, const ListControl& list) {
  ShowList(owner, kPropertiesTemplate, kPropertiesList, title, list);
}

void ShowHistoryDialog(void* owner, ClientSession* session, const DocumentInfo& record,
                       const std::string& project_name, const std::string& title) {
  ShowHistoryList(owner, title,
                  HistoryList(LoadTable(session, record, project_name, kNameListVersions)));
}

void ShowPropertiesDialog(void* owner, ClientSession* session, const DocumentInfo& record,
                          const std::string& project_name, const std::string& title) {
  ShowPropertiesList(owner, title,
                     LockList(LoadTable(session, record, project_name, kNameListLocks)));
}

}  // namespace tw
