// How the server's command handlers read a request's fields and write
// lists into a reply: helpers the command families share (commands.cc,
// logon_commands.cc, production_commands.cc, document_commands.cc,
// lock_commands.cc, name_list_command.cc). Internal to the server.
//
// Threads: no state.
#ifndef TW_SERVERS_TWSERVER_COMMAND_FIELDS_H_
#define TW_SERVERS_TWSERVER_COMMAND_FIELDS_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "messaging/field_ids.h"
#include "messaging/message.h"
#include "platform/list_text.h"

namespace tw::twserver {

// A string field (type 1).
inline bool GetText(const CRLMSGmessage& m, uint32_t id, std::string* out) {
  uint32_t type = 0;
  std::string bytes;
  if (m.GetRawField(id, &type, &bytes) != kFieldOk || type != FIELD_STRING) return false;
  *out = std::move(bytes);
  return true;
}

// A "?" list in a string field, empty elements kept.
inline bool GetList(const CRLMSGmessage& m, uint32_t id, std::vector<std::string>* out) {
  std::string text;
  if (!GetText(m, id, &text)) return false;
  *out = SplitList(text, kListSeparator);
  return true;
}

inline bool GetNumber(const CRLMSGmessage& m, uint32_t id, int* out) {
  return m.GetInt(id, out) == kFieldOk;
}

inline std::string Join(const std::vector<std::string>& items) {
  return JoinList(items, kListSeparator);
}

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_COMMAND_FIELDS_H_
