// The four file exports – SccGet, SccCheckout, SccUncheckout, SccCheckin –
// and the shape they share: a logged-on session, one "PRODUCTIONCMD" 25 for
// what the server knows about every named file, the local status of each
// file against the state cache, the overwrite question before a local file
// would be replaced, then at most a lock command and a Document command,
// batched over all files. The slot stays held from after the logon to the
// end, so no other context of the process interleaves its commands.
//
// A file the server does not know (no Document identifier) takes part in no
// command: there is nothing to lock, fetch, check in or release, and its
// local file is left alone.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dialogs/overwrite_dialog.h"
#include "platform/file_attributes.h"
#include "platform/path.h"
#include "provider/export_support.h"
#include "provider/logon.h"
#include "provider/merge.h"
#include "session/client_session.h"
#include "session/state_cache.h"

namespace tw {

namespace {

// The notices of one operation.
struct OperationTexts {
  const char* retrieving;
  const char* retrieved;
  const char* failed;  // followed by the file names, one a line
};

constexpr OperationTexts kGetTexts = {
    "Retrieving data from server for local data synchronization...",
    "Retrieved data from server for local data synchronization.", "Failed getting files\n"};
constexpr OperationTexts kCheckoutTexts = {"Retrieving data from server for checkout operation...",
                                           "Retrieved data from server for checkout operation.",
                                           "Failed checking out files\n"};
constexpr OperationTexts kUncheckoutTexts = {
    "Retrieving data from server for undo checkout operation...",
    "Retrieved data from server for undo checkout operation.",
    "Failed undoing the checkout of files\n"};
constexpr OperationTexts kCheckinTexts = {"Retrieving data from server for checkin operation...",
                                          "Retrieved data from server for checkin operation.",
                                          "Failed checking in files\n"};

// The options object of check-out and check-in: two bytes the provider
// allocated in SccGetCommandOptions and owns again once the host passes it
// in. Absent when the host passed none.
class OptionBytes {
 public:
  explicit OptionBytes(LPCMDOPTS options) : bytes_(static_cast<unsigned char*>(options)) {}
  bool present() const { return bytes_ != nullptr; }
  bool byte(int index) const { return bytes_ != nullptr && bytes_[index] != 0; }

 private:
  std::unique_ptr<unsigned char[]> bytes_;
};

// Parallel lists of Documents and their local files, for one command.
struct DocumentList {
  std::vector<std::string> ids;
  std::vector<ClientSession::LocalFile> files;

  // `working_folder`: where a fetched file must stay (empty: anywhere).
  void Add(const std::string& id, const std::string& path,
           const std::string& working_folder = std::string()) {
    ids.push_back(id);
    files.push_back({path, NativeParent(path), NativeLastComponent(path), working_folder});
  }
  std::vector<std::string> Paths() const {
    std::vector<std::string> paths;
    for (const auto& file : files) paths.push_back(file.path);
    return paths;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& file : files) names.push_back(file.name);
    return names;
  }
};

void SetReadOnly(const std::vector<std::string>& paths, bool read_only) {
  for (const std::string& path : paths) SetLocalFileReadOnly(path, read_only);
}

bool IsExcluded(const ProviderContext& context, const std::string& path) {
  for (const std::string& excluded : context.add_exclusions) {
    if (excluded == path) return true;
  }
  return false;
}

// The overwrite decision for the files of one call; Yes To All and No To
// All last for the call.
class OverwriteDecision {
 public:
  enum Outcome { kFetch, kSkip, kCancel };

  // `project` fills the merge program's project arguments.
  OverwriteDecision(HWND owner, ClientSession* session, std::string project)
      : owner_(owner), session_(session), project_(std::move(project)) {}

  Outcome Decide(const DocumentInfo& record, const std::string& path) {
    const int status = DecideLocalStatus(record, path);
    if (status == kStatusCurrent) return kSkip;
    if (status == kStatusMissing || yes_to_all_) return kFetch;
    if (no_to_all_) return kSkip;
    OverwriteQuestion question;
    question.path = path;
    question.status_name = LocalStatusName(status);
    question.current_project = session_->current_project();
    question.document_id = record.document_id;
    question.merge = [this, &record, &path](void* dialog) {
      return RunInteractiveMerge(dialog, session_, record.document_id, path, project_);
    };
    switch (AskOverwrite(owner_, question)) {
      case kOverwriteYesToAll:
        yes_to_all_ = true;
        return kFetch;
      case kOverwriteYes:
        return kFetch;
      case kOverwriteNoToAll:
        no_to_all_ = true;
        return kSkip;
      case kOverwriteNo:
      case kOverwriteMerge:
        return kSkip;
      default:  // Cancel, or a question nobody answered
        return kCancel;
    }
  }

