#include "tools/vscc/commands.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "platform/file_move.h"
#include "platform/json_text.h"
#include "platform/native_text.h"
#include "platform/path.h"
#include "platform/terminal_text.h"
#include "settings/settings_source.h"
#include "tools/vscc/editor.h"
#include "tools/vscc/host_ui.h"
#include "tools/vscc/ignore.h"
#include "tools/vscc/module_settings.h"
#include "tools/vscc/provider.h"
#include "tools/vscc/system.h"
#include "tools/vscc/workspace.h"

namespace vscc {
namespace fs = std::filesystem;

namespace {

LONG TextOutProc(LPCSTR text, LONG type) {
  TheConsole().Notice(text != nullptr ? text : "", type);
  return 0;
}

// A fixed-size string buffer the interface hands to the provider.
template <size_t N>
struct Buffer {
  char data[N + 1] = {};
  bool Set(const std::string& text) {
    if (text.size() > N) return false;
    std::memcpy(data, text.data(), text.size());
    data[text.size()] = '\0';
    return true;
  }
  std::string Get() const { return std::string(data, strnlen(data, N)); }
};

// Where a file came from: named by the user, or found below a folder the
// user named (and then chosen by its status).
struct Target {
  std::string path;
  bool named = false;
};

// The four editor actions of the environment settings, as the dialog
// labels and lists them.
struct EnvironmentAction {
  const char* label;
  const char* choices[3];
};
constexpr EnvironmentAction kEnvironmentActions[] = {
    {"When a file is opened:",
     {"Ask if I want to check out from Veltrane", "Always check out from Veltrane",
      "Never check out from Veltrane"}},
    {"When a file is closed:",
     {"Ask if I want to check in to Veltrane", "Always check in to Veltrane",
      "Never check in to Veltrane"}},
    {"When a file is saved:",
     {"Ask if I want to check in to Veltrane", "Always check in to Veltrane",
      "Never check in to Veltrane"}},
    {"When a file not controlled by Veltrane is saved:",
     {"Ask if I want to add to Veltrane", "Always add to Veltrane", "Never add to Veltrane"}},
};

// The largest value the provider's property read may write; it takes no
// length, so the buffer is far larger than any property message.
constexpr size_t kPropertyBufferBytes = 1 << 20;

// A logon that failed after this long (or after --timeout, when that is
// shorter), with nobody answering a question meanwhile, was not refused (a
// refusal comes at once) but given up on a server that stayed silent.
constexpr int kSilentServerSeconds = 20;

std::string Yes(bool value) {
  return value ? "yes" : "-";
}

// The local states the provider's state cache tells (VelSccQueryLocalStatus).
enum LocalState : LONG {
  kStateNone = 0,  // the name could not be asked about
  kStateMissing = 1,
  kStateCurrent = 2,
  kStateOld = 4,
  kStateUnknown = 8,
  kStateModified = 16,
  kStateRenegade = 32,
  kStateMoreRecent = 64,
  kStateUncontrolled = 256,
};

const char* StateName(LONG state) {
  switch (state) {
    case kStateMissing:
      return "Missing";
    case kStateCurrent:
      return "Current";
    case kStateOld:
      return "Old";
    case kStateUnknown:
      return "Unknown";
    case kStateModified:
      return "Modified";
    case kStateRenegade:
      return "Renegade";
    case kStateMoreRecent:
      return "More Recent";
    case kStateUncontrolled:
      return "Uncontrolled";
  }
  return "";
}

// The colour of a local state in status: green for a file as the server
// has it or edited under your lock, yellow where a get or a check-in is
// due, red where a change may be lost, cyan for what the server does not
// know.
Colour StateColour(LONG state) {
  switch (state) {
    case kStateCurrent:
    case kStateModified:
      return Colour::kGreen;
    case kStateOld:
    case kStateMoreRecent:
      return Colour::kYellow;
    case kStateRenegade:
    case kStateMissing:
      return Colour::kRed;
    case kStateUnknown:
    case kStateUncontrolled:
      return Colour::kCyan;
  }
  return Colour::kNone;
}

// A path the provider hands back, collected in order.
BOOL CollectPath(LPVOID data, BOOL, LONG, LPCSTR name) {
  if (name != nullptr) static_cast<std::vector<std::string>*>(data)->push_back(name);
  return 1;
}

class Command {
 public:
  Command(const Options& options, const std::string& cwd, const std::string* password,
          Console* console)
      : o_(options), cwd_(cwd), password_(password), console_(*console) {}

  ~Command() {
    if (project_open_) {
      if (auto close = provider_.Get<SccCloseProjectFn>("SccCloseProject")) {
        close(provider_.context());
      }
    }
    provider_.Uninitialize();
  }

  int Run() {
    const std::string& c = o_.command;
    if (c == "bind") return Bind();
    if (c == "unbind") return Unbind();
    if (c == "status") return Status();
    if (c == "list") return List();
    if (c == "get") return Get();
    if (c == "checkout") return Checkout();
    if (c == "undo") return Undo();
    if (c == "checkin") return Checkin();
    if (c == "add") return Add();
    if (c == "history") return ShowDialogCommand(kHistoryDialog, "SccHistory", SCC_CAP_HISTORY);
    if (c == "properties") {
      return ShowDialogCommand(kPropertiesDialog, "SccProperties", SCC_CAP_PROPERTIES);
    }
    if (c == "diff") return Diff();
    if (c == "client") return Client();
    if (c == "env") return Environment();
    if (c == "prop") return Property();
    if (c == "dirs") return Dirs();
    console_.Error("'" + c + "' is not a vscc command");
    return kExitUsage;
  }

 private:
  // --- Steps shared by the commands -------------------------------------

  int Failed(const std::string& what) {
    console_.Error(what);
    return kExitFailed;
  }

  int FailedWith(const std::string& what, SCCRTN rc) {
    // Only a failure is told as one: an informational code (the user
    // cancelled) says the operation stopped.
    std::string text = what;
    const std::string failed = " failed";
    if (rc > 0 && text.size() > failed.size() &&
        text.compare(text.size() - failed.size(), failed.size(), failed) == 0) {
      text.replace(text.size() - failed.size(), failed.size(), " stopped");
    }
    text += ": " + ResultName(rc);
    switch (rc) {
      case SCC_E_CONNECTIONFAILURE:
        text += " -- " + ConnectionFailureText();
        break;
      case SCC_I_OPERATIONCANCELED:
        text += " -- cancelled";
        break;
      case SCC_E_OPNOTPERFORMED:
        text += " -- a dialog was not completed";
        break;
      case SCC_E_UNKNOWNPROJECT:
        text += " -- the server has no such Production";
        break;
      case SCC_E_FILENOTEXIST:
        text += " -- a local file is missing";
        break;
      case SCC_E_FILEALREADYEXISTS:
        text +=
            " -- a file is controlled already, or its name differs only in letter case "
            "from a controlled one";
        break;
      case SCC_E_INVALIDFILEPATH:
        text += " -- a file name cannot be used on the server; that file was left out";
        break;
      case SCC_E_FILENOTCONTROLLED:
        text += " -- the file is not controlled";
        break;
      case SCC_E_NOSPECIFIEDVERSION:
        text += " -- the file has no such version (see 'vscc history FILE')";
        break;
      case SCC_E_NOTCHECKEDOUT:
        text += " -- the file is not checked out to you";
        break;
      case SCC_E_CHECKINCONFLICT:
        text +=
            " -- your copy of a file is based on another version than the server's, or on one "
            "this folder has no record of; that file was not checked in and stays checked out "
            "to you. 'vscc diff FILE' shows what changed; 'vscc get FILE' brings the server's "
            "version down (its overwrite question offers the merge), then check in again";
        break;
      case SCC_E_FILEISCHECKEDOUT:
        text += LockRefusalText();
        break;
      default:
        break;
    }
    return Failed(text);
  }

