// "ACQUIRELOCK" and "RELEASELOCK": the locks (check-outs) on Documents and
// the deferred-lock queues. "list" fields are joined with "?"; an empty
// identifier in a list is skipped.
//
//   ACQUIRELOCK request  100 list of Document identifiers
//                        101 1, 102 0 (sent as they are; the server's own)
//                        103 lock type (LockType)
//                        104 bool list: deferred flags, one per Document
//               reply    on a conflict (101, 102) or a queue entry that
//                        exists (103): 109 the index in the request of the
//                        first such Document, 100 its identifier, 107 its
//                        display name
//   RELEASELOCK request  100 list of Document identifiers
//                        101 1, 102 0, 300 1 (sent as they are)
//               reply    for an unknown identifier (216): 109, 100, 107
//                        as above
//
// Constants only; thread-safe.
#ifndef TW_PROTOCOL_LOCK_COMMAND_H_
#define TW_PROTOCOL_LOCK_COMMAND_H_

#include <cstdint>

namespace tw {

// The lock type of ACQUIRELOCK field 103: a character code.
enum LockType : int {
  kLockExclusive = 72,  // "H"
  kLockShared = 83,     // "S"
};

namespace acquire_lock {
constexpr char kCommand[] = "ACQUIRELOCK";
constexpr uint32_t kFieldDocumentIds = 100;
constexpr uint32_t kFieldAlwaysOne = 101;
constexpr uint32_t kFieldAlwaysZero = 102;
constexpr uint32_t kFieldLockType = 103;
constexpr uint32_t kFieldDeferred = 104;
// The Document that failed the request.
constexpr uint32_t kReplyFailedIndex = 109;
constexpr uint32_t kReplyFailedId = 100;
constexpr uint32_t kReplyFailedName = 107;
}  // namespace acquire_lock

namespace release_lock {
constexpr char kCommand[] = "RELEASELOCK";
constexpr uint32_t kFieldDocumentIds = 100;
constexpr uint32_t kFieldAlwaysOne = 101;
constexpr uint32_t kFieldAlwaysZero = 102;
constexpr uint32_t kFieldRelease = 300;  // always 1
using acquire_lock::kReplyFailedId;
using acquire_lock::kReplyFailedIndex;
using acquire_lock::kReplyFailedName;
}  // namespace release_lock

}  // namespace tw

#endif  // TW_PROTOCOL_LOCK_COMMAND_H_
