// The provider's module settings for this process. The provider reads them
// from the property file server's per-process store, which is keyed by the
// process id: vscc runs the provider in its own process, so what vscc
// writes there before a call is what the provider reads during it.
//
// Threads: one object, used by the main thread.
#ifndef TW_TOOLS_VSCC_MODULE_SETTINGS_H_
#define TW_TOOLS_VSCC_MODULE_SETTINGS_H_

#include <memory>
#include <string>

#include "settings/property_file_client.h"

namespace vscc {

class ModuleSettings {
 public:
  // `module_path` is the loaded provider module: a property file server that
  // is not running is started from its folder, as the provider starts it.
  explicit ModuleSettings(const std::string& module_path);
  ~ModuleSettings();
  ModuleSettings(const ModuleSettings&) = delete;
  ModuleSettings& operator=(const ModuleSettings&) = delete;

  // Writes `value` at `key` and reads it back. False with `error` set when
  // the property file server cannot be reached or started, or does not keep
  // the value. The client stays registered while this object lives, so that
  // the server (and with it the store) stays up for the provider.
  bool Set(const std::string& key, int value, std::string* error);

 private:
  std::string folder_;
  std::unique_ptr<tw::PropertyFileClient> client_;  // connected by the first Set
};

}  // namespace vscc

#endif  // TW_TOOLS_VSCC_MODULE_SETTINGS_H_