 private:
  const HWND owner_;
  ClientSession* const session_;
  const std::string project_;
  bool yes_to_all_ = false;
  bool no_to_all_ = false;
};

// Asks the server about every file, between the two notices. 0 with one
// record per file, or the session's code (the failure notice sent).
int Retrieve(const ProviderContext& context, ClientSession* session, const OperationTexts& texts,
             const std::vector<std::string>& files, std::vector<DocumentInfo>* records) {
  TextOut(context, texts.retrieving);
  const int code = session->FetchDocumentInfo(
      context.project_leaf_name, files, context.local_project_path, context.project_root, records);
  if (code != kSessionOk) {
    std::vector<std::string> names;
    for (const std::string& file : files) names.push_back(NativeLastComponent(file));
    TextOut(context, texts.failed + JoinLines(names));
    return code;
  }
  TextOut(context, texts.retrieved);
  return kSessionOk;
}

// The failure notice of an operation, and what the session knows of why.
void ReportFailure(const ProviderContext& context, const OperationTexts& texts,
                   const DocumentList& list, const ClientSession& session) {
  TextOut(context, texts.failed + JoinLines(list.Names()));
  if (!session.failure_text().empty()) TextOut(context, session.failure_text());
}

SCCRTN Get(ProviderContext* context, HWND window, const std::vector<std::string>& files) {
  if (files.empty()) return SCC_OK;
  if (const SCCRTN logon = LogOnForOperation(window, context); logon != SCC_OK) return logon;
  ExportSession session(context, SCC_OK);
  if (!session) return session.failure();
  std::vector<DocumentInfo> records;
  if (Retrieve(*context, session.get(), kGetTexts, files, &records) != kSessionOk) {
    return SCC_E_NONSPECIFICERROR;
  }

  OverwriteDecision decision(window, session.get(), context->aux_project_path);
  DocumentList fetch;
  std::vector<bool> held;  // per fetched file: the user holds its lock
  for (size_t i = 0; i < files.size(); ++i) {
    if (records[i].document_id.empty()) continue;
    const OverwriteDecision::Outcome outcome = decision.Decide(records[i], files[i]);
    if (outcome == OverwriteDecision::kCancel) return SCC_I_OPERATIONCANCELED;
    if (outcome == OverwriteDecision::kFetch) {
      fetch.Add(records[i].document_id, files[i], WorkingFolderOf(*context, files[i]));
      held.push_back(records[i].checked_out_by_me);
    }
  }

  SessionOptions options;
  options.flags[0] = true;
  options.flags[1] = true;
  options.flags[3] = true;
  session->SetOptionFlags(options);
  if (session->FetchDocuments(fetch.ids, fetch.files) != kSessionOk) {
    ReportFailure(*context, kGetTexts, fetch, *session.get());
    return SCC_E_NONSPECIFICERROR;
  }
  // A fetched file is writable only for the holder of its lock.
  for (size_t i = 0; i < fetch.files.size(); ++i) {
    SetLocalFileReadOnly(fetch.files[i].path, !held[i]);
  }
  TextOut(*context, "Succeeded getting file\n" + JoinLines(fetch.Names()));
  return SCC_OK;
}

SCCRTN Checkout(ProviderContext* context, HWND window, const std::vector<std::string>& files,
                const OptionBytes& options) {
  if (files.empty()) return SCC_OK;
  if (const SCCRTN logon = LogOnForOperation(window, context); logon != SCC_OK) return logon;
  ExportSession session(context);
  if (!session) return session.failure();
  std::vector<DocumentInfo> records;
  if (Retrieve(*context, session.get(), kCheckoutTexts, files, &records) != kSessionOk) {
    return SCC_E_NONSPECIFICERROR;
  }

  OverwriteDecision decision(window, session.get(), context->aux_project_path);
  DocumentList lock, fetch;
  for (size_t i = 0; i < files.size(); ++i) {
    if (IsExcluded(*context, files[i])) continue;
    const DocumentInfo& record = records[i];
    // Already checked out by the user: neither locked nor fetched again.
    if (record.document_id.empty() || record.checked_out_by_me) continue;
    lock.Add(record.document_id, files[i]);
    const OverwriteDecision::Outcome outcome = decision.Decide(record, files[i]);
    if (outcome == OverwriteDecision::kCancel) return SCC_I_OPERATIONCANCELED;
    if (outcome == OverwriteDecision::kFetch) {
      fetch.Add(record.document_id, files[i], WorkingFolderOf(*context, files[i]));
    }
  }

  const bool shared = options.present() && !options.byte(0);
  int result = session->AcquireLocks(lock.ids, lock.Paths(), {}, shared);
  if (result == kSessionOk && (!options.present() || options.byte(1))) {
    result = session->FetchDocuments(fetch.ids, fetch.files);
    // The user holds every lock now: the fetched copies are his to edit.
    if (result == kSessionOk) SetReadOnly(fetch.Paths(), false);
  }
  if (result != kSessionOk) ReportFailure(*context, kCheckoutTexts, lock, *session.get());
  return result;
}

SCCRTN Uncheckout(ProviderContext* context, HWND window, const std::vector<std::string>& files) {
  if (files.empty()) return SCC_OK;
  if (const SCCRTN logon = LogOnForOperation(window, context); logon != SCC_OK) return logon;
  ExportSession session(context);
  if (!session) return session.failure();
  std::vector<DocumentInfo> records;
  const int retrieved = Retrieve(*context, session.get(), kUncheckoutTexts, files, &records);
  if (retrieved != kSessionOk) return retrieved;

  OverwriteDecision decision(window, session.get(), context->aux_project_path);
  DocumentList release, fetch;
  for (size_t i = 0; i < files.size(); ++i) {
    if (IsExcluded(*context, files[i])) continue;
    const DocumentInfo& record = records[i];
    if (record.document_id.empty() || !record.checked_out_by_me) continue;
    release.Add(record.document_id, files[i]);
    const OverwriteDecision::Outcome outcome = decision.Decide(record, files[i]);
    if (outcome == OverwriteDecision::kCancel) return SCC_I_OPERATIONCANCELED;
    if (outcome == OverwriteDecision::kFetch) {
      fetch.Add(record.document_id, files[i], WorkingFolderOf(*context, files[i]));
    }
  }

  int result = session->ReleaseLocks(release.ids, release.Paths());
  if (result == kSessionOk) {
    SetReadOnly(release.Paths(), true);
    result = session->FetchDocuments(fetch.ids, fetch.files);
    // The server's version comes back as a new file: read-only as well.
    if (result == kSessionOk) SetReadOnly(fetch.Paths(), true);
  }
  if (result != kSessionOk) ReportFailure(*context, kUncheckoutTexts, release, *session.get());
  return result;
}

SCCRTN Checkin(ProviderContext* context, HWND window, const std::vector<std::string>& files,
               LPCSTR comment, LONG flags, const OptionBytes& options) {
  if (files.empty()) return SCC_OK;
  if (const SCCRTN logon = LogOnForOperation(window, context); logon != SCC_OK) return logon;
  ExportSession session(context);
  if (!session) return session.failure();
  std::vector<DocumentInfo> records;
  if (Retrieve(*context, session.get(), kCheckinTexts, files, &records) != kSessionOk) {
    return SCC_E_NONSPECIFICERROR;
  }

  DocumentList release, checkin;
  for (size_t i = 0; i < files.size(); ++i) {
    const DocumentInfo& record = records[i];
    if (record.document_id.empty()) continue;
    release.Add(record.document_id, files[i]);
    // Decided for every file: the decision also brings a file's write
    // permission in line with its lock.
    const int status = DecideLocalStatus(record, files[i]);
    if (!record.checked_out || !record.checked_out_by_me) continue;
    if (status == kStatusCurrent) continue;  // unchanged: released, not checked in
    if (status == kStatusMissing) {
      TextOut(*context, FormatText("Could not find the local file '%s'.", files[i]));
      return SCC_E_FILENOTEXIST;
    }
    checkin.Add(record.document_id, files[i]);
  }

  int result =
      session->CheckInDocuments(checkin.ids, checkin.files, HostString(comment), options.byte(1));
  const bool keep = options.byte(0) || (flags & SCC_KEEP_CHECKEDOUT) != 0;
  if (result == kSessionOk && !keep) {
    result = session->ReleaseLocks(release.ids, release.Paths());
    if (result == kSessionOk) SetReadOnly(release.Paths(), true);
  }
  if (result != kSessionOk) ReportFailure(*context, kCheckinTexts, checkin, *session.get());
  return result;
}

}  // namespace
}  // namespace tw

