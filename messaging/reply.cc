#include "messaging/reply.h"

#include "messaging/field_ids.h"
#include "messaging/recipient_registry.h"

namespace tw {

void CopyField(const CRLMSGmessage& from, uint32_t id, CRLMSGmessage* to) {
  uint32_t type = 0;
  std::string bytes;
  if (from.GetRawField(id, &type, &bytes) == kFieldOk) {
    to->SetRawField(id, type, bytes.data(), bytes.size());
  }
}

MessagePtr NewReply(const CRLMSGmessage& request, const std::string& command,
                    bool echo_sub_command) {
  // The reply answers under the request's identifier, as object and field.
  MessagePtr reply = NewMessage(request.GetIdentifierObject());
  CopyField(request, MESSAGEID, reply.get());
  reply->SetString(COMMAND, command + kReplySuffix);
  int sender = kRecipientClientSession;
  request.GetInt(PROXYFORRECIPIENT, &sender);
  reply->SetInt(TARGETRECIPIENT, sender);
  reply->SetInt(SOURCERECIPIENT, kRecipientServer);
  for (uint32_t id : {SENDERTAG, kFieldProject, CALLBACKKEY, SYNCHRONOUSREQUEST}) {
    CopyField(request, id, reply.get());
  }
  if (echo_sub_command) CopyField(request, kFieldSubCommand, reply.get());
  return reply;
}

}  // namespace tw
