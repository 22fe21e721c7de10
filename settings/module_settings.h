// The messaging layer's module settings ("CRLMSGsynchronousMessage/DoPump")
// read from the property store. The settings live in the per-process "[SD]"
// store: the DoPump value names a cancel flag of this process, which means
// nothing to any other process.
//
// Threads: ReadModuleSetting may be called from any thread; each call opens
// its own client.
#ifndef TW_SETTINGS_MODULE_SETTINGS_H_
#define TW_SETTINGS_MODULE_SETTINGS_H_

#include <optional>
#include <string>

#include "settings/settings_source.h"

namespace tw {

class PropertyStoreSettings : public SettingsSource {
 public:
  // The decimal integer stored at `key`; nullopt when the key is absent,
  // the server cannot be reached or the text is not an integer.
  std::optional<int> ReadModuleSetting(const std::string& key) override;
};

// Makes the messaging layer read its settings from the property store.
void InstallPropertyStoreSettings();

}  // namespace tw

#endif  // TW_SETTINGS_MODULE_SETTINGS_H_
