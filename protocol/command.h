// What every server command shares on the wire: the project field, the
// sub-command field, the name of a reply and the separators of its lists.
// One header per command family holds the rest (logon_command.h,
// production_command.h, document_command.h, name_list_command.h,
// lock_command.h); the client's session and the reference server both use
// them, so that a field id is written in one place only.
//
// Field ids are message field ids (messaging/field_ids.h); "list" means one
// string field whose elements are joined with kListSeparator ("?") unless
// the command names another separator.
//
// Constants only; thread-safe.
#ifndef TW_PROTOCOL_COMMAND_H_
#define TW_PROTOCOL_COMMAND_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "messaging/field_ids.h"

namespace tw {

// kFieldProject (13), kFieldSubCommand (100) and kReplySuffix ("R") are
// defined once in messaging/field_ids.h, since the message layer builds
// replies and reads fetch replies by them:
// - kFieldProject: the Production binding the client works on, sent with
//   every request (the session adds it when the command does not set it
//   itself) and echoed in the reply;
// - kFieldSubCommand: the sub-command of "PRODUCTIONCMD" and "DOCUMENTCMD",
//   echoed in the reply (the client's reader recognises a fetch reply by it);
// - kReplySuffix: a reply's command is the request's followed by it.
inline std::string ReplyCommand(std::string_view command) {
  return std::string(command) + kReplySuffix;
}

}  // namespace tw

#endif  // TW_PROTOCOL_COMMAND_H_
