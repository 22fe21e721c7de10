// The machine registry: keys named by backslash-joined paths below the
// machine root, each holding string values by name (the empty name is the
// key's default value). Key and value names compare without regard to case;
// subkeys enumerate in the order of their upper-cased names.
//
// Here the registry is an INI file read and written with wxFileConfig: a key
// path is a group path ("SOFTWARE\SourceCodeControlProvider" becomes the group
// [SOFTWARE/SourceCodeControlProvider]) and each value one entry of its group
// ("@" for the default value). The file is never edited in place: a change
// writes the whole new file beside it and renames it over the old one, under
// an flock on "<file>.lock" held by writers, so that readers see the old or
// the new registry and never a part, and two writers cannot lose each
// other's change. A file that does not parse is refused, never rewritten.
//
// Results are the Win32 error codes the registry functions return: the
// Windows build puts the real HKEY_LOCAL_MACHINE behind the same interface
// (platform/win32/registry.cc), where registry files are not used.
//
// A Registry object keeps the text of its last failure and is used by one
// thread at a time; separate objects may be used on separate threads and in
// separate processes at once.
#ifndef TW_PLATFORM_REGISTRY_H_
#define TW_PLATFORM_REGISTRY_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tw {

constexpr long kRegistryOk = 0;                 // ERROR_SUCCESS
constexpr long kRegistryNotFound = 2;           // ERROR_FILE_NOT_FOUND: no such key or value
constexpr long kRegistryAccessDenied = 5;       // ERROR_ACCESS_DENIED: the file may not be written
constexpr long kRegistryInvalidParameter = 87;  // ERROR_INVALID_PARAMETER: a bad name or text
constexpr long kRegistryKeyNotEmpty = 145;      // ERROR_DIR_NOT_EMPTY: the key holds something
constexpr long kRegistryMoreData = 234;         // ERROR_MORE_DATA: the caller's buffer is too small
constexpr long kRegistryNoMoreItems = 259;      // ERROR_NO_MORE_ITEMS: enumeration is past the end
constexpr long kRegistryCorrupt = 1009;         // ERROR_BADDB: the file does not parse
constexpr long kRegistryIoFailed = 1016;  // ERROR_REGISTRY_IO_FAILED: reading or writing failed
constexpr long kRegistryBusy = 1460;      // ERROR_TIMEOUT: another writer held the file too long

// One string value to write: `data` into value `name` of key `key`.
struct RegistryValue {
  std::string key;
  std::string name;
  std::string data;
};

class Registry {
 public:
  virtual ~Registry() = default;

  // Reads the string value `name` of `key` into *data when it fits, with its
  // terminating zero, into `buffer_size` bytes; kRegistryMoreData when not,
  // kRegistryNotFound when the key or the value is missing. *data is left
  // untouched on failure.
  virtual long QueryString(const std::string& key, const std::string& name, size_t buffer_size,
                           std::string* data) = 0;

  // Whether `key` exists: kRegistryOk or kRegistryNotFound (or a failure to
  // read the registry).
  virtual long OpenKey(const std::string& key) = 0;

  // The name of subkey number `index` of `key` (in enumeration order) when
  // it fits, with a terminating zero, into `buffer_size` bytes;
  // kRegistryNoMoreItems past the last one.
  virtual long EnumKey(const std::string& key, uint32_t index, size_t buffer_size,
                       std::string* name) = 0;

  // Creates the keys as needed and writes the values in order. The first
  // failing value ends the writing with its result. In the INI file the
  // values are stored together, by one replacement of the file: all of them
  // or, on any failure, none.
  virtual long SetStrings(const std::vector<RegistryValue>& values) = 0;

  // Deletes value `name` of `key`; the key itself stays, even when empty.
  virtual long DeleteValue(const std::string& key, const std::string& name) = 0;

  // Deletes `key` when it holds neither values nor subkeys (the key's
  // default value counts as a value); kRegistryKeyNotEmpty, with the key
  // left as it is, when it holds any. The root cannot be deleted.
  virtual long DeleteKey(const std::string& key) = 0;

  // What the last failing operation met, for a person to read: the file,
  // the line or the system's message. Empty after a success.
  virtual const std::string& ErrorText() const = 0;

  // Where the registry lives, for messages (the INI file's path).
  virtual std::string Location() const = 0;
};

// The path of the registry file: $VELTRANE_REGISTRY_FILE, else
// "registry.ini" in the application data folder ($XDG_CONFIG_HOME/Halvorn).
// Empty when neither can be found.
std::string RegistryFilePath();

// The machine registry of this process, in RegistryFilePath().
std::unique_ptr<Registry> OpenMachineRegistry();

// A registry kept in the INI file `path` (absolute). The file and its folder
// are created on the first write; until then the registry is empty.
std::unique_ptr<Registry> OpenRegistryFile(const std::string& path);

}  // namespace tw

#endif  // TW_PLATFORM_REGISTRY_H_
