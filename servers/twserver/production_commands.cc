// The Production family of "PRODUCTIONCMD": create a Production, look one
// up by its path, and the information of Documents named in one.
#include <string>
#include <vector>

#include "platform/list_text.h"
#include "protocol/production_command.h"
#include "servers/twserver/command_fields.h"
#include "servers/twserver/commands.h"

namespace tw::twserver {

std::string CommandHandler::FullProductionPath(const std::string& path) const {
  if (path.empty()) return settings_.root_name;
  if (path[0] == '\\') return settings_.root_name + path;
  return path;
}

int CommandHandler::CreateProduction(const CRLMSGmessage& request, CommandOutcome* out) {
  std::string parent, name, id;
  if (!GetText(request, create_production::kFieldParentId, &parent) ||
      !GetText(request, create_production::kFieldName, &name)) {
    return kMalformed;
  }
  const int result = storage_.CreateProduction(parent, name, &id);
  const std::string path = TouchedChild(parent, name, out);
  if (result == kOk && !path.empty()) Learn(id, path);
  if (result == kOk || result == kProductionExists || result == kProductionCaseVariant) {
    out->reply->SetString(create_production::kReplyProductionId, id);
  }
  return Checked(result, out);
}

int CommandHandler::LookupProduction(const CRLMSGmessage& request, CommandOutcome* out) {
  std::string path, id;
  if (!GetText(request, lookup_production::kFieldPath, &path)) return kMalformed;
  const int result = storage_.LookupProduction(path, &id);
  Touched(FullProductionPath(path), out);
  if (result == kOk) Learn(id, FullProductionPath(path));
  if (result == kOk) out->reply->SetString(lookup_production::kReplyProductionId, id);
  return Checked(result, out);
}

int CommandHandler::GetDocumentInfo(const CRLMSGmessage& request, CommandOutcome* out) {
  std::string production;
  std::vector<std::string> names;
  if (!GetText(request, document_info::kFieldProductionId, &production) ||
      !GetList(request, document_info::kFieldNames, &names)) {
    return kMalformed;
  }
  if (CheckCount(names.size()) != kOk) return kServerNotPermitted;
  std::vector<DocumentInfo> rows;
  const int result = storage_.GetDocumentInfo(user_, production, names, &rows);
  if (known_paths_.count(production) == 0) {
    TouchedId(production, out);  // once, not once per name
  } else {
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string path = TouchedChild(production, names[i], out);
      if (result == kOk && i < rows.size()) Learn(rows[i].id, path);
    }
  }
  if (result != kOk) return Checked(result, out);
  std::vector<std::string> ids, versions, flags, stamps;
  for (const DocumentInfo& row : rows) {
    ids.push_back(row.id);
    versions.push_back(std::to_string(row.version));
    flags.push_back(std::to_string(row.flags));
    stamps.push_back(row.stamp);
  }
  CRLMSGmessage& reply = *out->reply;
  const char* const separator = document_info::kReplySeparator;
  reply.SetString(document_info::kReplyDocumentIds, JoinList(ids, separator));
  reply.SetString(document_info::kReplyVersions, JoinList(versions, separator));
  reply.SetString(document_info::kReplyFlags, JoinList(flags, separator));
  reply.SetString(document_info::kReplyStamps, JoinList(stamps, separator));
  return kOk;
}

}  // namespace tw::twserver
