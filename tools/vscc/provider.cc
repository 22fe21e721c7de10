#include "tools/vscc/provider.h"

#include <memory>

#include "platform/registry.h"
#include "tools/vscc/system.h"

namespace vscc {

namespace {

constexpr char kProviderListKey[] = "SOFTWARE\\SourceCodeControlProvider";
constexpr char kProviderKeyValue[] = "ProviderRegKey";
constexpr char kServerPathValue[] = "SCCServerPath";
// The longest module path the registry value may hold, as hosts read it.
constexpr size_t kMaxPathBytes = 512;

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

}  // namespace

std::string ResultName(long code) {
  for (const CodeName& entry : kCodeNames) {
    if (entry.code == code) return std::string(entry.name) + " (" + std::to_string(code) + ")";
  }
  return "result " + std::to_string(code);
}

std::string RegistryProviderPath(std::string* error) {
  error->clear();
  if (tw::RegistryFilePath().empty()) return "";  // no home, no registry
  std::unique_ptr<tw::Registry> registry = tw::OpenMachineRegistry();
  if (!registry) return "";
  std::string provider_key, module;
  long rc =
      registry->QueryString(kProviderListKey, kProviderKeyValue, kMaxPathBytes, &provider_key);
  if (rc == tw::kRegistryNotFound || (rc == tw::kRegistryOk && provider_key.empty())) return "";
  if (rc != tw::kRegistryOk) {
    *error = "cannot read the registry (" + registry->Location() + "): " + registry->ErrorText();
    return "";
  }
  rc = registry->QueryString(provider_key, kServerPathValue, kMaxPathBytes, &module);
  if (rc != tw::kRegistryOk || module.empty()) {
    *error = "the registry names the provider key " + provider_key + ", which has no " +
             kServerPathValue + " (" + registry->Location() + ")";
    return "";
  }
  return module;
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
  *path = ModuleBesideExecutable();
  *how = "beside vscc";
  return true;
}

Provider::~Provider() {
  Uninitialize();
}

bool Provider::Load(const std::string& path, std::string* error) {
  path_ = path;
  handle_ = OpenModule(path, error);
  if (handle_ == nullptr) return false;
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
  return ModuleSymbol(handle_, name);
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
