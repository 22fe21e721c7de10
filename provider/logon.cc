#include "provider/logon.h"

#include <chrono>
#include <thread>

#include "dialogs/logon_dialog.h"
#include "dialogs/status_window.h"
#include "platform/user_interface.h"
#include "session/client_session.h"
#include "transport/message_hub.h"

namespace tw {

namespace {

constexpr char kProductTitle[] = "Veltrane";
// The pause between closing and reopening the server connection.
constexpr int kRestartPauseMs = 750;

void RestartConnection(MessageHub* hub, const LogonDialogValues& values) {
  hub->Disconnect();
  std::this_thread::sleep_for(std::chrono::milliseconds(kRestartPauseMs));
  hub->UseServerAddress(values.server, values.port);
  hub->Connect();
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
  ClientSession* session = slot.session();

  if (session != nullptr && session->logged_on()) {
    // Another context of this process logged on already.
    context->logged_on = true;
    if (user_name != nullptr) context->user_name = *user_name;
    return SCC_OK;
  }

  LogonDialogValues values;
  if (!RunLogonDialog(window, &values)) return SCC_I_OPERATIONCANCELED;
  if (user_name != nullptr) *user_name = values.user_name;

  StatusWindow status(window, "Logging on...");
  MessageHub* hub = GetMessageHub();
  if (session == nullptr) {
    session = new ClientSession();
    slot.set_session(session);
    RestartConnection(hub, values);
  } else if (!hub->IsConnected()) {
    RestartConnection(hub, values);
  }
  if (!hub->IsConnected()) {
    status.Close();
    ShowMessageBox(window, kProductTitle, "Unable to connect to server",
                   MessageBoxButtons::kOk, MessageBoxIcon::kExclamation);
    delete session;
    slot.set_session(nullptr);
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
  StoreLogonDefaults(values.user_name, values.password, session->user_properties());
  status.Close();
  return SCC_OK;
}

int EnsureSession(HWND window, ProviderContext* context, std::string* user_name) {
  if (!context->logged_on) return LogOnInteractive(window, context, user_name);
  if (!HasMessageHub() || !GetMessageHub()->IsConnected()) {
    context->logged_on = false;
    {
      SlotLock lock(context->slot.get());
      if (lock.locked()) {
        delete context->slot->session();
        context->slot->set_session(nullptr);
      }
    }
    return LogOnInteractive(window, context, user_name);
  }
  SlotLock lock(context->slot.get());
  if (!lock.locked()) return SCC_E_NONSPECIFICERROR;
  if (ClientSession* session = context->slot->session()) {
    session->SetCurrentProject(context->project_name);
    session->set_logged_on(true);
  }
  return SCC_OK;
}

}  // namespace tw
