// The status exports: SccQueryInfo answers the source-control status bits
// of a list of files from one "PRODUCTIONCMD" 25 and brings each local
// file's write permission in line with its lock; SccPopulateList hands the
// host the Documents of the bound Production. Beside them the extension
// exports of the same kind (provider/velscc.h): VelSccPopulateTree, the
// Documents of the whole tree below the bound Production,
// VelSccQueryLocalStatus, the state cache's local state of files, and
// VelSccQueryStatus, both answers from one request. None asks the user
// anything.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "dialogs/status_window.h"
#include "platform/file_attributes.h"
#include "platform/file_move.h"
#include "platform/path.h"
#include "protocol/name_table.h"
#include "provider/export_support.h"
#include "provider/logon.h"
#include "provider/velscc.h"
#include "session/client_session.h"
#include "session/document_requests.h"
#include "session/production_requests.h"
#include "session/state_cache.h"

namespace tw {

namespace {

// The status word of one file, built afresh from what the server reports.
// Out-of-date, modified, shared and deleted states are not reported.
LONG StatusWord(const DocumentInfo& record) {
  LONG status = SCC_STATUS_NOTCONTROLLED;
  if (record.controlled) status |= SCC_STATUS_CONTROLLED;
  if (record.checked_out && record.checked_out_by_me) {
    status |= SCC_STATUS_CHECKEDOUT | SCC_STATUS_OUTBYUSER;
  }
  if (record.checked_out && !record.checked_out_by_me) {
    status |= SCC_STATUS_CHECKEDOUT | SCC_STATUS_OUTOTHER;
  }
  if (record.checked_out && record.exclusive) status |= SCC_STATUS_OUTEXCLUSIVE;
  return status;
}

// One "PRODUCTIONCMD" 25 for `files`, one record per file, said in the
// text-out routine as the status window says it. False when it failed.
bool FetchStatusRecords(ProviderContext* context, ClientSession* session,
                        const std::vector<std::string>& files, std::vector<DocumentInfo>* records) {
  const std::string production = WireLastComponent(NativeToWire(context->aux_project_path));
  TextOut(*context, FormatText("Querying server for status of files in %s...", production));
  if (FetchDocumentInfo(session, context->project_leaf_name, files, context->local_project_path,
                        context->project_root, records) != kSessionOk ||
      records->size() != files.size()) {
    TextOut(*context, FormatText("Could not get the status of files in %s.", production));
    return false;
  }
  TextOut(*context, FormatText("Received data from server for status of files in %s.", production));
  return true;
}

// Each file's local state as the state cache decides it from `records`: a
// file beside the server's spelling of its name is no Document's. Changes
// no file's write permission.
void DecideLocalStates(const ProviderContext& context, ClientSession* session,
                       const std::vector<std::string>& files, std::vector<DocumentInfo> records,
                       LONG* states) {
  OneFilePerDocument(context, session, files, &records);
  for (size_t i = 0; i < files.size(); ++i) {
    states[i] = records[i].document_id.empty() ? kStatusUncontrolled
                                               : DecideLocalStatus(records[i], files[i], false);
  }
}

// The status words of `files` from one "PRODUCTIONCMD" 25, each local
// file's write permission brought in line with its lock; with
// `local_states` also each file's local state from the same answer, as
// QueryLocalStatus decides it, so that a host wanting both asks once.
SCCRTN QueryInfo(ProviderContext* context, const std::vector<std::string>& files,
                 LPLONG status_words, LONG* local_states = nullptr) {
  if (files.empty()) return SCC_OK;
  if (status_words == nullptr) return SCC_E_NONSPECIFICERROR;
  if (const SCCRTN logon = LogOnForOperation(nullptr, context); logon != SCC_OK) return logon;
  ExportSession session(context);
  if (!session) return session.failure();
  std::vector<DocumentInfo> records;
  if (!FetchStatusRecords(context, session.get(), files, &records)) return SCC_E_NONSPECIFICERROR;
  for (size_t i = 0; i < files.size(); ++i) {
    // The status words stay the server's answer for each name.
    status_words[i] = StatusWord(records[i]);
    // Only the holder of the lock may edit; an unknown file is read-only too.
    SetLocalFileReadOnly(files[i], !records[i].checked_out_by_me);
  }
  if (local_states != nullptr) {
    DecideLocalStates(*context, session.get(), files, std::move(records), local_states);
  }
  return SCC_OK;
}

SCCRTN PopulateList(ProviderContext* context, int command, POPLISTFUNC populate, LPVOID caller_data,
                    LONG options) {
  if (const SCCRTN logon = LogOnForOperation(nullptr, context); logon != SCC_OK) return logon;
  ExportSession session(context);
  if (!session) return session.failure();
  if (command != SCC_COMMAND_GET || (options & SCC_PL_DIR) == 0) return SCC_E_OPNOTSUPPORTED;

  StatusWindow status(context->host_window, "Retrieving data from server for list population...");
  std::string text;
  NameTable table;
  if (GetNameList(session.get(), session->current_project(), context->project_leaf_name,
                  kNameListDocuments, false, &text) != kSessionOk ||
      !NameTable::Parse(text, &table)) {
    return SCC_E_NONSPECIFICERROR;
  }
  for (size_t row = 0; row < table.row_count(); ++row) {
    // A name that would leave the project's folder is not handed on; nor is
    // one with a separator, which this Production's own Documents never
    // have (it would name a file in a folder the list does not cover).
    const std::string& wire = table.Get(row, kColumnName);
    std::string name;
    if (wire.find(kWireSeparator) != std::string::npos || !WireToNative(wire, &name)) {
      DebugLog("SccPopulateList - the server lists a name that is no Document's own: %s",
               wire.c_str());
      continue;
    }
    const std::string path = NativeJoin(context->local_project_path, name);
    if (populate != nullptr) populate(caller_data, 1, SCC_STATUS_CONTROLLED, path.c_str());
  }
  return SCC_OK;
}

// The folders of listed Documents, each checked once: whether it stays
// inside the working folder when resolved.
class FolderCheck {
 public:
  explicit FolderCheck(std::string root) : root_(std::move(root)) {}
  bool StaysInside(const std::string& folder) {
    auto known = known_.find(folder);
    if (known == known_.end()) {
      known = known_.emplace(folder, FolderStaysInside(root_, folder)).first;
    }
    return known->second;
  }

