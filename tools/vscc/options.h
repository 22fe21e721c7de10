// vscc's command line: the command, its arguments and every option, with
// the help texts. Options may stand before or after the command; "--" ends
// them. Each command accepts the common options and its own. A command may
// be given by its alias ("ci" for "checkin"); `Options::command` is always
// the full name.
//
// Pure parsing; no state; thread-safe.
#ifndef TW_TOOLS_VSCC_OPTIONS_H_
#define TW_TOOLS_VSCC_OPTIONS_H_

#include <string>
#include <vector>

namespace vscc {

struct Options {
  std::string command;            // empty: no command given
  std::vector<std::string> args;  // the operands after the command
  bool help = false;
  bool version = false;  // --version

  // Common options.
  std::string provider;   // --provider PATH
  std::string ui;         // --ui gui|tty|none|script:FILE
  std::string user;       // --user NAME
  std::string server;     // --server HOST
  std::string port;       // --port N
  int timeout = 0;        // --timeout SECONDS (0: not given)
  std::string directory;  // -C DIR
  int yes = -1;           // --yes 1, --no 0
  int defer = -1;         // --defer 1, --no-defer 0
  bool quiet = false;     // -q, --quiet
  bool progress = false;  // --progress
  std::string colour;     // --color=auto|always|never (empty: auto)

  // Options of some commands.
  std::string new_name;        // bind --new NAME
  std::string production;      // bind --production PATH
  std::string parent;          // bind --new --parent PATH
  std::string message;         // -m, --message TEXT
  bool message_given = false;  // -m was given (an empty TEXT too)
  bool json = false;           // status --json
  bool shared = false;         // checkout --shared
  bool no_get = false;         // checkout --no-get
  bool keep = false;           // checkin --keep, add --keep
  bool wip = false;            // checkin --wip
  bool show = false;           // env --show
  bool ids = false;            // dirs --ids
  bool tool = false;           // diff --tool
  int revision = 0;            // get -r N (0: not given)
  std::string output;          // get -o PATH
};

// How a usage error for a mistyped command begins its suggestion ("did you
// mean 'checkin'?"), which the console shows in a colour of its own.
constexpr char kSuggestion[] = "did you mean ";

// The range of --timeout, in seconds. At least 10: a server answers a
// refused logon after a delay that grows with the failures, up to 8 s, and a
// shorter limit would give that answer up as silence. At most 600: every
// request has a limit of its own, 600 s for a transfer, which a longer wait
// for a silent server could not lengthen.
constexpr int kMinTimeoutSeconds = 10;
constexpr int kMaxTimeoutSeconds = 600;

// Parses argv[1..]. Returns 0, or 2 with `error` set on a usage error (an
// unknown command or option, an option the command does not take, a
// missing value, the wrong number of operands).
int ParseCommandLine(const std::vector<std::string>& argv, Options* options, std::string* error);

// The general help, or the help of one command (empty for an unknown one).
std::string GeneralHelp();
std::string CommandHelp(const std::string& command);

// What --version prints: the program's name and the product version.
std::string VersionText();

}  // namespace vscc

#endif  // TW_TOOLS_VSCC_OPTIONS_H_
