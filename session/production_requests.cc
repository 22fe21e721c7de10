// The Production requests: each builds its request, makes one round trip
// through ClientSession::Transact and reads what the Reply answers.
#include "session/production_requests.h"

#include <utility>

#include "protocol/command.h"
#include "protocol/name_list_command.h"
#include "protocol/production_command.h"
#include "protocol/server_errors.h"

namespace tw {

SessionResult CreateProduction(ClientSession* session, const std::string& parent_id,
                               const std::string& name, std::string* id) {
  if (!session->logged_on()) return kSessionNotLoggedOn;
  MessagePtr request = session->CreateRequest(kProductionCommand);
  request->SetInt(kFieldSubCommand, create_production::kSubCommand);
  request->SetString(create_production::kFieldParentId, parent_id);
  request->SetString(create_production::kFieldName, name);
  const Reply reply = session->Transact(std::move(request), kRequestTimeoutSeconds,
                                        {{kServerProductionExists, kSessionProductionExists},
                                         {kServerProductionCaseVariant, kSessionProductionExists}},
                                        kSessionCreateFailed);
  if (reply.result == kSessionOk || reply.result == kSessionProductionExists) {
    *id = reply.Text(create_production::kReplyProductionId);
  }
  return reply.result;
}

SessionResult LookupProduction(ClientSession* session, const std::string& path, bool after_logon,
                               std::string* id) {
  MessagePtr request = session->CreateRequest(kProductionCommand);
  request->SetInt(kFieldSubCommand, lookup_production::kSubCommand);
  request->SetString(lookup_production::kFieldPath, path);
  if (after_logon) request->SetInt(lookup_production::kFieldAfterLogon, 1);
  const Reply reply = session->Transact(
      std::move(request), kRequestTimeoutSeconds,
      {{kServerPathNotFound, kSessionPathNotFound}, {kServerInvalidPath, kSessionInvalidPath}});
  // A reply of another command answers nothing: success without a value.
  if (reply.result == kSessionUnexpected && !reply.Is(kProductionCommand)) return kSessionOk;
  if (reply.result == kSessionOk) *id = reply.Text(lookup_production::kReplyProductionId);
  return reply.result;
}

SessionResult GetNameList(ClientSession* session, const std::string& caller,
                          const std::string& subject, int kind, bool recursive,
                          std::string* table) {
  if (!session->logged_on()) return kSessionNotLoggedOn;
  MessagePtr request = session->CreateRequest(name_list::kCommand);
  request->SetString(name_list::kFieldCaller, caller);
  request->SetString(name_list::kFieldSubject, subject);
  request->SetInt(name_list::kFieldKind, kind);
  if (kind == kNameListDocuments) request->SetInt(name_list::kFieldRecursive, recursive ? 1 : 0);
  const Reply reply = session->Transact(std::move(request), kRequestTimeoutSeconds);
  if (reply.result == kSessionOk) *table = reply.Text(name_list::kReplyTable);
  return reply.result;
}

}  // namespace tw
