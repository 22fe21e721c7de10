#include "tools/vscc/provider.h"

#include <dlfcn.h>
#include <unistd.h>
#include <wx/fileconf.h>
#include <wx/log.h>
#include <wx/mstream.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vscc {

namespace {

constexpr char kModuleName[] = "libTWSccApi.so";
constexpr char kProviderListKey[] = "SOFTWARE\\SourceCodeControlProvider";
constexpr char kProviderKeyValue[] = "ProviderRegKey";
constexpr char kServerPathValue[] = "SCCServerPath";
// A registry file is small; anything larger is not one.
constexpr std::uintmax_t kMaxRegistryBytes = 16u << 20;

struct CodeName {
  long code;
  const char* name;
};

constexpr CodeName kCodeNames[] = {
    {SCC_OK, "SCC_OK"},
    {SCC_I_ADV_SUPPORT, "SCC_I_ADV_SUPPORT"},
    {SCC_I_OPERATIONCANCELED, "SCC_I_OPERATIONCANCELED"},
    {SCC_I_PROJECTCREATED, "SCC_I_PROJECTCREATED"},
    {SCC_I_FILENOTAFFECTED, "SCC_I_FILENOTAFFECTED"},
    {SCC_I_RELOADFILE, "SCC_I_RELOADFILE"},
    {SCC_I_FILEDIFFERS, "SCC_I_FILEDIFFERS"},
    {SCC_I_SHARESUBPROJOK, "SCC_I_SHARESUBPROJOK"},
    {SCC_E_INITIALIZEFAILED, "SCC_E_INITIALIZEFAILED"},
    {SCC_E_UNKNOWNPROJECT, "SCC_E_UNKNOWNPROJECT"},
    {SCC_E_COULDNOTCREATEPROJECT, "SCC_E_COULDNOTCREATEPROJECT"},
    {SCC_E_NOTCHECKEDOUT, "SCC_E_NOTCHECKEDOUT"},
    {SCC_E_ALREADYCHECKEDOUT, "SCC_E_ALREADYCHECKEDOUT"},
    {SCC_E_FILEISLOCKED, "SCC_E_FILEISLOCKED"},
    {SCC_E_FILEOUTEXCLUSIVE, "SCC_E_FILEOUTEXCLUSIVE"},
    {SCC_E_ACCESSFAILURE, "SCC_E_ACCESSFAILURE"},
    {SCC_E_CHECKINCONFLICT, "SCC_E_CHECKINCONFLICT"},
    {SCC_E_FILEALREADYEXISTS, "SCC_E_FILEALREADYEXISTS"},
    {SCC_E_FILENOTCONTROLLED, "SCC_E_FILENOTCONTROLLED"},
    {SCC_E_FILEISCHECKEDOUT, "SCC_E_FILEISCHECKEDOUT"},
    {SCC_E_NOSPECIFIEDVERSION, "SCC_E_NOSPECIFIEDVERSION"},
    {SCC_E_OPNOTSUPPORTED, "SCC_E_OPNOTSUPPORTED"},
    {SCC_E_NONSPECIFICERROR, "SCC_E_NONSPECIFICERROR"},
    {SCC_E_OPNOTPERFORMED, "SCC_E_OPNOTPERFORMED"},
    {SCC_E_TYPENOTSUPPORTED, "SCC_E_TYPENOTSUPPORTED"},
    {SCC_E_VERIFYMERGE, "SCC_E_VERIFYMERGE"},
    {SCC_E_FIXMERGE, "SCC_E_FIXMERGE"},
    {SCC_E_SHELLFAILURE, "SCC_E_SHELLFAILURE"},
    {SCC_E_INVALIDUSER, "SCC_E_INVALIDUSER"},
    {SCC_E_PROJECTALREADYOPEN, "SCC_E_PROJECTALREADYOPEN"},
    {SCC_E_PROJSYNTAXERR, "SCC_E_PROJSYNTAXERR"},
    {SCC_E_INVALIDFILEPATH, "SCC_E_INVALIDFILEPATH"},
    {SCC_E_PROJNOTOPEN, "SCC_E_PROJNOTOPEN"},
    {SCC_E_NOTAUTHORIZED, "SCC_E_NOTAUTHORIZED"},
    {SCC_E_FILESYNTAXERR, "SCC_E_FILESYNTAXERR"},
    {SCC_E_FILENOTEXIST, "SCC_E_FILENOTEXIST"},
    {SCC_E_CONNECTIONFAILURE, "SCC_E_CONNECTIONFAILURE"},
    {SCC_E_UNKNOWNERROR, "SCC_E_UNKNOWNERROR"},
    {SCC_E_BACKGROUNDGETINPROGRESS, "SCC_E_BACKGROUNDGETINPROGRESS"},
};

std::string Getenv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The registry file: $VELTRANE_REGISTRY_FILE, else registry.ini in the
// application data folder of the maker.
std::string RegistryFile() {
  std::string path = Getenv("VELTRANE_REGISTRY_FILE");
  if (!path.empty()) return path;
  std::string config = Getenv("XDG_CONFIG_HOME");
  if (config.empty()) {
    const std::string home = Getenv("HOME");
    if (home.empty()) return "";
    config = home + "/.config";
  }
  return config + "/Halvorn/registry.ini";
}

// A registry key path as the file's group path: "A\B" -> "/A/B".
wxString GroupOf(const std::string& key) {
  std::string group;
  for (char c : key) group += c == '\\' ? '/' : c;
  return wxString::FromUTF8("/" + group);
}

std::string Narrow(const wxString& text) {
  const wxScopedCharBuffer buffer = text.utf8_str();
  return std::string(buffer.data(), buffer.length());
}

std::string ExecutableFolder() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : self.parent_path().string();
}

}  // namespace