 private:
  const std::string root_;
  std::map<std::string, bool> known_;
};

SCCRTN PopulateTree(ProviderContext* context, const std::string& folder, POPLISTFUNC populate,
                    LPVOID caller_data) {
  if (populate == nullptr) return SCC_E_NONSPECIFICERROR;
  if (!context->project_open) return SCC_E_PROJNOTOPEN;
  const std::string root = DropTrailingSeparator(
      context->project_root.empty() ? context->local_project_path : context->project_root,
      kNativeSeparator);
  const std::string top = folder.empty() ? root : DropTrailingSeparator(folder, kNativeSeparator);
  std::string relative;  // the folder below the root, wire form
  if (top != root) {
    relative = NativeToWire(RelativeName(top, root));
    if (relative.empty()) {
      WarningOut(*context, FormatText("'%s' is not inside the working folder.", top));
      return SCC_E_INVALIDFILEPATH;
    }
  }
  if (const SCCRTN logon = LogOnForOperation(nullptr, context); logon != SCC_OK) return logon;
  ExportSession session(context);
  if (!session) return session.failure();

  std::string production = context->project_leaf_name;
  if (!relative.empty()) {
    // The folder's Production, by its display-name path as an add maps it;
    // a folder without one holds no Documents.
    const std::string path =
        DropTrailingSeparator(NativeToWire(context->bound_aux_path), kWireSeparator) +
        kWireSeparator + relative;
    production.clear();
    const int found = LookupProduction(session.get(), path, false, &production);
    if (found == kSessionPathNotFound || found == kSessionInvalidPath) return SCC_OK;
    if (found != kSessionOk || production.empty()) return SCC_E_NONSPECIFICERROR;
  }
  std::string text;
  NameTable table;
  if (GetNameList(session.get(), session->current_project(), production, kNameListDocuments, true,
                  &text) != kSessionOk ||
      !NameTable::Parse(text, &table)) {
    return SCC_E_NONSPECIFICERROR;
  }
  FolderCheck folders(root);
  size_t left_out = 0;
  for (size_t row = 0; row < table.row_count(); ++row) {
    const std::string& wire = table.Get(row, kColumnName);
    std::string name;
    if (!WireToNative(wire, &name)) {
      WarningOut(*context, FormatText("The server names a Document '%s', which cannot be a file "
                                      "below the working folder; it is left out.",
                                      wire));
      ++left_out;
      continue;
    }
    const std::string path = NativeJoin(top, name);
    if (!folders.StaysInside(NativeParent(path))) {
      WarningOut(*context, FormatText("The folder of '%s' leads out of the working folder "
                                      "through a symbolic link; the file is left out.",
                                      path));
      ++left_out;
      continue;
    }
    if (!populate(caller_data, 1, SCC_STATUS_CONTROLLED, path.c_str())) break;
  }
  return left_out > 0 ? SCC_E_INVALIDFILEPATH : SCC_OK;
}

SCCRTN QueryLocalStatus(ProviderContext* context, const std::vector<std::string>& files,
                        LONG* states) {
  if (files.empty()) return SCC_OK;
  if (const SCCRTN logon = LogOnForOperation(nullptr, context); logon != SCC_OK) return logon;
  ExportSession session(context);
  if (!session) return session.failure();
  std::vector<DocumentInfo> records;
  if (!FetchStatusRecords(context, session.get(), files, &records)) return SCC_E_NONSPECIFICERROR;
  DecideLocalStates(*context, session.get(), files, std::move(records), states);
  return SCC_OK;
}

}  // namespace
}  // namespace tw

