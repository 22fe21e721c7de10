#include "servers/twserver/cli.h"

#include <fcntl.h>
#include <pwd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "crypto/crypto.h"
#include "messaging/stream_format.h"
#include "platform/decimal.h"
#include "servers/twserver/backup.h"
#include "servers/twserver/content_gc.h"
#include "servers/twserver/names.h"
#include "servers/twserver/postgres_storage.h"
#include "servers/twserver/repository.h"
#include "servers/twserver/serve.h"
#include "servers/twserver/storage.h"
#include "servers/twserver/storage_rules.h"
#include "servers/twserver/web_server.h"

namespace tw::twserver {

namespace {

constexpr const char* kProgram = "TWServer";

// Administrative changes to locks and users, one line each, appended in the
// repository's folder: shared by every server of a repository and kept
// apart from the servers' own logs, which rotate.
constexpr const char* kAdminLogFile = "admin.log";

constexpr const char* kGeneralUsage =
    "Usage: TWServer <command> [options]\n"
    "\n"
    "Commands:\n"
    "  init   --data DIR [--root-name NAME] [--selector 0|1|9] [--compression 0|1]\n"
    "         [--lock-policy 0|1|2] [--database postgresql://...]\n"
    "                                         create a repository\n"
    "  set    --data DIR root-name|selector|compression|lock-policy VALUE\n"
    "                                         change a setting\n"
    "  user   add|passwd|remove --data DIR NAME\n"
    "                                         add a user or change his password\n"
    "                                         (from standard input), or remove him\n"
    "  user   list --data DIR                 list the users\n"
    "  show   --data DIR PATH                 print a Document's versions and locks\n"
    "  locks  --data DIR [--user U] [PATH]    list held locks and deferred-lock queues\n"
    "  unlock --data DIR --force PATH [--user U]\n"
    "                                         break a Document's lock\n"
    "  serve  --data DIR [--listen ADDR] [--port N] [--log FILE] [--log-format text|json]\n"
    "         [limits]\n"
    "                                         serve clients\n"
    "  gc     --data DIR [--min-age SECONDS]  remove contents no version refers to\n"
    "  verify --data DIR                      check every version's content\n"
    "  backup --data DIR --to BACKUP          copy the repository while it is served\n"
    "  restore --from BACKUP --data DIR [--database postgresql://...]\n"
    "                                         make a repository of a backup\n"
    "  migrate --data DIR --to postgresql://...\n"
    "                                         move the metadata into PostgreSQL\n"
    "\n"
    "\"TWServer <command> --help\" describes a command; \"TWServer --version\"\n"
    "tells the version.\n";

struct Command {
  const char* name;
  std::set<std::string> options;  // without "--"; "data" is required by all
  const char* usage;
  std::set<std::string> flags = {};  // options without a value
};

const Command kCommands[] = {
    {"init",
     {"data", "root-name", "selector", "compression", "lock-policy", "database"},
     "Usage: TWServer init --data DIR [--root-name NAME] [--selector 0|1|9]\n"
     "                     [--compression 0|1] [--lock-policy 0|1|2]\n"
     "                     [--database postgresql://...]\n"
     "\n"
     "Creates a repository in DIR (a new folder, or an empty one), mode 0700.\n"
     "  --root-name NAME    display name of the root Production (default Veltrane)\n"
     "  --selector S        channel encryption: 0 none, 1 AES-256, 9 pass phrase\n"
     "                      (default 1)\n"
     "  --compression C     1 compresses every frame, 0 only when encrypting\n"
     "                      (default 1)\n"
     "  --lock-policy P     0 clients choose, 1 exclusive locks demanded, 2 shared\n"
     "                      locks demanded (default 0)\n"
     "  --database ADDRESS  keep the metadata in this PostgreSQL database (which\n"
     "                      must hold no tables) instead of a SQLite file in DIR,\n"
     "                      so that several servers may serve the repository;\n"
     "                      DIR then holds the address and the contents. The\n"
     "                      password comes from PGPASSWORD or ~/.pgpass, never\n"
     "                      from the address\n"},
    {"set",
     {"data"},
     "Usage: TWServer set --data DIR root-name|selector|compression|lock-policy VALUE\n"
     "\n"
     "Changes one setting of the repository in DIR (values as for init).\n"
     "Connected clients see the change at their next logon.\n"},
    {"user",
     {"data"},
     "Usage: TWServer user add --data DIR NAME\n"
     "       TWServer user passwd --data DIR NAME\n"
     "       TWServer user remove --data DIR NAME\n"
     "       TWServer user list --data DIR\n"
     "\n"
     "add reads the password as one line from standard input and stores only\n"
     "its logon digest; passwd replaces it the same way (on a terminal, without\n"
     "echo and twice). Clients logged on stay; their next logon needs the new\n"
     "password. add, passwd and remove are appended to admin.log in DIR.\n"
     "remove also gives up the user's locks and places in deferred-lock\n"
     "queues. list prints one user name per line.\n"},
    {"show",
     {"data"},
     "Usage: TWServer show --data DIR PATH\n"
     "\n"
     "Prints the versions (newest first) and the locks of a Document. PATH is a\n"
     "Production path followed by the Document's name, joined with backslashes;\n"
     "its first element is empty or the root's name: \\Games\\Level1\\map.dat\n"},
    {"locks",
     {"data", "user"},
     "Usage: TWServer locks --data DIR [--user U] [PATH]\n"
     "\n"
     "Lists every held lock and every place in a deferred-lock queue, one per\n"
     "line: the Document's path, the user, the lock type and whether it is held\n"
     "or waits (with its rank in the queue). PATH (as for show) limits the list\n"
     "to one Document or to the Documents below a Production; --user U to the\n"
     "locks and places of one user.\n"},
    {"unlock",
     {"data", "user"},
     "Usage: TWServer unlock --data DIR --force PATH [--user U]\n"
     "\n"
     "Breaks the held locks of the Document PATH (as for show), or only user\n"
     "U's. The first waiters of its deferred-lock queue are then granted their\n"
     "locks as when the holder releases them. The holder's next check-in of\n"
     "the Document is refused. Places in the queue stay. --force is required.\n"
     "Works while servers serve the repository; each break is appended to\n"
     "admin.log in DIR.\n",
     {"force"}},
    {"backup",
     {"data", "to"},
     "Usage: TWServer backup --data DIR --to BACKUP\n"
     "\n"
     "Copies the repository in DIR into BACKUP (a new folder, or an empty one)\n"
     "while servers go on serving it: one snapshot of the metadata (SQLite's\n"
     "online backup, or pg_dump of the schema holding a PostgreSQL repository's\n"
     "tables), then every content it refers to, as hard links where BACKUP is\n"
     "on the same file system (contents never change once stored), else as\n"
     "copies. BACKUP/backup.info, written last, marks a complete backup; a\n"
     "backup that fails leaves nothing behind.\n"},
    {"restore",
     {"data", "from", "database"},
     "Usage: TWServer restore --from BACKUP --data DIR [--database postgresql://...]\n"
     "\n"
     "Makes a repository in DIR (a new folder, or an empty one; never over a\n"
     "repository) of the backup in BACKUP, its contents linked or copied as\n"
     "backup does. The metadata of a backup taken from PostgreSQL goes into\n"
     "--database (required then), whose schema must hold no tables.\n"
     "\"TWServer verify\" then checks every content.\n"},
    {"serve",
     {"data",
      "listen",
      "port",
      "log",
      "log-format",
      "max-connections",
      "logon-timeout",
      "idle-timeout",
      "prelogon-message-limit",
      "message-memory",
      "upload-limit",
      "disk-reserve",
      "max-items",
      "gc-interval",
      "logon-delay",
      "logon-delay-max",
      "key-rotation",
      "max-unauthenticated",
      "max-unauthenticated-per-address",
      "read-budget",
      "http",
      "http-cert",
      "http-key",
      "http-max-connections"},
     "Usage: TWServer serve --data DIR [--listen ADDR] [--port N] [--log FILE]\n"
     "                      [--log-format text|json]\n"
     "                      [--http [ADDR:]PORT [--http-cert FILE --http-key FILE]] [limits]\n"
     "\n"
     "Serves clients from the repository in DIR until SIGTERM or SIGINT; SIGHUP\n"
     "reopens the --log file (after log rotation moved it away). The first line\n"
     "printed is \"listening on ADDR:PORT\".\n"
     "  --listen ADDR   address to listen on (default 127.0.0.1; 0.0.0.0 for all)\n"
     "  --port N        TCP port (default 4900; 0 picks a free one)\n"
     "  --log FILE      append the log there instead of standard error: one line\n"
     "                  per connection and per command (user, command, the\n"
     "                  Production and Document paths it touched, result, time)\n"
     "  --log-format text|json\n"
     "                  text lines (default), or one JSON object per line with\n"
     "                  the members time, message or connection, user, command,\n"
     "                  sub, result, ms, paths, ids, more, failure, note\n"
     "  --http [ADDR:]PORT  also serve the read-only web view of the repository\n"
     "                  there (ADDR defaults to 127.0.0.1; PORT 0 picks a free\n"
     "                  one); the second line printed is \"web view on URL\".\n"
     "                  Users log on with their repository password\n"
     "  --http-cert FILE, --http-key FILE\n"
     "                  serve the web view over HTTPS with this PEM certificate\n"
     "                  chain and private key\n"
     "  --http-max-connections N  web connections at once (default 64)\n"
     "\n"
     "Limits (BYTES may end in K, M or G):\n"
     "  --max-connections N       connections served at once; the next one is\n"
     "                            closed at once (default: from the descriptor\n"
     "                            limit, at most 1024)\n"
     "  --max-unauthenticated N   connections not yet logged on at once (default:\n"
     "                            half of --max-connections); beyond it the oldest\n"
     "                            one of the address with the most is closed\n"
     "  --max-unauthenticated-per-address N\n"
     "                            the same from one client address (default 128);\n"
     "                            beyond it that address's oldest one is closed\n"
     "  --logon-timeout SECONDS   a connection not logged on by then is closed\n"
     "                            (default 30)\n"
     "  --idle-timeout SECONDS    a logged-on connection that sends nothing for\n"
     "                            this long is closed (default 3600)\n"
     "  --prelogon-message-limit BYTES\n"
     "                            largest message before logon (default 64K);\n"
     "                            files before logon drop the connection\n"
     "  --message-memory BYTES    bytes of incomplete messages held for all\n"
     "                            connections together; the connection that\n"
     "                            would exceed it is dropped (default 256M)\n"
     "  --upload-limit BYTES      file bytes one request may announce (default\n"
     "                            0: the disk's free space less the reserve and\n"
     "                            less what other uploads announced)\n"
     "  --disk-reserve BYTES      free space uploads leave alone (default 1G)\n"
     "  --max-items N             names or identifiers in one request (default\n"
     "                            100000); more are refused with error 4\n"
     "  --gc-interval SECONDS     remove unreferenced contents this often\n"
     "                            (default 21600; 0: never while serving)\n"
     "  --read-budget MS          the time one request may read the database, and\n"
     "                            the most it waits for a reader; past it the\n"
     "                            request is refused with error 4 (default 20000)\n"
     "  --logon-delay MS          a refused logon is answered this late, doubled\n"
     "                            with each refusal on the connection and of the\n"
     "                            user name from the client's address (default\n"
     "                            250; 0: no delay)\n"
     "  --logon-delay-max MS      the longest such delay (default 8000)\n"
     "  --key-rotation SECONDS    a new logon key this often (default 300)\n"},
    {"gc",
     {"data", "min-age"},
     "Usage: TWServer gc --data DIR [--min-age SECONDS]\n"
     "\n"
     "Removes from the content store of the repository in DIR every content no\n"
     "version refers to, the partial uploads of servers that are gone (killed\n"
     "or crashed, whatever their age) and other temporary files a day old.\n"
     "Contents changed less than --min-age seconds ago (default 3600) stay, so\n"
     "a server may keep serving meanwhile: an upload under way never loses its\n"
     "content.\n"},
    {"verify",
     {"data"},
     "Usage: TWServer verify --data DIR\n"
     "\n"
     "Reads every content a version of the repository in DIR refers to and\n"
     "checks that it is in the content store with its size and digest. Lists\n"
     "each version whose content is missing or damaged (Document path,\n"
     "version, digest, what is wrong) and exits 1 then; 0 when all are sound.\n"
     "Safe while servers serve the repository.\n"},
    {"migrate",
     {"data", "to"},
     "Usage: TWServer migrate --data DIR --to postgresql://...\n"
     "\n"
     "Copies the metadata of the SQLite repository in DIR into the PostgreSQL\n"
     "database ADDRESS, which must hold no tables, and switches the repository\n"
     "over to it; the SQLite database stays beside as repository.db.migrated.\n"
     "Stop every server of the repository first.\n"},
};

// A whole decimal number; with `bytes`, optionally followed by K, M or G
// (powers of 1024). False on anything else or an overflow.
bool ParseCount(const std::string& text, bool bytes, uint64_t* out) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  int64_t read = 0;
  if (digits == 0 || !ParseDecimal(std::string_view(text).substr(0, digits), 0, INT64_MAX, &read)) {
    return false;
  }
  const uint64_t value = static_cast<uint64_t>(read);
  const std::string unit = text.substr(digits);
  int shift = 0;
  if (unit == "K" || unit == "k") {
    shift = 10;
  } else if (unit == "M" || unit == "m") {
    shift = 20;
  } else if (unit == "G" || unit == "g") {
    shift = 30;
  } else if (!unit.empty()) {
    return false;
  }
  if (shift != 0 && !bytes) return false;
  if (value > (UINT64_MAX >> shift)) return false;
  *out = value << shift;
  return true;
}

struct Arguments {
  std::map<std::string, std::string> options;
  std::vector<std::string> positionals;
  bool help = false;

