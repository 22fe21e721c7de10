#include "tools/vscc/options.h"

#include <algorithm>
#include <cstdint>
#include <set>

#include "platform/decimal.h"
#include "platform/letter_case.h"
#include "platform/list_text.h"

namespace vscc {

namespace {

struct CommandSpec {
  const char* name;
  const char* usage;              // after "vscc "
  const char* summary;            // one line for the general help
  const char* details;            // the rest of the command's help
  std::set<std::string> options;  // its own options, long names
  int min_args;
  int max_args;  // -1: any number
};

const std::vector<CommandSpec>& Commands() {
  static const std::vector<CommandSpec> commands = {
      {"bind",
       "bind [--production PATH] [DIR]\n       vscc bind --new NAME [--parent PATH] [DIR]",
       "bind a folder to a Production (--new: to a new one)",
       "Binds DIR (default: the current folder; made when missing) to a Production and\n"
       "keeps the binding in DIR/.vscc, which every command finds from DIR or any\n"
       "folder below it. The provider's bind dialog asks which Production;\n"
       "--production PATH answers it (display names, \"Games/Level 1\").\n"
       "With --new NAME the provider's add dialog creates Production NAME below\n"
       "--parent PATH (default: the root) and binds DIR to it; when NAME exists,\n"
       "--yes binds to the existing one and --no gives up. --user, --server and\n"
       "--port are kept in .vscc for the later commands of this folder.",
       {"--new", "--production", "--parent"},
       0,
       1},
      {"unbind",
       "unbind",
       "forget this folder's binding",
       "Removes the .vscc file of the working folder; nothing changes on the server.",
       {},
       0,
       0},
      {"status",
       "status [--json] [PATH...]",
       "locks and local state: controlled / me / other / exclusive / state",
       "Asks the server about the files (a folder means every file below it and every\n"
       "Document the server holds there; the default is the current folder) and\n"
       "prints one row per file: controlled, checked out by me, checked out by\n"
       "another user, exclusive lock, and the local state: Current, Old (the server\n"
       "has a newer version), Modified (edited, checked out to you), Renegade\n"
       "(edited without a check-out), More Recent, Missing (not here), Unknown, or\n"
       "Uncontrolled; files the ignore rules name (see 'vscc add --help') are left out\n"
       "unless the server holds them. --json prints {\"root\", \"production\", \"files\": "
       "[{\"path\",\n"
       "\"status\", \"controlled\", \"checked_out\", \"checked_out_by_me\",\n"
       "\"checked_out_by_other\", \"exclusive\", \"state\"}]} instead (paths relative\n"
       "to the working folder); the provider's notices then go to standard error.\n"
       "The provider makes each file writable when you hold its lock and read-only\n"
       "otherwise.",
       {"--json"},
       0,
       -1},
      {"list",
       "list [FOLDER...]",
       "the Documents the server holds here, at any depth",
       "Lists the Documents the server holds below the folders (default: the current\n"
       "folder), in the Productions below them too, as local paths; a folder need not\n"
       "exist here.",
       {},
       0,
       -1},
      {"get",
       "get [PATH...]\n       vscc get [-r N] [-o PATH] FILE",
       "bring files up to date with the server, or fetch any stored version",
       "Brings the files up to date with the server's latest versions (a folder means\n"
       "every Document the server holds below it, at any depth, also in folders that\n"
       "are not here yet; the default is the current folder). Missing files are\n"
       "fetched and files you have not changed are replaced without a question; a\n"
       "file with local changes (or of unknown state) raises the overwrite question:\n"
       "--yes overwrites, --no keeps.\n"
       "With -r N the stored version N of FILE (see 'vscc history FILE') replaces\n"
       "the working file (local edits raise the overwrite question); an older\n"
       "version is then out of date, and checking it in is refused until 'vscc get\n"
       "FILE' brings the latest down. With -o PATH the version (the latest without\n"
       "-r) is written to PATH instead and the working file stays as it is.",
       {"-r", "-o"},
       0,
       -1},
      {"checkout",
       "checkout [--shared] [--no-get] [-m TEXT] PATH...",
       "check out (lock) files",
       "Locks the files on the server (a folder means its controlled files) and makes\n"
       "them writable. --shared asks for a shared lock instead of an exclusive one\n"
       "(the server may demand either); --no-get keeps the local copies as they are\n"
       "instead of fetching the current versions. When another user holds a lock,\n"
       "--defer queues for it and --no-defer gives up. A file checked out to you\n"
       "already (a queued lock granted since) gets the server's newer version, if\n"
       "there is one; local edits raise the overwrite question first.",
       {"--shared", "--no-get", "-m"},
       1,
       -1},
      {"undo",
       "undo PATH...",
       "undo check-outs",
       "Gives the locks of the files back (a folder means the files you have checked\n"
       "out below it) and restores the server's versions; the overwrite question\n"
       "for a changed file is answered by --yes or --no.",
       {},
       1,
       -1},
      {"checkin",
       "checkin [-m TEXT] [--keep] [--wip] [PATH...]",
       "check in changed files",
       "Sends the changed files you have checked out (a folder means those below it;\n"
       "the default is the current folder) as new versions with the comment TEXT, then\n"
       "gives the locks back and makes the files read-only. --keep keeps them checked\n"
       "out; --wip checks them in as work in progress. A file whose version on the\n"
       "server is newer than the one your copy is based on is not sent (it stays\n"
       "checked out): 'vscc diff FILE' shows the change, 'vscc get FILE' brings the\n"
       "newer version down.\n"
       "Without -m on a terminal the comment is written in your editor ($VISUAL, else\n"
       "$EDITOR, else vi); lines starting with '#' are left out, and an empty comment\n"
       "or an editor that fails stops the check-in (exit status 1). Without -m and\n"
       "without a terminal the comment is empty.",
       {"-m", "--keep", "--wip"},
       0,
       -1},
      {"add",
       "add [-m TEXT] [--keep] PATH...",
       "put new files under control",
       "Adds the files (folders recursively, skipping .vscc) that the server does not\n"
       "hold yet, making Productions for new folders; --keep leaves them checked out.\n"
       "In a folder, the files the ignore rules name are left out: the built-in list\n"
       "(.vscc, .git/, .svn/, *~, *.swp, .DS_Store) and the patterns of the .vsccignore\n"
       "files in the working folder and its subfolders (one a line: '*', '?', [a-z]\n"
       "and **/ globs; a trailing '/' for folders only; a pattern with a '/' is taken\n"
       "from the folder of its file, any other matches a name at any depth below it;\n"
       "'!' takes files back in; '#' starts a comment). A subfolder's file rules only\n"
       "below it, after the files above it: a deeper pattern overrides. A file named\n"
       "on the command line is added whatever they say.",
       {"-m", "--keep"},
       1,
       -1},
      {"history",
       "history FILE",
       "the versions of a file",
       "Prints the provider's history of FILE: version, user, server date, comment (the\n"
       "first line of one of several lines, then \"...\"). A FILE the server does not\n"
       "hold is an error (exit status 1).",
       {},
       1,
       1},
      {"properties",
       "properties FILE",
       "the locks on a file",
       "Prints the provider's properties of FILE: who holds or waits for its locks. A\n"
       "FILE the server does not hold is an error (exit status 1).",
       {},
       1,
       1},
      {"diff",
       "diff [--tool] FILE",
       "compare a file with the server's latest version",
       "Fetches the latest version beside FILE as \"FILE.[Tip]\" and prints the\n"
       "differences (diff -u), then removes it. --tool leaves it for the diff program\n"
       "configured in the Veltrane client, which the provider starts.",
       {"--tool"},
       1,
       1},
      {"client",
       "client [PATH...]",
       "start the Veltrane desktop client",
       "Starts the Veltrane desktop client that the registry names.",
       {},
       0,
       -1},
      {"env",
       "env [--show] APP",
       "an application's editor actions",
       "Prints the four editor actions stored for application APP (what to do when a\n"
       "file is opened, closed, saved, or saved without being controlled). --show\n"
       "opens the provider's environment settings dialog first.",
       {"--show"},
       1,
       1},
      {"prop",
       "prop get PATH NAME\n       vscc prop set PATH NAME VALUE",
       "read or write a value of the user property file",
       "Reads or writes the string value NAME of node PATH (names joined with \"/\") in\n"
       "the user property file.",
       {},
       3,
       4},
      {"dirs",
       "dirs [--ids] PATH",
       "check that the server lists a Production",
       "Asks the server for the Production at PATH (display names; identifiers with\n"
       "--ids) and whether its names can be listed.",
       {"--ids"},
       1,
       1},
      {"help", "help [COMMAND]", "this help, or a command's", "", {}, 0, 1},
  };
  return commands;
}

// Short names, as other version-control clients spell them.
struct Alias {
  const char* alias;
  const char* command;
};
constexpr Alias kAliases[] = {
    {"ci", "checkin"}, {"co", "checkout"}, {"st", "status"}, {"up", "get"}, {"log", "history"},
};

const CommandSpec* FindCommand(const std::string& typed) {
  std::string name = typed;
  for (const Alias& a : kAliases) {
    if (typed == a.alias) name = a.command;
  }
  for (const CommandSpec& spec : Commands()) {
    if (name == spec.name) return &spec;
  }
  return nullptr;
}

// The aliases of `command`, joined by ", "; empty when it has none.
std::string AliasesOf(const std::string& command) {
  std::vector<std::string> aliases;
  for (const Alias& a : kAliases) {
    if (command == a.command) aliases.push_back(a.alias);
  }
  return tw::JoinList(aliases, ", ");
}

// The edit distance of `a` and `b`: insertions, deletions, substitutions
// and swaps of two neighbours each count one.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The usage error for a word that names no command, with the commands it
// is closest to: those within a third of its length (at least one edit,
// at most two), or else those it begins.
std::string UnknownCommand(const std::string& typed) {
  const std::string word = tw::LowerCase(typed);
  const size_t limit = std::clamp<size_t>(word.size() / 3, 1, 2);
  std::vector<std::string> names;
  for (const CommandSpec& spec : Commands()) names.push_back(spec.name);
  size_t best = limit + 1;
  std::vector<std::string> near;
  for (const std::string& name : names) {
    const size_t distance = EditDistance(word, name);
    if (distance > limit) continue;
    if (distance < best) {
      best = distance;
      near.clear();
    }
    if (distance == best) near.push_back(name);
  }
  if (near.empty() && word.size() >= 2) {
    for (const std::string& name : names) {
      if (name.compare(0, word.size(), word) == 0) near.push_back(name);
    }
  }
  std::string text = "'" + typed + "' is not a vscc command";
  for (size_t i = 0; i < near.size(); ++i) {
    text += (i == 0                 ? "; " + std::string(kSuggestion) + "'"
             : i + 1 == near.size() ? "' or '"
                                    : "', '") +
            near[i];
  }
  if (!near.empty()) text += "'?";
  return text + " (see vscc --help)";
}

bool IsColourOption(const std::string& arg) {
  return arg == "--color" || arg.rfind("--color=", 0) == 0;
}

// Options every command takes; those with a value.
const std::set<std::string> kCommonWithValue = {"--provider", "--ui",      "--user", "--server",
                                                "--port",     "--timeout", "-C"};
const std::set<std::string> kCommonFlags = {"--yes",      "--no",     "--defer", "--no-defer",
                                            "--quiet",    "-q",       "--help",  "-h",
                                            "--progress", "--version"};
const std::set<std::string> kOwnWithValue = {"--new", "--production", "--parent", "-m", "-r", "-o"};

const char kCommonHelp[] =
    "Common options (before or after the command):\n"
    "  --provider PATH      the provider module (default: the one the registry\n"
    "                       names, else libTWSccApi.so beside vscc)\n"
    "  --ui gui|tty|none|script:FILE\n"
    "                       who answers the provider's dialogs that the flags do\n"
    "                       not (default: $VELTRANE_UI, else tty when standard\n"
    "                       input is a terminal, else none)\n"
    "  --user NAME, --server HOST, --port N\n"
    "                       answer the logon dialog; the password comes from\n"
    "                       $VELTRANE_PASSWORD, else the stored one, else a prompt\n"
    "  --timeout SECONDS    give up on a server that stays silent for SECONDS while\n"
    "                       vscc waits for it (10 to 600; default 60)\n"
    "  --yes, --no          answer overwrite questions (Yes To All, No To All) and\n"
    "                       \"Production Exists\"\n"
    "  --defer, --no-defer  answer \"Could not acquire lock.\": queue for the lock,\n"
    "                       or give up\n"
    "  -C DIR               run as if started in DIR\n"
    "  -q, --quiet          no notices from the provider\n"
    "  --progress           transfer progress even when standard output is no\n"
    "                       terminal: one line per update, on standard error\n"
    "  --color[=WHEN]       colour: auto (the default: on a terminal, unless\n"
    "                       $NO_COLOR is set and not empty or $TERM is dumb),\n"
    "                       always (--color alone) or never\n"
    "  -h, --help           help\n"
    "  --version            vscc's version\n";

}  // namespace

int ParseCommandLine(const std::vector<std::string>& argv, Options* o, std::string* error) {
  *o = Options();
  std::vector<std::string> words;
  bool options_done = false;
  const CommandSpec* spec = nullptr;

  // --color first, wherever it stands, so that the errors about the rest
  // of the line are already shown as it says. Alone it means always, as in
  // other clients; its value is never the next word, which may be the
  // command.
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (arg == "--") break;
    if (kCommonWithValue.count(arg) || kOwnWithValue.count(arg) || arg == "--message") {
      ++i;  // a value ("-m --color=x" is a comment)
      continue;
    }
    if (!IsColourOption(arg)) continue;
    o->colour = arg == "--color" ? "always" : arg.substr(8);
    if (o->colour != "auto" && o->colour != "always" && o->colour != "never") {
      *error = "--color must be auto, always or never, not '" + o->colour + "'";
      o->colour.clear();
      return 2;
    }
  }

