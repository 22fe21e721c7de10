#include "provider/logon.h"

#include <chrono>
#include <memory>
#include <thread>

#include "dialogs/logon_dialog.h"
#include "dialogs/status_window.h"
#include "platform/debug_output.h"
#include "provider/export_support.h"
#include "session/client_session.h"
#include "transport/message_hub.h"
#include "ui/user_interface.h"

namespace tw {

namespace {

constexpr char kProductTitle[] = "Veltrane";
// The pause between closing and reopening the server connection.
constexpr int kRestartPauseMs = 750;

// The server the connection was last started for by a logon. Read and
// written only by the logon, which runs under the slot's lock (one per
// process, like the connection).
struct StartedEndpoint {
  bool known = false;
  std::string host;
  int port = 0;
};
StartedEndpoint& LastStartedEndpoint() {
  static StartedEndpoint endpoint;
  return endpoint;
}

bool NamesAnotherEndpoint(const LogonDialogValues& values) {
  const StartedEndpoint& last = LastStartedEndpoint();
  return !last.known || last.host != values.server || last.port != values.port;
}

// Brings the connection up for a new session, or again after a refused
// logon. A connection that has carried messages may have served another
// session, which the server ends as the connection closes: it is closed,
// and the new one opened after a pause. One that has carried nothing since
// it was opened (the one a new process's hub opened) served nobody: it is
// kept when it goes to the server the user named, else replaced at once.
void RestartConnection(MessageHub* hub, const LogonDialogValues& values) {
  hub->UseServerAddress(values.server, values.port);
  if (hub->HasCarriedMessages()) {
    hub->Disconnect();
    std::this_thread::sleep_for(std::chrono::milliseconds(kRestartPauseMs));
    hub->Connect();
  } else if (!hub->HasFreshConnection()) {
    hub->Connect();
  }
  StartedEndpoint& last = LastStartedEndpoint();
  last.known = true;
  last.host = values.server;
  last.port = values.port;
}

// The answer to a logon asked for inside a running operation that could
// only be made by ending or replacing the session that operation uses.
int RefuseNestedLogon(const ProviderContext& context) {
  TextOut(context, "Another operation is using the server connection; this one cannot log on now.");
  DebugLog("Logon: refused inside a running operation");
  return SCC_E_NONSPECIFICERROR;
}

}  // namespace

int LogOnInteractive(HWND window, ProviderContext* context, std::string* user_name) {
  if (context->logged_on) {
    return user_name != nullptr && *user_name == context->user_name ? SCC_OK
                                                                    : SCC_E_CONNECTIONFAILURE;
  }
  SlotLock lock(context->slot.get());
  if (!lock.locked()) return SCC_E_NONSPECIFICERROR;
  SharedSessionSlot& slot = *context->slot;
  MessageHub* hub = GetMessageHub();
  const bool nested = slot.busy() > 0;

  // A logged-on session whose connection died cannot be joined: its channel
  // key went with the connection, and the server forgot the logon. It is
  // ended, and this context logs on afresh.
  if (slot.session() != nullptr && slot.session()->logged_on() && !hub->IsConnected()) {
    if (nested) return RefuseNestedLogon(*context);
    slot.ResetSession();
  }
  if (ClientSession* shared = slot.session(); shared != nullptr && shared->logged_on()) {
    // Another context of this process logged on already.
    context->logged_on = true;
    context->user_name = shared->user_name();
    if (user_name != nullptr) *user_name = shared->user_name();
    return SCC_OK;
  }

  if (nested) return RefuseNestedLogon(*context);

  LogonDialogValues values;
  if (!RunLogonDialog(window, &values)) return SCC_I_OPERATIONCANCELED;
  if (user_name != nullptr) *user_name = values.user_name;

  StatusWindow status(window, "Logging on...");
  if (slot.session() == nullptr) {
    slot.ResetSession(std::make_unique<ClientSession>());
    RestartConnection(hub, values);
  } else if (!hub->IsConnected() || NamesAnotherEndpoint(values)) {
    // A retry after a refused logon may name a corrected server or port.
    RestartConnection(hub, values);
  }
  ClientSession* session = slot.session();
  if (!hub->IsConnected()) {
    status.Close();
    ShowMessageBox(window, kProductTitle, "Unable to connect to server", MessageBoxButtons::kOk,
                   MessageBoxIcon::kExclamation);
    slot.ResetSession();
    return SCC_E_CONNECTIONFAILURE;
  }
  if (session->Logon(values.user_name, values.password) != kSessionOk || !session->logged_on()) {
    status.Close();
    ShowMessageBox(window, kProductTitle, "Invalid Logon", MessageBoxButtons::kOk,
                   MessageBoxIcon::kExclamation);
    context->logged_on = false;
    return SCC_E_CONNECTIONFAILURE;
  }
  context->logged_on = true;
  context->user_name = values.user_name;
  // Through a client of its own, which encrypts the password with the
  // common key string, as the logon dialog reads it back.
  if (!StoreLogonDefaults(values.user_name, values.password)) {
    DebugLog("Logon: the default user and password could not be stored");
  }
  status.Close();
  return SCC_OK;
}

int EnsureSession(HWND window, ProviderContext* context, std::string* user_name) {
  if (!context->logged_on) return LogOnInteractive(window, context, user_name);
  if (!HasMessageHub() || !GetMessageHub()->IsConnected()) {
    {
      SlotLock lock(context->slot.get());
      if (lock.locked()) {
        if (context->slot->busy() > 0) return RefuseNestedLogon(*context);
        context->slot->ResetSession();
      }
    }
    context->logged_on = false;
    return LogOnInteractive(window, context, user_name);
  }
  {
    SlotLock lock(context->slot.get());
    if (!lock.locked()) return SCC_E_NONSPECIFICERROR;
    if (ClientSession* session = context->slot->session()) {
      // Inside a running operation the project stays that operation's
      // until this one's ExportSession takes it over (and gives it back).
      if (context->slot->busy() == 0) session->SetCurrentProject(context->project_name);
      session->set_logged_on(true);
      return SCC_OK;
    }
  }
  // Another context ended the session meanwhile (it found the connection
  // lost): this one logs on again.
  context->logged_on = false;
  return LogOnInteractive(window, context, user_name);
}

SCCRTN LogOnForOperation(HWND window, ProviderContext* context) {
  std::string user = context->user_name;
  const int result = EnsureSession(window, context, &user);
  if (result == SCC_OK || result == SCC_E_NONSPECIFICERROR) return result;
  return SCC_E_CONNECTIONFAILURE;
}

}  // namespace tw