std::string ResultName(long code) {
  for (const CodeName& entry : kCodeNames) {
    if (entry.code == code) return std::string(entry.name) + " (" + std::to_string(code) + ")";
  }
  return "result " + std::to_string(code);
}

std::string RegistryProviderPath(std::string* error) {
  error->clear();
  const std::string file = RegistryFile();
  std::error_code ec;
  if (file.empty() || !std::filesystem::is_regular_file(file, ec)) return "";
  if (std::filesystem::file_size(file, ec) > kMaxRegistryBytes) {
    *error = "the registry file " + file + " is too large";
    return "";
  }
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) {
    *error = "cannot read the registry file " + file;
    return "";
  }
  const std::string contents = text.str();
  wxLogNull quiet;  // wxFileConfig reports what it skips as log messages
  wxMemoryInputStream stream(contents.data(), contents.size());
  wxFileConfig config(stream, wxConvUTF8);
  wxString provider_key, module;
  if (!config.Read(GroupOf(kProviderListKey) + "/" + kProviderKeyValue, &provider_key) ||
      provider_key.empty()) {
    return "";
  }
  if (!config.Read(GroupOf(Narrow(provider_key)) + "/" + kServerPathValue, &module) ||
      module.empty()) {
    *error = "the registry names the provider key " + Narrow(provider_key) + ", which has no " +
             kServerPathValue + " (" + file + ")";
    return "";
  }
  return Narrow(module);
}

bool LocateProvider(const std::string& given, std::string* path, std::string* how,
                    std::string* error) {
  if (!given.empty()) {
    *path = given;
    *how = "--provider";
    return true;
  }
  const std::string from_registry = RegistryProviderPath(error);
  if (!error->empty()) return false;
  if (!from_registry.empty()) {
    *path = from_registry;
    *how = "the registry";
    return true;
  }
  *path = ExecutableFolder() + "/" + kModuleName;
  *how = "beside vscc";
  return true;
}

Provider::~Provider() {
  Uninitialize();
}

bool Provider::Load(const std::string& path, std::string* error) {
  path_ = path;
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = ::dlerror();
    *error = "cannot load the provider " + path + ": " + (why ? why : "unknown error");
    return false;
  }
  const auto version = Get<SccGetVersionFn>("SccGetVersion");
  if (version == nullptr || Get<SccInitializeFn>("SccInitialize") == nullptr ||
      Get<SccUninitializeFn>("SccUninitialize") == nullptr) {
    *error = path +
             " is not a source-control provider (SccGetVersion, SccInitialize or "
             "SccUninitialize is missing)";
    return false;
  }
  const LONG v = version();
  const int major = static_cast<int>((static_cast<unsigned long>(v) >> 16) & 0xFFFF);
  const int minor = static_cast<int>(v & 0xFFFF);
  if (major != 1) {
    *error = path + " speaks interface version " + std::to_string(major) + "." +
             std::to_string(minor) + "; vscc speaks 1.x";
    return false;
  }
  return true;
}

void* Provider::Symbol(const char* name) const {
  return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr;
}

bool Provider::Initialize(std::string* error) {
  char scc_name[SCC_NAME_LEN + 1] = {};
  char aux_label[SCC_AUXLABEL_LEN + 1] = {};
  LONG checkout_comment_length = 0, comment_length = 0;
  const SCCRTN rc =
      Get<SccInitializeFn>("SccInitialize")(&context_, nullptr, "vscc", scc_name, &capabilities_,
                                            aux_label, &checkout_comment_length, &comment_length);
  if (rc != SCC_OK) {
    context_ = nullptr;
    *error = "the provider did not start: SccInitialize gave " + ResultName(rc);
    return false;
  }
  scc_name[SCC_NAME_LEN] = '\0';
  provider_name_ = scc_name;
  return true;
}

void Provider::Uninitialize() {
  if (context_ == nullptr) return;
  Get<SccUninitializeFn>("SccUninitialize")(context_);
  context_ = nullptr;
}

}  // namespace vscc
