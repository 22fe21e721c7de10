#include "messaging/recipient_delivery.h"

#include <utility>

#include "messaging/synchronous_message.h"

namespace tw {

int RecipientDelivery::Forward(MessagePtr message, bool* handled) {
  bool ignored = false;
  if (handled == nullptr) handled = &ignored;
  if (!message) return kNotRegistered;

  int request = 0;
  if (message->GetInt(SYNCHRONOUSREQUEST, &request) == kFieldOk && request != 0) {
    *handled = true;
    CRLMSGsynchronousMessage::CompleteRequest(static_cast<uint32_t>(request), *message);
    message->RemoveField(SYNCHRONOUSREQUEST);
  }

  int broadcast = 0;
  const bool is_broadcast = message->GetInt(BROADCAST, &broadcast) == kFieldOk && broadcast != 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (is_broadcast) {
    if (next_ != nullptr) next_->Accept(std::move(message));
    return kPassedOn;
  }
  int target = 0;
  if (message->GetInt(TARGETRECIPIENT, &target) != kFieldOk) return kNoTarget;
  if (registry_ == nullptr || !registry_->IsRegistered(target)) return kNotRegistered;
  if (next_ != nullptr && next_->Accept(std::move(message))) *handled = true;
  return kPassedOn;
}

}  // namespace tw
