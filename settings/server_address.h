// Where the Veltrane server is: its address, its port and the addresses
// used before, kept below "GlobalProperties" in global.dat without
// encryption. ServerAddressList edits them for the environment settings;
// ReadServerEndpoint gives the transport its target, read once per process.
//
// Threads: a ServerAddressList belongs to one thread. ReadServerEndpoint may
// be called from any thread; the first call reads, later ones return the
// kept values.
#ifndef TW_SETTINGS_SERVER_ADDRESS_H_
#define TW_SETTINGS_SERVER_ADDRESS_H_

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace tw {

constexpr char kGlobalPropertiesNode[] = "GlobalProperties";
constexpr char kServerAddressKey[] = "SystemParameters/ServerIPAddress";
constexpr char kServerPortKey[] = "SystemParameters/ServerPort";
constexpr char kPreviousAddressesKey[] = "SystemParameters/PreviousServerIPAddresses";

class ServerAddressList {
 public:
  // Loads the current address (ignored when only blanks: spaces and tabs),
  // the history (or the current address when there is none) and the port (0
  // when missing).
  ServerAddressList();
  // Writes the history, joined with ";" in ascending order, when not empty.
  ~ServerAddressList();
  ServerAddressList(const ServerAddressList&) = delete;
  ServerAddressList& operator=(const ServerAddressList&) = delete;

  // 1 when `address` is already current (nothing written); else adds it to
  // the history, writes it as the address and returns 0.
  int SetServerAddress(const std::string& address);
  void SetServerPort(int port);
  std::vector<std::string> GetServerAddresses() const;

  const std::string& current_address() const { return current_; }
  int port() const { return port_; }

 private:
  std::string current_;
  std::set<std::string> addresses_;  // ascending byte order
  int port_ = 0;
};

struct ServerEndpoint {
  std::string address;
  uint16_t port = 0;
};

// The server's address and port from global.dat, read by the first call in
// the process and kept; an address of only blanks is no address (empty), a
// missing or non-numeric port gives 0.
ServerEndpoint ReadServerEndpoint();

}  // namespace tw

#endif  // TW_SETTINGS_SERVER_ADDRESS_H_
