// "PRODUCTIONCMD": create a Production, look one up by its path, and the
// per-file information query. The sub-command travels in field 100.
//
//   4  create        request  101 parent Production identifier
//                             102 the new Production's name
//                    reply    103 its identifier (also with error 211/212:
//                                 the identifier of the one that exists)
//   20 look up       request  101 Production path ("\"-joined display names)
//                             102 1 when sent right after the logon
//                    reply    101 the Production's identifier
//   25 information   request  101 Production identifier
//                             102 list of relative Document names (wire form)
//                    reply    lists joined with ",", one element per name:
//                             103 Document identifiers
//                             104 current version numbers (decimal)
//                             105 flags (decimal, DocumentFlag bits)
//                             106 server stamps of the current versions
// A name that names no Document gives an empty identifier and stamp,
// version 0 and flags 0.
//
// Constants only; thread-safe.
#ifndef TW_PROTOCOL_PRODUCTION_COMMAND_H_
#define TW_PROTOCOL_PRODUCTION_COMMAND_H_

#include <cstdint>

namespace tw {

constexpr char kProductionCommand[] = "PRODUCTIONCMD";

namespace create_production {
constexpr int kSubCommand = 4;
constexpr uint32_t kFieldParentId = 101;
constexpr uint32_t kFieldName = 102;
constexpr uint32_t kReplyProductionId = 103;
}  // namespace create_production

namespace lookup_production {
constexpr int kSubCommand = 20;
constexpr uint32_t kFieldPath = 101;
constexpr uint32_t kFieldAfterLogon = 102;
constexpr uint32_t kReplyProductionId = 101;
}  // namespace lookup_production

namespace document_info {
constexpr int kSubCommand = 25;
constexpr uint32_t kFieldProductionId = 101;
constexpr uint32_t kFieldNames = 102;
constexpr uint32_t kReplyDocumentIds = 103;
constexpr uint32_t kReplyVersions = 104;
constexpr uint32_t kReplyFlags = 105;
constexpr uint32_t kReplyStamps = 106;
// The separator of the reply's lists.
constexpr char kReplySeparator[] = ",";
}  // namespace document_info

// The bits of document_info::kReplyFlags.
enum DocumentFlag : int {
  kDocumentControlled = 1,      // the Document exists in the Production
  kDocumentCheckedOut = 2,      // somebody holds a lock on it
  kDocumentCheckedOutByMe = 4,  // the logged-on user holds a lock on it
  kDocumentExclusive = 8,       // the lock held is exclusive
  kDocumentQueuedForLock = 16,  // the logged-on user waits in its deferred queue
};

}  // namespace tw

#endif  // TW_PROTOCOL_PRODUCTION_COMMAND_H_
