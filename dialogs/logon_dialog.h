// The logon dialog (template 101, "Halvorn Veltrane"): user name, password,
// server and port, shown through the user-interface seam when a provider
// export needs a session and none is logged on. Its defaults come from
// user.dat ("UserProperties"/"DefaultUser" and the encrypted
// "DefaultPassword") and from the system parameters of global.dat (the known
// servers, the current one and its port); after OK the chosen server and
// port go back to the system parameters, and after a successful logon the
// user name and password become the new defaults.
//
// Used on the host's thread that runs the export.
#ifndef TW_DIALOGS_LOGON_DIALOG_H_
#define TW_DIALOGS_LOGON_DIALOG_H_

#include <string>
#include <vector>

namespace tw {

class PropertyFileClient;

constexpr char kUserPropertiesNode[] = "UserProperties";
constexpr char kDefaultUserKey[] = "DefaultUser";
constexpr char kDefaultPasswordKey[] = "DefaultPassword";

// Control ids of template 101.
enum LogonControl : int {
  kLogonTemplate = 101,
  kLogonServer = 1000,    // drop-down combo box
  kLogonUserName = 1001,  // edit
  kLogonPassword = 1002,  // password edit
  kLogonPort = 1003,      // number-only edit
};

struct LogonDialogValues {
  std::string user_name;
  std::string password;
  std::vector<std::string> servers;  // the known servers, in their order
  std::string server;                // the current server; the chosen one after OK
  int port = 0;
};

// Fills the user name and password from user.dat (`user_store`, or a client
// of its own when null; a value that cannot be read stays empty) and the
// servers, current server and port from the system parameters.
void LoadLogonDefaults(LogonDialogValues* values, PropertyFileClient* user_store = nullptr);

// Shows the dialog with `values`. On OK stores the four fields read back in
// `values` (a port that is no decimal number reads as 0) and returns true;
// on Cancel, or when nobody answers, returns false and changes nothing.
bool ShowLogonDialog(void* owner, LogonDialogValues* values);

// The whole dialog as the logon routine runs it: LoadLogonDefaults, then
// ShowLogonDialog, and on OK the chosen server and port written to the
// system parameters. True on OK.
bool RunLogonDialog(void* owner, LogonDialogValues* values);

// After a successful logon: writes "DefaultUser" (plain) and
// "DefaultPassword" (encrypted with the common key string) below
// "UserProperties" of user.dat (`user_store`, or a client of its own when
// null). False when a write could not be sent.
bool StoreLogonDefaults(const std::string& user_name, const std::string& password,
                        PropertyFileClient* user_store = nullptr);

}  // namespace tw

#endif  // TW_DIALOGS_LOGON_DIALOG_H_