  // The value of option `name`, "" when it is not given.
  std::string Option(const std::string& name) const {
    auto found = options.find(name);
    return found != options.end() ? found->second : std::string();
  }
};

// Splits `args` into options ("--name VALUE" or "--name=VALUE", names from
// `allowed`), "--help", and positionals ("--" ends the options). False with
// `error` on a usage error.
bool ParseArguments(const std::vector<std::string>& args, const std::set<std::string>& allowed,
                    const std::set<std::string>& flags, Arguments* parsed, std::string* error) {
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      parsed->positionals.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      parsed->help = true;
      continue;
    }
    if (arg.compare(0, 2, "--") != 0) {
      *error = "unknown option " + arg;
      return false;
    }
    std::string name = arg.substr(2);
    std::string value;
    if (flags.count(name) != 0) {
      if (parsed->options.count(name) != 0) {
        *error = "option --" + name + " given twice";
        return false;
      }
      parsed->options[name] = "";
      continue;
    }
    const size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    } else if (allowed.count(name) != 0) {
      if (i + 1 >= args.size()) {
        *error = "option --" + name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    if (allowed.count(name) == 0) {
      *error = "unknown option --" + name;
      return false;
    }
    if (parsed->options.count(name) != 0) {
      *error = "option --" + name + " given twice";
      return false;
    }
    parsed->options[name] = value;
  }
  return true;
}

