// The Production requests of the client: "PRODUCTIONCMD" (create, look up)
// and "GETNAMELIST" (the name tables of Productions, Documents, versions
// and locks). Each takes the session, makes one round trip through
// ClientSession::Transact and returns its result with what the reply
// answered; results as session/client_session.h lists them for every
// request, or one of the request's own below.
//
// Threads: as the session, under the shared slot's mutex.
#ifndef TW_SESSION_PRODUCTION_REQUESTS_H_
#define TW_SESSION_PRODUCTION_REQUESTS_H_

#include <string>

#include "session/client_session.h"

namespace tw {

// PRODUCTIONCMD 4: kSessionOk or kSessionProductionExists with the
// identifier; kSessionCreateFailed for any other server error.
SessionResult CreateProduction(ClientSession* session, const std::string& parent_id,
                               const std::string& name, std::string* id);
// PRODUCTIONCMD 20 (sent whether logged on or not): kSessionOk with the
// identifier (none when the reply is of another command),
// kSessionPathNotFound, kSessionInvalidPath.
SessionResult LookupProduction(ClientSession* session, const std::string& path, bool after_logon,
                               std::string* id);
// GETNAMELIST: the name table's text form.
SessionResult GetNameList(ClientSession* session, const std::string& caller,
                          const std::string& subject, int kind, bool recursive, std::string* table);

}  // namespace tw

#endif  // TW_SESSION_PRODUCTION_REQUESTS_H_
