// Module settings backed by the per-process property store.
#include "settings/module_settings.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "platform/decimal.h"
#include "settings/property_file_client.h"

namespace tw {

std::optional<int> PropertyStoreSettings::ReadModuleSetting(const std::string& key) {
  PropertyFileClient client("", kStoreScratch);
  std::string text;
  if (!client.ReadString(nullptr, key, &text, false)) return std::nullopt;
  int64_t value = 0;
  if (!ParseDecimal(text, INT_MIN, INT_MAX, &value)) return std::nullopt;
  return static_cast<int>(value);
}

void InstallPropertyStoreSettings() {
  SetSettingsSource(std::make_shared<PropertyStoreSettings>());
}

}  // namespace tw