  // Why the last call could not log on, as far as its record and its
  // duration tell: no server configured, a server that took no connection,
  // one that stayed silent, or a refused logon (and whether a password was
  // given at all).
  std::string ConnectionFailureText() const {
    const std::string user = ui_.LogonValue(events_, kLogonUser);
    const std::string server = ui_.LogonValue(events_, kLogonServer);
    const std::string port = ui_.LogonValue(events_, kLogonPort);
    const bool unreachable = HostUi::ConnectFailed(events_);
    const bool refused = HostUi::LogonRefused(events_);
    const std::string blank = " \t";
    const bool no_server = server.find_first_not_of(blank) == std::string::npos ||
                           server == "0.0.0.0" || port.empty() || port == "0";
    if (no_server && (unreachable || refused)) {
      return "no server is configured: give --server HOST and --port N ('vscc bind' keeps them "
             "for the working folder)";
    }
    const std::string where = server + ":" + port;
    if (unreachable) return "the server at " + where + " did not accept a connection";
    if (!refused) return "no connection to the server";
    if (SilentServer()) {
      return "the server at " + where + " did not answer within " +
             std::to_string(last_call_seconds_) + " s";
    }
    std::string text =
        "refused logon for " + (user.empty() ? "the user" : "'" + user + "'") + " at " + where;
    if (!ui_.have_password() && !ui_.terminal()) {
      text +=
          ": no password given (set $VELTRANE_PASSWORD, or run on a terminal to be asked); "
          "the stored password was tried";
    }
    return text;
  }

  // What the lock question of the last call shows about a refused lock.
  std::string LockRefusalText() const {
    for (const UiEvent& e : events_) {
      if (e.kind != "msgbox") continue;
      if (e.title == kDeferredAlreadyTitle) {
        return " -- you are queued for that lock already; nothing was checked out";
      }
      if (e.title == kLockConflictTitle && e.answer == "Yes") {
        return " -- another user holds the lock; you are queued for it (a deferred lock), "
               "nothing was checked out. Once it is granted, 'vscc checkout FILE' brings the "
               "latest version down";
      }
    }
    return " -- another user holds the lock; nothing was checked out";
  }

  bool FindTheWorkspace() {
    std::string error;
    if (FindWorkspace(cwd_, &workspace_, &error)) return true;
    if (error.empty()) {
      error = "not in a working folder (no " + std::string(kWorkspaceFile) +
              " here or in any folder above); bind one with 'vscc bind'";
    }
    console_.Error(error);
    return false;
  }

  // Loads the module, prepares the answers and, with `context`, makes a
  // provider context.
  bool StartProvider(bool context) {
    std::string path, how, error;
    if (!LocateProvider(o_.provider, &path, &how, &error)) {
      console_.Error(error);
      return false;
    }
    if (!provider_.Load(path, &error)) {
      std::string hint;
      if (o_.provider.empty() && how == "beside vscc") {
        hint =
            "; no provider is registered: 'TWSccSetup register' records an installed one, "
            "or --provider PATH names one";
      }
      console_.Error(error + " (found " + how + ")" + hint);
      return false;
    }
    if (o_.timeout > 0 && !ApplyTimeout()) return false;
    if (!ui_.Setup(o_.ui, &error)) {
      console_.Error(error);
      return false;
    }
    ui_.SetLogon(!o_.user.empty() ? o_.user : workspace_.user,
                 !o_.server.empty() ? o_.server : workspace_.server,
                 !o_.port.empty() ? o_.port : workspace_.port);
    if (password_ != nullptr) ui_.SetPassword(*password_);
    if (o_.yes >= 0) ui_.Answer("dialog 110 " + std::to_string(o_.yes ? kYesToAll : kNoToAll));
    ui_.AnswerQuestion(kLockConflictTitle, o_.defer, "--defer queues for the lock");
    if (context && !provider_.Initialize(&error)) {
      console_.Error(error);
      return false;
    }
    return true;
  }

  // --timeout becomes the stall limit of the server connection the
  // provider makes at its first logon: how long the server may stay silent
  // while a request waits for it, however long the whole transfer takes.
  bool ApplyTimeout() {
    module_settings_ = std::make_unique<ModuleSettings>(provider_.path());
    std::string error;
    if (!module_settings_->Set(tw::kStallLimitSetting, o_.timeout, &error)) {
      console_.Error("--timeout cannot be applied: " + error);
      return false;
    }
    return true;
  }

  // An export by name; null, with the reason printed, when the provider
  // does not offer it.
  template <typename Fn>
  Fn Require(const char* name, LONG capability = 0) {
    const Fn fn = provider_.Get<Fn>(name);
    if (fn == nullptr) {
      console_.Error(std::string(name) + " is not supported by this provider (" + provider_.path() +
                     ")");
    } else if (capability != 0 && provider_.context() != nullptr &&
               (provider_.capabilities() & capability) == 0) {
      console_.Error(std::string(name) +
                     " is not supported by this provider (it does not announce it)");
      return nullptr;
    }
    return fn;
  }

  // Whether the last call's failed logon was given up on a server that took
  // the connection and never answered: a refusal comes at once, and the time
  // a person took over a question of the call says nothing about the server.
  bool SilentServer() const {
    const int limit =
        o_.timeout > 0 ? std::min(o_.timeout, kSilentServerSeconds) : kSilentServerSeconds;
    return !person_answered_ && last_call_seconds_ >= limit;
  }

  // Calls an export with a fresh script of answers, then reports what the
  // record shows. With `logon`, a logon refused with the stored password
  // is asked again on the terminal and the call repeated once.
  SCCRTN Call(const std::function<SCCRTN()>& call, bool logon = false) {
    std::string error;
    if (!ui_.Activate(&error)) {
      console_.Error(error);
      return SCC_E_NONSPECIFICERROR;
    }
    // Each try is timed alone: the password prompt between them is the
    // person's time, not the server's.
    auto timed = [&] {
      const auto started = std::chrono::steady_clock::now();
      const SCCRTN result = call();
      last_call_seconds_ = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(
                                                std::chrono::steady_clock::now() - started)
                                                .count());
      events_ = ui_.TakeEvents();
      person_answered_ = ui_.PersonAnswered(events_);
      ui_.Report(events_, &console_);
      return result;
    };
    SCCRTN rc = timed();
    // A server that stayed silent is not asked again: a password would
    // change nothing but the wait.
    if (logon && rc == SCC_E_CONNECTIONFAILURE && HostUi::LogonRefused(events_) &&
        !SilentServer() && ui_.terminal() && ui_.AnswersLogon() && !ui_.have_password()) {
      // The cause first, then the question it leads to.
      console_.Error(ConnectionFailureText() + "; the stored password was tried");
      const std::string user = ui_.LogonValue(events_, kLogonUser);
      std::string password;
      if (!PromptSecret(
              "Password for " + (user.empty() ? "the Veltrane user" : "'" + user + "'") + ": ",
              &password)) {
        return rc;
      }
      ui_.SetPassword(password);
      if (!ui_.Activate(&error)) return rc;
      rc = timed();
    }
    return rc;
  }

