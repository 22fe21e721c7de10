#include "settings/settings_source.h"

#include <mutex>
#include <utility>

namespace tw {

namespace {

class NoSettings : public SettingsSource {
 public:
  std::optional<int> ReadModuleSetting(const std::string& key) override { return std::nullopt; }
};

struct Installed {
  std::mutex mutex;
  std::shared_ptr<SettingsSource> source;  // guarded by mutex; null: the default
};

// Never destroyed: waits on other threads may still read settings while
// static destructors run.
Installed& TheInstalled() {
  static Installed* installed = new Installed;
  return *installed;
}

}  // namespace

std::shared_ptr<SettingsSource> GetSettingsSource() {
  static const std::shared_ptr<SettingsSource>* fallback =
      new std::shared_ptr<SettingsSource>(std::make_shared<NoSettings>());
  Installed& installed = TheInstalled();
  std::lock_guard<std::mutex> lock(installed.mutex);
  return installed.source ? installed.source : *fallback;
}

void SetSettingsSource(std::shared_ptr<SettingsSource> source) {
  Installed& installed = TheInstalled();
  std::shared_ptr<SettingsSource> old;
  {
    std::lock_guard<std::mutex> lock(installed.mutex);
    old = std::exchange(installed.source, std::move(source));
  }
  // `old` is released here, outside the lock.
}

}  // namespace tw
