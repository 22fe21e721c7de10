// DocumentInfo: what the server reports about one file named by the host,
// one record per file in the host's order, from "PRODUCTIONCMD" sub-command
// 25. The file commands decide from it whether to lock, fetch or check in,
// and the state cache compares its server stamp with what was last fetched.
//
// A plain value; no thread rules of its own.
#ifndef TW_SESSION_DOCUMENT_INFO_H_
#define TW_SESSION_DOCUMENT_INFO_H_

#include <string>

#include "protocol/production_command.h"

namespace tw {

struct DocumentInfo {
  // The file's path relative to the project root, as sent to the server
  // (wire form).
  std::string name;
  // The file's path relative to the local project path.
  std::string local_name;
  // Reply field 104: the Document's current version number (decimal text,
  // "0" for a name that names no Document). SccDiff passes it on, with the
  // Document identifier, to FetchDocumentToFile.
  std::string current_version;
  // Reply field 103: the server's key of the Document; empty when the name
  // names no Document.
  std::string document_id;
  // Reply field 106: the stamp of the Document's current version on the
  // server, a UTC stamp text.
  std::string server_stamp;
  bool checked_out = false;        // flag bit 2
  bool checked_out_by_me = false;  // flag bit 4
  bool exclusive = false;          // flag bit 8
  bool queued_for_lock = false;    // flag bit 16: the user waits in its deferred queue
  bool controlled = false;         // flag bit 1

  // Sets the five flags from the bits of reply field 105.
  void SetFlags(int bits) {
    controlled = (bits & kDocumentControlled) != 0;
    checked_out = (bits & kDocumentCheckedOut) != 0;
    checked_out_by_me = (bits & kDocumentCheckedOutByMe) != 0;
    exclusive = (bits & kDocumentExclusive) != 0;
    queued_for_lock = (bits & kDocumentQueuedForLock) != 0;
  }
};

}  // namespace tw

#endif  // TW_SESSION_DOCUMENT_INFO_H_
