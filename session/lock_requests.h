// The lock requests of the client: "ACQUIRELOCK" with the deferred-lock
// question, and "RELEASELOCK"; with their local side effects (writable
// files, the "CheckedOutTo" entries of the state store). Results as
// session/client_session.h lists them for every request, or one of the
// request's own below.
//
// Threads: as the session, under the shared slot's mutex.
#ifndef TW_SESSION_LOCK_REQUESTS_H_
#define TW_SESSION_LOCK_REQUESTS_H_

#include <string>
#include <vector>

#include "protocol/lock_command.h"
#include "session/client_session.h"

namespace tw {

// The Document a refused ACQUIRELOCK named, as the first reply gave it:
// the server's error (101, 102 or 103; 0 when the request was not refused
// by a conflict), the Document's identifier and display name and its index
// in the request.
struct LockConflict {
  int server_error = 0;
  std::string document_id;
  std::string name;
  int index = -1;
};

// The lock type the server's policy and the caller's wish give.
LockType ChooseLockType(ClientSession* session, bool shared_wanted);
// ACQUIRELOCK; on success the local files become writable and
// "CheckedOutTo" is recorded. A conflict asks for a deferred lock:
// kSessionDeclinedDeferred when the user declines, kSessionDeferredRequested
// when the deferred lock was asked for. A deferred lock held already is
// told to the user and gives kSessionAlreadyQueued. `conflict`, when given,
// is cleared and, after any refusal, names the Document the server refused.
SessionResult AcquireLocks(ClientSession* session, const std::vector<std::string>& document_ids,
                           const std::vector<std::string>& local_paths, std::vector<bool> deferred,
                           bool shared_wanted, LockConflict* conflict = nullptr);
// RELEASELOCK; on success "CheckedOutTo" and each Document's node go.
// kSessionReleaseRefused for any server error but 2 and 4.
SessionResult ReleaseLocks(ClientSession* session, const std::vector<std::string>& document_ids,
                           const std::vector<std::string>& local_paths);

}  // namespace tw

#endif  // TW_SESSION_LOCK_REQUESTS_H_
