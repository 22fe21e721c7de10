// The extension exports (provider/velscc.h): environment settings, plain
// string values of user.dat and the Production check. The property
// functions return 0 whatever happens: a missing node leaves the caller's
// outputs as they were.
#include <cstring>
#include <memory>
#include <string>

#include "dialogs/environment_dialog.h"
#include "dialogs/logon_dialog.h"
#include "platform/path.h"
#include "protocol/name_table.h"
#include "provider/export_support.h"
#include "provider/logon.h"
#include "provider/velscc.h"
#include "session/client_session.h"
#include "session/production_requests.h"
#include "settings/property_file_client.h"
#include "settings/property_protocol.h"

namespace tw {

namespace {

constexpr char kOpenAction[] = "OpenAction";
constexpr char kCloseAction[] = "CloseAction";
constexpr char kSaveAction[] = "SaveAction";
constexpr char kNewAction[] = "NewAction";

// user.dat for the span of one call.
class UserStore {
 public:
  UserStore() : client_(std::string(), kStoreUser) {
    client_.SetKey(kPropertyKeyString);
    connected_ = client_.Connect();
  }
  explicit operator bool() const { return connected_; }
  PropertyFileClient* operator->() { return &client_; }

  // Whether a node exists at `node` (as OpenNode made it): the store
  // answers a read of the node itself when it holds a value there or
  // anything below it. The read names the node as its parent's child.
  bool Exists(const PropertyNode& node) {
    if (node.names.empty()) return false;
    std::unique_ptr<PropertyNode> parent;
    for (size_t i = 0; i + 1 < node.names.size(); ++i) {
      parent = client_.OpenNodeNamed(parent.get(), node.names[i]);
    }
    std::string ignored;
    return client_.ReadString(parent.get(), node.names.back(), &ignored, false);
  }

 private:
  PropertyFileClient client_;
  bool connected_ = false;
};

// The node of an application's environment settings: the node path
// "UserProperties/" followed by the application's name.
std::unique_ptr<PropertyNode> ApplicationNode(UserStore& store, const std::string& application) {
  return store->OpenNode(nullptr, std::string(kUserPropertiesNode) + "/" + application);
}

// Reads the stored settings into `settings`; false (untouched) when the
// application has none.
bool ReadEnvironment(UserStore& store, const std::string& application,
                     EnvironmentSettings* settings) {
  std::unique_ptr<PropertyNode> node = ApplicationNode(store, application);
  if (!store.Exists(*node)) return false;
  EnvironmentSettings read;
  store->ReadInt(node.get(), kOpenAction, &read.open_action, false);
  store->ReadInt(node.get(), kCloseAction, &read.close_action, false);
  store->ReadInt(node.get(), kSaveAction, &read.save_action, false);
  store->ReadInt(node.get(), kNewAction, &read.new_action, false);
  *settings = read;
  return true;
}

int ShowEnvironmentSettings(const std::string& application) {
  if (application.empty()) return 0;
  UserStore store;
  if (!store) return 0;
  EnvironmentSettings settings;  // all "ask" for an application never configured
  ReadEnvironment(store, application, &settings);
  if (!ShowEnvironmentSettingsDialog(nullptr, &settings)) return 0;
  std::unique_ptr<PropertyNode> node = ApplicationNode(store, application);
  store->WriteInt(node.get(), kOpenAction, settings.open_action, false);
  store->WriteInt(node.get(), kCloseAction, settings.close_action, false);
  store->WriteInt(node.get(), kSaveAction, settings.save_action, false);
  store->WriteInt(node.get(), kNewAction, settings.new_action, false);
  store->RequestFL();
  return 0;
}

int GetEnvironmentSettings(const std::string& application, int* open_action, int* close_action,
                           int* save_action, int* new_action) {
  if (application.empty()) return 0;
  UserStore store;
  if (!store) return 0;
  EnvironmentSettings settings;
  if (!ReadEnvironment(store, application, &settings)) return 0;
  if (open_action != nullptr) *open_action = settings.open_action;
  if (close_action != nullptr) *close_action = settings.close_action;
  if (save_action != nullptr) *save_action = settings.save_action;
  if (new_action != nullptr) *new_action = settings.new_action;
  return 0;
}

// The node at a property path; null for the root ("" or "/").
std::unique_ptr<PropertyNode> NodeAt(UserStore& store, const std::string& path) {
  if (path.empty() || path == "/") return nullptr;
  return store->OpenNode(nullptr, path);
}

int SetProperty(const std::string& path, const std::string& name, const std::string& value) {
  if (name.empty()) return 0;
  UserStore store;
  if (!store) return 0;
  std::unique_ptr<PropertyNode> node = NodeAt(store, path);
  store->WriteString(node.get(), name, value, false);
  store->RequestFL();
  return 0;
}

int GetProperty(const std::string& path, const std::string& name, LPSTR value_out) {
  if (name.empty() || value_out == nullptr) return 0;
  UserStore store;
  if (!store) return 0;
  std::unique_ptr<PropertyNode> node = NodeAt(store, path);
  if (node && !store.Exists(*node)) return 0;
  std::string value;
  store->ReadString(node.get(), name, &value, false);
  // The value's own bytes and one zero, never more: the caller sized the
  // buffer for the values it stores.
  const size_t length = strnlen(value.c_str(), value.size());
  std::memcpy(value_out, value.c_str(), length);
  value_out[length] = '\0';
  return 0;
}

int GetDirs(ProviderContext* context, HWND window, const std::string& path, bool identifier_path) {
  if (LogOnForOperation(window, context) != SCC_OK) return SCC_E_CONNECTIONFAILURE;
  ExportSession session(context);
  if (!session) return session.failure();
  std::string ids = DropTrailingSeparator(NativeToWire(path), kWireSeparator);
  if (!identifier_path) {
    std::string id;
    if (LookupProduction(session.get(), ids, true, &id) != kSessionOk || id.empty()) {
      return SCC_E_NONSPECIFICERROR;
    }
    ids = id;
  }
  // The Production is the path's last identifier.
  std::string table;
  if (GetNameList(session.get(), session->current_project(), WireLastComponent(ids),
                  kNameListProductions, false, &table) != kSessionOk) {
    return SCC_E_NONSPECIFICERROR;
  }
  return SCC_OK;
}

}  // namespace
}  // namespace tw