TW_EXPORT SCCRTN SccQueryInfo(LPVOID pvContext, LONG nFiles, LPCSTR* lpFileNames, LPLONG lpStatus) {
  return tw::Guarded("SccQueryInfo", [&]() -> SCCRTN {
    tw::ProviderContext* context = tw::ContextFrom(pvContext);
    if (context == nullptr) return SCC_E_NONSPECIFICERROR;
    std::vector<std::string> files;
    if (!tw::ReadFileList(nFiles, lpFileNames, &files)) {
      tw::DebugLog("SccQueryInfo - the host's file list is malformed");
      return SCC_E_NONSPECIFICERROR;
    }
    if (lpStatus == nullptr) return tw::QueryInfo(context, files, nullptr);
    // A file whose name cannot travel gets the status that says none could
    // be had; the others are asked about.
    const tw::SendableFiles sendable = tw::SelectSendableFiles(*context, files);
    std::vector<LONG> words;
    for (size_t position : sendable.positions) words.push_back(lpStatus[position]);
    const SCCRTN result = tw::QueryInfo(context, sendable.files, words.data());
    for (size_t i = 0; i < files.size(); ++i) lpStatus[i] = SCC_STATUS_INVALID;
    for (size_t k = 0; k < words.size(); ++k) lpStatus[sendable.positions[k]] = words[k];
    return result;
  });
}

TW_EXPORT SCCRTN SccPopulateList(LPVOID pvContext, enum SCCCOMMAND nCommand, LONG /*nFiles*/,
                                 LPCSTR* /*lpFileNames*/, POPLISTFUNC pfnPopulate,
                                 LPVOID pvCallerData, LPLONG /*lpStatus*/, LONG fOptions) {
  return tw::Guarded("SccPopulateList", [&]() -> SCCRTN {
    tw::ProviderContext* context = tw::ContextFrom(pvContext);
    if (context == nullptr) return SCC_E_NONSPECIFICERROR;
    return tw::PopulateList(context, static_cast<int>(nCommand), pfnPopulate, pvCallerData,
                            fOptions);
  });
}

