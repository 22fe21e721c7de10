#include "messaging/reply_matcher.h"

#include "messaging/synchronous_message.h"
#include "platform/handle_table.h"

namespace tw {

namespace {

// An int field read as the 32-bit handle it carries; 0 when absent.
uint32_t HandleField(const CRLMSGmessage& message, uint32_t id) {
  int value = 0;
  if (message.GetInt(id, &value) != kFieldOk) return 0;
  return static_cast<uint32_t>(value);
}

}  // namespace

ReplyMatcher::ReplyMatcher(void* owner, UTLeventDispatcher* dispatcher)
    : dispatcher_(dispatcher), sender_tag_(HandleTable::Instance().Add(owner)) {}

ReplyMatcher::~ReplyMatcher() {
  HandleTable::Instance().Remove(sender_tag_);
}

ReplyMatcher::Outcome ReplyMatcher::Match(CRLMSGmessage* reply) {
  if (reply == nullptr) return kNotForThisSession;
  const uint32_t request = HandleField(*reply, SYNCHRONOUSREQUEST);
  if (request != 0) {
    return CRLMSGsynchronousMessage::CompleteRequest(request, *reply) ? kCompletedRequest
                                                                      : kRequestGone;
  }
  const uint32_t tag = HandleField(*reply, SENDERTAG);
  if (tag == 0 || tag != sender_tag_) return kNotForThisSession;
  const uint32_t key = HandleField(*reply, CALLBACKKEY);
  Event callback;
  if (key == 0 || dispatcher_ == nullptr || !dispatcher_->TakeCallback(key, &callback)) {
    return kCallbackUnknown;
  }
  callback.message()->Assign(*reply);
  dispatcher_->Dispatch(callback, false);
  return kCallbackDispatched;
}

}  // namespace tw
