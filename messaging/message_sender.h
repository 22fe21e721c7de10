// MessageSender: the sending side of the messaging layer as requests see it
// - the outgoing stages of the message hub, which route a message by its
// TARGETRECIPIENT towards the server connection, and the hub's knowledge of
// which replies are arriving at this moment.
//
// Threads: implementations are called from any thread that sends (chiefly
// the host's thread).
#ifndef TW_MESSAGING_MESSAGE_SENDER_H_
#define TW_MESSAGING_MESSAGE_SENDER_H_

#include "messaging/message.h"
#include "messaging/message_id.h"

namespace tw {

class MessageSender {
 public:
  virtual ~MessageSender() = default;
  // Hands `message` to the outgoing stages; false when they do not take it.
  // The caller keeps its reference and may change or release the message as
  // soon as Send returns, so an implementation that passes the message to
  // another thread sends a private copy (messaging/message_copy.h), made
  // before it returns.
  virtual bool Send(CRLMSGmessage* message) = 0;
  // Whether the server connection is receiving, at this moment, the message
  // with this identifier (a long reply still in transit).
  virtual bool IsReceiving(const CRLMSGmessageID& message_id) = 0;
  // The request with this identifier has been given up while it may still
  // be moving: when its frames are still leaving or its reply is arriving,
  // the connection is given up (what is left of the transfer would only
  // hold up everything after it) and true returned; otherwise nothing
  // happens and false is returned.
  virtual bool AbandonTransfer(const CRLMSGmessageID& message_id) {
    (void)message_id;
    return false;
  }
};

}  // namespace tw

#endif  // TW_MESSAGING_MESSAGE_SENDER_H_
