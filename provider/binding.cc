// The binding exports: SccOpenProject checks a binding against the server
// and fills the context's project fields, SccCloseProject clears them, and
// SccGetProjPath binds the project to an existing Production (the bind
// dialog) or to a new one created below a chosen parent (the add dialog),
// handing the host the two binding strings to keep.
#include "provider/binding.h"

#include <filesystem>
#include <memory>
#include <system_error>

#include "dialogs/logon_dialog.h"
#include "dialogs/production_dialogs.h"
#include "platform/native_text.h"
#include "platform/path.h"
#include "provider/export_support.h"
#include "provider/logon.h"
#include "session/client_session.h"
#include "session/production_requests.h"
#include "settings/property_file_client.h"
#include "settings/property_protocol.h"
#include "ui/user_interface.h"

namespace tw {

namespace {

namespace fs = std::filesystem;

constexpr char kVisualStudioCaller[] = "VsScc";
constexpr char kSolutionSuffix[] = ".sln";
constexpr char kWorkingDirectoriesNode[] = "WorkingDirectories";

bool HoldsColon(const std::string& text) {
  return text.find(':') != std::string::npos;
}

bool IsSolutionIn(const fs::path& folder, const std::string& base) {
  std::error_code error;
  return fs::is_regular_file(folder / FsPath(base + kSolutionSuffix), error);
}

// The project fields of a context, as a close leaves them.
void ClearProjectFields(ProviderContext* context) {
  context->project_open = false;
  context->bound_by_dialog = false;
  context->aux_project_path.clear();
  context->local_project_path.clear();
  context->bound_aux_path.clear();
  context->project_leaf_name.clear();
  context->project_root.clear();
  context->project_name.clear();
}

SCCRTN OpenProject(ProviderContext* context, HWND window, LPSTR user_buffer,
                   const std::string& project_name, const std::string& local_path,
                   const std::string& aux_path, LPTEXTOUTPROC text_out) {
  // A bad binding string is refused before anything reaches the server.
  if (HoldsColon(project_name) || HoldsColon(aux_path)) return SCC_E_PROJSYNTAXERR;
  std::string user = HostBuffer(user_buffer, kHostUserCapacity);
  const SCCRTN logon = EnsureSession(window, context, &user);
  if (logon != SCC_OK) return logon;
  CopyUserName(user_buffer, context->user_name);
  const std::string leaf = ProjectLeafName(project_name);

  ExportSession session(context);
  if (!session) return session.failure();
  std::string id;
  const int found = LookupProduction(session.get(), NativeToWire(aux_path), false, &id);
  if (found != kSessionOk || id.empty() || id != leaf) {
    TextOutTo(text_out, FormatText("Could not find the Production '%s'.", NativeToWire(aux_path)));
    return SCC_E_UNKNOWNPROJECT;
  }

  context->aux_project_path = aux_path;
  context->local_project_path = DropTrailingSeparator(local_path, kNativeSeparator);
  if (context->project_root.empty()) {
    if (context->caller_name == kVisualStudioCaller) {
      context->project_root = FindSolutionFolder(context->local_project_path,
                                                 WireLastComponent(NativeToWire(aux_path)), 0, 0);
    }
    if (context->project_root.empty()) context->project_root = context->local_project_path;
  }
  context->project_name = project_name;
  context->bound_aux_path = aux_path;
  context->project_leaf_name = leaf;
  context->project_open = true;
  context->text_out = text_out;
  return SCC_OK;
}

SCCRTN CloseProject(ProviderContext* context) {
  if (!context->project_open) return SCC_E_PROJNOTOPEN;
  ClearProjectFields(context);
  return SCC_OK;
}

// The binding strings and the local folder back to the host.
bool HandBack(LPSTR project_buffer, LPSTR local_buffer, LPSTR aux_buffer,
              const std::string& project, const std::string& local, const std::string& aux) {
  const bool project_ok = CopyToHost(project_buffer, project, kHostProjectCapacity);
  const bool local_ok = CopyToHost(local_buffer, local, kHostLocalPathCapacity);
  const bool aux_ok = CopyToHost(aux_buffer, aux, kHostProjectCapacity);
  return project_ok && local_ok && aux_ok;
}

SCCRTN BindExisting(ProviderContext* context, ClientSession* session, HWND window,
                    LPSTR project_buffer, LPSTR local_buffer, LPSTR aux_buffer,
                    const std::string& local_path) {
  BindDialogValues values;
  values.local_folder = local_path;
  if (!RunBindDialog(window, session, &values)) return SCC_E_OPNOTPERFORMED;
  const std::string project = WireJoin(values.parent_id_path, values.id);
  session->SetCurrentProject(project);
  if (!HandBack(project_buffer, local_buffer, aux_buffer, project, values.local_folder,
                values.display_path)) {
    TextOut(*context, "The binding does not fit the host's buffers.");
    return SCC_E_NONSPECIFICERROR;
  }
  context->bound_by_dialog = true;
  RecordWorkingDirectory(values.id, values.local_folder);
  return SCC_OK;
}

SCCRTN CreateNew(ProviderContext* context, ClientSession* session, HWND window,
                 LPSTR project_buffer, LPSTR local_buffer, LPSTR aux_buffer, LPBOOL new_flag,
                 const std::string& proposed_name, const std::string& local_path) {
  AddDialogValues values;
  values.name = proposed_name;
  if (context->caller_name == kVisualStudioCaller) {
    const std::string root = FindSolutionFolder(local_path, proposed_name, 0, 0);
    if (root.empty()) TextOut(*context, "Could not find solution file.");
    context->project_root = root;
  }
  if (!RunAddDialog(window, session, &values)) return SCC_E_OPNOTPERFORMED;
  session->SetCurrentProject(values.parent_id_path);

  std::string id;
  SCCRTN result = SCC_I_PROJECTCREATED;
  const int created = CreateProduction(session, values.parent_id, values.name, &id);
  if (created == kSessionProductionExists) {
    const int answer = ShowMessageBox(
        window, "Production Exists",
        "That production already exists in source control.  Do you wish to connect to the "
        "existing production?",
        MessageBoxButtons::kYesNo, MessageBoxIcon::kQuestion);
    if (answer != kIdYes) return SCC_E_OPNOTPERFORMED;
    if (new_flag != nullptr) *new_flag = 0;
    result = SCC_OK;
  } else if (created != kSessionOk) {
    TextOut(*context, FormatText("Could not create the Production '%s'.", values.name));
    return SCC_E_COULDNOTCREATEPROJECT;
  }
  if (id.empty()) return SCC_E_COULDNOTCREATEPROJECT;

  const std::string project = WireJoin(values.parent_id_path, id);
  const std::string aux = values.parent_display_path + kWireSeparator + values.name;
  if (!HandBack(project_buffer, local_buffer, aux_buffer, project, local_path, aux)) {
    TextOut(*context, "The binding does not fit the host's buffers.");
    return SCC_E_NONSPECIFICERROR;
  }
  context->bound_by_dialog = false;
  RecordWorkingDirectory(id, local_path);
  return result;
}

SCCRTN GetProjPath(ProviderContext* context, HWND window, LPSTR user_buffer, LPSTR project_buffer,
                   LPSTR local_buffer, LPSTR aux_buffer, LPBOOL new_flag) {
  if (aux_buffer != nullptr) aux_buffer[0] = '\0';
  std::string user = HostBuffer(user_buffer, kHostUserCapacity);
  const SCCRTN logon = EnsureSession(window, context, &user);
  if (logon != SCC_OK) return logon;
  CopyUserName(user_buffer, context->user_name);
  const std::string proposed_name = HostBuffer(project_buffer, kHostProjectCapacity);
  const std::string local_path = HostBuffer(local_buffer, kHostLocalPathCapacity);

  ExportSession session(context);
  if (!session) return session.failure();
  if (new_flag != nullptr && *new_flag != 0) {
    return CreateNew(context, session.get(), window, project_buffer, local_buffer, aux_buffer,
                     new_flag, proposed_name, local_path);
  }
  return BindExisting(context, session.get(), window, project_buffer, local_buffer, aux_buffer,
                      local_path);
}

}  // namespace

std::string FindSolutionFolder(const std::string& folder, const std::string& base, int depth,
                               int limit) {
  if (base.empty() || base.find(kNativeSeparator) != std::string::npos || folder.empty()) {
    return "";
  }
  if (limit != 0) {
    if (depth == limit) return "";
    ++depth;
  }
  const fs::path here = FsPath(folder);
  if (IsSolutionIn(here, base)) return folder;
  if (IsSolutionIn(here / base, base)) return NativeJoin(folder, base);
  std::error_code error;
  fs::directory_iterator it(here, fs::directory_options::skip_permission_denied, error);
  for (; !error && it != fs::directory_iterator(); it.increment(error)) {
    std::error_code kind_error;
    if (!it->is_directory(kind_error) || it->is_symlink(kind_error)) continue;
    std::string found = FindSolutionFolder(FsText(it->path()), base, depth, limit);
    if (!found.empty()) return found;
  }
  return "";
}

std::string ProjectLeafName(const std::string& project_name) {
  return WireLastComponent(DropTrailingSeparator(NativeToWire(project_name), kWireSeparator));
}

bool RecordWorkingDirectory(const std::string& production_id, const std::string& local_folder) {
  if (production_id.empty()) return false;
  PropertyFileClient store(std::string(), kStoreUser);
  store.SetKey(kPropertyKeyString);
  if (!store.Connect()) return false;
  std::unique_ptr<PropertyNode> user = store.OpenNode(nullptr, kUserPropertiesNode);
  if (!user) return false;
  std::unique_ptr<PropertyNode> folders = store.OpenNode(user.get(), kWorkingDirectoriesNode);
  if (!folders) return false;
  const bool written = store.WriteString(folders.get(), production_id, local_folder, false);
  store.CloseNode(std::move(folders));
  store.CloseNode(std::move(user));
  return written;
}

}  // namespace tw