  // Opens the working folder's project; false with the failure printed.
  bool OpenProject() {
    const auto open = Require<SccOpenProjectFn>("SccOpenProject");
    if (open == nullptr) return false;
    Buffer<SCC_USER_LEN> user;
    Buffer<SCC_PRJPATH_LEN> project, aux;
    if (!user.Set(ui_.user()) || !project.Set(workspace_.project_name) ||
        !aux.Set(workspace_.aux_path)) {
      console_.Error("the binding in " + workspace_.root + "/" + kWorkspaceFile +
                     " is longer than the interface allows");
      return false;
    }
    const SCCRTN rc = Call(
        [&] {
          return open(provider_.context(), nullptr, user.data, project.data,
                      workspace_.root.c_str(), aux.data, "", &TextOutProc, 0);
        },
        true);
    if (rc != SCC_OK) {
      FailedWith("cannot open Production '" + workspace_.aux_path + "'", rc);
      return false;
    }
    if (!user.Get().empty()) logged_on_user_ = user.Get();
    project_open_ = true;
    return true;
  }

  // The working folder, the provider and the open project: what every file
  // command needs first.
  bool Begin() { return FindTheWorkspace() && StartProvider(true) && OpenProject(); }

  // Whether the operand `operand` (absolute: `path`) lies inside the working
  // folder, by its name and, through the real path of the folder that holds
  // it, on the disk: a symbolic link that leads out of the working folder
  // is never followed. False with the reason printed.
  bool InsideWorkingFolder(const std::string& operand, const std::string& path) {
    if (!IsInside(path, workspace_.root)) {
      console_.Error(operand + " is outside the working folder " + workspace_.root);
      return false;
    }
    std::error_code ec;
    const std::string folder =
        fs::is_directory(tw::FsPath(path), ec) ? path : tw::NativeParent(path);
    if (!tw::FolderStaysInside(workspace_.root, folder)) {
      console_.Error(operand + " leads out of the working folder " + workspace_.root +
                     " through a symbolic link");
      return false;
    }
    return true;
  }

  // The files the operands name: a folder means the files below it; no
  // operand means the current folder when `default_here`. False when an
  // operand lies outside the working folder.
  bool Targets(bool default_here, std::vector<Target>* targets,
               std::vector<std::string>* folders = nullptr, bool honour_ignore = false) {
    std::vector<std::string> operands = o_.args;
    if (operands.empty() && default_here) operands.push_back(".");
    std::set<std::string> seen;
    // Files found below a folder that the ignore rules name are left out;
    // a file named on the command line is taken whatever they say.
    IgnoreRules ignore;
    std::string error;
    if (honour_ignore && !ignore.ReadWorkingFolder(workspace_.root, &error)) {
      console_.Error(error);
      return false;
    }
    // A folder the walk enters has its own .vsccignore read first.
    const auto skip = [&](const std::string& path, bool folder) {
      if (!honour_ignore) return false;
      const std::string relative = RelativeTo(path, workspace_.root);
      if (ignore.Ignored(relative, folder)) return true;
      if (folder && error.empty()) ignore.ReadFolder(relative, &error);
      return false;
    };
    for (const std::string& operand : operands) {
      const std::string path = AbsoluteFrom(cwd_, operand);
      if (!InsideWorkingFolder(operand, path)) return false;
      std::error_code ec;
      if (fs::is_directory(tw::FsPath(path), ec)) {
        if (folders != nullptr) folders->push_back(path);
        const std::string relative = RelativeTo(path, workspace_.root);
        if (honour_ignore && !ignore.ReadFoldersAbove(relative, false, &error)) {
          console_.Error(error);
          return false;
        }
        if (path != workspace_.root && skip(path, true)) {
          console_.Note(operand + " is an ignored folder (" + kIgnoreFile +
                        " or the built-in list); the files in it are left out");
          continue;
        }
        const std::vector<std::string> below = FilesBelow(path, skip);
        if (!error.empty()) {
          console_.Error(error);
          return false;
        }
        for (const std::string& file : below) {
          if (seen.insert(file).second) targets->push_back({file, false});
        }
      } else if (tw::FsPath(path).filename() == kWorkspaceFile) {
        continue;
      } else if (seen.insert(path).second) {
        targets->push_back({path, true});
      } else {
        for (Target& t : *targets) {
          if (t.path == path) t.named = true;
        }
      }
    }
    return true;
  }

  // One status query for `files`; false with the failure printed.
  bool Query(const std::vector<std::string>& files, std::vector<LONG>* statuses) {
    statuses->assign(files.size(), 0);
    if (files.empty()) return true;
    const auto query = Require<SccQueryInfoFn>("SccQueryInfo", SCC_CAP_QUERYINFO);
    if (query == nullptr) return false;
    std::vector<LPCSTR> names;
    for (const std::string& f : files) names.push_back(f.c_str());
    const SCCRTN rc = Call([&] {
      return query(provider_.context(), static_cast<LONG>(names.size()), names.data(),
                   statuses->data());
    });
    if (rc != SCC_OK) {
      FailedWith("the status query failed", rc);
      return false;
    }
    return true;
  }

  // The Documents the server holds below the folder `folder` (which need
  // not exist here), at any depth, as local paths; appended to `paths`.
  // Names the provider left out (it said which) make the command fail at
  // its end. False with the failure printed.
  bool Tree(const std::string& folder, std::vector<std::string>* paths) {
    const auto tree = Require<VelSccPopulateTreeFn>("VelSccPopulateTree");
    if (tree == nullptr) return false;
    const size_t before = paths->size();
    const SCCRTN rc =
        Call([&] { return tree(provider_.context(), folder.c_str(), &CollectPath, paths); });
    if (rc == SCC_E_INVALIDFILEPATH) {
      refused_ = true;
    } else if (rc != SCC_OK) {
      FailedWith("the server's list could not be had", rc);
      return false;
    }
    // A binding file is vscc's own, never a Document's: one written by a
    // get would send the next command in its folder, and the user's logon,
    // to whatever server it names.
    auto kept = paths->begin() + static_cast<std::ptrdiff_t>(before);
    for (auto it = kept; it != paths->end(); ++it) {
      if (IsBindingFileName(tw::FsText(tw::FsPath(*it).filename()))) {
        console_.Error(Shown(*it) + ": a Document named like vscc's binding file; left out");
        refused_ = true;
      } else {
        if (kept != it) *kept = std::move(*it);
        ++kept;
      }
    }
    paths->erase(kept, paths->end());
    return true;
  }

  // The local state of each file, as the provider's state cache tells it
  // (nothing is changed or asked); false with the failure printed.
  bool LocalStates(const std::vector<std::string>& files, std::vector<LONG>* states) {
    states->assign(files.size(), kStateNone);
    if (files.empty()) return true;
    const auto query = Require<VelSccQueryLocalStatusFn>("VelSccQueryLocalStatus");
    if (query == nullptr) return false;
    std::vector<LPCSTR> names = Pointers(files);
    // vscc's own look-up: its notices would only repeat the command's.
    const bool was_quiet = console_.quiet();
    console_.set_quiet(true);
    const SCCRTN rc = Call([&] {
      return query(provider_.context(), static_cast<LONG>(names.size()), names.data(),
                   states->data());
    });
    console_.set_quiet(was_quiet);
    if (rc != SCC_OK && rc != SCC_E_INVALIDFILEPATH) {
      FailedWith("the status query failed", rc);
      return false;
    }
    return true;
  }

  // The status word and the local state of each file, from one request
  // whatever folders the files lie in when the provider answers both at
  // once, else from a status query and a local-state query. False with the
  // failure printed.
  bool StatusAndStates(const std::vector<std::string>& files, std::vector<LONG>* statuses,
                       std::vector<LONG>* states) {
    const auto both = provider_.Get<VelSccQueryStatusFn>("VelSccQueryStatus");
    if (both == nullptr) return Query(files, statuses) && LocalStates(files, states);
    statuses->assign(files.size(), 0);
    states->assign(files.size(), kStateNone);
    if (files.empty()) return true;
    std::vector<LPCSTR> names = Pointers(files);
    const SCCRTN rc = Call([&] {
      return both(provider_.context(), static_cast<LONG>(names.size()), names.data(),
                  statuses->data(), states->data());
    });
    if (rc != SCC_OK && rc != SCC_E_INVALIDFILEPATH) {
      FailedWith("the status query failed", rc);
      return false;
    }
    return true;
  }