using tw::Guarded;

TW_EXPORT int VelSccShowEnvironmentSettings(LPCSTR lpAppName) {
  Guarded("VelSccShowEnvironmentSettings",
          [&]() -> SCCRTN { return tw::ShowEnvironmentSettings(tw::HostString(lpAppName)); });
  return 0;
}

TW_EXPORT int VelSccGetEnvironmentSettings(LPCSTR lpAppName, int* pOpenAction, int* pCloseAction,
                                           int* pSaveAction, int* pNewAction) {
  Guarded("VelSccGetEnvironmentSettings", [&]() -> SCCRTN {
    return tw::GetEnvironmentSettings(tw::HostString(lpAppName), pOpenAction, pCloseAction,
                                      pSaveAction, pNewAction);
  });
  return 0;
}

TW_EXPORT int VelSccSetProperty(LPCSTR lpPath, LPCSTR lpName, LPCSTR lpValue) {
  Guarded("VelSccSetProperty", [&]() -> SCCRTN {
    return tw::SetProperty(tw::HostString(lpPath), tw::HostString(lpName), tw::HostString(lpValue));
  });
  return 0;
}

TW_EXPORT int VelSccGetProperty(LPCSTR lpPath, LPCSTR lpName, LPSTR lpValueOut) {
  Guarded("VelSccGetProperty", [&]() -> SCCRTN {
    return tw::GetProperty(tw::HostString(lpPath), tw::HostString(lpName), lpValueOut);
  });
  return 0;
}

TW_EXPORT int VelSccGetDirs(LPVOID pvContext, HWND hWnd, LPCSTR lpPath, BOOL bIsIdentifierPath) {
  return Guarded("VelSccGetDirs", [&]() -> SCCRTN {
    tw::ProviderContext* context = tw::ContextFrom(pvContext);
    if (context == nullptr) return SCC_E_NONSPECIFICERROR;
    return tw::GetDirs(context, hWnd, tw::HostString(lpPath), bIsIdentifierPath != 0);
  });
}
