// The error codes the Veltrane server sets in a reply's ERRORCODE field, as
// the session's commands read them.
#ifndef TW_PROTOCOL_SERVER_ERRORS_H_
#define TW_PROTOCOL_SERVER_ERRORS_H_

namespace tw {

enum ServerError : int {
  kServerLogonRefused = 1,
  kServerNotLoggedOn = 2,
  kServerNotPermitted = 4,
  kServerExclusiveConflict = 101,  // another user holds an exclusive lock
  kServerSharedConflict = 102,     // exclusive wanted, others hold shared locks
  kServerAlreadyQueued = 103,      // the user waits in the deferred queue already
  kServerNotCheckedOut = 203,
  kServerContentIncomplete = 206,
  kServerPathNotFound = 209,
  kServerInvalidPath = 210,
  kServerProductionExists = 211,
  kServerProductionCaseVariant = 212,
  kServerDocumentExists = 213,
  kServerDocumentTwice = 214,
};

}  // namespace tw

#endif  // TW_PROTOCOL_SERVER_ERRORS_H_
