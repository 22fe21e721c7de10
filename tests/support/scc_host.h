// A host of the provider module as a development environment is one: it
// loads libTWSccApi.so from the build folder with dlopen and calls nothing
// but its exported functions. The host's text-out callback collects the
// notices the module sends (process-wide, since the callback carries no
// data of its own).
//
// Threads: the notices are guarded by a lock; the rest is used by the
// test's thread.
#ifndef TW_TESTS_SUPPORT_SCC_HOST_H_
#define TW_TESTS_SUPPORT_SCC_HOST_H_

#include <functional>
#include <string>
#include <vector>

#include "provider/msscci.h"

namespace tw::test {

class SccHost {
 public:
  using InitializeFn = SCCRTN (*)(LPVOID*, HWND, LPCSTR, LPSTR, LPLONG, LPSTR, LPLONG, LPLONG);
  using UninitializeFn = SCCRTN (*)(LPVOID);
  using GetCommandOptionsFn = SCCRTN (*)(LPVOID, HWND, SCCCOMMAND, LPCMDOPTS*);
  using OpenProjectFn = SCCRTN (*)(LPVOID, HWND, LPSTR, LPCSTR, LPCSTR, LPSTR, LPCSTR,
                                   LPTEXTOUTPROC, LONG);
  using CloseProjectFn = SCCRTN (*)(LPVOID);
  using GetProjPathFn = SCCRTN (*)(LPVOID, HWND, LPSTR, LPSTR, LPSTR, LPSTR, BOOL, LPBOOL);
  using GetFn = SCCRTN (*)(LPVOID, HWND, LONG, LPCSTR*, LONG, LPCMDOPTS);
  using CheckoutFn = SCCRTN (*)(LPVOID, HWND, LONG, LPCSTR*, LPCSTR, LONG, LPCMDOPTS);
  using UncheckoutFn = SCCRTN (*)(LPVOID, HWND, LONG, LPCSTR*, LONG, LPCMDOPTS);
  using CheckinFn = SCCRTN (*)(LPVOID, HWND, LONG, LPCSTR*, LPCSTR, LONG, LPCMDOPTS);
  using AddFn = SCCRTN (*)(LPVOID, HWND, LONG, LPCSTR*, LPCSTR, LONG*, LPCMDOPTS);
  using QueryInfoFn = SCCRTN (*)(LPVOID, LONG, LPCSTR*, LPLONG);
  using PopulateListFn = SCCRTN (*)(LPVOID, SCCCOMMAND, LONG, LPCSTR*, POPLISTFUNC, LPVOID, LPLONG,
                                    LONG);
  using HistoryFn = SCCRTN (*)(LPVOID, HWND, LONG, LPCSTR*, LONG, LPCMDOPTS);
  using PropertiesFn = SCCRTN (*)(LPVOID, HWND, LPCSTR);
  using DiffFn = SCCRTN (*)(LPVOID, HWND, LPCSTR, LONG, LPCMDOPTS);
  using RunSccFn = SCCRTN (*)(LPVOID, HWND, LONG, LPCSTR*);
  using ShowEnvironmentFn = int (*)(LPCSTR);
  using GetEnvironmentFn = int (*)(LPCSTR, int*, int*, int*, int*);
  using SetPropertyFn = int (*)(LPCSTR, LPCSTR, LPCSTR);
  using GetPropertyFn = int (*)(LPCSTR, LPCSTR, LPSTR);
  using GetDirsFn = int (*)(LPVOID, HWND, LPCSTR, BOOL);
  using PopulateTreeFn = SCCRTN (*)(LPVOID, LPCSTR, POPLISTFUNC, LPVOID);
  using QueryLocalStatusFn = SCCRTN (*)(LPVOID, LONG, LPCSTR*, LPLONG);
  using QueryStatusFn = SCCRTN (*)(LPVOID, LONG, LPCSTR*, LPLONG, LPLONG);
  using GetVersionFn = SCCRTN (*)(LPVOID, HWND, LPCSTR, LONG, LPCSTR);

  // Loads the module; ok() says whether every export was found.
  SccHost();
  SccHost(const SccHost&) = delete;
  SccHost& operator=(const SccHost&) = delete;
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

