#include "tools/twsccsetup/cli.h"

#include <cstdlib>
#include <iostream>
#include <memory>

#include "platform/file_attributes.h"
#include "platform/installer.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/system_factory.h"

// Where the installed layout puts the module, relative to this program's
// folder; on Windows the module lies beside the program.
#ifndef TW_MODULE_DIR_FROM_BIN
#ifdef _WIN32
#define TW_MODULE_DIR_FROM_BIN ""
#else
#define TW_MODULE_DIR_FROM_BIN "../lib/veltrane"
#endif
#endif

// The module's file and where the registry lives, as the usage tells them.
#ifdef _WIN32
#define TW_MODULE_FILE "TWSccApi.dll"
#define TW_REGISTRY_TEXT "The registry is the machine's, HKEY_LOCAL_MACHINE.\n"
#define TW_REGISTRY_LABEL "Registry: "
#else
#define TW_MODULE_FILE "libTWSccApi.so"
#define TW_REGISTRY_TEXT                                             \
  "The registry is the file named by VELTRANE_REGISTRY_FILE, else\n" \
  "$XDG_CONFIG_HOME/Halvorn/registry.ini.\n"
#define TW_REGISTRY_LABEL "Registry file: "
#endif

namespace tw::twsccsetup {

namespace {

constexpr const char* kProgram = "TWSccSetup";
// The buffer a host reads "SCCServerPath" into.
constexpr size_t kServerPathBuffer = 512;

// Whether two module paths name one file as the system compares names:
// without regard to letter case or the kind of slash on Windows, exactly
// elsewhere.
bool SameModulePath(const std::string& a, const std::string& b) {
#ifdef _WIN32
  std::string left = a, right = b;
  for (std::string* path : {&left, &right}) {
    for (char& c : *path) {
      if (c == '/') c = '\\';
    }
  }
  return SamePathIgnoringCase(left, right);
#else
  return a == b;
#endif
}
constexpr size_t kValueBuffer = 1024;

constexpr const char* kGeneralUsage =
    "Usage: TWSccSetup <command>\n"
    "\n"
    "Commands:\n"
    "  register                 record this installation's module as the\n"
    "                           source-code-control provider\n"
    "  unregister               withdraw that registration\n"
    "  status                   show the registration, the module, the Photoshop\n"
    "                           found and where its plug-in belongs\n"
    "  plugin install|remove    place or remove the Photoshop plug-in\n"
    "\n" TW_REGISTRY_TEXT
    "\"TWSccSetup <command> --help\" describes a command; \"TWSccSetup --version\"\n"
    "tells the version.\n";

struct Command {
  const char* name;
  const char* usage;
};

const Command kCommands[] = {
    {"register",
     "Usage: TWSccSetup register\n"
     "\n"
     "Records " TW_MODULE_FILE " of this installation as the machine's source-code-\n"
     "control provider: the product key Software\\Halvorn\\Veltrane with\n"
     "SCCServerName and SCCServerPath, its entry under InstalledSCCProviders, and\n"
     "ProviderRegKey, which makes it the default provider. The module is looked\n"
     "for in $VELTRANE_MODULE_DIR when set, else in the installation's module\n"
     "folder, else beside this program.\n"},
    {"unregister",
     "Usage: TWSccSetup unregister\n"
     "\n"
     "Withdraws what register recorded: ProviderRegKey when it names this\n"
     "provider, so that hosts no longer load it by default, the provider's entry\n"
     "under InstalledSCCProviders and the product key's SCCServerName and\n"
     "SCCServerPath (the key goes when nothing else is left in it). Another\n"
     "provider's registration is left alone.\n"},
    {"status",
     "Usage: TWSccSetup status\n"
     "\n"
     "Prints the registry, whether this provider is registered, the module\n"
     "a host would load, the module of this installation, the Photoshop version\n"
     "found and the plug-in's place.\n"},
    {"plugin",
     "Usage: TWSccSetup plugin install|remove\n"
     "\n"
     "install copies \"Halvorn Veltrane for Photoshop.8li\" from the module folder\n"
     "into the plug-in folder of the Photoshop found in the registry, replacing\n"
     "an older copy; remove deletes it from there.\n"},
};

std::string Canonical(const std::string& path) {
  const std::string resolved = CanonicalLocalPath(path);
  return resolved.empty() ? path : resolved;
}

class Runner {
 public:
  Runner(std::ostream& out, std::ostream& err)
      : out_(out),
        err_(err),
        registry_(OpenMachineRegistry()),
        installer_(registry_.get(), FindModuleDirectory()) {}

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
      std::vector<std::string> positionals;
      for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
          out_ << command.usage;
          return kExitOk;
        }
        if (args[i].size() > 1 && args[i][0] == '-') return Usage("unknown option " + args[i]);
        positionals.push_back(args[i]);
      }
      if (name == "plugin") {
        if (positionals.size() != 1) return Usage("plugin needs install or remove");
        if (positionals[0] == "install") return InstallPlugin();
        if (positionals[0] == "remove") return RemovePlugin();
        return Usage("unknown plugin action " + positionals[0]);
      }
      if (!positionals.empty()) return Usage("unexpected argument " + positionals[0]);
      if (name == "register") return Register();
      if (name == "unregister") return Unregister();
      return Status();
    }
    return Usage("unknown command " + name);
  }

 private:
  static std::string FindModuleDirectory() {
    for (const std::string& dir : ModuleDirectoryCandidates()) {
      if (LocalFileExists(NativeJoin(dir, kModuleFileName))) return Canonical(dir);
    }
    return std::string();
  }

  int Usage(const std::string& problem) {
    err_ << kProgram << ": " << problem << "\n"
         << (command_ != nullptr ? command_->usage : kGeneralUsage);
    return kExitUsage;
  }

  int Fail(const std::string& problem) {
    err_ << kProgram << ": " << problem << "\n";
    return kExitFailure;
  }

  std::string ModuleNotFound() {
    std::string text = std::string("cannot find ") + kModuleFileName + " (looked in";
    const std::vector<std::string> candidates = ModuleDirectoryCandidates();
    for (size_t i = 0; i < candidates.size(); ++i) text += (i == 0 ? " " : ", ") + candidates[i];
    return text + ")";
  }

  // "ProviderRegKey" as it stands: kRegistryOk with the key it names,
  // kRegistryNotFound, or a failure to read the registry (reported).
  long ProviderKey(std::string* key) {
    const long result =
        registry_->QueryString(kProviderRootKey, kProviderRegKeyValue, kValueBuffer, key);
    if (result != kRegistryOk && result != kRegistryNotFound) Fail(registry_->ErrorText());
    return result;
  }

  int Register() {
    if (installer_.ModuleDirectory().empty()) return Fail(ModuleNotFound());
    if (!installer_.Register()) return Fail("cannot register: " + installer_.LastError());
    out_ << "Registered " << installer_.ModulePath() << " as the source-code-control provider in "
         << registry_->Location() << "\n";
    return kExitOk;
  }

  int Unregister() {
    // The product key is shared by every installation of the product: when
    // it names another installation's module, that registration is the
    // other installation's to withdraw.
    std::string registered;
    const long path_result = registry_->QueryString(kProductRegistryKey, kServerPathValue,
                                                    kServerPathBuffer, &registered);
    if (path_result == kRegistryOk && !SameModulePath(registered, installer_.ModulePath())) {
      return Fail("the registration names the module of another installation (" + registered +
                  "); left as it is");
    }
    std::string key;
    const long result = ProviderKey(&key);
    if (result != kRegistryOk && result != kRegistryNotFound) return kExitFailure;
    const bool default_is_ours = result == kRegistryOk && installer_.IsRegistered();
    const bool default_is_other = result == kRegistryOk && !default_is_ours;
    // The default first, so that no host is sent to entries already gone.
    if (default_is_ours && !installer_.Unregister()) {
      return Fail("cannot unregister: " + installer_.LastError());
    }
    bool removed = false;
    if (!installer_.RemoveRegistration(&removed)) {
      return Fail("cannot unregister: " + installer_.LastError());
    }
    const std::string other = "ProviderRegKey names another provider (" + key + "); left as it is";
    if (!default_is_ours && !removed) {
      if (default_is_other) return Fail(other);
      out_ << "No provider is registered; nothing to do\n";
      return kExitOk;
    }
    if (default_is_other) err_ << kProgram << ": " << other << "\n";
    out_ << "Unregistered the provider in " << registry_->Location() << "\n";
    return kExitOk;
  }

  int Status() {
    out_ << TW_REGISTRY_LABEL << registry_->Location() << "\n";
    std::string key;
    const long result = ProviderKey(&key);
    if (result != kRegistryOk && result != kRegistryNotFound) return kExitFailure;
    if (result == kRegistryNotFound) {
      out_ << "Provider: not registered\n";
    } else if (installer_.IsRegistered()) {
      out_ << "Provider: registered\n";
    } else {
      out_ << "Provider: not registered (ProviderRegKey names " << key << ")\n";
    }
    // What a host loads: the "SCCServerPath" of the key "ProviderRegKey" names.
    std::string server_path;
    if (result == kRegistryOk && registry_->QueryString(key, kServerPathValue, kServerPathBuffer,
                                                        &server_path) == kRegistryOk) {
      out_ << "Registered module: " << server_path
           << (LocalFileExists(server_path) ? "" : " (missing)") << "\n";
    } else {
      out_ << "Registered module: none\n";
    }
    if (!installer_.ModuleDirectory().empty()) {
      out_ << "Module: " << installer_.ModulePath() << "\n";
    } else {
      out_ << "Module: not found\n";
    }
    const std::string photoshop = installer_.FindPhotoshop();
    out_ << "Photoshop: " << (photoshop.empty() ? "not installed" : photoshop) << "\n";
    const std::string target = photoshop.empty() ? std::string() : installer_.PluginTargetPath();
    if (target.empty()) {
      out_ << "Plug-in target: none\n";
    } else {
      out_ << "Plug-in target: " << target
           << (installer_.FileExists(target) ? " (installed)" : " (not installed)") << "\n";
    }
    return kExitOk;
  }

  // The plug-in's place, or empty after reporting why there is none.
  std::string PluginTarget() {
    if (installer_.FindPhotoshop().empty()) {
      Fail("Photoshop is not installed: " + installer_.LastError());
      return std::string();
    }
    const std::string target = installer_.PluginTargetPath();
    if (target.empty()) Fail("the plug-in folder is unknown: " + installer_.LastError());
    return target;
  }

  int InstallPlugin() {
    const std::string target = PluginTarget();
    if (target.empty()) return kExitFailure;
    if (installer_.ModuleDirectory().empty()) return Fail(ModuleNotFound());
    const std::string source = NativeJoin(installer_.ModuleDirectory(), kPluginFileName);
    if (!installer_.FileExists(source)) {
      return Fail(std::string("this installation has no Photoshop plug-in: \"") + kPluginFileName +
                  "\" is not in " + installer_.ModuleDirectory());
    }
    if (!installer_.CopyFile(source, target)) {
      return Fail("cannot install the plug-in: " + installer_.LastError());
    }
    out_ << "Installed the plug-in as " << target << "\n";
    return kExitOk;
  }

  int RemovePlugin() {
    const std::string target = PluginTarget();
    if (target.empty()) return kExitFailure;
    if (!installer_.FileExists(target)) {
      out_ << "No plug-in at " << target << "; nothing to do\n";
      return kExitOk;
    }
    if (!installer_.DeleteFile(target)) {
      return Fail("cannot remove the plug-in: " + installer_.LastError());
    }
    out_ << "Removed the plug-in " << target << "\n";
    return kExitOk;
  }

  std::ostream& out_;
  std::ostream& err_;
  const Command* command_ = nullptr;
  std::unique_ptr<Registry> registry_;
  ProviderInstaller installer_;
};

}  // namespace

std::vector<std::string> ModuleDirectoryCandidates() {
  CRLsystemFactory& factory = GetSystemFactory();
  const char* override_dir = std::getenv("VELTRANE_MODULE_DIR");
  if (override_dir != nullptr && override_dir[0] != '\0') return {factory.ModuleDirectory()};
  // Linked into this program, the module directory is the program's folder.
  const std::string own = factory.ModuleDirectory();
  if (own.empty()) return {};
  const std::string installed = TW_MODULE_DIR_FROM_BIN;
  if (installed.empty()) return {own};
  if (IsFullNativePath(installed)) return {installed, own};
  return {Canonical(NativeJoin(own, installed)), own};
}

int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return Runner(out, err).Run(args);
}

}  // namespace tw::twsccsetup