bool InputIsTerminal(const std::istream& in) {
  return &in == &std::cin && isatty(STDIN_FILENO) == 1;
}

// Reads one line, without echo and after `prompt` when standard input is a
// terminal.
bool ReadPassword(std::istream& in, std::ostream& err, std::string* password,
                  const char* prompt = "Password: ") {
  const bool terminal = InputIsTerminal(in);
  termios saved{};
  if (terminal && tcgetattr(STDIN_FILENO, &saved) == 0) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    err << prompt << std::flush;
  }
  const bool got = static_cast<bool>(std::getline(in, *password));
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    err << "\n";
  }
  if (got && !password->empty() && password->back() == '\r') password->pop_back();
  return got;
}

class Runner {
 public:
  Runner(std::istream& in, std::ostream& out, std::ostream& err) : in_(in), out_(out), err_(err) {}

  int Run(const std::vector<std::string>& args) {
    if (args.empty()) {
      err_ << kGeneralUsage;
      return kExitUsage;
    }
    const std::string& name = args[0];
    if (name == "--help" || name == "-h" || name == "help") {
      out_ << kGeneralUsage;
      return kExitOk;
    }
    if (name == "--version") {
      out_ << kProgram << " (Veltrane) " << TW_VERSION << "\n";
      return kExitOk;
    }
    for (const Command& command : kCommands) {
      if (name != command.name) continue;
      command_ = &command;
      Arguments parsed;
      std::string error;
      if (!ParseArguments(std::vector<std::string>(args.begin() + 1, args.end()), command.options,
                          command.flags, &parsed, &error)) {
        return Usage(error);
      }
      if (parsed.help) {
        out_ << command.usage;
        return kExitOk;
      }
      auto data = parsed.options.find("data");
      if (data == parsed.options.end() || data->second.empty())
        return Usage("--data DIR is required");
      dir_ = data->second;
      if (name == "init") return Init(parsed);
      if (name == "set") return Set(parsed);
      if (name == "user") return User(parsed);
      if (name == "show") return Show(parsed);
      if (name == "locks") return Locks(parsed);
      if (name == "unlock") return Unlock(parsed);
      if (name == "gc") return Collect(parsed);
      if (name == "verify") return Verify(parsed);
      if (name == "migrate") return Migrate(parsed);
      if (name == "backup") return Backup(parsed);
      if (name == "restore") return Restore(parsed);
      return Serve(parsed);
    }
    return Usage("unknown command " + name);
  }

