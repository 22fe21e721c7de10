// "DOCUMENTCMD": add Documents, check in new versions, fetch versions. The
// sub-command travels in field 100. "list" fields are joined with "?"; a
// file field (type 5) names local files whose contents travel after the
// message.
//
//   1 add       request  101 list of target Production identifiers
//                        102 list of Document names (the files' last
//                            path components)
//                        103 file field: the local files
//                        107 comment (escaped like a property value)
//                        109 list of the local paths
//               reply    101, 102, 109 echoed; 103 list of the new Document
//                        identifiers; 104 list of their server stamps
//   2 check in  request  101 list of Document identifiers
//                        102 file field: the local files
//                        103 work-in-progress flag (0/1)
//                        104 list of the local paths
//                        105 comment (escaped)
//                        106 int list of per-file flags (0)
//               reply    111 list of the Documents checked in
//                        112 list of their new server stamps
//                        106 int list of per-file results (0)
//   4 fetch     request  101 list of Document identifiers
//                        102 int list of version numbers (0 = current)
//                        103 0
//               reply    101 the identifiers
//                        102 int list of the versions sent
//                        104 list of display names (for progress)
//                        105 list of the sent versions' server stamps
//                        106 file field: the contents, in the order of 101
//                        107 number of files carried
//                        108 list of the full paths from the root (wire form)
//                        109 int list of per-Document results (0)
// A fetch is all or nothing: an unknown identifier or version fails it
// (216) and no file is sent.
//
// Constants only; thread-safe.
#ifndef TW_PROTOCOL_DOCUMENT_COMMAND_H_
#define TW_PROTOCOL_DOCUMENT_COMMAND_H_

#include <cstdint>

#include "messaging/field_ids.h"

namespace tw {

// kDocumentCommand ("DOCUMENTCMD") is defined in messaging/field_ids.h.

namespace add_documents {
constexpr int kSubCommand = 1;
constexpr uint32_t kFieldProductionIds = 101;
constexpr uint32_t kFieldNames = 102;
constexpr uint32_t kFieldFiles = 103;
constexpr uint32_t kFieldComment = 107;
constexpr uint32_t kFieldLocalPaths = 109;
// The reply echoes the request's fields 101, 102 and 109.
constexpr uint32_t kReplyEchoedFields[] = {kFieldProductionIds, kFieldNames, kFieldLocalPaths};
constexpr uint32_t kReplyDocumentIds = 103;
constexpr uint32_t kReplyStamps = 104;
}  // namespace add_documents

namespace check_in {
constexpr int kSubCommand = 2;
constexpr uint32_t kFieldDocumentIds = 101;
constexpr uint32_t kFieldFiles = 102;
constexpr uint32_t kFieldWorkInProgress = 103;
constexpr uint32_t kFieldLocalPaths = 104;
constexpr uint32_t kFieldComment = 105;
constexpr uint32_t kFieldFileFlags = 106;
constexpr uint32_t kReplyDocumentIds = 111;
constexpr uint32_t kReplyStamps = 112;
constexpr uint32_t kReplyResults = 106;
}  // namespace check_in

namespace fetch {
constexpr int kSubCommand = kDocumentFetchSubCommand;
constexpr uint32_t kFieldDocumentIds = 101;
constexpr uint32_t kFieldVersions = 102;
constexpr uint32_t kFieldAlwaysZero = 103;
constexpr uint32_t kReplyDocumentIds = 101;
constexpr uint32_t kReplyVersions = 102;
constexpr uint32_t kReplyNames = kDocumentFetchReplyNames;
constexpr uint32_t kReplyStamps = 105;
constexpr uint32_t kReplyFiles = 106;
constexpr uint32_t kReplyFileCount = 107;
constexpr uint32_t kReplyFullPaths = 108;
constexpr uint32_t kReplyResults = 109;
}  // namespace fetch

}  // namespace tw

#endif  // TW_PROTOCOL_DOCUMENT_COMMAND_H_
