// ReplyMatcher: the receiving half of a client session - finds what a reply
// answers. A session owns one and runs every message it receives through
// Match.
//
// A reply is matched, in this order, by the fields the server returns from
// the request unchanged:
//  1. SYNCHRONOUSREQUEST (non-zero): the handle of a waiting synchronous
//     request, which the reply completes (once; a stale handle is dropped).
//  2. SENDERTAG equal to this matcher's tag, with CALLBACKKEY: the key of a
//     callback registered in the session's dispatcher; the callback's event
//     gets the reply as its message and runs on the dispatcher, and the
//     callback is removed. An unknown key is ignored.
//  3. Anything else is not for this session.
// The sender tag is a handle of the process-wide handle table naming the
// session object; it is written into requests (SENDERTAG) by the session.
//
// Threads: Match may run on any thread (the delivery stage's), concurrently
// with the session's own use; the matcher's fields are set once.
#ifndef TW_MESSAGING_REPLY_MATCHER_H_
#define TW_MESSAGING_REPLY_MATCHER_H_

#include <cstdint>

#include "messaging/dispatcher.h"
#include "messaging/message.h"

namespace tw {

class ReplyMatcher {
 public:
  enum Outcome {
    kCompletedRequest,    // a waiting request got the reply
    kRequestGone,         // SYNCHRONOUSREQUEST named no waiting request
    kCallbackDispatched,  // a callback's event was handed to the dispatcher
    kCallbackUnknown,     // our tag, but no callback under the key (or no key)
    kNotForThisSession,   // another sender's reply
  };

  // `owner` is the object the sender tag names (the session); `dispatcher`
  // holds the session's callbacks and runs them (may be null). Both outlive
  // the matcher.
  ReplyMatcher(void* owner, UTLeventDispatcher* dispatcher);
  // Withdraws the sender tag.
  ~ReplyMatcher();
  ReplyMatcher(const ReplyMatcher&) = delete;
  ReplyMatcher& operator=(const ReplyMatcher&) = delete;

  // The value for the SENDERTAG field of this session's requests.
  uint32_t GetSenderTag() const { return sender_tag_; }

  // Matches `reply` (see the file comment). The reply is left as it was;
  // the caller keeps it.
  Outcome Match(CRLMSGmessage* reply);

 private:
  UTLeventDispatcher* const dispatcher_;
  const uint32_t sender_tag_;
};

}  // namespace tw

#endif  // TW_MESSAGING_REPLY_MATCHER_H_