TW_EXPORT SCCRTN VelSccPopulateTree(LPVOID pvContext, LPCSTR lpFolder, POPLISTFUNC pfnPopulate,
                                    LPVOID pvCallerData) {
  return tw::Guarded("VelSccPopulateTree", [&]() -> SCCRTN {
    tw::ProviderContext* context = tw::ContextFrom(pvContext);
    if (context == nullptr) return SCC_E_NONSPECIFICERROR;
    return tw::PopulateTree(context, tw::HostString(lpFolder), pfnPopulate, pvCallerData);
  });
}

TW_EXPORT SCCRTN VelSccQueryStatus(LPVOID pvContext, LONG nFiles, LPCSTR* lpFileNames,
                                   LPLONG lpStatus, LPLONG lpLocalStatus) {
  return tw::Guarded("VelSccQueryStatus", [&]() -> SCCRTN {
    tw::ProviderContext* context = tw::ContextFrom(pvContext);
    if (context == nullptr) return SCC_E_NONSPECIFICERROR;
    std::vector<std::string> files;
    if (!tw::ReadFileList(nFiles, lpFileNames, &files) ||
        (nFiles > 0 && (lpStatus == nullptr || lpLocalStatus == nullptr))) {
      tw::DebugLog("VelSccQueryStatus - the host's file list is malformed");
      return SCC_E_NONSPECIFICERROR;
    }
    for (size_t i = 0; i < files.size(); ++i) {
      lpStatus[i] = SCC_STATUS_INVALID;
      lpLocalStatus[i] = 0;
    }
    // A file whose name cannot travel keeps those; the others are asked
    // about, all in one request whatever folders they lie in.
    const tw::SendableFiles sendable = tw::SelectSendableFiles(*context, files);
    std::vector<LONG> words(sendable.files.size(), SCC_STATUS_INVALID);
    std::vector<LONG> states(sendable.files.size(), 0);
    const SCCRTN result = tw::QueryInfo(context, sendable.files, words.data(), states.data());
    if (result != SCC_OK) return result;
    for (size_t k = 0; k < words.size(); ++k) {
      lpStatus[sendable.positions[k]] = words[k];
      lpLocalStatus[sendable.positions[k]] = states[k];
    }
    return sendable.Result(result);
  });
}

TW_EXPORT SCCRTN VelSccQueryLocalStatus(LPVOID pvContext, LONG nFiles, LPCSTR* lpFileNames,
                                        LPLONG lpLocalStatus) {
  return tw::Guarded("VelSccQueryLocalStatus", [&]() -> SCCRTN {
    tw::ProviderContext* context = tw::ContextFrom(pvContext);
    if (context == nullptr) return SCC_E_NONSPECIFICERROR;
    std::vector<std::string> files;
    if (!tw::ReadFileList(nFiles, lpFileNames, &files) ||
        (nFiles > 0 && lpLocalStatus == nullptr)) {
      tw::DebugLog("VelSccQueryLocalStatus - the host's file list is malformed");
      return SCC_E_NONSPECIFICERROR;
    }
    for (size_t i = 0; i < files.size(); ++i) lpLocalStatus[i] = 0;
    // A file whose name cannot travel keeps 0; the others are asked about.
    const tw::SendableFiles sendable = tw::SelectSendableFiles(*context, files);
    std::vector<LONG> states(sendable.files.size(), 0);
    const SCCRTN result = tw::QueryLocalStatus(context, sendable.files, states.data());
    if (result != SCC_OK) return result;
    for (size_t k = 0; k < states.size(); ++k) lpLocalStatus[sendable.positions[k]] = states[k];
    return sendable.Result(result);
  });
}
