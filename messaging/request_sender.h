// RequestSender: sends requests and waits for their replies. The client
// session sends through one; the message hub is its MessageSender.
//
// A synchronous send pairs the request with a CRLMSGsynchronousMessage (its
// handle travels in SYNCHRONOUSREQUEST) and waits for the reply. When the
// wait times out while the connection is still receiving the reply to this
// request (a long reply in transit), it waits again for a full time-out, as
// long as that lasts - but never past the request's deadline, measured from
// the send: a server that trickles its reply just fast enough for the
// connection's stall limit cannot hold the caller for ever. A request given
// up at its deadline while it still moves costs the connection.
//
// The deadline is the setting "CRLMSGsynchronousMessage/RequestDeadline"
// (seconds, in the module's settings) when it is set, else the request's
// own time-out (600 s for Document adds and fetches, 1,800 s for the
// others); SetRequestDeadline overrides both.
//
// Threads: Send and SendAndWait may be called from several threads at once;
// each wait is on its own synchronous message. The sender is not owned.
#ifndef TW_MESSAGING_REQUEST_SENDER_H_
#define TW_MESSAGING_REQUEST_SENDER_H_

#include <cstdint>

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

constexpr char kRequestDeadlineSetting[] = "CRLMSGsynchronousMessage/RequestDeadline";
// The longest deadline the setting may give: a day.
constexpr int kMaxRequestDeadlineSeconds = 24 * 3600;
// Sets every request's deadline (milliseconds) from now on; 0 returns to
// the setting, else the request's own time-out.
void SetRequestDeadline(int ms);
// The deadline in milliseconds of a request whose time-out is
// `timeout_seconds` (see above).
int64_t RequestDeadlineMs(int timeout_seconds);

class RequestSender {
 public:
  // `sender` outlives this object.
  explicit RequestSender(MessageSender* sender) : sender_(sender) {}

  // Hands `message` to the outgoing stages; false without a sender or when
  // they refuse it.
  bool Send(CRLMSGmessage* message);

  // Sends `request` as a synchronous request and waits up to
  // `timeout_seconds` for its reply (longer while the reply is in transit,
  // up to the request's deadline).
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
