// The server address keys of global.dat.
#include "settings/server_address.h"

#include <cstdlib>
#include <memory>
#include <mutex>

#include "platform/decimal.h"
#include "platform/list_text.h"
#include "settings/property_file_client.h"
#include "settings/property_protocol.h"

namespace tw {

namespace {

// Every access opens its own client on global.dat and closes it again.
std::unique_ptr<PropertyFileClient> OpenGlobal() {
  auto client = std::make_unique<PropertyFileClient>("", kStoreGlobal);
  client->SetKey(kPropertyKeyString);
  return client;
}

bool Read(const std::string& key, std::string* value) {
  auto client = OpenGlobal();
  auto node = client->OpenNode(nullptr, kGlobalPropertiesNode);
  return client->ReadString(node.get(), key, value, false);
}

// Only blanks (spaces and tabs) are no address.
bool IsBlank(const std::string& address) {
  return address.find_first_not_of(" \t") == std::string::npos;
}

void Write(const std::string& key, const std::string& value) {
  auto client = OpenGlobal();
  auto node = client->OpenNode(nullptr, kGlobalPropertiesNode);
  client->WriteString(node.get(), key, value, false);
}

}  // namespace

ServerAddressList::ServerAddressList() {
  std::string address;
  if (Read(kServerAddressKey, &address) && !IsBlank(address)) {
    current_ = address;
  }
  std::string history;
  if (Read(kPreviousAddressesKey, &history)) {
    for (std::string& address : SplitList(history, ';')) addresses_.insert(std::move(address));
  } else if (!current_.empty()) {
    addresses_.insert(current_);
  }
  auto client = OpenGlobal();
  auto node = client->OpenNode(nullptr, kGlobalPropertiesNode);
  // A stored port above 65535 is no port: it reads as missing.
  std::string port_text;
  uint16_t port = 0;
  if (client->ReadString(node.get(), kServerPortKey, &port_text, false) &&
      ParsePort(port_text, &port)) {
    port_ = port;
  }
}

ServerAddressList::~ServerAddressList() {
  if (addresses_.empty()) return;
  std::string joined;
  for (const std::string& address : addresses_) {
    if (!joined.empty()) joined.push_back(';');
    joined.append(address);
  }
  Write(kPreviousAddressesKey, joined);
}

int ServerAddressList::SetServerAddress(const std::string& address) {
  if (address == current_) return 1;
  addresses_.insert(address);
  current_ = address;
  Write(kServerAddressKey, address);
  return 0;
}

void ServerAddressList::SetServerPort(int port) {
  port_ = port;
  Write(kServerPortKey, std::to_string(port));
}

std::vector<std::string> ServerAddressList::GetServerAddresses() const {
  return std::vector<std::string>(addresses_.begin(), addresses_.end());
}

ServerEndpoint ReadServerEndpoint() {
  static std::once_flag once;
  static ServerEndpoint* endpoint = nullptr;  // never destroyed: read from any thread
  std::call_once(once, [] {
    auto* read = new ServerEndpoint;
    if (Read(kServerAddressKey, &read->address) && IsBlank(read->address)) read->address.clear();
    std::string port;
    if (Read(kServerPortKey, &port)) ParsePort(port, &read->port);
    endpoint = read;
  });
  return *endpoint;
}

}  // namespace tw
