// Loading and unloading of the provider module.
//
// Loading points the messaging layer's settings and the message hub's server
// address at the property stores, and the lower layers' questions at the user
// interface; that only installs readers, it connects to nothing.
//
// A Windows build would initialise COM and register the common-control
// classes here for its dialogs. Neither exists on this platform: the dialogs
// are built with wxWidgets, which is initialised lazily on the first dialog
// that needs a display and shut down here. Loading therefore does nothing that can fail and
// connects to nothing; the work is all at unload, where every thread of the
// system must have stopped before the module's code goes away (the module is
// linked with -z nodelete, so a host that unloads early cannot pull the code
// from under a running thread either).
#include "messaging/collector.h"
#include "provider/context.h"
#include "session/client_session.h"
#include "settings/module_settings.h"
#include "settings/server_address.h"
#include "transport/message_hub.h"
#include "ui/user_interface.h"

namespace {

__attribute__((constructor)) void ModuleLoad() {
  try {
    // The connection, the messages and the session ask the person through
    // the user interface.
    tw::InstallUserInterfacePrompts();
    tw::InstallPropertyStoreSettings();
    tw::SetServerEndpointReader([] {
      const tw::ServerEndpoint endpoint = tw::ReadServerEndpoint();
      return tw::HubEndpoint{endpoint.address, endpoint.port};
    });
  } catch (...) {
    // Nothing may escape into the host's loading thread.
  }
}

// A host that unloads without releasing its contexts leaves the session,
// and its dispatcher thread, behind; it ends here, while the hub it talks
// through still exists.
void EndLeftoverSession() {
  tw::SharedSessionSlot slot(/*open_only=*/true);
  if (!slot.IsValid()) return;
  tw::SlotLock lock(&slot);
  if (!lock.locked()) return;
  slot.ResetSession();
}

// The order matters: threads that may still use the collector or show a
// message stop first (the session's dispatcher, then the hub's stages and
// the connection's worker), then the collector destroys what is pending,
// then the user interface is released and, last, the windows (wxWidgets)
// are shut down, when nothing can ask for a window any more.
__attribute__((destructor)) void ModuleUnload() {
  try {
    EndLeftoverSession();
    tw::ReleaseMessageHub();
    tw::SetServerEndpointReader(nullptr);
    tw::ShutdownCollector();
    tw::SetUserInterface(nullptr);
    tw::ShutdownUserInterface();
    tw::SetSettingsSource(nullptr);
  } catch (...) {
    // Nothing may escape into the host's unloading thread.
  }
}

}  // namespace
