// The machine registry on Windows: the real HKEY_LOCAL_MACHINE behind the
// Registry interface (platform/registry.h); the results are the registry
// functions' own error codes. Names and values are narrow in the ANSI code
// page (as the A functions take them) and reach the system through the wide
// functions. Values are written one after another: a
// failure part-way leaves the values before it written, as the registry
// has no transaction for a plain caller.
#include "platform/registry.h"

#include "platform/win32/win32_util.h"

namespace tw {
namespace {

class Win32Registry : public Registry {
 public:
  Win32Registry(HKEY root, std::string root_name) : root_(root), root_name_(std::move(root_name)) {}

  long QueryString(const std::string& key, const std::string& name, size_t buffer_size,
                   std::string* data) override {
    HKEY handle = nullptr;
    long rc = Done(RegOpenKeyExW(root_, win32::Wide(key).c_str(), 0, KEY_QUERY_VALUE, &handle),
                   "open", key);
    if (rc != kRegistryOk) return rc;
    const std::wstring value_name = win32::Wide(name);
    DWORD type = 0;
    DWORD bytes = 0;
    rc = RegQueryValueExW(handle, value_name.c_str(), nullptr, &type, nullptr, &bytes);
    std::wstring text;
    if (rc == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ) rc = ERROR_FILE_NOT_FOUND;
    if (rc == ERROR_SUCCESS) {
      text.assign(bytes / sizeof(wchar_t) + 1, L'\0');
      DWORD got = static_cast<DWORD>(text.size() * sizeof(wchar_t));
      rc = RegQueryValueExW(handle, value_name.c_str(), nullptr, &type,
                            reinterpret_cast<BYTE*>(&text[0]), &got);
      text.resize(got / sizeof(wchar_t));
    }
    RegCloseKey(handle);
    rc = Done(rc, "read", key + "\\" + name);
    if (rc != kRegistryOk) return rc;
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    const std::string value = win32::Narrow(text);
    if (value.size() + 1 > buffer_size) return kRegistryMoreData;
    *data = value;
    return kRegistryOk;
  }

  long OpenKey(const std::string& key) override {
    HKEY handle = nullptr;
    const long rc =
        Done(RegOpenKeyExW(root_, win32::Wide(key).c_str(), 0, KEY_READ, &handle), "open", key);
    if (rc == kRegistryOk) RegCloseKey(handle);
    return rc;
  }

  long EnumKey(const std::string& key, uint32_t index, size_t buffer_size,
               std::string* name) override {
    HKEY handle = nullptr;
    long rc =
        Done(RegOpenKeyExW(root_, win32::Wide(key).c_str(), 0, KEY_ENUMERATE_SUB_KEYS, &handle),
             "open", key);
    if (rc != kRegistryOk) return rc;
    wchar_t sub[256];
    DWORD length = 256;
    rc = RegEnumKeyExW(handle, index, sub, &length, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(handle);
    if (rc == ERROR_NO_MORE_ITEMS) return kRegistryNoMoreItems;
    rc = Done(rc, "enumerate", key);
    if (rc != kRegistryOk) return rc;
    const std::string text = win32::Narrow(sub, length);
    if (text.size() + 1 > buffer_size) return kRegistryMoreData;
    *name = text;
    return kRegistryOk;
  }

  long SetStrings(const std::vector<RegistryValue>& values) override {
    for (const RegistryValue& value : values) {
      HKEY handle = nullptr;
      // Full access, as the registration has always asked for its keys: an
      // installer that may not hold them so learns it at the first key.
      long rc = Done(RegCreateKeyExW(root_, win32::Wide(value.key).c_str(), 0, nullptr, 0,
                                     KEY_ALL_ACCESS, nullptr, &handle, nullptr),
                     "create", value.key);
      if (rc != kRegistryOk) return rc;
      const std::wstring data = win32::Wide(value.data);
      // REG_SZ with its terminating zero.
      rc = RegSetValueExW(handle, win32::Wide(value.name).c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
      RegCloseKey(handle);
      rc = Done(rc, "write", value.key + "\\" + value.name);
      if (rc != kRegistryOk) return rc;
    }
    return kRegistryOk;
  }

  long DeleteValue(const std::string& key, const std::string& name) override {
    HKEY handle = nullptr;
    long rc = Done(RegOpenKeyExW(root_, win32::Wide(key).c_str(), 0, KEY_SET_VALUE, &handle),
                   "open", key);
    if (rc != kRegistryOk) return rc;
    rc = RegDeleteValueW(handle, win32::Wide(name).c_str());
    RegCloseKey(handle);
    return Done(rc, "delete", key + "\\" + name);
  }

  long DeleteKey(const std::string& key) override {
    if (key.empty()) return Done(ERROR_INVALID_PARAMETER, "delete", key);
    HKEY handle = nullptr;
    long rc = Done(RegOpenKeyExW(root_, win32::Wide(key).c_str(), 0, KEY_QUERY_VALUE, &handle),
                   "open", key);
    if (rc != kRegistryOk) return rc;
    DWORD subkeys = 0;
    DWORD values = 0;
    rc = RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                          nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(handle);
    rc = Done(rc, "read", key);
    if (rc != kRegistryOk) return rc;
    if (subkeys != 0 || values != 0) {
      error_ = "The key " + root_name_ + "\\" + key + " is not empty";
      return kRegistryKeyNotEmpty;
    }
    // RegDeleteKeyW still refuses a key that has gained a subkey since the
    // look; a value written in between would go with the key (installers
    // are not run side by side).
    return Done(RegDeleteKeyW(root_, win32::Wide(key).c_str()), "delete", key);
  }

  const std::string& ErrorText() const override { return error_; }
  std::string Location() const override { return root_name_; }

 private:
  // Keeps the text of a failure (or clears it) and passes the code on.
  long Done(long rc, const char* what, const std::string& name) {
    if (rc == ERROR_SUCCESS) {
      error_.clear();
      return kRegistryOk;
    }
    error_ = std::string("Cannot ") + what + " " + root_name_ + "\\" + name + ": " +
             win32::SystemMessage(static_cast<DWORD>(rc));
    return rc;
  }

  const HKEY root_;
  const std::string root_name_;
  std::string error_;
};

// Registry files are the Linux form's; here every operation says so.
class NoRegistryFile : public Registry {
 public:
  explicit NoRegistryFile(std::string path)
      : path_(std::move(path)), error_("Registry files are not used on Windows: " + path_) {}
  long QueryString(const std::string&, const std::string&, size_t, std::string*) override {
    return kRegistryInvalidParameter;
  }
  long OpenKey(const std::string&) override { return kRegistryInvalidParameter; }
  long EnumKey(const std::string&, uint32_t, size_t, std::string*) override {
    return kRegistryInvalidParameter;
  }
  long SetStrings(const std::vector<RegistryValue>&) override { return kRegistryInvalidParameter; }
  long DeleteValue(const std::string&, const std::string&) override {
    return kRegistryInvalidParameter;
  }
  long DeleteKey(const std::string&) override { return kRegistryInvalidParameter; }
  const std::string& ErrorText() const override { return error_; }
  std::string Location() const override { return path_; }

 private:
  const std::string path_;
  const std::string error_;
};

}  // namespace

std::string RegistryFilePath() {
  return std::string();
}

std::unique_ptr<Registry> OpenMachineRegistry() {
  return std::make_unique<Win32Registry>(HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE");
}

std::unique_ptr<Registry> OpenRegistryFile(const std::string& path) {
  return std::make_unique<NoRegistryFile>(path);
}

}  // namespace tw
