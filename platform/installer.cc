#include "platform/installer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/errno_text.h"
#include "platform/file_attributes.h"
#include "platform/file_replace.h"
#include "platform/letter_case.h"
#include "platform/path.h"

namespace tw {

namespace {

// The buffers the registry values are read into, with their zero.
constexpr size_t kValueBuffer = 1024;
constexpr size_t kKeyNameBuffer = 256;
// A plug-in is a small file; a larger source is not one.
constexpr off_t kMaxPluginSize = 64 << 20;

}  // namespace

ProviderInstaller::ProviderInstaller(Registry* registry, std::string module_directory)
    : registry_(registry), module_directory_(std::move(module_directory)) {}

bool ProviderInstaller::Fail(const std::string& text) {
  last_error_ = text;
  return false;
}

std::string ProviderInstaller::ModulePath() const {
  return (module_directory_ == "/" ? std::string() : module_directory_) + "/" + kModuleFileName;
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

bool ProviderInstaller::FileExists(const std::string& path) {
  return LocalFileExists(path);
}

bool ProviderInstaller::CopyFile(const std::string& source, const std::string& target) {
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) return Fail(ErrnoText("cannot read", source, errno));
  struct stat st {};
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxPluginSize) {
    ::close(in);
    return Fail(source + " is not a file that can be copied");
  }
  std::string contents;
  contents.reserve(static_cast<size_t>(st.st_size));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int code = errno;
      ::close(in);
      return Fail(ErrnoText("cannot read", source, code));
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<size_t>(n));
    if (contents.size() > static_cast<size_t>(kMaxPluginSize)) {
      ::close(in);
      return Fail(source + " is not a file that can be copied");
    }
  }
  ::close(in);
  // A bare name lies in the working folder.
  const std::string parent = NativeParent(target);
  const std::string folder = parent.empty() ? "." : parent;
  struct stat folder_info {};
  if (::stat(folder.c_str(), &folder_info) != 0 || !S_ISDIR(folder_info.st_mode)) {
    return Fail("the folder " + folder + " does not exist");
  }
  std::string error;
  if (ReplaceFileWhole(target, contents, static_cast<int>(st.st_mode & 0777), &error) != 0) {
    return Fail(error);
  }
  return true;
}

bool ProviderInstaller::DeleteFile(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return Fail(ErrnoText("cannot remove", path, errno));
  if (S_ISDIR(st.st_mode)) return Fail("cannot remove " + path + ": it is a folder");
  if (S_ISREG(st.st_mode)) SetLocalFileReadOnly(path, false);
  if (::unlink(path.c_str()) != 0) return Fail(ErrnoText("cannot remove", path, errno));
  return true;
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
