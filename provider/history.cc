// The remaining commands of the interface: SccHistory and SccProperties
// show the provider's own list dialogs for one file; SccDiff puts the
// server's current version (the tip) beside the working file and starts the
// user's diff program on the two; SccRunScc starts the desktop client.
#include <string>
#include <vector>

#include "dialogs/history_dialogs.h"
#include "platform/debug_output.h"
#include "platform/decimal.h"
#include "platform/file_attributes.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/system_factory.h"
#include "provider/diff_launcher.h"
#include "provider/export_support.h"
#include "provider/logon.h"
#include "provider/merge.h"
#include "session/client_session.h"
#include "session/document_requests.h"
#include "ui/user_interface.h"

namespace tw {

namespace {

// The quick-difference bits of SccDiff's options (SCC_DIFF_QUICK_DIFF).
constexpr LONG kQuickDiffBits = 0x10 | 0x20 | 0x40;

constexpr char kClientKey[] = "SOFTWARE\\Halvorn\\Veltrane";
constexpr char kClientPathValue[] = "SCCServerPath";
constexpr size_t kClientPathCapacity = 512;
constexpr char kClientProgram[] = "ZORadevu.exe";
constexpr char kClientNotFoundTitle[] = "Veltrane client not found";
constexpr char kClientNotFoundText[] =
    "Could not find the Veltrane client executable at:\n%s\nPlease check your installation.";

// The one record of `file`; false when the server could not be asked or
// did not answer with exactly one record.
bool FetchOneRecord(const ProviderContext& context, ClientSession* session, const std::string& file,
                    DocumentInfo* record) {
  std::vector<DocumentInfo> records;
  if (FetchDocumentInfo(session, context.project_leaf_name, {file}, context.local_project_path,
                        context.project_root, &records) != kSessionOk ||
      records.size() != 1) {
    return false;
  }
  *record = records[0];
  return true;
}

enum class DocumentView { kHistory, kProperties };

SCCRTN ShowDocumentView(ProviderContext* context, HWND window, const std::string& file,
                        DocumentView view) {
  if (LogOnForOperation(window, context) != SCC_OK) return SCC_E_CONNECTIONFAILURE;
  ExportSession session(context);
  if (!session) return session.failure();
  DocumentInfo record;
  if (!FetchOneRecord(*context, session.get(), file, &record)) return SCC_E_NONSPECIFICERROR;
  const std::string name = NativeLastComponent(file);
  if (view == DocumentView::kHistory) {
    ShowHistoryDialog(window, session.get(), record, context->project_name,
                      FormatText("History of '%s'", name));
  } else {
    ShowPropertiesDialog(window, session.get(), record, context->project_name,
                         FormatText("Properties of '%s'", name));
  }
  return SCC_OK;
}

SCCRTN Diff(ProviderContext* context, HWND window, const std::string& file) {
  if (LogOnForOperation(window, context) != SCC_OK) return SCC_E_CONNECTIONFAILURE;
  ExportSession session(context);
  if (!session) return session.failure();
  DocumentInfo record;
  if (!FetchOneRecord(*context, session.get(), file, &record)) return SCC_E_NONSPECIFICERROR;
  // The version the server reported as current; 0 (current) when it gave
  // no number.
  int version = DecimalToInt(record.current_version);
  if (version < 0) version = 0;
  if (!FetchTip(session.get(), record.document_id, version, file)) {
    // Nothing to compare with: a file the server does not know, or a tip
    // that could not be fetched or written beside the file.
    DebugLog("SccDiff - no server version of %s beside it", file.c_str());
    if (!record.document_id.empty()) {
      TextOut(*context, FormatText("Could not put the server's version of '%s' beside it.",
                                   NativeLastComponent(file)));
    }
    return SCC_OK;
  }
  // With no diff program configured nothing is shown; the tip stays.
  DiffLauncher launcher(session->user_properties());
  launcher.Diff(TipFilePath(file), file, context->aux_project_path, context->aux_project_path,
                false);
  return SCC_OK;
}

SCCRTN RunScc() {
  std::string module_path;
  std::unique_ptr<Registry> registry = OpenMachineRegistry();
  if (registry) {
    registry->QueryString(kClientKey, kClientPathValue, kClientPathCapacity, &module_path);
  }
  // Windows takes either separator in the path an installation recorded;
  // the native one ("\\" there) splits it.
  if (kNativeSeparator == kWireSeparator) module_path = NativeToWire(module_path);
  const std::string client = NativeJoin(NativeParent(module_path), kClientProgram);
  // Only a full path names the client; a bare name, or one relative to a
  // drive's current folder, would be looked for wherever the host happens
  // to run.
  if (IsFullNativePath(client) && LocalFileExists(client)) {
    GetSystemFactory().Open(client, std::string());
  } else {
    ShowMessageBox(nullptr, kClientNotFoundTitle, FormatText(kClientNotFoundText, client),
                   MessageBoxButtons::kOk, MessageBoxIcon::kNone);
  }
  return SCC_OK;
}

}  // namespace
}  // namespace tw

using tw::Guarded;

TW_EXPORT SCCRTN SccHistory(LPVOID pvContext, HWND hWnd, LONG nFiles, LPCSTR* lpFileNames,
                            LONG /*fOptions*/, LPCMDOPTS /*pvOptions*/) {
  return Guarded("SccHistory", [&]() -> SCCRTN {
    tw::ProviderContext* context = tw::ContextFrom(pvContext);
    if (context == nullptr) return SCC_E_NONSPECIFICERROR;
    // The first file only; further files are not even looked at.
    if (nFiles < 1 || lpFileNames == nullptr || lpFileNames[0] == nullptr ||
        lpFileNames[0][0] == '\0') {
      return SCC_E_NONSPECIFICERROR;
    }
    return tw::ShowDocumentView(context, hWnd, lpFileNames[0], tw::DocumentView::kHistory);
  });
}

TW_EXPORT SCCRTN SccProperties(LPVOID pvContext, HWND hWnd, LPCSTR lpFileName) {
  return Guarded("SccProperties", [&]() -> SCCRTN {
    tw::ProviderContext* context = tw::ContextFrom(pvContext);
    if (context == nullptr || lpFileName == nullptr || lpFileName[0] == '\0') {
      return SCC_E_NONSPECIFICERROR;
    }
    return tw::ShowDocumentView(context, hWnd, lpFileName, tw::DocumentView::kProperties);
  });
}

TW_EXPORT SCCRTN SccDiff(LPVOID pvContext, HWND hWnd, LPCSTR lpFileName, LONG fOptions,
                         LPCMDOPTS /*pvOptions*/) {
  // Only the visual comparison is offered; no traffic for a quick one.
  if ((fOptions & tw::kQuickDiffBits) != 0) return SCC_E_OPNOTSUPPORTED;
  return Guarded("SccDiff", [&]() -> SCCRTN {
    tw::ProviderContext* context = tw::ContextFrom(pvContext);
    if (context == nullptr || lpFileName == nullptr || lpFileName[0] == '\0') {
      return SCC_E_NONSPECIFICERROR;
    }
    return tw::Diff(context, hWnd, lpFileName);
  });
}

TW_EXPORT SCCRTN SccRunScc(LPVOID /*pvContext*/, HWND /*hWnd*/, LONG /*nFiles*/,
                           LPCSTR* /*lpFileNames*/) {
  // The client is started (or its absence told) whatever the host passed.
  Guarded("SccRunScc", []() -> SCCRTN { return tw::RunScc(); });
  return SCC_OK;
}
