// The provider module as vscc sees it: found the way hosts find it, loaded
// with dlopen, and used only through its exported functions, each resolved
// by name. vscc links nothing of the module; a function the module does not
// export is reported as not supported, never called.
//
// Finding the module, in order:
//   1. --provider PATH;
//   2. the registry: "SOFTWARE\SourceCodeControlProvider" value
//      "ProviderRegKey" names the provider's key, whose "SCCServerPath" is
//      the module;
//   3. libTWSccApi.so beside the vscc executable.
//
// Threads: one Provider per process, used by the main thread only (the
// module's exports run on the caller's thread).
#ifndef TW_TOOLS_VSCC_PROVIDER_H_
#define TW_TOOLS_VSCC_PROVIDER_H_

#include <string>

#include "provider/msscci.h"

namespace vscc {

// The exported functions, as the Source Code Control Interface declares
// them, and the module's own extension exports.
using SccInitializeFn = SCCRTN (*)(LPVOID*, HWND, LPCSTR, LPSTR, LPLONG, LPSTR, LPLONG, LPLONG);
using SccUninitializeFn = SCCRTN (*)(LPVOID);
using SccGetVersionFn = LONG (*)();
using SccGetCommandOptionsFn = SCCRTN (*)(LPVOID, HWND, enum SCCCOMMAND, LPCMDOPTS*);
using SccOpenProjectFn = SCCRTN (*)(LPVOID, HWND, LPSTR, LPSTR, LPCSTR, LPSTR, LPCSTR,
                                    LPTEXTOUTPROC, LONG);
using SccCloseProjectFn = SCCRTN (*)(LPVOID);
using SccGetProjPathFn = SCCRTN (*)(LPVOID, HWND, LPSTR, LPSTR, LPSTR, LPSTR, BOOL, LPBOOL);
using SccGetFn = SCCRTN (*)(LPVOID, HWND, LONG, LPCSTR*, LONG, LPCMDOPTS);
using SccCheckoutFn = SCCRTN (*)(LPVOID, HWND, LONG, LPCSTR*, LPCSTR, LONG, LPCMDOPTS);
using SccUncheckoutFn = SCCRTN (*)(LPVOID, HWND, LONG, LPCSTR*, LONG, LPCMDOPTS);
using SccCheckinFn = SCCRTN (*)(LPVOID, HWND, LONG, LPCSTR*, LPCSTR, LONG, LPCMDOPTS);
using SccAddFn = SCCRTN (*)(LPVOID, HWND, LONG, LPCSTR*, LPCSTR, LONG*, LPCMDOPTS);
using SccQueryInfoFn = SCCRTN (*)(LPVOID, LONG, LPCSTR*, LPLONG);
using SccPopulateListFn = SCCRTN (*)(LPVOID, enum SCCCOMMAND, LONG, LPCSTR*, POPLISTFUNC, LPVOID,
                                     LPLONG, LONG);
using SccHistoryFn = SCCRTN (*)(LPVOID, HWND, LONG, LPCSTR*, LONG, LPCMDOPTS);
using SccPropertiesFn = SCCRTN (*)(LPVOID, HWND, LPCSTR);
using SccDiffFn = SCCRTN (*)(LPVOID, HWND, LPCSTR, LONG, LPCMDOPTS);
using SccRunSccFn = SCCRTN (*)(LPVOID, HWND, LONG, LPCSTR*);
using VelSccShowEnvironmentSettingsFn = int (*)(LPCSTR);
using VelSccGetEnvironmentSettingsFn = int (*)(LPCSTR, int*, int*, int*, int*);
using VelSccSetPropertyFn = int (*)(LPCSTR, LPCSTR, LPCSTR);
using VelSccGetPropertyFn = int (*)(LPCSTR, LPCSTR, LPSTR);
using VelSccGetDirsFn = int (*)(LPVOID, HWND, LPCSTR, BOOL);
using VelSccPopulateTreeFn = SCCRTN (*)(LPVOID, LPCSTR, POPLISTFUNC, LPVOID);
using VelSccQueryLocalStatusFn = SCCRTN (*)(LPVOID, LONG, LPCSTR*, LPLONG);
using VelSccQueryStatusFn = SCCRTN (*)(LPVOID, LONG, LPCSTR*, LPLONG, LPLONG);
using VelSccGetVersionFn = SCCRTN (*)(LPVOID, HWND, LPCSTR, LONG, LPCSTR);

// The name of a result code with its value, "SCC_E_FILENOTEXIST (-28)";
// "result N" for a code the interface does not name.
std::string ResultName(long code);

// Where the module is, by the rules above. False with `error` set when the
// registry names a provider that has no module path. `how` tells which rule
// found it.
bool LocateProvider(const std::string& given, std::string* path, std::string* how,
                    std::string* error);

// The registry's provider module, read from the registry file; empty when
// the registry names none. `error` is set when the file cannot be read.
std::string RegistryProviderPath(std::string* error);

class Provider {
 public:
  Provider() = default;
  ~Provider();
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;

  // Loads the module and checks its interface version (major version 1).
  // False with `error` set.
  bool Load(const std::string& path, std::string* error);

  // Resolves an export by name; null when the module does not export it.
  template <typename Fn>
  Fn Get(const char* name) const {
    return reinterpret_cast<Fn>(Symbol(name));
  }

  // SccInitialize with the caller name "vscc"; false with `error` set.
  bool Initialize(std::string* error);
  // SccUninitialize of the context, if one was made.
  void Uninitialize();

  LPVOID context() const { return context_; }
  LONG capabilities() const { return capabilities_; }
  const std::string& path() const { return path_; }
  const std::string& provider_name() const { return provider_name_; }

 private:
  void* Symbol(const char* name) const;

  void* handle_ = nullptr;
  std::string path_;
  LPVOID context_ = nullptr;
  LONG capabilities_ = 0;
  std::string provider_name_;
};

}  // namespace vscc

#endif  // TW_TOOLS_VSCC_PROVIDER_H_