  InitializeFn initialize = nullptr;
  UninitializeFn uninitialize = nullptr;
  GetCommandOptionsFn get_command_options = nullptr;
  OpenProjectFn open_project = nullptr;
  CloseProjectFn close_project = nullptr;
  GetProjPathFn get_proj_path = nullptr;
  GetFn get = nullptr;
  CheckoutFn checkout = nullptr;
  UncheckoutFn uncheckout = nullptr;
  CheckinFn checkin = nullptr;
  AddFn add = nullptr;
  QueryInfoFn query_info = nullptr;
  PopulateListFn populate_list = nullptr;
  HistoryFn history = nullptr;
  PropertiesFn properties = nullptr;
  DiffFn diff = nullptr;
  RunSccFn run_scc = nullptr;
  ShowEnvironmentFn show_environment = nullptr;
  GetEnvironmentFn get_environment = nullptr;
  SetPropertyFn set_property = nullptr;
  GetPropertyFn get_property = nullptr;
  GetDirsFn get_dirs = nullptr;
  PopulateTreeFn populate_tree = nullptr;
  QueryLocalStatusFn query_local_status = nullptr;
  QueryStatusFn query_status = nullptr;
  GetVersionFn get_version = nullptr;

  // SccInitialize with `caller`; null when it failed.
  LPVOID Initialize(const char* caller = "TestHost");

  // The binding strings, as a host keeps them.
  struct Binding {
    std::string project;
    std::string local;
    std::string aux;
  };
  // SccGetProjPath; `binding` in (proposed name, local folder) and out.
  // `is_new` in and out.
  SCCRTN GetProjPath(LPVOID context, Binding* binding, BOOL* is_new, std::string* user = nullptr);
  // SccOpenProject with the collecting text-out callback; `user` receives
  // the user buffer.
  SCCRTN Open(LPVOID context, const Binding& binding, std::string* user = nullptr);

  // The file commands on a list of paths.
  SCCRTN Get(LPVOID context, const std::vector<std::string>& files);
  SCCRTN Checkout(LPVOID context, const std::vector<std::string>& files,
                  LPCMDOPTS options = nullptr, const std::string& comment = "");
  SCCRTN Uncheckout(LPVOID context, const std::vector<std::string>& files);
  SCCRTN Checkin(LPVOID context, const std::vector<std::string>& files, const std::string& comment,
                 LONG flags = 0, LPCMDOPTS options = nullptr);
  SCCRTN Add(LPVOID context, const std::vector<std::string>& files, const std::string& comment,
             std::vector<LONG> flags = {});
  // SccQueryInfo; `status` gets one word per file (preset to 0xDEAD).
  SCCRTN QueryInfo(LPVOID context, const std::vector<std::string>& files,
                   std::vector<LONG>* status);
  // SccHistory on a list of paths.
  SCCRTN History(LPVOID context, const std::vector<std::string>& files);
  // SccPopulateList; the callback's paths in the order it was called.
  SCCRTN PopulateList(LPVOID context, SCCCOMMAND command, LONG options,
                      std::vector<std::string>* paths);

  // VelSccPopulateTree of `folder` (null: the whole tree); the callback's
  // paths in the order it was called.
  SCCRTN PopulateTree(LPVOID context, const char* folder, std::vector<std::string>* paths);
  // VelSccQueryLocalStatus; `states` gets one value per file (preset to
  // 0xDEAD).
  SCCRTN QueryLocalStatus(LPVOID context, const std::vector<std::string>& files,
                          std::vector<LONG>* states);
  // VelSccQueryStatus; `status` and `states` get one value per file (preset
  // to 0xDEAD).
  SCCRTN QueryStatus(LPVOID context, const std::vector<std::string>& files,
                     std::vector<LONG>* status, std::vector<LONG>* states);

  // The collecting text-out callback and what it collected.
  static LONG CollectNotice(LPCSTR text, LONG type);
  static std::vector<std::string> Notices();
  static void ClearNotices();
  static bool SawNotice(const std::string& text);
  // A function the text-out callback calls with each notice once it is
  // kept, on the module's calling thread and outside the lock: a host that
  // calls the module again from inside its callback. Empty: none.
  static void SetNoticeHook(std::function<void(const std::string&)> hook);

 private:
  void* module_ = nullptr;
  bool ok_ = false;
  std::string error_;
};

// Pointers to the strings, as a host passes a file list.
std::vector<LPCSTR> FileNames(const std::vector<std::string>& files);

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_SCC_HOST_H_
