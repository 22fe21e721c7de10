// The error codes a Veltrane server sets in a reply's ERRORCODE field. 0 is
// success; a request that fails changes nothing on the server.
//
// Besides these, ERRORCODE may hold kErrorTransferCutOff (-999,
// messaging/field_ids.h): the message reader sets it on a message whose
// files were cut off on the way, on either end.
//
// Constants only; thread-safe.
#ifndef TW_PROTOCOL_SERVER_ERRORS_H_
#define TW_PROTOCOL_SERVER_ERRORS_H_

namespace tw {

enum ServerError : int {
  kServerOk = 0,
  kServerLogonRefused = 1,         // unknown user or wrong password (LOGONR only)
  kServerNotLoggedOn = 2,          // any command but PRELOGON/LOGON before a logon
  kServerNotPermitted = 4,         // not permitted for this user
  kServerExclusiveConflict = 101,  // another user holds an exclusive lock
  kServerSharedConflict = 102,     // exclusive wanted, others hold shared locks
  kServerAlreadyQueued = 103,      // the user waits in the deferred queue already
  kServerNotCheckedOut = 203,      // check-in of a Document the user has no lock on
  kServerContentIncomplete = 206,  // a file's content did not arrive whole
  kServerPathNotFound = 209,
  kServerInvalidPath = 210,
  kServerProductionExists = 211,
  kServerProductionCaseVariant = 212,  // differs only in letter case
  kServerDocumentExists = 213,
  kServerDocumentTwice = 214,  // one name twice for one Production in one add
  kServerInvalidDocumentName = 215,
  kServerUnknownId = 216,  // unknown Production or Document identifier
  kServerMalformed = 217,  // a field missing, lists of different lengths,
                           // an unknown command, sub-command or kind
  // The reference server's own failure (its database or file system), which
  // has no code of its own.
  kServerFailure = -1,
};

}  // namespace tw

#endif  // TW_PROTOCOL_SERVER_ERRORS_H_