using tw::Guarded;

namespace {

// The body of a file export: the context and the host's file list checked
// the same way for all four; a file whose name cannot travel is left out
// and the others go on.
// `writes`: the export may write the files (get, check-out, undo), so a file
// whose folder leads out of the working folder is left out too.
template <typename Body>
SCCRTN FileExport(const char* name, LPVOID pvContext, LONG nFiles, LPCSTR* lpFileNames, bool writes,
                  Body body) {
  return Guarded(name, [&]() -> SCCRTN {
    tw::ProviderContext* context = tw::ContextFrom(pvContext);
    if (context == nullptr) return SCC_E_NONSPECIFICERROR;
    std::vector<std::string> files;
    if (!tw::ReadFileList(nFiles, lpFileNames, &files)) {
      tw::DebugLog("%s - the host's file list is malformed", name);
      return SCC_E_NONSPECIFICERROR;
    }
    tw::SendableFiles sendable = tw::SelectSendableFiles(*context, files);
    if (writes) tw::KeepFilesInside(*context, &sendable);
    return sendable.Result(body(context, sendable.files));
  });
}

}  // namespace

TW_EXPORT SCCRTN SccGet(LPVOID pvContext, HWND hWnd, LONG nFiles, LPCSTR* lpFileNames,
                        LONG /*fOptions*/, LPCMDOPTS /*pvOptions*/) {
  return FileExport(
      "SccGet", pvContext, nFiles, lpFileNames, true,
      [&](tw::ProviderContext* context, const std::vector<std::string>& files) -> SCCRTN {
        return tw::Get(context, hWnd, files);
      });
}