  // The files an operation on the server's Documents takes: each file
  // named, and for each folder named (the current folder when none is)
  // every Document the server holds below it, whether or not that folder or
  // its files are here yet. A name that is not here is a folder when the
  // server holds Documents below it, else a file. False with the failure
  // printed.
  bool ServerTargets(std::vector<Target>* targets) {
    std::vector<std::string> operands = o_.args;
    if (operands.empty()) operands.push_back(".");
    std::set<std::string> seen;
    for (const std::string& operand : operands) {
      const std::string path = AbsoluteFrom(cwd_, operand);
      if (!InsideWorkingFolder(operand, path)) return false;
      std::error_code ec;
      const bool folder = fs::is_directory(tw::FsPath(path), ec);
      const bool here = fs::symlink_status(tw::FsPath(path), ec).type() != fs::file_type::not_found;
      std::vector<std::string> listed;
      if ((folder || !here) && !Tree(path, &listed)) return false;
      if (folder || !listed.empty()) {
        for (const std::string& file : listed) {
          if (seen.insert(file).second) targets->push_back({file, false});
        }
        continue;
      }
      if (tw::FsPath(path).filename() == kWorkspaceFile) continue;
      if (seen.insert(path).second) {
        targets->push_back({path, true});
      } else {
        for (Target& t : *targets) {
          if (t.path == path) t.named = true;
        }
      }
    }
    return true;
  }

  // Why an operation does not take a file: `why` is null when it does. A
  // refusal that is a `failure` makes the command fail once it has done the
  // rest; the others (it is done already) only say so.
  struct Refusal {
    const char* why = nullptr;
    bool failure = false;
    bool taken = false;  // said, and the file still goes to the operation
  };

  // The files to hand to an operation, chosen by their status in one query.
  // A file found below a named folder and refused is left out quietly; a
  // file named and refused is left out with a note. False on a failed query.
  bool Choose(const std::vector<Target>& targets, const std::function<Refusal(LONG)>& refusal,
              std::vector<std::string>* files) {
    return Choose(
        targets, [&](LONG status, LONG) { return refusal(status); }, false, files);
  }
  // The same, `refusal` given each file's local state beside its status
  // when `states` asks for them (one request for both).
  bool Choose(const std::vector<Target>& targets,
              const std::function<Refusal(LONG status, LONG state)>& refusal, bool states,
              std::vector<std::string>* files) {
    std::vector<std::string> paths;
    for (const Target& t : targets) paths.push_back(t.path);
    std::vector<LONG> statuses;
    std::vector<LONG> local(paths.size(), kStateNone);
    // vscc's own look-up: its notices would only repeat the command's.
    const bool was_quiet = console_.quiet();
    console_.set_quiet(true);
    const bool queried =
        states ? StatusAndStates(paths, &statuses, &local) : Query(paths, &statuses);
    console_.set_quiet(was_quiet);
    if (!queried) return false;
    for (size_t i = 0; i < targets.size(); ++i) {
      const Refusal r = refusal(statuses[i], local[i]);
      if (r.why == nullptr || r.taken) files->push_back(targets[i].path);
      if (r.why != nullptr && targets[i].named) {
        const std::string text = Shown(targets[i].path) + " " + r.why + "; left out";
        if (r.failure) {
          console_.Error(text);
          refused_ = true;
        } else {
          console_.Note(r.taken ? Shown(targets[i].path) + " " + r.why : text);
        }
      }
    }
    return true;
  }

  // A file's status word as shown beside its local state: a file the
  // provider tells apart from its Document (another spelling of the
  // Document's name beside the server's own) is not shown as controlled.
  static LONG Reconciled(LONG status, LONG state) {
    return state == kStateUncontrolled ? SCC_STATUS_NOTCONTROLLED : status;
  }

  static Refusal UnlessControlled(LONG s) {
    if (s & SCC_STATUS_CONTROLLED) return {};
    return {"is not controlled", true};
  }
  static Refusal UnlessMine(LONG s) {
    if (s & SCC_STATUS_OUTBYUSER) return {};
    return {"is not checked out to you", true};
  }
  // A file edited here that is not checked out to the user lost its lock
  // since the check-out (an administrator broke it, or it was given up
  // from another working folder): said so, with the way back.
  static Refusal UnlessMineToCheckIn(LONG s, LONG state) {
    if ((s & SCC_STATUS_OUTBYUSER) || !(s & SCC_STATUS_CONTROLLED) || state != kStateRenegade) {
      return UnlessMine(s);
    }
    return {
        "is edited here, but its lock is no longer yours (broken by an administrator, or "
        "given up elsewhere); 'vscc checkout --no-get FILE' takes it again and keeps the "
        "edits",
        true};
  }

  // Whether another file of the same folder has a name that differs from
  // the name of `path` only in letter case.
  static bool HasCaseTwin(const std::string& path) {
    const fs::path native = tw::FsPath(path);
    const std::string name = tw::FsText(native.filename());
    std::error_code ec;
    for (fs::directory_iterator it(native.parent_path(), ec), end; !ec && it != end;
         it.increment(ec)) {
      const std::string other = tw::FsText(it->path().filename());
      if (other != name && other.size() == name.size() &&
          std::equal(other.begin(), other.end(), name.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
          })) {
        return true;
      }
    }
    return false;
  }

  static std::vector<LPCSTR> Pointers(const std::vector<std::string>& files) {
    std::vector<LPCSTR> names;
    for (const std::string& f : files) names.push_back(f.c_str());
    return names;
  }

  // A path as printed: relative to the current folder, and one item however
  // the server named it (a line feed in a name is shown, never obeyed).
  std::string Shown(const std::string& path) const {
    const fs::path relative = tw::FsPath(path).lexically_relative(tw::FsPath(cwd_));
    return tw::TerminalSafeName(relative.empty() ? path : tw::FsText(relative));
  }

  // Asks for the advanced options of a check-out or check-in through the
  // provider's options dialog, answered by the script. False with the
  // reason printed.
  bool CommandOptions(SCCCOMMAND command, const std::string& answer, LPCMDOPTS* options) {
    const auto get =
        Require<SccGetCommandOptionsFn>("SccGetCommandOptions", SCC_CAP_GETCOMMANDOPTIONS);
    if (get == nullptr) return false;
    const char* what = command == SCC_COMMAND_CHECKOUT ? "check-out" : "check-in";
    if (get(provider_.context(), nullptr, command, nullptr) != SCC_I_ADV_SUPPORT) {
      Failed(std::string("the provider offers no ") + what + " options");
      return false;
    }
    ui_.Answer(answer);
    *options = nullptr;
    const SCCRTN rc = Call([&] { return get(provider_.context(), nullptr, command, options); });
    if (rc != SCC_OK || *options == nullptr) {
      Failed(std::string("the ") + what + " options were not taken (" + ResultName(rc) + ")");
      return false;
    }
    return true;
  }

  // The comment of a check-in that -m does not give, written by the person
  // at the terminal in their editor, as other clients ask for it. False with
  // the reason printed when the editor fails or the comment is empty: the
  // check-in is then not made.
  bool CommentFromEditor(const std::vector<std::string>& files, std::string* comment) {
    std::string text =
        "\n"
        "# The comment for this check-in. Lines starting with '#' are left out;\n"
        "# an empty comment stops the check-in.\n"
        "#\n"
        "# Files to check in:\n";
    for (const std::string& file : files) text += "#   " + Shown(file) + "\n";
    console_.Finish();
    std::string error;
    if (!EditText(text, comment, &error)) {
      Failed(error + "; nothing was checked in");
      return false;
    }
    if (comment->empty()) {
      Failed(
          "the check-in comment is empty: nothing was checked in (the files stay checked "
          "out; -m TEXT gives a comment without the editor)");
      return false;
    }
    return true;
  }

