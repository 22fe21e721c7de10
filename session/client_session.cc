#include "session/client_session.h"

namespace tw {

void ClientSession::ForgetLogonState() {
  current_project_.clear();
  logged_on_ = false;
}

}  // namespace tw