TW_EXPORT SCCRTN SccCheckout(LPVOID pvContext, HWND hWnd, LONG nFiles, LPCSTR* lpFileNames,
                             LPCSTR lpComment, LONG /*fOptions*/, LPCMDOPTS pvOptions) {
  // The provider owns the options object from here on, whatever happens.
  const tw::OptionBytes options(pvOptions);
  if (tw::IsProbeComment(lpComment)) return SCC_OK;
  return FileExport(
      "SccCheckout", pvContext, nFiles, lpFileNames, true,
      [&](tw::ProviderContext* context, const std::vector<std::string>& files) -> SCCRTN {
        return tw::Checkout(context, hWnd, files, options);
      });
}

TW_EXPORT SCCRTN SccUncheckout(LPVOID pvContext, HWND hWnd, LONG nFiles, LPCSTR* lpFileNames,
                               LONG /*fOptions*/, LPCMDOPTS /*pvOptions*/) {
  return FileExport(
      "SccUncheckout", pvContext, nFiles, lpFileNames, true,
      [&](tw::ProviderContext* context, const std::vector<std::string>& files) -> SCCRTN {
        return tw::Uncheckout(context, hWnd, files);
      });
}

TW_EXPORT SCCRTN SccCheckin(LPVOID pvContext, HWND hWnd, LONG nFiles, LPCSTR* lpFileNames,
                            LPCSTR lpComment, LONG fOptions, LPCMDOPTS pvOptions) {
  const tw::OptionBytes options(pvOptions);
  if (tw::IsProbeComment(lpComment)) return SCC_OK;
  return FileExport(
      "SccCheckin", pvContext, nFiles, lpFileNames, false,
      [&](tw::ProviderContext* context, const std::vector<std::string>& files) -> SCCRTN {
        return tw::Checkin(context, hWnd, files, lpComment, fOptions, options);
      });
}