  // The end of a file operation: its result, and a failure when a file the
  // user named could not take part.
  int Finish(const char* what, SCCRTN rc) {
    if (rc != SCC_OK) return FailedWith(what, rc);
    return refused_ ? kExitFailed : kExitOk;
  }

  // Nothing left to do: success, unless a named file was refused.
  int Nothing(const std::string& note) {
    console_.Note(note);
    return refused_ ? kExitFailed : kExitOk;
  }

  // --- The commands ------------------------------------------------------

  int Bind() {
    const std::string dir = AbsoluteFrom(cwd_, o_.args.empty() ? "." : o_.args[0]);
    std::error_code ec;
    if (fs::exists(tw::FsPath(dir) / kWorkspaceFile, ec)) {
      Workspace existing;
      std::string error;
      FindWorkspace(dir, &existing, &error);
      return Failed(dir + " is bound already (to '" + existing.aux_path +
                    "'); 'vscc unbind' first");
    }
    if (fs::exists(tw::FsPath(dir), ec) && !fs::is_directory(tw::FsPath(dir), ec)) {
      return Failed(dir + " is no folder");
    }
    if (!StartProvider(true)) return kExitFailed;
    const bool create = !o_.new_name.empty();
    if (create) {
      ui_.Answer("dialog " + std::to_string(kAddDialog) + " 1 " + std::to_string(kAddName) + "=" +
                 ScriptWord(o_.new_name) + " " + std::to_string(kAddTree) + "=" +
                 ScriptWord(TreePath(o_.parent)));
      ui_.AnswerQuestion(kProductionExistsTitle, o_.yes, "--yes binds to the existing one");
    } else if (!o_.production.empty()) {
      ui_.Answer("dialog " + std::to_string(kBindDialog) + " 1 " + std::to_string(kBindFolder) +
                 "=" + ScriptWord(dir) + " " + std::to_string(kBindTree) + "=" +
                 ScriptWord(TreePath(o_.production)));
    }
    const auto get_path = Require<SccGetProjPathFn>("SccGetProjPath", SCC_CAP_GETPROJPATH);
    if (get_path == nullptr) return kExitFailed;
    Buffer<SCC_USER_LEN> user;
    Buffer<SCC_PRJPATH_LEN> project, local, aux;
    if (!user.Set(ui_.user()) || !project.Set(o_.new_name) || !local.Set(dir)) {
      return Failed("a name or the folder is longer than the interface allows");
    }
    BOOL is_new = create ? 1 : 0;
    const SCCRTN rc = Call(
        [&] {
          return get_path(provider_.context(), nullptr, user.data, project.data, local.data,
                          aux.data, 1, &is_new);
        },
        true);
    if (!user.Get().empty()) logged_on_user_ = user.Get();
    if (rc != SCC_OK && rc != SCC_I_PROJECTCREATED) {
      return FailedWith(create ? "cannot create Production '" + o_.new_name + "'"
                               : std::string("cannot bind ") + dir,
                        rc);
    }
    workspace_.root = AbsoluteFrom(cwd_, local.Get().empty() ? dir : local.Get());
    workspace_.project_name = project.Get();
    workspace_.aux_path = aux.Get();
    workspace_.local_path = workspace_.root;
    if (workspace_.root != dir && fs::exists(tw::FsPath(workspace_.root) / kWorkspaceFile, ec)) {
      return Failed(workspace_.root + " is bound already; 'vscc unbind' there first");
    }
    fs::create_directories(tw::FsPath(workspace_.root), ec);
    if (!fs::is_directory(tw::FsPath(workspace_.root), ec))
      return Failed("cannot make the folder " + workspace_.root);
    // Open it as every later command will, so that a binding that does not
    // open is never kept.
    if (!OpenProject()) return kExitFailed;
    // The user the provider logged on as, so that this folder logs on so
    // again whoever logged on last elsewhere.
    workspace_.user = !logged_on_user_.empty() ? logged_on_user_ : ui_.user();
    workspace_.server = o_.server;
    workspace_.port = o_.port;
    std::string error;
    if (!SaveWorkspace(workspace_, &error)) return Failed(error);
    console_.Out((rc == SCC_I_PROJECTCREATED ? "Created Production '" + workspace_.aux_path +
                                                   "' and bound " + workspace_.root + " to it\n"
                                             : "Bound " + workspace_.root + " to Production '" +
                                                   workspace_.aux_path + "'\n"));
    return kExitOk;
  }

  int Unbind() {
    if (!FindTheWorkspace()) return kExitFailed;
    const std::string file = workspace_.root + "/" + kWorkspaceFile;
    std::error_code ec;
    if (!fs::remove(tw::FsPath(file), ec)) {
      return Failed("cannot remove " + file + ": " + (ec ? ec.message() : "it is gone"));
    }
    console_.Out("Unbound " + workspace_.root + " from Production '" + workspace_.aux_path + "'\n");
    return kExitOk;
  }

  int Status() {
    if (o_.json) console_.set_notices_to_stderr(true);
    if (!Begin()) return kExitFailed;
    std::vector<Target> targets;
    std::vector<std::string> folders;
    if (!Targets(true, &targets, &folders, true)) return kExitFailed;
    // Below a folder also the Documents the server holds that are not here.
    if (!folders.empty()) {
      std::set<std::string> seen;
      for (const Target& t : targets) seen.insert(t.path);
      std::vector<std::string> listed;
      for (const std::string& folder : folders) {
        if (!Tree(folder, &listed)) return kExitFailed;
      }
      for (const std::string& file : listed) {
        if (seen.insert(file).second) targets.push_back({file, false});
      }
      std::stable_sort(targets.begin(), targets.end(),
                       [](const Target& a, const Target& b) { return a.path < b.path; });
    }
    std::vector<std::string> files;
    for (const Target& t : targets) files.push_back(t.path);
    std::vector<LONG> statuses, states;
    if (!StatusAndStates(files, &statuses, &states)) return kExitFailed;

    if (o_.json) {
      std::string out = "{\"root\": " + tw::JsonQuote(workspace_.root) +
                        ", \"production\": " + tw::JsonQuote(workspace_.aux_path) +
                        ", \"files\": [";
      for (size_t i = 0; i < files.size(); ++i) {
        const LONG s = Reconciled(statuses[i], states[i]);
        const bool out_me = (s & SCC_STATUS_OUTBYUSER) != 0;
        const bool out_any = (s & SCC_STATUS_CHECKEDOUT) != 0;
        out += std::string(i ? ",\n  " : "\n  ") +
               "{\"path\": " + tw::JsonQuote(RelativeTo(files[i], workspace_.root)) +
               ", \"status\": " + std::to_string(s) +
               ", \"controlled\": " + ((s & SCC_STATUS_CONTROLLED) ? "true" : "false") +
               ", \"checked_out\": " + (out_any ? "true" : "false") +
               ", \"checked_out_by_me\": " + (out_me ? "true" : "false") +
               ", \"checked_out_by_other\": " + ((s & SCC_STATUS_OUTOTHER) ? "true" : "false") +
               ", \"exclusive\": " + ((s & SCC_STATUS_OUTEXCLUSIVE) ? "true" : "false") +
               ", \"state\": " + tw::JsonQuote(StateName(states[i])) + "}";
      }
      console_.Out(out + (files.empty() ? "]}\n" : "\n]}\n"));
      return refused_ ? kExitFailed : kExitOk;
    }
    // Colour marks the lock you hold (green), one another user holds (red)
    // and the state; the padding stays outside it, so the columns line up.
    std::vector<Painted> out;
    if (!files.empty()) out.push_back({"ctrl  me   other excl  state        path\n"});
    for (size_t i = 0; i < files.size(); ++i) {
      const LONG s = Reconciled(statuses[i], states[i]);
      const char* state = StateName(states[i]);
      const auto column = [&](const std::string& text, int width, Colour colour) {
        out.push_back({text, colour});
        out.push_back({std::string(static_cast<size_t>(width) - text.size(), ' ')});
      };
      const bool mine = (s & SCC_STATUS_OUTBYUSER) != 0;
      const bool other = (s & SCC_STATUS_OUTOTHER) != 0;
      column((s & SCC_STATUS_CONTROLLED) ? "yes" : "no", 6, Colour::kNone);
      column(Yes(mine), 5, mine ? Colour::kGreen : Colour::kNone);
      column(Yes(other), 6, other ? Colour::kRed : Colour::kNone);
      column(Yes(s & SCC_STATUS_OUTEXCLUSIVE), 6, Colour::kNone);
      column(*state != '\0' ? state : "-", 13, StateColour(states[i]));
      out.push_back({Shown(files[i]) + "\n"});
    }
    console_.Out(out);
    return refused_ ? kExitFailed : kExitOk;
  }

