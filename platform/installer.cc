#include "platform/installer.h"

#include <utility>
#include <vector>

#include "platform/letter_case.h"
#include "platform/path.h"

namespace tw {

namespace {

// The buffers the registry values are read into, with their zero.
constexpr size_t kValueBuffer = 1024;
constexpr size_t kKeyNameBuffer = 256;

}  // namespace

ProviderInstaller::ProviderInstaller(Registry* registry, std::string module_directory)
    : registry_(registry), module_directory_(std::move(module_directory)) {}

bool ProviderInstaller::Fail(const std::string& text) {
  last_error_ = text;
  return false;
}

std::string ProviderInstaller::ModulePath() const {
  return NativeJoin(module_directory_, kModuleFileName);
}

bool ProviderInstaller::IsRegistered() {
  std::string key;
  if (registry_->QueryString(kProviderRootKey, kProviderRegKeyValue, kValueBuffer, &key) !=
      kRegistryOk) {
    return Fail(registry_->ErrorText());
  }
  if (!EqualIgnoringCase(key, kProductRegistryKey)) {
    return Fail("\"ProviderRegKey\" names another provider: " + key);
  }
  return true;
}

bool ProviderInstaller::Register() {
  if (module_directory_.empty()) return Fail("the module directory is unknown");
  const std::vector<RegistryValue> values = {
      {kProductRegistryKey, kServerNameValue, kProviderName},
      {kProductRegistryKey, kServerPathValue, ModulePath()},
      {kInstalledProvidersKey, kProviderName, kProductRegistryKey},
      {kProviderRootKey, kProviderRegKeyValue, kProductRegistryKey},
  };
  if (registry_->SetStrings(values) != kRegistryOk) return Fail(registry_->ErrorText());
  return true;
}

bool ProviderInstaller::Unregister() {
  if (registry_->DeleteValue(kProviderRootKey, kProviderRegKeyValue) != kRegistryOk) {
    return Fail(registry_->ErrorText());
  }
  return true;
}

bool ProviderInstaller::RemoveRegistration(bool* removed) {
  if (removed != nullptr) *removed = false;
  // Deletes one value; a missing one is no failure.
  const auto remove_value = [&](const char* key, const char* name) {
    const long result = registry_->DeleteValue(key, name);
    if (result == kRegistryNotFound) return true;
    if (result != kRegistryOk) return Fail(registry_->ErrorText());
    if (removed != nullptr) *removed = true;
    return true;
  };
  std::string entry;
  const long listed =
      registry_->QueryString(kInstalledProvidersKey, kProviderName, kValueBuffer, &entry);
  if (listed == kRegistryOk) {
    // A "Veltrane" entry naming another key is not this product's.
    if (EqualIgnoringCase(entry, kProductRegistryKey) &&
        !remove_value(kInstalledProvidersKey, kProviderName)) {
      return false;
    }
  } else if (listed != kRegistryNotFound && listed != kRegistryMoreData) {
    return Fail(registry_->ErrorText());
  }
  if (!remove_value(kProductRegistryKey, kServerNameValue) ||
      !remove_value(kProductRegistryKey, kServerPathValue)) {
    return false;
  }
  // The product's and the maker's keys go when nothing else lives there.
  for (const char* key : {kProductRegistryKey, kMakerRegistryKey}) {
    const long result = registry_->DeleteKey(key);
    if (result == kRegistryKeyNotEmpty || result == kRegistryNotFound) break;
    if (result != kRegistryOk) return Fail(registry_->ErrorText());
    if (removed != nullptr) *removed = true;
  }
  return true;
}

std::string ProviderInstaller::FindPhotoshop() {
  std::string version;
  if (registry_->EnumKey(kPhotoshopKey, 0, kKeyNameBuffer, &version) != kRegistryOk) {
    Fail(registry_->ErrorText());
    return std::string();
  }
  const std::string key = std::string(kPhotoshopKey) + "\\" + version;
  if (registry_->OpenKey(key) != kRegistryOk) {
    Fail(registry_->ErrorText());
    return std::string();
  }
  photoshop_key_ = key;
  return "Photoshop " + version;
}

std::string ProviderInstaller::PluginTargetPath() {
  if (photoshop_key_.empty()) {
    Fail("no Photoshop version found yet");
    return std::string();
  }
  std::string folder;
  if (registry_->QueryString(photoshop_key_ + "\\" + kPluginPathKey, std::string(), kValueBuffer,
                             &folder) != kRegistryOk) {
    Fail(registry_->ErrorText());
    return std::string();
  }
  if (folder.empty()) {
    Fail("the plug-in folder of " + photoshop_key_ + " is empty");
    return std::string();
  }
  return NativeJoin(NativeJoin(DropTrailingSeparator(folder, kNativeSeparator), kPluginFolder),
                    kPluginFileName);
}

}  // namespace tw
