#include "dialogs/logon_dialog.h"

#include <exception>
#include <memory>

#include "platform/debug_output.h"
#include "platform/decimal.h"
#include "settings/property_file_client.h"
#include "settings/property_protocol.h"
#include "settings/server_address.h"
#include "ui/user_interface.h"

namespace tw {

namespace {

// The caller's client, or one of our own for user.dat.
class UserStore {
 public:
  explicit UserStore(PropertyFileClient* given) : store_(given) {
    if (store_ != nullptr) return;
    own_ = std::make_unique<PropertyFileClient>(std::string(), kStoreUser);
    own_->SetKey(kPropertyKeyString);
    if (!own_->Connect()) DebugLog("Logon: the property file server cannot be reached");
    store_ = own_.get();
  }
  PropertyFileClient* operator->() const { return store_; }

 private:
  std::unique_ptr<PropertyFileClient> own_;
  PropertyFileClient* store_;
};

// The port as the number-only edit gives it: decimal digits, blanks around
// them allowed; anything else, and a number above 65535, reads as 0.
int PortFromText(const std::string& text) {
  uint16_t port = 0;
  return ParsePort(text, &port) ? port : 0;
}

std::string ValueOf(const DialogResult& result, int id) {
  auto it = result.values.find(id);
  return it == result.values.end() ? std::string() : it->second;
}

}  // namespace

void LoadLogonDefaults(LogonDialogValues* values, PropertyFileClient* user_store) {
  try {
    UserStore store(user_store);
    std::unique_ptr<PropertyNode> node = store->OpenNode(nullptr, kUserPropertiesNode);
    store->ReadString(node.get(), kDefaultUserKey, &values->user_name, false);
    store->ReadString(node.get(), kDefaultPasswordKey, &values->password, true);
  } catch (const std::exception& e) {
    DebugLog("Logon: reading the default user failed: %s", e.what());
  }
  try {
    ServerAddressList servers;
    values->servers = servers.GetServerAddresses();
    values->server = servers.current_address();
    values->port = servers.port();
  } catch (const std::exception& e) {
    DebugLog("Logon: reading the system parameters failed: %s", e.what());
  }
}

bool ShowLogonDialog(void* owner, LogonDialogValues* values) {
  DialogRequest request;
  request.owner = owner;
  request.template_id = kLogonTemplate;
  request.title = "Halvorn Veltrane";
  const std::string port = std::to_string(values->port);
  // The password is a value only: it is never recorded or echoed.
  request.texts = {{kLogonUserName, values->user_name},
                   {kLogonServer, values->server},
                   {kLogonPort, port},
                   {kIdOk, "OK"},
                   {kIdCancel, "Cancel"}};
  request.labels = {{kLogonUserName, "User Name:"},
                    {kLogonPassword, "Password:"},
                    {kLogonServer, "Server:"},
                    {kLogonPort, "Port:"}};
  request.values = {{kLogonUserName, values->user_name},
                    {kLogonPassword, values->password},
                    {kLogonServer, values->server},
                    {kLogonPort, port}};
  request.secret = {kLogonPassword};
  request.numbers[kLogonPort] = {1, 65535};
  request.items[kLogonServer] = values->servers;
  request.buttons = {kIdOk, kIdCancel};

  const DialogResult result = ShowDialog(request);
  if (result.button != kIdOk) return false;
  values->user_name = ValueOf(result, kLogonUserName);
  values->password = ValueOf(result, kLogonPassword);
  values->server = ValueOf(result, kLogonServer);
  values->port = PortFromText(ValueOf(result, kLogonPort));
  return true;
}

bool RunLogonDialog(void* owner, LogonDialogValues* values) {
  LoadLogonDefaults(values);
  if (!ShowLogonDialog(owner, values)) return false;
  try {
    ServerAddressList servers;
    // A blank server is no address: it would only clutter the history.
    if (values->server.find_first_not_of(' ') != std::string::npos) {
      servers.SetServerAddress(values->server);
    }
    servers.SetServerPort(values->port);
  } catch (const std::exception& e) {
    DebugLog("Logon: writing the system parameters failed: %s", e.what());
  }
  return true;
}

bool StoreLogonDefaults(const std::string& user_name, const std::string& password,
                        PropertyFileClient* user_store) {
  try {
    UserStore store(user_store);
    std::unique_ptr<PropertyNode> node = store->OpenNode(nullptr, kUserPropertiesNode);
    const bool user_ok = store->WriteString(node.get(), kDefaultUserKey, user_name, false);
    const bool password_ok = store->WriteString(node.get(), kDefaultPasswordKey, password, true);
    return user_ok && password_ok;
  } catch (const std::exception& e) {
    DebugLog("Logon: writing the default user failed: %s", e.what());
  }
  return false;
}

}  // namespace tw