  int List() {
    // The list is the output: the provider's notices go to standard error.
    console_.set_notices_to_stderr(true);
    if (!Begin()) return kExitFailed;
    std::vector<std::string> operands = o_.args;
    if (operands.empty()) operands.push_back(".");
    std::vector<std::string> paths;
    for (const std::string& operand : operands) {
      const std::string path = AbsoluteFrom(cwd_, operand);
      if (!InsideWorkingFolder(operand, path)) return kExitFailed;
      std::error_code ec;
      if (fs::exists(tw::FsPath(path), ec) && !fs::is_directory(tw::FsPath(path), ec)) {
        return Failed(operand + " is no folder; list takes folders");
      }
      if (!Tree(path, &paths)) return kExitFailed;
    }
    std::set<std::string> seen;
    std::string out;
    for (const std::string& p : paths) {
      if (seen.insert(p).second) out += Shown(p) + "\n";
    }
    console_.Out(out);
    return refused_ ? kExitFailed : kExitOk;
  }

  // Like an update of other clients: a file nobody edited here is brought
  // up to date (fetched when missing, replaced when old) without a
  // question; only a file with local edits - or whose state is unknown -
  // raises the provider's overwrite question, which --yes or --no answers.
  int Get() {
    if (o_.revision > 0 || !o_.output.empty()) return GetVersion();
    if (!Begin()) return kExitFailed;
    std::vector<Target> targets;
    if (!ServerTargets(&targets)) return kExitFailed;
    std::vector<std::string> paths;
    for (const Target& t : targets) paths.push_back(t.path);
    std::vector<LONG> states;
    if (!LocalStates(paths, &states)) return kExitFailed;
    std::vector<std::string> updates, edited;
    size_t old = 0;
    for (size_t i = 0; i < targets.size(); ++i) {
      switch (states[i]) {
        case kStateCurrent:
          break;
        case kStateOld:
          ++old;
          [[fallthrough]];
        case kStateMissing:
          updates.push_back(targets[i].path);
          break;
        case kStateNone:
        case kStateUncontrolled:
          if (targets[i].named) {
            console_.Error(Shown(targets[i].path) + " is not controlled; left out");
            refused_ = true;
          }
          break;
        default:  // Modified, Renegade, More Recent, Unknown
          edited.push_back(targets[i].path);
          break;
      }
    }
    if (updates.empty() && edited.empty()) return Nothing("nothing to get: all is current");
    const auto get = Require<SccGetFn>("SccGet");
    if (get == nullptr) return kExitFailed;
    auto fetch = [&](const std::vector<std::string>& files) {
      std::vector<LPCSTR> names = Pointers(files);
      return Call([&] {
        return get(provider_.context(), nullptr, static_cast<LONG>(names.size()), names.data(), 0,
                   nullptr);
      });
    };
    SCCRTN rc = SCC_OK;
    if (!updates.empty()) {
      // The provider asks about each old file, in order: it is replaced.
      for (size_t i = 0; i < old; ++i) {
        ui_.AnswerNextCall("dialog " + std::to_string(kOverwriteDialog) + " " +
                           std::to_string(kYes));
      }
      rc = fetch(updates);
    }
    if (rc == SCC_OK && !edited.empty()) rc = fetch(edited);
    return Finish("get failed", rc);
  }

  // One version of one file, into the working file or into -o PATH.
  int GetVersion() {
    if (!Begin()) return kExitFailed;
    const std::string file = AbsoluteFrom(cwd_, o_.args[0]);
    if (!IsInside(file, workspace_.root)) {
      return Failed(o_.args[0] + " is outside the working folder " + workspace_.root);
    }
    std::error_code ec;
    if (fs::is_directory(tw::FsPath(file), ec)) return Failed(o_.args[0] + " is a folder");
    const std::string target = o_.output.empty() ? "" : AbsoluteFrom(cwd_, o_.output);
    if (!target.empty() && fs::is_directory(tw::FsPath(target), ec)) {
      return Failed(o_.output + " is a folder");
    }
    const auto get_version = Require<VelSccGetVersionFn>("VelSccGetVersion");
    if (get_version == nullptr) return kExitFailed;
    const SCCRTN rc = Call([&] {
      return get_version(provider_.context(), nullptr, file.c_str(), o_.revision,
                         target.empty() ? nullptr : target.c_str());
    });
    return Finish("get failed", rc);
  }

  int Checkout() {
    if (!Begin()) return kExitFailed;
    std::vector<Target> targets;
    if (!Targets(false, &targets)) return kExitFailed;
    std::vector<std::string> files;
    // A file checked out to the user already goes too: when the server has
    // a newer version than the local copy (a deferred lock granted since),
    // the check-out brings it down.
    auto refusal = [](LONG s) -> Refusal {
      if (s & SCC_STATUS_OUTBYUSER) return {"is checked out to you already", false, true};
      return UnlessControlled(s);
    };
    if (!Choose(targets, refusal, &files)) return kExitFailed;
    if (files.empty()) return Nothing("nothing to check out");
    const auto checkout = Require<SccCheckoutFn>("SccCheckout");
    if (checkout == nullptr) return kExitFailed;
    bool told_exclusive = false;
    auto call = [&](const std::vector<std::string>& some, bool* stop) -> SCCRTN {
      LPCMDOPTS options = nullptr;
      if (o_.shared || o_.no_get) {
        const bool sync = !o_.no_get, exclusive = !o_.shared;
        const std::string answer = "dialog " + std::to_string(kCheckoutOptionsDialog) + " 1 " +
                                   std::to_string(kReplaceWithCurrent) + "=" + (sync ? "1" : "0") +
                                   " " + std::to_string(kDoNotSynchronize) + "=" +
                                   (sync ? "0" : "1") + " " + std::to_string(kExclusive) + "=" +
                                   (exclusive ? "1" : "0") + " " + std::to_string(kShared) + "=" +
                                   (exclusive ? "0" : "1");
        if (!CommandOptions(SCC_COMMAND_CHECKOUT, answer, &options)) {
          *stop = true;
          return SCC_E_NONSPECIFICERROR;
        }
        for (const UiEvent& e : events_) {
          if (e.id == kCheckoutOptionsDialog && o_.shared && e.enabled.count(kShared) &&
              !e.enabled.at(kShared) && !told_exclusive) {
            told_exclusive = true;
            console_.Note("the server demands exclusive locks: checking out exclusively");
          }
        }
      }
      std::vector<LPCSTR> names = Pointers(some);
      // The provider owns the options object once it is passed in.
      return Call([&] {
        return checkout(provider_.context(), nullptr, static_cast<LONG>(names.size()), names.data(),
                        o_.message.c_str(), 0, options);
      });
    };
    if (o_.no_get) {
      // Nothing is fetched, so nothing is asked.
      bool stop = false;
      const SCCRTN rc = call(files, &stop);
      return stop ? kExitFailed : Finish("checkout failed", rc);
    }
    SCCRTN rc = SCC_OK;
    if (!UnaskedFirst(files, call, &rc)) return kExitFailed;
    return Finish("checkout failed", rc);
  }