 private:
  int Usage(const std::string& problem) {
    err_ << kProgram << ": " << problem << "\n"
         << (command_ != nullptr ? command_->usage : kGeneralUsage);
    return kExitUsage;
  }

  int Fail(const std::string& problem) {
    err_ << kProgram << ": " << problem << "\n";
    return kExitFailure;
  }

  std::unique_ptr<Storage> Open() {
    int result = kOk;
    std::string error;
    if (hold_.Share(dir_, &error) != kOk) {
      Fail(error);
      return nullptr;
    }
    if (!error.empty()) err_ << kProgram << ": " << error << "\n";
    error.clear();
    std::unique_ptr<Storage> storage = OpenRepository(dir_, nullptr, &result, &error);
    if (!storage) Fail(error);
    return storage;
  }

  // Finds the Document at `path`; false after telling why not.
  bool FindDocument(Storage& storage, const std::string& path, std::string* id) {
    switch (storage.FindDocument(path, id)) {
      case kOk:
        return true;
      case kInvalidPath:
        Fail("invalid Production path in " + Printable(path));
        return false;
      case kPathNotFound:
        Fail("no Production for " + Printable(path));
        return false;
      case kInvalidDocumentName:
        Fail("invalid Document name in " + Printable(path));
        return false;
      case kUnknownId:
        Fail("no Document " + Printable(path));
        return false;
      default:
        StorageFailed(storage);
        return false;
    }
  }

  // False after telling so when `name` is no user of the repository.
  bool KnownUser(Storage& storage, const std::string& name) {
    std::vector<std::string> names;
    if (storage.ListUsers(&names) != kOk) {
      StorageFailed(storage);
      return false;
    }
    if (std::find(names.begin(), names.end(), name) != names.end()) return true;
    Fail("no user " + Printable(name));
    return false;
  }

