#include "tests/support/scc_host.h"

#include <dlfcn.h>

#include <cstring>
#include <mutex>
#include <type_traits>

#include "tests/support/test_env.h"

namespace tw::test {

namespace {

std::mutex& NoticeMutex() {
  static std::mutex mutex;
  return mutex;
}
std::vector<std::string>& NoticeList() {
  static std::vector<std::string> notices;
  return notices;
}

std::function<void(const std::string&)>& NoticeHook() {
  static std::function<void(const std::string&)> hook;
  return hook;
}

BOOL CollectPath(LPVOID caller_data, BOOL, LONG, LPCSTR file_name) {
  static_cast<std::vector<std::string>*>(caller_data)->push_back(file_name);
  return 1;
}

}  // namespace

std::vector<LPCSTR> FileNames(const std::vector<std::string>& files) {
  std::vector<LPCSTR> names;
  for (const std::string& file : files) names.push_back(file.c_str());
  return names;
}

SccHost::SccHost() {
  module_ = dlopen((BinDir() + "/libTWSccApi.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module_ == nullptr) {
    error_ = dlerror();
    return;
  }
  ok_ = true;
  auto find = [this](auto* target, const char* name) {
    *target = reinterpret_cast<std::remove_pointer_t<decltype(target)>>(dlsym(module_, name));
    if (*target == nullptr) {
      ok_ = false;
      error_ += std::string("missing ") + name + "; ";
    }
  };
  find(&initialize, "SccInitialize");
  find(&uninitialize, "SccUninitialize");
  find(&get_command_options, "SccGetCommandOptions");
  find(&open_project, "SccOpenProject");
  find(&close_project, "SccCloseProject");
  find(&get_proj_path, "SccGetProjPath");
  find(&get, "SccGet");
  find(&checkout, "SccCheckout");
  find(&uncheckout, "SccUncheckout");
  find(&checkin, "SccCheckin");
  find(&add, "SccAdd");
  find(&query_info, "SccQueryInfo");
  find(&populate_list, "SccPopulateList");
  find(&history, "SccHistory");
  find(&properties, "SccProperties");
  find(&diff, "SccDiff");
  find(&run_scc, "SccRunScc");
  find(&show_environment, "VelSccShowEnvironmentSettings");
  find(&get_environment, "VelSccGetEnvironmentSettings");
  find(&set_property, "VelSccSetProperty");
  find(&get_property, "VelSccGetProperty");
  find(&get_dirs, "VelSccGetDirs");
  find(&populate_tree, "VelSccPopulateTree");
  find(&query_local_status, "VelSccQueryLocalStatus");
  find(&query_status, "VelSccQueryStatus");
  find(&get_version, "VelSccGetVersion");
}

LPVOID SccHost::Initialize(const char* caller) {
  char name[SCC_NAME_LEN + 1] = {};
  char label[SCC_AUXLABEL_LEN + 1] = {};
  LONG caps = 0, checkout_len = 0, comment_len = 0;
  LPVOID context = nullptr;
  if (initialize(&context, nullptr, caller, name, &caps, label, &checkout_len, &comment_len) !=
      SCC_OK) {
    return nullptr;
  }
  return context;
}

SCCRTN SccHost::GetProjPath(LPVOID context, Binding* binding, BOOL* is_new, std::string* user) {
  char user_buffer[SCC_USER_LEN + 1] = {};
  char project[SCC_PRJPATH_LEN + 1] = {};
  char local[260] = {};
  char aux[SCC_PRJPATH_LEN + 1] = "stale";
  std::strncpy(project, binding->project.c_str(), sizeof project - 1);
  std::strncpy(local, binding->local.c_str(), sizeof local - 1);
  const SCCRTN result =
      get_proj_path(context, nullptr, user_buffer, project, local, aux, 0, is_new);
  binding->project = project;
  binding->local = local;
  binding->aux = aux;
  if (user != nullptr) *user = user_buffer;
  return result;
}

SCCRTN SccHost::Open(LPVOID context, const Binding& binding, std::string* user) {
  char user_buffer[SCC_USER_LEN + 1] = {};
  std::vector<char> aux(binding.aux.begin(), binding.aux.end());
  aux.push_back('\0');
  const SCCRTN result =
      open_project(context, nullptr, user_buffer, binding.project.c_str(), binding.local.c_str(),
                   aux.data(), "", &SccHost::CollectNotice, 0);
  if (user != nullptr) *user = user_buffer;
  return result;
}

SCCRTN SccHost::Get(LPVOID context, const std::vector<std::string>& files) {
  std::vector<LPCSTR> names = FileNames(files);
  return get(context, nullptr, static_cast<LONG>(names.size()), names.data(), 0, nullptr);
}

SCCRTN SccHost::History(LPVOID context, const std::vector<std::string>& files) {
  std::vector<LPCSTR> names = FileNames(files);
  return history(context, nullptr, static_cast<LONG>(names.size()), names.data(), 0, nullptr);
}

SCCRTN SccHost::Checkout(LPVOID context, const std::vector<std::string>& files, LPCMDOPTS options,
                         const std::string& comment) {
  std::vector<LPCSTR> names = FileNames(files);
  return checkout(context, nullptr, static_cast<LONG>(names.size()), names.data(), comment.c_str(),
                  0, options);
}

SCCRTN SccHost::Uncheckout(LPVOID context, const std::vector<std::string>& files) {
  std::vector<LPCSTR> names = FileNames(files);
  return uncheckout(context, nullptr, static_cast<LONG>(names.size()), names.data(), 0, nullptr);
}

SCCRTN SccHost::Checkin(LPVOID context, const std::vector<std::string>& files,
                        const std::string& comment, LONG flags, LPCMDOPTS options) {
  std::vector<LPCSTR> names = FileNames(files);
  return checkin(context, nullptr, static_cast<LONG>(names.size()), names.data(), comment.c_str(),
                 flags, options);
}

SCCRTN SccHost::Add(LPVOID context, const std::vector<std::string>& files,
                    const std::string& comment, std::vector<LONG> flags) {
  std::vector<LPCSTR> names = FileNames(files);
  flags.resize(files.size(), 0);
  return add(context, nullptr, static_cast<LONG>(names.size()), names.data(), comment.c_str(),
             flags.data(), nullptr);
}

SCCRTN SccHost::QueryInfo(LPVOID context, const std::vector<std::string>& files,
                          std::vector<LONG>* status) {
  std::vector<LPCSTR> names = FileNames(files);
  status->assign(files.size(), 0xDEAD);
  return query_info(context, static_cast<LONG>(names.size()), names.data(), status->data());
}

SCCRTN SccHost::PopulateList(LPVOID context, SCCCOMMAND command, LONG options,
                             std::vector<std::string>* paths) {
  return populate_list(context, command, 0, nullptr, &CollectPath, paths, nullptr, options);
}

SCCRTN SccHost::PopulateTree(LPVOID context, const char* folder, std::vector<std::string>* paths) {
  return populate_tree(context, folder, &CollectPath, paths);
}

SCCRTN SccHost::QueryLocalStatus(LPVOID context, const std::vector<std::string>& files,
                                 std::vector<LONG>* states) {
  std::vector<LPCSTR> names = FileNames(files);
  states->assign(files.size(), 0xDEAD);
  return query_local_status(context, static_cast<LONG>(names.size()), names.data(), states->data());
}

SCCRTN SccHost::QueryStatus(LPVOID context, const std::vector<std::string>& files,
                            std::vector<LONG>* status, std::vector<LONG>* states) {
  std::vector<LPCSTR> names = FileNames(files);
  status->assign(files.size(), 0xDEAD);
  states->assign(files.size(), 0xDEAD);
  return query_status(context, static_cast<LONG>(names.size()), names.data(), status->data(),
                      states->data());
}

LONG SccHost::CollectNotice(LPCSTR text, LONG type) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> lock(NoticeMutex());
    NoticeList().push_back(std::string(text) +
                           (type == 0 ? "" : " [type " + std::to_string(type) + "]"));
    hook = NoticeHook();
  }
  if (hook) hook(text);
  return 0;
}

void SccHost::SetNoticeHook(std::function<void(const std::string&)> hook) {
  std::lock_guard<std::mutex> lock(NoticeMutex());
  NoticeHook() = std::move(hook);
}

std::vector<std::string> SccHost::Notices() {
  std::lock_guard<std::mutex> lock(NoticeMutex());
  return NoticeList();
}

void SccHost::ClearNotices() {
  std::lock_guard<std::mutex> lock(NoticeMutex());
  NoticeList().clear();
}

bool SccHost::SawNotice(const std::string& text) {
  for (const std::string& notice : Notices()) {
    if (notice == text) return true;
  }
  return false;
}

}  // namespace tw::test
