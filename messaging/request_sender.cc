#include "messaging/request_sender.h"

#include <memory>
#include <utility>

namespace tw {

bool RequestSender::Send(CRLMSGmessage* message) {
  return sender_ != nullptr && message != nullptr && sender_->Send(message);
}

namespace {
thread_local bool connection_failed = false;
}  // namespace

bool TakeConnectionFailure() {
  return std::exchange(connection_failed, false);
}

void NoteConnectionFailure() {
  connection_failed = true;
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
    connection_failed = true;
    return false;
  }

  int code = waiting->WaitForReply(timeout_seconds);
  while (code == kReplyTimedOut && identifier != nullptr && sender_->IsReceiving(*identifier)) {
    code = waiting->WaitForReply(timeout_seconds);
  }
  waiting->Close();
  if (code == kReplyConnectionLost || code == kReplyCutOff) connection_failed = true;
  return true;
}

}  // namespace tw
