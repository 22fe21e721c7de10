// GETNAMELIST: the name table of a Production or Document, in its text form.
#include "protocol/name_list_command.h"

#include <string>
#include <utility>
#include <vector>

#include "protocol/name_table.h"
#include "servers/twserver/command_fields.h"
#include "servers/twserver/commands.h"

namespace tw::twserver {

int CommandHandler::GetNameList(const CRLMSGmessage& request, CommandOutcome* out) {
  std::string subject;
  int kind = 0;
  int recursive = 0;
  if (!GetText(request, name_list::kFieldSubject, &subject) ||
      !GetNumber(request, name_list::kFieldKind, &kind)) {
    return kMalformed;
  }
  GetNumber(request, name_list::kFieldRecursive, &recursive);
  TouchedId(subject, out);
  NameTable table;
  const int result = storage_.GetNameTable(kind, subject, recursive != 0, &table);
  if (result != kOk) return Checked(result, out);
  ::tw::NameTable text;
  for (std::vector<std::string>& values : table.rows) {
    ::tw::NameTable::Row row;
    for (size_t c = 0; c < table.columns.size(); ++c) {
      row.emplace_back(table.columns[c], c < values.size() ? std::move(values[c]) : std::string());
    }
    values.clear();
    text.AddRow(std::move(row));
  }
  table.rows.clear();
  std::string form = text.ToText();
  text.Clear();
  // The storage charged each row at its largest; this is the last guard.
  if (form.size() > kMaxReplyBytes) {
    out->note = "a name table of " + std::to_string(form.size()) + " bytes, over the reply limit";
    return kServerNotPermitted;
  }
  out->reply->SetString(name_list::kReplyTable, form);
  return kOk;
}

}  // namespace tw::twserver