  for (size_t i = 0; i < argv.size(); ++i) {
    std::string arg = argv[i];
    if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
      if (o->command.empty()) {
        o->command = arg;
        spec = FindCommand(arg);
        if (spec == nullptr) {
          *error = UnknownCommand(arg);
          return 2;
        }
        o->command = spec->name;
      } else {
        o->args.push_back(arg);
      }
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (IsColourOption(arg)) continue;  // taken above
    // --name=value, -mTEXT, -CDIR
    std::string name = arg, value;
    bool inline_value = false;
    if (arg.rfind("--", 0) == 0) {
      const size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        inline_value = true;
      }
    } else if (arg.size() > 2 && (arg.compare(0, 2, "-m") == 0 || arg.compare(0, 2, "-C") == 0 ||
                                  arg.compare(0, 2, "-r") == 0 || arg.compare(0, 2, "-o") == 0)) {
      name = arg.substr(0, 2);
      value = arg.substr(2);
      inline_value = true;
    }
    if (name == "--message") name = "-m";
    const bool common = kCommonWithValue.count(name) || kCommonFlags.count(name);
    const bool takes_value = kCommonWithValue.count(name) || kOwnWithValue.count(name);
    const bool known = common || kOwnWithValue.count(name) ||
                       std::any_of(Commands().begin(), Commands().end(),
                                   [&](const CommandSpec& c) { return c.options.count(name); });
    if (!known) {
      *error = "unknown option '" + name + "' (see vscc --help)";
      return 2;
    }
    if (takes_value && !inline_value) {
      if (i + 1 >= argv.size()) {
        *error = "option '" + name + "' needs a value";
        return 2;
      }
      value = argv[++i];
    } else if (!takes_value && inline_value) {
      *error = "option '" + name + "' takes no value";
      return 2;
    }
    if (name == "--provider")
      o->provider = value;
    else if (name == "--ui")
      o->ui = value;
    else if (name == "--user")
      o->user = value;
    else if (name == "--server")
      o->server = value;
    else if (name == "--port")
      o->port = value;
    else if (name == "--timeout") {
      uint64_t seconds = 0;
      if (!tw::ParseDigits(value, kMaxTimeoutSeconds, &seconds) || seconds < kMinTimeoutSeconds) {
        *error = "--timeout needs a number of seconds from " + std::to_string(kMinTimeoutSeconds) +
                 " to " + std::to_string(kMaxTimeoutSeconds) + ", not '" + value + "'";
        return 2;
      }
      o->timeout = static_cast<int>(seconds);
    } else if (name == "-C")
      o->directory = value;
    else if (name == "--yes")
      o->yes = 1;
    else if (name == "--no")
      o->yes = 0;
    else if (name == "--defer")
      o->defer = 1;
    else if (name == "--no-defer")
      o->defer = 0;
    else if (name == "-q" || name == "--quiet")
      o->quiet = true;
    else if (name == "--progress")
      o->progress = true;
    else if (name == "-h" || name == "--help")
      o->help = true;
    else if (name == "--version")
      o->version = true;
    else if (name == "--new")
      o->new_name = value;
    else if (name == "--production")
      o->production = value;
    else if (name == "--parent")
      o->parent = value;
    else if (name == "-m") {
      o->message = value;
      o->message_given = true;
    } else if (name == "--json")
      o->json = true;
    else if (name == "--shared")
      o->shared = true;
    else if (name == "--no-get")
      o->no_get = true;
    else if (name == "--keep")
      o->keep = true;
    else if (name == "--wip")
      o->wip = true;
    else if (name == "--show")
      o->show = true;
    else if (name == "--ids")
      o->ids = true;
    else if (name == "--tool")
      o->tool = true;
    else if (name == "-r") {
      const bool digits = !value.empty() && value.size() <= 9 &&
                          value.find_first_not_of("0123456789") == std::string::npos;
      o->revision = digits ? std::stoi(value) : 0;
      if (o->revision <= 0) {
        *error = "-r needs a version number (1, 2, ...), not '" + value + "'";
        return 2;
      }
    } else if (name == "-o") {
      if (value.empty()) {
        *error = "-o needs a path";
        return 2;
      }
      o->output = value;
    }
    if (!common) words.push_back(name);
  }

  if (o->help || o->version) return 0;
  if (o->command.empty()) {
    *error = "no command given (see vscc --help)";
    return 2;
  }
  for (const std::string& word : words) {
    if (spec->options.count(word) == 0) {
      *error = "'" + o->command + "' takes no option '" + word + "' (see vscc " + o->command +
               " --help)";
      return 2;
    }
  }
  if (!o->ui.empty() && o->ui != "gui" && o->ui != "tty" && o->ui != "none" &&
      (o->ui.rfind("script:", 0) != 0 || o->ui.size() == 7)) {
    *error = "--ui must be gui, tty, none or script:FILE, not '" + o->ui + "'";
    return 2;
  }
  if (!o->parent.empty() && o->new_name.empty()) {
    *error = "--parent goes with --new NAME";
    return 2;
  }
  if (!o->production.empty() && !o->new_name.empty()) {
    *error = "--production and --new exclude each other";
    return 2;
  }
  uint16_t port = 0;
  if (!o->port.empty() && (o->port.find_first_not_of("0123456789") != std::string::npos ||
                           !tw::ParsePort(o->port, &port))) {
    *error = "--port needs a port number, not '" + o->port + "'";
    return 2;
  }
  const int count = static_cast<int>(o->args.size());
  if ((o->revision > 0 || !o->output.empty()) && count != 1) {
    *error = "-r and -o take exactly one FILE";
    return 2;
  }
  if (o->command == "prop") {
    const bool get = count == 3 && o->args[0] == "get";
    const bool set = count == 4 && o->args[0] == "set";
    if (!get && !set) {
      *error = "usage: vscc " + std::string(spec->usage);
      return 2;
    }
    return 0;
  }
  if (count < spec->min_args || (spec->max_args >= 0 && count > spec->max_args)) {
    *error = "usage: vscc " + std::string(spec->usage);
    return 2;
  }
  if (o->command == "help" && count == 1) {
    const CommandSpec* topic = FindCommand(o->args[0]);
    if (topic == nullptr) {
      *error = UnknownCommand(o->args[0]);
      return 2;
    }
    o->args[0] = topic->name;
  }
  return 0;
}