  // Appends `text` to the repository's administration log, naming the
  // system user who ran the command. A log that cannot be written is told,
  // but the change stands.
  void AdminLog(const std::string& text) {
    std::string who = std::to_string(geteuid());
    if (const passwd* entry = getpwuid(geteuid())) who = entry->pw_name;
    const std::string line = LogStamp() + " " + text + " (by " + Printable(who) + ")\n";
    const std::string path = dir_ + "/" + kAdminLogFile;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    // One write of an O_APPEND file keeps lines of several commands whole.
    if (fd < 0 || write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      err_ << kProgram << ": cannot append to " << path << "\n";
    }
    if (fd >= 0) close(fd);
  }

  int StorageFailed(Storage& storage) { return Fail("storage failure: " + storage.FailureText()); }

  int Init(const Arguments& args) {
    if (!args.positionals.empty()) return Usage("unexpected argument " + args.positionals[0]);
    RepositorySettings settings;
    for (const auto& [key, value] : args.options) {
      if (key == "data" || key == "database") continue;
      if (!ApplySetting(key, value, &settings))
        return Usage("invalid value for --" + key + ": " + value);
    }
    std::string database;
    auto found = args.options.find("database");
    if (found != args.options.end()) {
      if (found->second.empty()) return Usage("--database needs an address");
      database = found->second;
    }
    std::string error;
    const int result = CreateRepository(dir_, settings, &error, database);
    if (result != kOk) return Fail(error);
    out_ << "Created a repository in " << dir_ << " (root " << settings.root_name << ")\n";
    return kExitOk;
  }

  int Set(const Arguments& args) {
    if (args.positionals.size() != 2) return Usage("set needs a setting and a value");
    const std::string& key = args.positionals[0];
    const std::string& value = args.positionals[1];
    RepositorySettings probe;
    if (key != "root-name" && key != "selector" && key != "compression" && key != "lock-policy") {
      return Usage("unknown setting " + key);
    }
    if (!ApplySetting(key, value, &probe)) return Usage("invalid value for " + key + ": " + value);
    std::unique_ptr<Storage> storage = Open();
    if (!storage) return kExitFailure;
    const int result = storage->SetSetting(key, value);
    if (result != kOk) return StorageFailed(*storage);
    return kExitOk;
  }

  int User(const Arguments& args) {
    if (args.positionals.empty()) return Usage("user needs add, passwd, remove or list");
    const std::string& action = args.positionals[0];
    if (action == "list") {
      if (args.positionals.size() != 1) return Usage("user list takes no name");
      std::unique_ptr<Storage> storage = Open();
      if (!storage) return kExitFailure;
      std::vector<std::string> names;
      if (storage->ListUsers(&names) != kOk) return StorageFailed(*storage);
      for (const auto& name : names) out_ << Printable(name) << "\n";
      return kExitOk;
    }
    if (action != "add" && action != "remove" && action != "passwd") {
      return Usage("unknown user action " + action);
    }
    if (args.positionals.size() != 2) return Usage("user " + action + " needs one user name");
    const std::string& name = args.positionals[1];
    if (!IsValidUserName(name)) return Usage("invalid user name");
    std::unique_ptr<Storage> storage = Open();
    if (!storage) return kExitFailure;
    int result = kOk;
    if (action == "remove") {
      result = storage->RemoveUser(name);
      if (result == kNoSuchUser) return Fail("no user " + Printable(name));
    } else {
      std::string digest;
      if (!ReadNewPassword(name, action == "passwd", &digest)) return kExitFailure;
      result =
          action == "add" ? storage->AddUser(name, digest) : storage->SetUserDigest(name, digest);
      if (result == kUserExists) return Fail("user " + Printable(name) + " exists already");
      if (result == kNoSuchUser) return Fail("no user " + Printable(name));
    }
    if (result != kOk) return StorageFailed(*storage);
    AdminLog("user " + action + " " + Printable(name));
    return kExitOk;
  }

  // Reads a password for `name` and gives its logon digest; on a terminal
  // a new one (`twice`) is asked for again and must match. False after
  // telling why not.
  bool ReadNewPassword(const std::string& name, bool twice, std::string* digest) {
    std::string password;
    const bool terminal = InputIsTerminal(in_);
    if (!ReadPassword(in_, err_, &password, twice ? "New password: " : "Password: ")) {
      Fail("no password on standard input");
      return false;
    }
    if (password.empty()) {
      Fail("the password is empty");
      return false;
    }
    if (twice && terminal) {
      std::string again;
      const bool same = ReadPassword(in_, err_, &again, "Again: ") && again == password;
      CRLDATcrypto::Wipe(&again);
      if (!same) {
        CRLDATcrypto::Wipe(&password);
        Fail("the passwords differ");
        return false;
      }
    }
    *digest = LogonDigest(name, password);
    CRLDATcrypto::Wipe(&password);
    return true;
  }

