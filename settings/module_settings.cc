// Module settings backed by the per-process property store.
#include "settings/module_settings.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "settings/property_file_client.h"

namespace tw {

std::optional<int> PropertyStoreSettings::ReadModuleSetting(const std::string& key) {
  PropertyFileClient client("", kStoreScratch);
  std::string text;
  if (!client.ReadString(nullptr, key, &text, false)) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < INT_MIN || value > INT_MAX) {
    return std::nullopt;
  }
  return static_cast<int>(value);
}

void InstallPropertyStoreSettings() {
  SetSettingsSource(std::make_shared<PropertyStoreSettings>());
}

}  // namespace tw
