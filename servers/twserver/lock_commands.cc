// The lock family: ACQUIRELOCK and RELEASELOCK, which name the failing item
// in the reply when a Document stands in the way.
#include <string>
#include <vector>

#include "protocol/lock_command.h"
#include "servers/twserver/command_fields.h"
#include "servers/twserver/commands.h"

namespace tw::twserver {

namespace {

// The reply fields that name the failing item of a lock request.
void NameFailure(const LockFailure& failure, CRLMSGmessage* reply) {
  reply->SetInt(acquire_lock::kReplyFailedIndex, static_cast<int>(failure.index));
  reply->SetString(acquire_lock::kReplyFailedId, failure.document_id);
  reply->SetString(acquire_lock::kReplyFailedName, failure.name);
}

}  // namespace

int CommandHandler::AcquireLock(const CRLMSGmessage& request, CommandOutcome* out) {
  std::vector<std::string> ids;
  int lock_type = 0;
  if (!GetList(request, acquire_lock::kFieldDocumentIds, &ids) ||
      !GetNumber(request, acquire_lock::kFieldLockType, &lock_type)) {
    return kMalformed;
  }
  if (CheckCount(ids.size()) != kOk) return kServerNotPermitted;
  for (const std::string& id : ids) TouchedId(id, out);
  std::vector<bool> deferred;
  request.GetBoolList(acquire_lock::kFieldDeferred, &deferred);
  if (deferred.empty()) deferred.assign(ids.size(), false);
  if (deferred.size() != ids.size()) return kMalformed;
  std::vector<LockRequest> items(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    items[i].document_id = ids[i];
    items[i].deferred = deferred[i];
  }
  LockFailure failure;
  const int result = storage_.AcquireLocks(user_, items, lock_type, &failure);
  if (result == kExclusiveConflict || result == kSharedConflict || result == kAlreadyQueued ||
      result == kUnknownId) {
    NameFailure(failure, out->reply.get());
  }
  return Checked(result, out);
}

int CommandHandler::ReleaseLock(const CRLMSGmessage& request, CommandOutcome* out) {
  std::vector<std::string> ids;
  if (!GetList(request, release_lock::kFieldDocumentIds, &ids)) return kMalformed;
  if (CheckCount(ids.size()) != kOk) return kServerNotPermitted;
  for (const std::string& id : ids) TouchedId(id, out);
  LockFailure failure;
  const int result = storage_.ReleaseLocks(user_, ids, &failure);
  if (result == kUnknownId) NameFailure(failure, out->reply.get());
  return Checked(result, out);
}

}  // namespace tw::twserver
