// The module settings the messaging and transport layers read, behind a small interface that the
// module's property store backs once it is attached. Until then the default
// source reports every key as absent.
//
// Threads: GetSettingsSource returns a snapshot taken under a lock, so a
// concurrent SetSettingsSource never frees a source a caller still uses.
// Sources must be callable from any thread.
#ifndef TW_SETTINGS_SETTINGS_SOURCE_H_
#define TW_SETTINGS_SETTINGS_SOURCE_H_

#include <memory>
#include <optional>
#include <string>

namespace tw {

// Setting read by every synchronous wait: present means pump while waiting;
// its value is the handle of a cancel flag (0: none).
constexpr char kDoPumpSetting[] = "CRLMSGsynchronousMessage/DoPump";
// Setting read by each new server connection: its stall limit in seconds
// (transport/server_connection.h), 1 to 86400. A host sets it for its own
// process (the store is per process) before the connection is made.
constexpr char kStallLimitSetting[] = "CULMSGSCPserverInterface/StallLimit";

class SettingsSource {
 public:
  virtual ~SettingsSource() = default;
  // The integer value of `key` in the module's property store; nullopt when
  // the key does not exist (or holds no integer).
  virtual std::optional<int> ReadModuleSetting(const std::string& key) = 0;
};

// The source in use: the installed one, else one that reports every key as
// absent. Never null.
std::shared_ptr<SettingsSource> GetSettingsSource();
// Installs `source`; null restores the default.
void SetSettingsSource(std::shared_ptr<SettingsSource> source);

}  // namespace tw

#endif  // TW_SETTINGS_SETTINGS_SOURCE_H_