  int Show(const Arguments& args) {
    if (args.positionals.size() != 1) return Usage("show needs one Document path");
    const std::string& path = args.positionals[0];
    std::unique_ptr<Storage> storage = Open();
    if (!storage) return kExitFailure;
    std::string id;
    if (!FindDocument(*storage, path, &id)) return kExitFailure;
    std::vector<VersionInfo> versions;
    std::vector<LockEntry> locks;
    if (storage->ListVersions(id, &versions) != kOk || storage->ListLocks(id, &locks) != kOk) {
      return StorageFailed(*storage);
    }
    out_ << "Document " << Printable(path) << " (" << id << ")\n";
    out_ << "Versions, newest first:\n";
    for (const VersionInfo& v : versions) {
      out_ << "  " << v.version << "  " << v.stamp << "  " << Printable(v.user) << "  "
           << v.content.size << " bytes" << (v.work_in_progress ? "  work in progress" : "");
      if (!v.comment.empty()) out_ << "  \"" << Printable(v.comment) << "\"";
      out_ << "\n";
    }
    out_ << "Locks:";
    if (locks.empty()) out_ << " none";
    out_ << "\n";
    for (const LockEntry& lock : locks) {
      out_ << "  " << Printable(lock.user) << "  " << (lock.exclusive ? "exclusive" : "shared");
      if (lock.deferred) {
        out_ << "  deferred, rank " << lock.rank;
      } else {
        out_ << "  held";
      }
      out_ << "\n";
    }
    return kExitOk;
  }

  int Locks(const Arguments& args) {
    if (args.positionals.size() > 1) return Usage("locks takes at most one path");
    const std::string user = args.Option("user");
    if (args.options.count("user") != 0 && !IsValidUserName(user)) {
      return Usage("invalid user name");
    }
    std::unique_ptr<Storage> storage = Open();
    if (!storage) return kExitFailure;
    if (!user.empty() && !KnownUser(*storage, user)) return kExitFailure;
    std::string scope;
    if (!args.positionals.empty()) {
      scope = args.positionals[0];
      std::string id;
      // A Production's path, else a Document's.
      if (storage->LookupProduction(scope, &id) != kOk && !FindDocument(*storage, scope, &id)) {
        return kExitFailure;
      }
    }
    std::vector<DocumentLocks> documents;
    if (storage->ListAllLocks(&documents) != kOk) return StorageFailed(*storage);
    std::sort(
        documents.begin(), documents.end(),
        [](const DocumentLocks& a, const DocumentLocks& b) { return a.full_path < b.full_path; });
    std::vector<std::vector<std::string>> rows{{"Document", "User", "Lock", "State"}};
    for (const DocumentLocks& document : documents) {
      if (!PathWithin(document.full_path, scope)) continue;
      for (const LockEntry& lock : document.locks) {
        if (!user.empty() && lock.user != user) continue;
        rows.push_back({Printable(document.full_path), Printable(lock.user),
                        lock.exclusive ? "exclusive" : "shared",
                        lock.deferred ? "waits, rank " + std::to_string(lock.rank) : "held"});
      }
    }
    if (rows.size() == 1) {
      out_ << "No locks.\n";
      return kExitOk;
    }
    PrintTable(rows);
    return kExitOk;
  }