std::string GeneralHelp() {
  std::string text =
      "Usage: vscc [OPTIONS] COMMAND [ARGS]\n"
      "\n"
      "A command-line host of the Veltrane source-control provider: it loads the\n"
      "provider module as a development environment does and works on a local\n"
      "folder bound to a Production on the Veltrane server.\n"
      "\n"
      "Commands:\n";
  for (const CommandSpec& spec : Commands()) {
    const std::string name = spec.name;
    text += "  " + name + std::string(name.size() < 12 ? 12 - name.size() : 1, ' ') + spec.summary +
            "\n";
  }
  std::vector<std::string> aliases;
  for (const Alias& a : kAliases) aliases.push_back(std::string(a.alias) + " = " + a.command);
  text += "\nAliases: " + tw::JoinList(aliases, ", ") + "\n\n";
  text += kCommonHelp;
  text +=
      "\n"
      "Dialogs: the provider asks through its dialogs (logon, bind, overwrite\n"
      "questions, lock conflicts, options). vscc hands it a script of the answers\n"
      "its flags give, each used by the question it answers whenever that comes;\n"
      "the check-out and check-in flags become answers to the provider's options\n"
      "dialogs, as an advanced-options button would. With --ui script:FILE the\n"
      "lines of FILE come first (\"dialog ID BUTTON [CONTROL=VALUE...]\", \"msgbox\n"
      "\\\"TITLE\\\" OK|Cancel|Yes|No\", in order). What no answer covers goes to the\n"
      "--ui form: on a terminal the provider asks there; otherwise nobody is\n"
      "waited for: the dialog is cancelled, yes/no questions are answered No, and\n"
      "vscc names the dialog and the flag that answers it. Message boxes that\n"
      "nobody saw are printed to standard error. A logon refused with the stored\n"
      "password is asked again, without echo, when a terminal is there.\n"
      "\n"
      "Output: the provider's notices (\"Veltrane: ...\") go to standard output,\n"
      "its warnings and errors to standard error. Files larger than 1 MiB tell\n"
      "their progress as they travel (\"Veltrane: Sending NAME: 45% (12.0 of 26.7\n"
      "MiB, 31 MB/s)\", at most four times a second): one line redrawn in place\n"
      "on a terminal, left out otherwise unless --progress asks for it. On a\n"
      "terminal, errors are red, warnings yellow, a suggestion for a mistyped\n"
      "command green, and status colours each file's state (see --color).\n"
      "\n"
      "A failed logon names its cause; what to do for each:\n"
      "  no server is configured        give --server HOST and --port N ('vscc bind'\n"
      "                                 keeps them for the working folder)\n"
      "  the server at ADDR:PORT did not accept a connection\n"
      "                                 no server listens there: check the address,\n"
      "                                 the port and that TWServer serves\n"
      "  the server at ADDR:PORT did not answer within N s\n"
      "                                 it took the connection and stayed silent: a\n"
      "                                 stuck or overloaded server, or another program\n"
      "                                 on that port; ask its administrator\n"
      "                                 (--timeout SECONDS sets the wait; 60 s)\n"
      "  refused logon for 'USER' at ADDR:PORT\n"
      "                                 wrong user or password: give --user, set\n"
      "                                 $VELTRANE_PASSWORD or answer the prompt on a\n"
      "                                 terminal; an administrator sets a new one\n"
      "                                 with 'TWServer user passwd'\n"
      "  ...: no password given         without a terminal nobody can be asked: set\n"
      "                                 $VELTRANE_PASSWORD\n"
      "\n"
      "First run: a vscc that finds no provider registered and none beside itself\n"
      "says so; run 'TWSccSetup register' (as installed, it records the provider)\n"
      "or name one with --provider PATH.\n"
      "\n"
      "Exit status: 0 success; 1 the operation failed (the provider's result code\n"
      "is named, e.g. SCC_E_FILENOTEXIST (-28)); 2 usage error.\n"
      "\n"
      "\"vscc COMMAND --help\" describes a command; the manual page vscc(1) tells\n"
      "it all, and bash and zsh complete vscc's commands, options and files.\n";
  return text;
}

std::string VersionText() {
  return std::string("vscc (Veltrane) ") + TW_VERSION + "\n";
}

std::string CommandHelp(const std::string& command) {
  const CommandSpec* spec = FindCommand(command);
  if (spec == nullptr) return "";
  std::string text = "Usage: vscc " + std::string(spec->usage) + "\n";
  const std::string aliases = AliasesOf(spec->name);
  if (!aliases.empty()) text += "Alias: vscc " + aliases + "\n";
  if (*spec->details) text += "\n" + std::string(spec->details) + "\n";
  return text + "\n" + kCommonHelp;
}

}  // namespace vscc
