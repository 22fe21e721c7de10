// The status exports: SccQueryInfo answers the source-control status bits
// of a list of files from one "PRODUCTIONCMD" 25 and brings each local
// file's write permission in line with its lock; SccPopulateList hands the
// host the Documents of the bound Production. Neither asks the user
// anything.
#include <string>
#include <vector>

#include "dialogs/status_window.h"
#include "platform/file_attributes.h"
#include "platform/path.h"
#include "protocol/name_table.h"
#include "provider/export_support.h"
#include "provider/logon.h"
#include "session/client_session.h"

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

SCCRTN QueryInfo(ProviderContext* context, const std::vector<std::string>& files,
                 LPLONG status_words) {
  if (files.empty()) return SCC_OK;
  if (status_words == nullptr) return SCC_E_NONSPECIFICERROR;
  if (const SCCRTN logon = LogOnForOperation(nullptr, context); logon != SCC_OK) return logon;
  ExportSession session(context);
  if (!session) return session.failure();

  const std::string production = WireLastComponent(NativeToWire(context->aux_project_path));
  TextOut(*context, FormatText("Querying server for status of files in %s...", production));
  std::vector<DocumentInfo> records;
  if (session->FetchDocumentInfo(context->project_leaf_name, files, context->local_project_path,
                                 context->project_root, &records) != kSessionOk) {
    TextOut(*context, FormatText("Could not get the status of files in %s.", production));
    return SCC_E_NONSPECIFICERROR;
  }
  TextOut(*context, FormatText("Received data from server for status of files in %s.", production));

  SCCRTN result = records.size() == files.size() ? SCC_OK : SCC_E_NONSPECIFICERROR;
  for (size_t i = 0; i < files.size() && i < records.size(); ++i) {
    status_words[i] = StatusWord(records[i]);
    // Only the holder of the lock may edit; an unknown file is read-only too.
    SetLocalFileReadOnly(files[i], !records[i].checked_out_by_me);
  }
  return result;
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
  if (session->GetNameList(session->current_project(), context->project_leaf_name,
                           kNameListDocuments, false, &text) != kSessionOk ||
      !NameTable::Parse(text, &table)) {
    return SCC_E_NONSPECIFICERROR;
  }
  for (size_t row = 0; row < table.row_count(); ++row) {
    // A name that would leave the project's folder is not handed on.
    std::string name;
    if (!WireToNative(table.Get(row, kColumnName), &name)) continue;
    const std::string path = NativeJoin(context->local_project_path, name);
    if (populate != nullptr) populate(caller_data, 1, SCC_STATUS_CONTROLLED, path.c_str());
  }
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
