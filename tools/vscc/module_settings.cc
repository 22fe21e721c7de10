#include "tools/vscc/module_settings.h"

#include <cstdlib>
#include <filesystem>
#include <utility>

#include "platform/native_text.h"
#include "platform/system_factory.h"

namespace vscc {

namespace {

// The system factory with the provider's folder as the module directory:
// the property file server is installed beside the module, and vscc's own
// folder need not be that one. A module directory named in the
// environment holds for the whole process, as it does for the provider.
class ProviderFolderFactory : public tw::SystemFactoryWrapper {
 public:
  ProviderFolderFactory(tw::CRLsystemFactory* target, std::string folder)
      : SystemFactoryWrapper(target), folder_(std::move(folder)) {}
  std::string ModuleDirectory() override {
    const char* named = std::getenv("VELTRANE_MODULE_DIR");
    return named != nullptr && *named != '\0' ? target()->ModuleDirectory() : folder_;
  }

 private:
  const std::string folder_;
};

}  // namespace

ModuleSettings::ModuleSettings(const std::string& module_path) {
  std::error_code ec;
  const std::filesystem::path module = tw::FsPath(module_path);
  std::filesystem::path canonical = std::filesystem::weakly_canonical(module, ec);
  if (ec) canonical = std::filesystem::absolute(module, ec);
  folder_ = tw::FsText(canonical.parent_path());
}

ModuleSettings::~ModuleSettings() = default;

bool ModuleSettings::Set(const std::string& key, int value, std::string* error) {
  if (client_ == nullptr) {
    // Only the main thread runs vscc's own parts at this point: the
    // factory is swapped for the span of the connection alone.
    ProviderFolderFactory factory(&tw::GetSystemFactory(), folder_);
    tw::CRLsystemFactory* const before = tw::InstallSystemFactory(&factory);
    auto client = std::make_unique<tw::PropertyFileClient>("", tw::kStoreScratch);
    const bool connected = client->Connect();
    tw::InstallSystemFactory(before);
    if (!connected) {
      *error = "the property file server cannot be reached, nor started from " +
               factory.ModuleDirectory();
      return false;
    }
    client_ = std::move(client);
  }
  const std::string text = std::to_string(value);
  std::string kept;
  if (!client_->WriteString(nullptr, key, text, false) ||
      !client_->ReadString(nullptr, key, &kept, false) || kept != text) {
    *error = "the property file server did not keep the setting " + key;
    return false;
  }
  return true;
}

}  // namespace vscc