  int Undo() {
    if (!Begin()) return kExitFailed;
    std::vector<Target> targets;
    if (!Targets(false, &targets)) return kExitFailed;
    std::vector<std::string> files;
    if (!Choose(targets, UnlessMine, &files)) return kExitFailed;
    if (files.empty()) return Nothing("nothing is checked out there");
    const auto undo = Require<SccUncheckoutFn>("SccUncheckout");
    if (undo == nullptr) return kExitFailed;
    auto call = [&](const std::vector<std::string>& some, bool*) -> SCCRTN {
      std::vector<LPCSTR> names = Pointers(some);
      return Call([&] {
        return undo(provider_.context(), nullptr, static_cast<LONG>(names.size()), names.data(), 0,
                    nullptr);
      });
    };
    SCCRTN rc = SCC_OK;
    if (!UnaskedFirst(files, call, &rc)) return kExitFailed;
    return Finish("undo failed", rc);
  }

  // Runs an operation that brings files down as an update does: the files
  // nobody edited here (missing, current or old) go in one call, where vscc
  // answers the provider's overwrite question Yes for each old one - it only
  // replaces a copy nobody changed - and the others (edited, or of unknown
  // state) in a call of their own after it, where the flags or the person
  // answer. `call` sets its flag to stop when it failed before the provider
  // was called. False, with the failure printed, when the local states could
  // not be had; else `rc` is the result of the last call made.
  bool UnaskedFirst(const std::vector<std::string>& files,
                    const std::function<SCCRTN(const std::vector<std::string>&, bool*)>& call,
                    SCCRTN* rc) {
    std::vector<LONG> states;
    if (!LocalStates(files, &states)) return false;
    std::vector<std::string> unedited, edited;
    size_t old = 0;
    for (size_t i = 0; i < files.size(); ++i) {
      switch (states[i]) {
        case kStateOld:
          ++old;
          [[fallthrough]];
        case kStateMissing:
        case kStateCurrent:
        case kStateNone:
        case kStateUncontrolled:
          unedited.push_back(files[i]);
          break;
        default:  // Modified, Renegade, More Recent, Unknown
          edited.push_back(files[i]);
          break;
      }
    }
    bool stop = false;
    *rc = SCC_OK;
    if (!unedited.empty()) {
      for (size_t i = 0; i < old; ++i) {
        ui_.AnswerNextCall("dialog " + std::to_string(kOverwriteDialog) + " " +
                           std::to_string(kYes));
      }
      *rc = call(unedited, &stop);
      if (stop) return false;
    }
    if (*rc == SCC_OK && !edited.empty()) {
      *rc = call(edited, &stop);
      if (stop) return false;
    }
    return true;
  }

  int Checkin() {
    if (!Begin()) return kExitFailed;
    std::vector<Target> targets;
    if (!Targets(true, &targets)) return kExitFailed;
    std::vector<std::string> files;
    if (!Choose(targets, UnlessMineToCheckIn, true, &files)) return kExitFailed;
    if (files.empty()) return Nothing("nothing to check in: no file there is checked out to you");
    const auto checkin = Require<SccCheckinFn>("SccCheckin");
    if (checkin == nullptr) return kExitFailed;
    std::string comment = o_.message;
    if (!o_.message_given && ui_.terminal() && IsTerminal(0) &&
        !CommentFromEditor(files, &comment)) {
      return kExitFailed;
    }
    LPCMDOPTS options = nullptr;
    if (o_.keep || o_.wip) {
      const std::string answer = "dialog " + std::to_string(kCheckinOptionsDialog) + " 1 " +
                                 std::to_string(kRetainLock) + "=" + (o_.keep ? "1" : "0") + " " +
                                 std::to_string(kWorkInProgress) + "=" + (o_.wip ? "1" : "0");
      if (!CommandOptions(SCC_COMMAND_CHECKIN, answer, &options)) return kExitFailed;
    }
    std::vector<LPCSTR> names = Pointers(files);
    const SCCRTN rc = Call([&] {
      return checkin(provider_.context(), nullptr, static_cast<LONG>(names.size()), names.data(),
                     comment.c_str(), 0, options);
    });
    return Finish("checkin failed", rc);
  }

  int Add() {
    if (!Begin()) return kExitFailed;
    std::vector<Target> targets;
    if (!Targets(false, &targets, nullptr, true)) return kExitFailed;
    std::vector<std::string> files;
    // A file whose status could not be had (its name cannot travel) goes
    // to the provider, which names it as it leaves it out.
    auto refusal = [](LONG s) -> Refusal {
      if (s != SCC_STATUS_INVALID && (s & SCC_STATUS_CONTROLLED)) {
        return {"is controlled already", false};
      }
      return {};
    };
    // The server names files without regard to letter case, so a file reads
    // as controlled when a name differing only in case is: beside such a
    // name the provider decides, and names both when they clash.
    std::vector<Target> others;
    std::vector<std::string> twins;
    for (const Target& t : targets) {
      if (HasCaseTwin(t.path)) {
        twins.push_back(t.path);
      } else {
        others.push_back(t);
      }
    }
    if (!Choose(others, refusal, &files)) return kExitFailed;
    files.insert(files.end(), twins.begin(), twins.end());
    if (files.empty()) return Nothing("nothing to add: every file there is controlled already");
    const auto add = Require<SccAddFn>("SccAdd");
    if (add == nullptr) return kExitFailed;
    std::vector<LPCSTR> names = Pointers(files);
    std::vector<LONG> per_file(files.size(), o_.keep ? SCC_KEEP_CHECKEDOUT : 0);
    const SCCRTN rc = Call([&] {
      return add(provider_.context(), nullptr, static_cast<LONG>(names.size()), names.data(),
                 o_.message.c_str(), per_file.data(), nullptr);
    });
    return Finish("add failed", rc);
  }

  // History and properties: the provider shows a list dialog, which the
  // script closes; its contents come from the record.
  int ShowDialogCommand(int dialog, const char* export_name, LONG capability) {
    if (!Begin()) return kExitFailed;
    const std::string file = AbsoluteFrom(cwd_, o_.args[0]);
    // The provider shows an empty list for a file the server does not
    // hold; that is a mistake to say, not an empty history.
    std::vector<LONG> status;
    const bool was_quiet = console_.quiet();
    console_.set_quiet(true);
    const bool queried = Query({file}, &status);
    console_.set_quiet(was_quiet);
    if (!queried) return kExitFailed;
    if ((status[0] & SCC_STATUS_CONTROLLED) == 0 || status[0] == SCC_STATUS_INVALID) {
      return Failed(Shown(file) + " is not controlled: the server holds no " +
                    (dialog == kHistoryDialog ? "history" : "properties") + " of it");
    }
    ui_.Answer("dialog " + std::to_string(dialog) + " 1");
    SCCRTN rc;
    if (dialog == kHistoryDialog) {
      const auto history = Require<SccHistoryFn>(export_name, capability);
      if (history == nullptr) return kExitFailed;
      LPCSTR name = file.c_str();
      rc = Call([&] { return history(provider_.context(), nullptr, 1, &name, 0, nullptr); });
    } else {
      const auto properties = Require<SccPropertiesFn>(export_name, capability);
      if (properties == nullptr) return kExitFailed;
      rc = Call([&] { return properties(provider_.context(), nullptr, file.c_str()); });
    }
    if (rc != SCC_OK) return FailedWith(std::string(export_name) + " failed", rc);
    std::string out;
    for (const UiEvent& e : events_) {
      if (e.kind != "dialog" || e.id != dialog) continue;
      out += e.title + "\n";
      for (const auto& [control, text] : e.texts) {
        if (control == 1 || control == 2 || text.empty()) continue;  // OK, Cancel
        out += text;
        if (out.back() != '\n') out += '\n';
      }
    }
    console_.Out(out);
    return kExitOk;
  }

