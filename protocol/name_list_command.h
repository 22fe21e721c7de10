// "GETNAMELIST": the names below a Production or about a Document, as a
// name table (name_table.h gives its text form and its columns by kind).
//
//   request  13  the caller's string (the server ignores it)
//            100 subject: a Production or Document identifier
//            101 kind (NameListKind)
//            102 recursive flag (kind 2 only)
//   reply    102 the name table's text form
// An unknown subject is error 216, an unknown kind 217.
//
// Constants only; thread-safe.
#ifndef TW_PROTOCOL_NAME_LIST_COMMAND_H_
#define TW_PROTOCOL_NAME_LIST_COMMAND_H_

#include <cstdint>

#include "protocol/command.h"
#include "protocol/name_table.h"

namespace tw::name_list {

constexpr char kCommand[] = "GETNAMELIST";
// The caller's string takes the place of the project field.
constexpr uint32_t kFieldCaller = kFieldProject;
constexpr uint32_t kFieldSubject = 100;
constexpr uint32_t kFieldKind = 101;
constexpr uint32_t kFieldRecursive = 102;
constexpr uint32_t kReplyTable = 102;

}  // namespace tw::name_list

#endif  // TW_PROTOCOL_NAME_LIST_COMMAND_H_
