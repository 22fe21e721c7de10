// The installer: registers the provider module as the machine's
// source-code-control provider under the keys every host looks at, removes
// that registration, and finds where the plug-in that lets Photoshop reach
// the provider belongs, and places it there.
//
// Registry layout it writes (strings, below the machine root):
//   Software\Halvorn\Veltrane                 SCCServerName   Veltrane
//   Software\Halvorn\Veltrane                 SCCServerPath   <module dir>/<module file>
//   SOFTWARE\SourceCodeControlProvider\InstalledSCCProviders
//                                             Veltrane        Software\Halvorn\Veltrane
//   SOFTWARE\SourceCodeControlProvider        ProviderRegKey  Software\Halvorn\Veltrane
// A host follows "ProviderRegKey" to the product key and loads the module
// named by its "SCCServerPath": libTWSccApi.so here, TWSccApi.dll on Windows,
// where these keys are the machine's HKEY_LOCAL_MACHINE.
//
// An installer is used by one thread at a time. Nothing in the provider's
// exports uses it; the setup program does. The file operations are the
// system's own (platform/installer_files.cc, its Windows form in win32/).
#ifndef TW_PLATFORM_INSTALLER_H_
#define TW_PLATFORM_INSTALLER_H_

#include <string>

#include "platform/registry.h"

namespace tw {

constexpr char kProductRegistryKey[] = "Software\\Halvorn\\Veltrane";
constexpr char kProviderRootKey[] = "SOFTWARE\\SourceCodeControlProvider";
constexpr char kInstalledProvidersKey[] =
    "SOFTWARE\\SourceCodeControlProvider\\InstalledSCCProviders";
constexpr char kProviderRegKeyValue[] = "ProviderRegKey";
constexpr char kServerNameValue[] = "SCCServerName";
constexpr char kServerPathValue[] = "SCCServerPath";
constexpr char kProviderName[] = "Veltrane";
constexpr char kMakerRegistryKey[] = "Software\\Halvorn";
constexpr char kPhotoshopKey[] = "SOFTWARE\\Adobe\\Photoshop";
constexpr char kPluginPathKey[] = "PluginPath";
#ifdef _WIN32
constexpr char kModuleFileName[] = "TWSccApi.dll";
constexpr char kPluginFolder[] = "Adobe Photoshop Only\\Automate";
#else
constexpr char kModuleFileName[] = "libTWSccApi.so";
constexpr char kPluginFolder[] = "Adobe Photoshop Only/Automate";
#endif
constexpr char kPluginFileName[] = "Halvorn Veltrane for Photoshop.8li";

class ProviderInstaller {
 public:
  // Works on `registry` (not owned; it outlives the installer) for the
  // module in `module_directory` (without a trailing "/").
  ProviderInstaller(Registry* registry, std::string module_directory);
  virtual ~ProviderInstaller() = default;

  ProviderInstaller(const ProviderInstaller&) = delete;
  ProviderInstaller& operator=(const ProviderInstaller&) = delete;

  // Whether "ProviderRegKey" names this product's key, in any letter case.
  // A missing key or value, or one longer than 1023 bytes, gives false.
  virtual bool IsRegistered();
  // Writes the four values of the layout above, in its order. False at the
  // first failure; the INI registry then keeps none of them.
  virtual bool Register();
  // Deletes "ProviderRegKey" (whatever provider it names); the product key
  // and the "InstalledSCCProviders" entry stay. False when the value is
  // missing or cannot be deleted.
  virtual bool Unregister();
  // Removes the rest of what Register wrote, for an uninstallation: this
  // product's "InstalledSCCProviders" entry when it names the product key
  // (in any letter case), the product key's "SCCServerName" and
  // "SCCServerPath", then the product key and the maker's key above it when
  // nothing else is left in them. "ProviderRegKey" is Unregister's; other
  // values and keys, another provider's above all, stay. *removed (when
  // given) tells whether anything was there to remove. False at the first
  // failure; a missing value or key is none.
  bool RemoveRegistration(bool* removed = nullptr);
  // Finds the installed Photoshop: the first subkey of
  // "SOFTWARE\Adobe\Photoshop" in enumeration order (one per version, names
  // of at most 255 bytes), which the installer keeps. Returns "Photoshop
  // <version>", or empty when Photoshop is not installed.
  virtual std::string FindPhotoshop();
  // Whether `path` is an existing file (not a folder).
  virtual bool FileExists(const std::string& path);
  // Copies `source` to `target`, replacing what is there; the new file is
  // complete or absent, never partly written. False when the source cannot
  // be read or the target's folder does not exist or cannot be written.
  virtual bool CopyFile(const std::string& source, const std::string& target);
  // Makes `path` writable and removes it.
  virtual bool DeleteFile(const std::string& path);
  // The plug-in's place for the Photoshop found by FindPhotoshop: the
  // default value of its "PluginPath" subkey (at most 1023 bytes), then
  // "Adobe Photoshop Only/Automate" and the plug-in file name, joined by
  // the native separator. Empty
  // before a successful FindPhotoshop or when the value is missing.
  virtual std::string PluginTargetPath();

  // The module directory given; empty when none was found.
  const std::string& ModuleDirectory() const { return module_directory_; }
  // The path Register records as "SCCServerPath".
  std::string ModulePath() const;
  // What the last failing operation met, for a person to read.
  const std::string& LastError() const { return last_error_; }

 private:
  bool Fail(const std::string& text);

  Registry* const registry_;
  const std::string module_directory_;
  // The key of the Photoshop version FindPhotoshop found; empty before.
  std::string photoshop_key_;
  std::string last_error_;
};

}  // namespace tw

#endif  // TW_PLATFORM_INSTALLER_H_
