// The logon of the provider's exports: EnsureSession, which every export
// that needs the server calls first, and LogOnInteractive, the logon with
// the logon dialog that it runs when this context has no logged-on session.
//
// Threads: called on the host's thread that runs the export; the session
// and the slot's fields are touched only under the slot's lock.
#ifndef TW_PROVIDER_LOGON_H_
#define TW_PROVIDER_LOGON_H_

#include <string>

#include "provider/context.h"

namespace tw {

// Makes sure a logged-on session exists and its connection is up: 0, or the
// MSSCCI code of the logon that failed (2 cancelled, -15 slot unavailable
// or refused inside a running operation, -29 no connection or logon
// refused). Inside a running operation (the host called from one of its
// callbacks) the live session is shared as it is; a logon that would need
// the dialog, a new session or a new connection is refused with -15 and a
// notice, since the operation below still uses the session. `user_name` is the host's user name
// buffer as text: compared with the context's, and on a logon replaced by
// the name the user logged on with.
int EnsureSession(HWND window, ProviderContext* context, std::string* user_name);

// The interactive logon (see EnsureSession for its results).
int LogOnInteractive(HWND window, ProviderContext* context, std::string* user_name);

// EnsureSession for an operation on files, under the context's own user
// name: 0; -15 when the logon is refused without trying (called from a
// callback of a running operation that would need a new logon, or the slot
// unavailable); -29 for any other failure.
SCCRTN LogOnForOperation(HWND window, ProviderContext* context);

}  // namespace tw

#endif  // TW_PROVIDER_LOGON_H_
