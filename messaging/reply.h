// How a server builds a reply, so that the client can match it: the
// request's MESSAGEID first and then the command followed by "R" (the
// client's reader interprets later fields by the command it has read), the
// routing back to the sender, and the fields the client matches replies by
// (SENDERTAG, the project field 13, CALLBACKKEY, SYNCHRONOUSREQUEST), and,
// for commands that have one, the sub-command in field 100.
//
// Threads: no state.
#ifndef TW_MESSAGING_REPLY_H_
#define TW_MESSAGING_REPLY_H_

#include <cstdint>
#include <string>

#include "messaging/message.h"

namespace tw {

// Copies field `id` of `from` into `to` with its type, when `from` has it.
void CopyField(const CRLMSGmessage& from, uint32_t id, CRLMSGmessage* to);

// A reply to `request` with the command `command` + "R", addressed back to
// the request's PROXYFORRECIPIENT (17 when absent) from recipient 3;
// `echo_sub_command` copies field 100. ERRORCODE is left for the caller.
MessagePtr NewReply(const CRLMSGmessage& request, const std::string& command,
                    bool echo_sub_command);

}  // namespace tw

#endif  // TW_MESSAGING_REPLY_H_
