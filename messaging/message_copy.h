// Copies of messages that may cross to another thread.
//
// A copy made with CopyMessage or Assign shares its field store with the
// original, and the store counts its sharers in a plain integer; two threads
// may therefore not each hold one of two sharing messages. Whatever hands a
// message's content to another thread while the original stays behind (the
// reply filling a waiting request, an event queued for a worker) first gives
// the copy a store of its own with the functions below.
//
// Threads: called on the thread that owns the original (and every message
// sharing its store).
#ifndef TW_MESSAGING_MESSAGE_COPY_H_
#define TW_MESSAGING_MESSAGE_COPY_H_

#include "messaging/message.h"

namespace tw {

// Gives `fields` a store of its own when it shares one; fields, values and
// their enumeration order are unchanged.
void MakeStorePrivate(CRLMSGfieldSet* fields);

// A copy of `message` (same identifier value, same fields in the same order)
// that shares nothing with it.
MessagePtr CopyMessagePrivate(const CRLMSGmessage& message);

}  // namespace tw

#endif  // TW_MESSAGING_MESSAGE_COPY_H_
