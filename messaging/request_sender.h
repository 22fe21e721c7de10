// RequestSender: sends requests and waits for their replies. The client
// session sends through one; the message hub is its MessageSender.
//
// A synchronous send pairs the request with a CRLMSGsynchronousMessage (its
// handle travels in SYNCHRONOUSREQUEST) and waits for the reply. When the
// wait times out while the connection is still receiving the reply to this
// request (a long reply in transit), it waits again for a full time-out, as
// long as that lasts.
//
// Threads: Send and SendAndWait may be called from several threads at once;
// each wait is on its own synchronous message. The sender is not owned.
#ifndef TW_MESSAGING_REQUEST_SENDER_H_
#define TW_MESSAGING_REQUEST_SENDER_H_

#include "messaging/message.h"
#include "messaging/message_sender.h"
#include "messaging/synchronous_message.h"

namespace tw {

// Whether a synchronous request of the calling thread ended because the
// connection failed (it was down, it went down before the reply, or the
// reply's files were cut off) since the flag was last taken; takes it (the
// flag is clear afterwards). Lets an operation that failed tell a dead or
// given-up connection from a refusal.
bool TakeConnectionFailure();
// Sets the calling thread's flag again (an outer operation keeps what it
// had seen before a nested one took the flag).
void NoteConnectionFailure();

class RequestSender {
 public:
  // `sender` outlives this object.
  explicit RequestSender(MessageSender* sender) : sender_(sender) {}

  // Hands `message` to the outgoing stages; false without a sender or when
  // they refuse it.
  bool Send(CRLMSGmessage* message);

  // Sends `request` as a synchronous request and waits up to
  // `timeout_seconds` for its reply (longer while the reply is in transit).
  // `*reply` receives the request's synchronous message, closed: when
  // HasReply() it holds the reply's identifier and fields, otherwise its
  // ERRORCODE says why not (-4 timed out, 5 cancelled). The request gains the
  // SYNCHRONOUSREQUEST field and stays the caller's. False, with `*reply`
  // still set (ERRORCODE -1), when the request could not be sent; false with
  // nothing set for null arguments.
  bool SendAndWait(CRLMSGmessage* request, SynchronousMessagePtr* reply, int timeout_seconds);

 private:
  MessageSender* const sender_;
};

}  // namespace tw

#endif  // TW_MESSAGING_REQUEST_SENDER_H_