using tw::Guarded;

TW_EXPORT SCCRTN SccOpenProject(LPVOID pvContext, HWND hWnd, LPSTR lpUser, LPCSTR lpProjName,
                                LPCSTR lpLocalProjPath, LPSTR lpAuxProjPath, LPCSTR /*lpComment*/,
                                LPTEXTOUTPROC lpTextOutProc, LONG /*dwFlags*/) {
  return Guarded("SccOpenProject", [&]() -> SCCRTN {
    tw::ProviderContext* context = tw::ContextFrom(pvContext);
    if (context == nullptr) return SCC_E_NONSPECIFICERROR;
    return tw::OpenProject(context, hWnd, lpUser, tw::HostString(lpProjName),
                           tw::HostString(lpLocalProjPath), tw::HostString(lpAuxProjPath),
                           lpTextOutProc);
  });
}

TW_EXPORT SCCRTN SccCloseProject(LPVOID pvContext) {
  return Guarded("SccCloseProject", [&]() -> SCCRTN {
    tw::ProviderContext* context = tw::ContextFrom(pvContext);
    if (context == nullptr) return SCC_E_NONSPECIFICERROR;
    return tw::CloseProject(context);
  });
}

TW_EXPORT SCCRTN SccGetProjPath(LPVOID pvContext, HWND hWnd, LPSTR lpUser, LPSTR lpProjName,
                                LPSTR lpLocalPath, LPSTR lpAuxProjPath, BOOL /*bAllowChangePath*/,
                                LPBOOL pbNew) {
  return Guarded("SccGetProjPath", [&]() -> SCCRTN {
    tw::ProviderContext* context = tw::ContextFrom(pvContext);
    if (context == nullptr) {
      if (lpAuxProjPath != nullptr) lpAuxProjPath[0] = '\0';
      return SCC_E_NONSPECIFICERROR;
    }
    return tw::GetProjPath(context, hWnd, lpUser, lpProjName, lpLocalPath, lpAuxProjPath, pbNew);
  });
}
