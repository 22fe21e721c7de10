#include "messaging/event.h"

#include "messaging/message_copy.h"

namespace tw {

Event::Event() : message_(NewMessage()) {}

Event::Event(CRLreferenceNode* target, Handler handler, const CRLMSGmessage* message)
    : target_(target),
      handler_(std::move(handler)),
      message_(message != nullptr ? CopyMessage(*message) : NewMessage()) {}

Event::Event(const Event& other)
    : target_(other.target_), handler_(other.handler_), message_(CopyMessage(*other.message_)) {}

Event& Event::operator=(const Event& other) {
  if (&other != this) {
    target_ = other.target_;
    handler_ = other.handler_;
    message_ = CopyMessage(*other.message_);
  }
  return *this;
}

Event::~Event() = default;

Event Event::PrivateCopy() const {
  Event copy(*this);
  MakeStorePrivate(copy.message_.get());
  return copy;
}

bool Event::Deliver() {
  if (!handler_) return false;
  // A second handle for the span of the call, rather than a hold: the event's
  // own handle already links the target, and the link set keeps one entry per
  // node, so holding through the same handle would break its link when the
  // hold ends. The extra link keeps the target out of the collector's hands.
  RefPointer during(target_);
  CRLreferenceNode* target = during.Get();
  if (target == nullptr) return false;
  try {
    return handler_(target, message_.get());
  } catch (...) {
    return false;
  }
}

}  // namespace tw
