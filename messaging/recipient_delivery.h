// RecipientDelivery: the delivery step between the server connection and the
// local recipients - the work of the pipeline stage "IDToRcpt".
//
// Forward first completes the waiting synchronous request a reply names in
// SYNCHRONOUSREQUEST, and removes that field, so the reply reaches its
// request exactly once whatever happens to the message afterwards. Then it
// passes the message on to the next stage (the dispatcher that routes it to
// recipients): a broadcast unchanged, anything else only when its
// TARGETRECIPIENT is registered.
//
// Threads: Forward may be called from several threads; `mutex_` (the stage's
// lock) is held while the target is checked and the message handed on, so
// messages leave in the order they got the lock.
#ifndef TW_MESSAGING_RECIPIENT_DELIVERY_H_
#define TW_MESSAGING_RECIPIENT_DELIVERY_H_

#include <mutex>

#include "messaging/message.h"
#include "messaging/recipient_registry.h"

namespace tw {

// Where a stage hands a message on.
class MessageStage {
 public:
  virtual ~MessageStage() = default;
  // Takes over the reference in `message`; false when it does not accept it
  // (the message is then released).
  virtual bool Accept(MessagePtr message) = 0;
};

class RecipientDelivery {
 public:
  // Result codes of Forward.
  static constexpr int kPassedOn = 0;
  static constexpr int kNoTarget = 3;        // no TARGETRECIPIENT field
  static constexpr int kNotRegistered = -1;  // target not registered, or no message

  // `registry` and `next` outlive this object.
  RecipientDelivery(RecipientRegistry* registry, MessageStage* next)
      : registry_(registry), next_(next) {}

  // Delivers `message` (the stage takes the caller's reference); see the
  // file comment. `*handled` is set when a synchronous request was named or
  // the next stage accepted the message for a registered target; it is left
  // alone otherwise.
  int Forward(MessagePtr message, bool* handled);

 private:
  RecipientRegistry* const registry_;
  MessageStage* const next_;
  std::mutex mutex_;  // the stage's lock; guards the hand-over to next_
};

}  // namespace tw

#endif  // TW_MESSAGING_RECIPIENT_DELIVERY_H_
