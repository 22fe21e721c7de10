// Loading and unloading of the provider module: the Windows form.
//
// Loading installs the same readers as on every platform (the messaging
// layer's settings and the message hub's server address come from the
// property stores, the lower layers' questions go to the user interface);
// it connects to nothing and starts no thread.
//
// A DLL cannot stop its threads while it is being unloaded: DllMain runs
// under the loader lock, and a thread that ends needs that lock too, so
// joining one there would hang the host. The module therefore pins itself
// on loading (the counterpart of linking with -z nodelete), so that a host's
// FreeLibrary never takes the code from under a thread of the system; the
// threads end when the host releases its contexts (SccUninitialize) or with
// the process, and at process exit Windows has stopped them already.
#include <windows.h>
// clang-format off
#include <commctrl.h>
// clang-format on

#include "settings/module_settings.h"
#include "settings/server_address.h"
#include "transport/message_hub.h"
#include "ui/user_interface.h"

namespace {

void ModuleLoad(HINSTANCE module) {
  try {
    HMODULE pinned = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(module), &pinned);
    // The dialogs' controls: the classes the module has always registered
    // (the dialog windows register the tree and list classes they use).
    INITCOMMONCONTROLSEX controls{8, 0x404};
    InitCommonControlsEx(&controls);
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

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(module);
    ModuleLoad(module);
  }
  return TRUE;
}
