#include "messaging/request_sender.h"

#include <memory>

namespace tw {

bool RequestSender::Send(CRLMSGmessage* message) {
  return sender_ != nullptr && message != nullptr && sender_->Send(message);
}

bool RequestSender::SendAndWait(CRLMSGmessage* request, SynchronousMessagePtr* reply,
                                int timeout_seconds) {
  if (request == nullptr || reply == nullptr) return false;
  std::unique_ptr<CRLMSGmessageID> identifier;
  request->GetIdentifier(MESSAGEID, &identifier);

  *reply = CRLMSGsynchronousMessage::Create();
  CRLMSGsynchronousMessage* waiting = reply->get();
  request->SetInt(SYNCHRONOUSREQUEST, static_cast<int>(waiting->GetHandle()));

  if (!Send(request)) {
    // Nothing left, so no reply will come to take the reply path's reference.
    waiting->WithdrawReplyPath();
    waiting->Close();
    return false;
  }

  int code = waiting->WaitForReply(timeout_seconds);
  while (code == kReplyTimedOut && identifier != nullptr && sender_->IsReceiving(*identifier)) {
    code = waiting->WaitForReply(timeout_seconds);
  }
  waiting->Close();
  return true;
}

}  // namespace tw