  int Diff() {
    if (!Begin()) return kExitFailed;
    const std::string file = AbsoluteFrom(cwd_, o_.args[0]);
    // The server's version is written beside the file.
    if (!InsideWorkingFolder(o_.args[0], file)) return kExitFailed;
    const auto diff = Require<SccDiffFn>("SccDiff", SCC_CAP_DIFF);
    if (diff == nullptr) return kExitFailed;
    const std::string tip = file + ".[Tip]";
    std::error_code ec;
    fs::remove(tw::FsPath(tip), ec);
    const SCCRTN rc =
        Call([&] { return diff(provider_.context(), nullptr, file.c_str(), 0, nullptr); });
    if (rc != SCC_OK) return FailedWith("diff failed", rc);
    if (o_.tool) return kExitOk;
    if (!fs::exists(tw::FsPath(tip), ec))
      return Failed("the provider fetched no server version of " + Shown(file));
    const std::string name = tw::FsText(tw::FsPath(file).filename());
    const std::string label_tip = name + " (server)", label_local = name + " (local)";
    console_.Finish();
    std::string error;
    const int status =
        RunProgram({"diff", "-u", "--label", label_tip, "--label", label_local, tip, file}, &error);
    fs::remove(tw::FsPath(tip), ec);
    if (status < 0) return Failed(error);
    if (status > 1) return Failed("diff failed");
    return kExitOk;
  }

  int Client() {
    // The client needs no project; the working folder, when there is one,
    // only lends its logon answers.
    std::string ignored;
    FindWorkspace(cwd_, &workspace_, &ignored);
    if (!StartProvider(true)) return kExitFailed;
    const auto run = Require<SccRunSccFn>("SccRunScc", SCC_CAP_RUNSCC);
    if (run == nullptr) return kExitFailed;
    std::vector<std::string> files;
    for (const std::string& a : o_.args) files.push_back(AbsoluteFrom(cwd_, a));
    std::vector<LPCSTR> names = Pointers(files);
    const SCCRTN rc = Call([&] {
      return run(provider_.context(), nullptr, static_cast<LONG>(names.size()),
                 names.empty() ? nullptr : names.data());
    });
    if (rc != SCC_OK) return FailedWith("the client could not be started", rc);
    for (const UiEvent& e : events_) {
      if (e.kind == "msgbox" && e.title == kClientNotFoundTitle) return kExitFailed;
    }
    return kExitOk;
  }

  int Environment() {
    if (!StartProvider(false)) return kExitFailed;
    const std::string& app = o_.args[0];
    if (o_.show) {
      const auto show = Require<VelSccShowEnvironmentSettingsFn>("VelSccShowEnvironmentSettings");
      if (show == nullptr) return kExitFailed;
      Call([&] { return show(app.c_str()); });
      if (HostUi::Cancelled(events_, kEnvironmentDialog)) return kExitFailed;
    }
    const auto get = Require<VelSccGetEnvironmentSettingsFn>("VelSccGetEnvironmentSettings");
    if (get == nullptr) return kExitFailed;
    int actions[4] = {-1, -1, -1, -1};
    get(app.c_str(), &actions[0], &actions[1], &actions[2], &actions[3]);
    if (std::all_of(std::begin(actions), std::end(actions), [](int a) { return a == -1; })) {
      console_.Out(app + ": no editor actions stored (each one asks)\n");
      return kExitOk;
    }
    std::string out;
    for (int i = 0; i < 4; ++i) {
      const int a = actions[i];
      const char* choice = a >= 0 && a <= 2 ? kEnvironmentActions[i].choices[a] : "(unknown)";
      out += std::string(kEnvironmentActions[i].label) + " " + choice + " (" + std::to_string(a) +
             ")\n";
    }
    console_.Out(out);
    return kExitOk;
  }

  int Property() {
    if (!StartProvider(false)) return kExitFailed;
    const std::string& path = o_.args[1];
    const std::string& name = o_.args[2];
    if (o_.args[0] == "set") {
      const auto set = Require<VelSccSetPropertyFn>("VelSccSetProperty");
      if (set == nullptr) return kExitFailed;
      const int rc = set(path.c_str(), name.c_str(), o_.args[3].c_str());
      return rc == 0 ? kExitOk : FailedWith("the value was not written", rc);
    }
    const auto get = Require<VelSccGetPropertyFn>("VelSccGetProperty");
    if (get == nullptr) return kExitFailed;
    // The provider leaves the buffer untouched when the node cannot be
    // opened: a marker that no value can leave tells the two apart.
    std::vector<char> value(kPropertyBufferBytes, '\0');
    value[0] = '\x01';
    value[1] = '\x7F';
    const int rc = get(path.c_str(), name.c_str(), value.data());
    if (rc != 0) return FailedWith("the value was not read", rc);
    if (value[0] == '\x01' && value[1] == '\x7F') {
      return Failed("the user property file has no node '" + path + "'");
    }
    console_.Out(std::string(value.data(), strnlen(value.data(), value.size() - 1)) + "\n");
    return kExitOk;
  }

  int Dirs() {
    std::string ignored;
    FindWorkspace(cwd_, &workspace_, &ignored);
    if (!StartProvider(true)) return kExitFailed;
    const auto dirs = Require<VelSccGetDirsFn>("VelSccGetDirs");
    if (dirs == nullptr) return kExitFailed;
    // Display-name paths take the form of the auxiliary project path
    // ("\Games\Level 1"); identifier paths that of the project name.
    std::string path;
    for (char c : o_.args[0]) path += c == '/' ? '\\' : c;
    if (!o_.ids && (path.empty() || path[0] != '\\')) path = "\\" + path;
    const SCCRTN rc = Call(
        [&] { return dirs(provider_.context(), nullptr, path.c_str(), o_.ids ? 1 : 0); }, true);
    if (rc != SCC_OK) return FailedWith("the server lists no Production '" + o_.args[0] + "'", rc);
    console_.Out(o_.args[0] + ": the server lists it\n");
    return kExitOk;
  }

  const Options& o_;
  const std::string cwd_;
  const std::string* const password_;
  Console& console_;
  Provider provider_;
  std::unique_ptr<ModuleSettings> module_settings_;  // with --timeout
  HostUi ui_;
  Workspace workspace_;
  std::vector<UiEvent> events_;   // the record of the last call
  int last_call_seconds_ = 0;     // how long the last call took
  bool person_answered_ = false;  // whether a person answered a question in it
  bool project_open_ = false;
  bool refused_ = false;        // a file the user named could not take part
  std::string logged_on_user_;  // as the provider handed it back
};

}  // namespace

int RunCommand(const Options& options, const std::string& cwd, const std::string* password,
               Console* console) {
  Command command(options, cwd, password, console);
  const int status = command.Run();
  console->Finish();
  return status;
}

}  // namespace vscc