  // Prints `rows` (the first one the heading) in columns two spaces apart.
  void PrintTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
      widths.resize(std::max(widths.size(), row.size()));
      for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const auto& row : rows) {
      std::string line;
      for (size_t i = 0; i < row.size(); ++i) {
        line += row[i];
        if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
      }
      out_ << line << "\n";
    }
  }

  int Unlock(const Arguments& args) {
    if (args.positionals.size() != 1) return Usage("unlock needs one Document path");
    if (args.options.count("force") == 0) {
      return Usage("unlock breaks a lock another user holds: give --force");
    }
    const std::string& path = args.positionals[0];
    const std::string user = args.Option("user");
    if (args.options.count("user") != 0 && !IsValidUserName(user)) {
      return Usage("invalid user name");
    }
    std::unique_ptr<Storage> storage = Open();
    if (!storage) return kExitFailure;
    std::string id;
    if (!FindDocument(*storage, path, &id)) return kExitFailure;
    std::vector<LockEntry> broken;
    std::vector<LockEntry> granted;
    const int result = storage->BreakLocks(id, user, &broken, &granted);
    if (result == kNotCheckedOut) {
      // A user who only waits in the queue holds nothing to break.
      return Fail((user.empty() ? std::string("nobody holds a lock of ")
                                : Printable(user) + " holds no lock of ") +
                  Printable(path));
    }
    if (result == kUnknownId) return Fail("no Document " + Printable(path));
    if (result != kOk) return StorageFailed(*storage);
    std::string text = "unlock " + Printable(path) + " (" + id + "): broke";
    for (const LockEntry& lock : broken) {
      text += " " + Printable(lock.user) + " (" + (lock.exclusive ? "exclusive" : "shared") + ")";
    }
    if (!granted.empty()) {
      text += "; granted";
      for (const LockEntry& lock : granted) {
        text += " " + Printable(lock.user) + " (" + (lock.exclusive ? "exclusive" : "shared") + ")";
      }
    }
    AdminLog(text);
    out_ << text << "\n";
    return kExitOk;
  }

  int Serve(const Arguments& args) {
    if (!args.positionals.empty()) return Usage("unexpected argument " + args.positionals[0]);
    ServeOptions options;
    options.data_dir = dir_;
    auto listen = args.options.find("listen");
    if (listen != args.options.end()) {
      if (listen->second.empty()) return Usage("--listen needs an address");
      options.listen_address = listen->second;
    }
    auto port = args.options.find("port");
    if (port != args.options.end()) {
      if (!ParsePort(port->second, &options.port)) return Usage("invalid port " + port->second);
    }
    auto log = args.options.find("log");
    if (log != args.options.end()) {
      if (log->second.empty()) return Usage("--log needs a file");
      options.log_file = log->second;
    }
    auto format = args.options.find("log-format");
    if (format != args.options.end()) {
      if (format->second != "text" && format->second != "json") {
        return Usage("--log-format is text or json, not " + format->second);
      }
      options.log_json = format->second == "json";
    }
    auto http = args.options.find("http");
    if (http != args.options.end() &&
        !ParseHttpEndpoint(http->second, &options.http_address, &options.http_port)) {
      return Usage("invalid value for --http: " + http->second);
    }
    for (const auto& [name, target] : {std::pair{"http-cert", &options.http_cert_file},
                                       std::pair{"http-key", &options.http_key_file}}) {
      auto found = args.options.find(name);
      if (found == args.options.end()) continue;
      if (http == args.options.end()) return Usage(std::string("--") + name + " needs --http");
      if (found->second.empty()) return Usage(std::string("--") + name + " needs a file");
      *target = found->second;
    }
    if (options.http_cert_file.empty() != options.http_key_file.empty()) {
      return Usage("--http-cert and --http-key go together");
    }
    struct Limit {
      const char* name;
      uint64_t most;
      bool bytes;
      std::function<void(uint64_t)> set;
    };
    const Limit limits[] = {
        {"max-connections", 1000000, false,
         [&](uint64_t v) { options.max_connections = static_cast<size_t>(v); }},
        {"logon-timeout", 86400, false,
         [&](uint64_t v) { options.logon_timeout_seconds = static_cast<int>(v); }},
        {"idle-timeout", 31 * 86400, false,
         [&](uint64_t v) { options.idle_timeout_seconds = static_cast<int>(v); }},
        {"prelogon-message-limit", kMaxObjectLength, true,
         [&](uint64_t v) { options.prelogon_message_bytes = static_cast<size_t>(v); }},
        {"message-memory", uint64_t{1} << 40, true,
         [&](uint64_t v) { options.message_memory_bytes = static_cast<size_t>(v); }},
        {"upload-limit", uint64_t{1} << 60, true,
         [&](uint64_t v) { options.upload_limit_bytes = v; }},
        {"disk-reserve", uint64_t{1} << 60, true,
         [&](uint64_t v) { options.disk_reserve_bytes = v; }},
        {"max-items", 100000000, false,
         [&](uint64_t v) { options.max_items = static_cast<size_t>(v); }},
        {"gc-interval", 365 * 86400, false,
         [&](uint64_t v) { options.gc_interval_seconds = static_cast<int>(v); }},
        {"logon-delay", 600000, false,
         [&](uint64_t v) { options.logon_delay_ms = static_cast<int>(v); }},
        {"logon-delay-max", 3600000, false,
         [&](uint64_t v) { options.logon_delay_max_ms = static_cast<int>(v); }},
        {"key-rotation", 86400, false,
         [&](uint64_t v) { options.key_rotation_seconds = static_cast<int>(v); }},
        {"max-unauthenticated", 1000000, false,
         [&](uint64_t v) { options.max_unauthenticated = static_cast<size_t>(v); }},
        {"max-unauthenticated-per-address", 1000000, false,
         [&](uint64_t v) { options.max_unauthenticated_per_address = static_cast<size_t>(v); }},
        {"read-budget", 3600000, false,
         [&](uint64_t v) { options.read_budget_ms = static_cast<int>(v); }},
        {"http-max-connections", 100000, false,
         [&](uint64_t v) { options.http_max_connections = static_cast<size_t>(v); }},
    };
    for (const Limit& limit : limits) {
      auto found = args.options.find(limit.name);
      if (found == args.options.end()) continue;
      uint64_t value = 0;
      if (!ParseCount(found->second, limit.bytes, &value) || value > limit.most) {
        return Usage(std::string("invalid value for --") + limit.name + ": " + found->second);
      }
      limit.set(value);
    }
    for (const char* positive :
         {"max-connections", "logon-timeout", "idle-timeout", "prelogon-message-limit", "max-items",
          "key-rotation", "max-unauthenticated", "max-unauthenticated-per-address", "read-budget",
          "http-max-connections"}) {
      auto found = args.options.find(positive);
      if (found != args.options.end() &&
          found->second.find_first_not_of("0") == std::string::npos) {
        return Usage(std::string("--") + positive + " must be above 0");
      }
    }
    std::unique_ptr<Storage> storage = Open();
    if (!storage) return kExitFailure;
    std::string error;
    const int code = RunServer(options, *storage, out_, err_, &error);
    if (code != kExitOk) return Fail(error);
    return kExitOk;
  }

  int Collect(const Arguments& args) {
    if (!args.positionals.empty()) return Usage("unexpected argument " + args.positionals[0]);
    uint64_t min_age = kDefaultContentMinAgeSeconds;
    auto age = args.options.find("min-age");
    if (age != args.options.end() && !ParseCount(age->second, false, &min_age)) {
      return Usage("invalid value for --min-age: " + age->second);
    }
    std::unique_ptr<Storage> storage = Open();
    if (!storage) return kExitFailure;
    CollectionReport report;
    if (CollectContents(*storage, static_cast<int64_t>(std::min<uint64_t>(min_age, INT64_MAX)),
                        &report) != kOk) {
      return StorageFailed(*storage);
    }
    out_ << "Removed " << report.removed << " of " << report.examined << " contents old enough ("
         << report.bytes << " bytes), " << report.temporaries << " stale temporary files and "
         << report.abandoned << " files of abandoned uploads\n";
    return kExitOk;
  }

  int Verify(const Arguments& args) {
    if (!args.positionals.empty()) return Usage("unexpected argument " + args.positionals[0]);
    std::unique_ptr<Storage> storage = Open();
    if (!storage) return kExitFailure;
    std::vector<VersionContent> versions;
    if (storage->ListVersionContents(&versions) != kOk) return StorageFailed(*storage);
    // Each content is read once, however many versions hold it.
    std::map<std::string, std::string> problems;  // digest and size -> problem, "" when sound
    std::vector<std::vector<std::string>> bad{{"Document", "Version", "Content", "Problem"}};
    for (const VersionContent& v : versions) {
      const std::string key = v.content.sha256 + " " + std::to_string(v.content.size);
      auto known = problems.find(key);
      if (known == problems.end()) {
        std::string problem;
        if (storage->Contents().Check(v.content, &problem)) problem.clear();
        known = problems.emplace(key, problem).first;
      }
      if (known->second.empty()) continue;
      bad.push_back({Printable(v.full_path), std::to_string(v.version), Printable(v.content.sha256),
                     Printable(known->second)});
    }
    if (bad.size() > 1) {
      PrintTable(bad);
      err_ << kProgram << ": " << bad.size() - 1 << " of " << versions.size()
           << " versions have a missing or damaged content\n";
      return kExitFailure;
    }
    out_ << "Checked " << versions.size() << " versions and " << problems.size()
         << " contents: all present and sound\n";
    return kExitOk;
  }

  int Backup(const Arguments& args) {
    if (!args.positionals.empty()) return Usage("unexpected argument " + args.positionals[0]);
    const std::string to = args.Option("to");
    if (to.empty()) return Usage("--to BACKUP is required");
    std::unique_ptr<Storage> storage = Open();
    if (!storage) return kExitFailure;
    BackupReport report;
    std::string error;
    if (BackupRepository(dir_, *storage, to, &report, &error) != kOk) return Fail(error);
    out_ << "Backed up " << dir_ << " into " << to << ": the metadata ("
         << (report.postgres ? "PostgreSQL" : "SQLite") << ") and " << report.contents
         << " contents (" << report.linked << " linked, " << report.contents - report.linked
         << " copied)\n";
    return kExitOk;
  }

  int Restore(const Arguments& args) {
    if (!args.positionals.empty()) return Usage("unexpected argument " + args.positionals[0]);
    const std::string from = args.Option("from");
    if (from.empty()) return Usage("--from BACKUP is required");
    const std::string database = args.Option("database");
    if (!database.empty()) {
      std::string error;
      if (!PostgresStorage::CheckConnectionText(database, &error)) return Usage(error);
    }
    BackupReport report;
    std::string error;
    if (RestoreRepository(from, dir_, database, &report, &error) != kOk) return Fail(error);
    out_ << "Restored the backup in " << from << " into " << dir_ << ": the metadata ("
         << (report.postgres ? "PostgreSQL" : "SQLite") << ") and " << report.contents
         << " contents\n";
    return kExitOk;
  }

  int Migrate(const Arguments& args) {
    if (!args.positionals.empty()) return Usage("unexpected argument " + args.positionals[0]);
    auto to = args.options.find("to");
    if (to == args.options.end() || to->second.empty()) return Usage("--to ADDRESS is required");
    std::string error;
    const int result = MigrateRepository(dir_, to->second, &error);
    if (result != kOk) return Fail(error);
    if (!error.empty()) err_ << kProgram << ": " << error << "\n";
    out_ << "Moved the repository in " << dir_ << " to PostgreSQL\n";
    return kExitOk;
  }

  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
  const Command* command_ = nullptr;
  std::string dir_;
  // Held from the repository's opening to the command's end.
  RepositoryHold hold_;
};

}  // namespace

int RunCommandLine(int argc, const char* const* argv, std::istream& in, std::ostream& out,
                   std::ostream& err) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return Runner(in, out, err).Run(args);
}

}  // namespace tw::twserver
