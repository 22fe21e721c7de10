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
// local file is left alone. Names on the server do not differ in letter
// case, so two local files may name one Document; only one of them takes
// part, and the others are left out with a notice.
//
// No update is lost: a check-in sends a file only when the server's current
// version is the one the file was last fetched as or checked in from, and a
// check-out of a file the user holds already brings a newer version down
// (a deferred lock granted meanwhile leaves the local copy behind).
//
// Every failure reaches the host as a negative code (MsscciResult).
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dialogs/overwrite_dialog.h"
#include "platform/file_attributes.h"
#include "platform/path.h"
#include "protocol/name_table.h"
#include "provider/export_support.h"
#include "provider/logon.h"
#include "provider/merge.h"
#include "provider/velscc.h"
#include "session/client_session.h"
#include "session/document_requests.h"
#include "session/lock_requests.h"
#include "session/production_requests.h"
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
  std::vector<LocalFile> files;

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
    if (status == kStatusMissing) return kFetch;
    return Ask(record, path, status);
  }

  // The question about a file whose local status is `status`, unless an
  // earlier Yes To All or No To All answers it.
  Outcome Ask(const DocumentInfo& record, const std::string& path, int status) {
    if (yes_to_all_) return kFetch;
    if (no_to_all_) return kSkip;
    OverwriteQuestion question;
    question.path = path;
    question.status_name = LocalStatusName(status);
    question.current_project = session_->current_project();
    question.document_id = record.document_id;
    question.merge = [this, &record, &path](void* dialog) {
      if (!RunInteractiveMerge(dialog, session_, record.document_id, path, project_)) return false;
      // The merged file holds the server's version now, and the user's
      // changes: it is based on that version, and still the user's own.
      std::unique_ptr<PropertyFileClient> store = OpenStateStore();
      RecordBaseStamp(store.get(), record.document_id, NativeParent(path), record.server_stamp);
      return true;
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

// The number of the version of a Document whose server stamp is `stamp`,
// from the Document's version list; empty when the list cannot be had or
// holds no such version.
std::string VersionWithStamp(ClientSession* session, const std::string& document_id,
                             const std::string& stamp) {
  std::string text;
  NameTable versions;
  if (stamp.empty() ||
      GetNameList(session, session->current_project(), document_id, kNameListVersions, false,
                  &text) != kSessionOk ||
      !NameTable::Parse(text, &versions)) {
    return "";
  }
  for (size_t row = 0; row < versions.row_count(); ++row) {
    if (versions.Get(row, kColumnStamp) == stamp) return versions.Get(row, kColumnVersion);
  }
  return "";
}

// "version 3", or "a version the server does not list" when the number is
// not known (its history could not be read, or the server's repository was
// put back to a state before that version).
std::string VersionText(const std::string& number) {
  return number.empty() ? "a version the server does not list" : "version " + number;
}

// Who holds the lock of a Document and where the user stands in its queue,
// from the Document's lock table.
struct LockHolders {
  std::vector<std::string> users;  // holders other than the user
  bool exclusive = false;
  std::string rank;  // the user's place in the queue; empty when not queued
};

LockHolders ReadLockHolders(ClientSession* session, const std::string& document_id) {
  LockHolders holders;
  std::string text;
  NameTable locks;
  if (document_id.empty() ||
      GetNameList(session, session->current_project(), document_id, kNameListLocks, false, &text) !=
          kSessionOk ||
      !NameTable::Parse(text, &locks)) {
    return holders;
  }
  for (size_t row = 0; row < locks.row_count(); ++row) {
    const std::string& user = locks.Get(row, kColumnUser);
    const bool waiting = locks.Get(row, kColumnDeferred) == "1";
    if (waiting) {
      if (user == session->user_name()) holders.rank = locks.Get(row, kColumnRank);
      continue;
    }
    if (user == session->user_name()) continue;
    holders.users.push_back(user);
    holders.exclusive = holders.exclusive || locks.Get(row, kColumnExclusive) == "1";
  }
  return holders;
}

// "alice (exclusive lock)", "alice, bob (shared locks)", or "another user"
// when the lock table could not be had.
std::string HoldersText(const LockHolders& holders) {
  if (holders.users.empty()) return "another user";
  std::string text;
  for (const std::string& user : holders.users) text += (text.empty() ? "" : ", ") + user;
  if (holders.exclusive) return text + " (exclusive lock)";
  return text + (holders.users.size() > 1 ? " (shared locks)" : " (shared lock)");
}

// Tells why a lock was refused and who holds it. `files` are the local
// files of the lock request, in its order.
void ReportLockRefusal(const ProviderContext& context, ClientSession* session,
                       const std::vector<LocalFile>& files, const LockConflict& conflict,
                       int result) {
  if (conflict.server_error == 0) return;
  const std::string file = conflict.index >= 0 && static_cast<size_t>(conflict.index) < files.size()
                               ? files[conflict.index].path
                               : conflict.name;
  const LockHolders holders = ReadLockHolders(session, conflict.document_id);
  const std::string held = Quoted(file) + " is locked by " + HoldersText(holders);
  const std::string place = holders.rank.empty() ? "" : " (place " + holders.rank + ")";
  if (result == kSessionDeferredRequested) {
    TextOut(context, held + "; you are queued for its lock" + place +
                         ". It is not checked out to you until the lock is granted; the next "
                         "check-out or get of it then brings its latest version down.");
  } else if (result == kSessionAlreadyQueued) {
    TextOut(context,
            held + "; you are queued for its lock already" + place + ". Nothing was checked out.");
  } else {
    TextOut(context, held + ". Nothing was checked out.");
  }
}

// Asks the server about every file, between the two notices. 0 with one
// record per file, or the session's code (the failure notice sent).
int Retrieve(const ProviderContext& context, ClientSession* session, const OperationTexts& texts,
             const std::vector<std::string>& files, std::vector<DocumentInfo>* records) {
  TextOut(context, texts.retrieving);
  const int code = FetchDocumentInfo(session, context.project_leaf_name, files,
                                     context.local_project_path, context.project_root, records);
  if (code != kSessionOk) {
    std::vector<std::string> names;
    for (const std::string& file : files) names.push_back(NativeLastComponent(file));
    TextOut(context, texts.failed + JoinLines(names));
    return code;
  }
  TextOut(context, texts.retrieved);
  OneFilePerDocument(context, session, files, records);
  return kSessionOk;
}

// The failure notice of an operation, and `why` when the failed request
// knew more than its result says.
void ReportFailure(const ProviderContext& context, const OperationTexts& texts,
                   const DocumentList& list, const std::string& why) {
  TextOut(context, texts.failed + JoinLines(list.Names()));
  if (!why.empty()) TextOut(context, why);
}

SCCRTN Get(ProviderContext* context, HWND window, const std::vector<std::string>& files) {
  if (files.empty()) return SCC_OK;
  if (const SCCRTN logon = LogOnForOperation(window, context); logon != SCC_OK) return logon;
  ExportSession session(context, SCC_OK);
  if (!session) return session.failure();
  std::vector<DocumentInfo> records;
  if (const int retrieved = Retrieve(*context, session.get(), kGetTexts, files, &records);
      retrieved != kSessionOk) {
    return MsscciResult(retrieved);
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
  std::string why;
  if (const int fetched = FetchDocuments(session.get(), fetch.ids, fetch.files, {}, &why);
      fetched != kSessionOk) {
    ReportFailure(*context, kGetTexts, fetch, why);
    return MsscciResult(fetched);
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
  if (const int retrieved = Retrieve(*context, session.get(), kCheckoutTexts, files, &records);
      retrieved != kSessionOk) {
    return MsscciResult(retrieved);
  }

  const bool synchronise = !options.present() || options.byte(1);
  OverwriteDecision decision(window, session.get(), context->aux_project_path);
  DocumentList lock, fetch;
  for (size_t i = 0; i < files.size(); ++i) {
    if (IsExcluded(*context, files[i])) continue;
    const DocumentInfo& record = records[i];
    if (record.document_id.empty()) continue;
    if (record.checked_out_by_me) {
      // Held already: not locked again, and fetched only when the server
      // has a version other than the local copy's (a deferred lock granted
      // while the copy stayed behind).
      std::string base;
      if (!synchronise || CompareBaseWithTip(record, files[i], &base) != FileBase::kOther) {
        continue;
      }
      TextOut(*context, Quoted(files[i]) + " is checked out to you, and the server has version " +
                            record.current_version + ", while your copy is based on " +
                            VersionText(VersionWithStamp(session.get(), record.document_id, base)) +
                            ".");
      const OverwriteDecision::Outcome outcome = decision.Decide(record, files[i]);
      if (outcome == OverwriteDecision::kCancel) return SCC_I_OPERATIONCANCELED;
      if (outcome == OverwriteDecision::kFetch) {
        fetch.Add(record.document_id, files[i], WorkingFolderOf(*context, files[i]));
      } else {
        TextOut(*context, Quoted(files[i]) + " is kept as it is; it cannot be checked in until " +
                              "version " + record.current_version + " is brought down.");
      }
      continue;
    }
    lock.Add(record.document_id, files[i]);
    // Without synchronising nothing is fetched, so nothing is asked.
    if (!synchronise) continue;
    const OverwriteDecision::Outcome outcome = decision.Decide(record, files[i]);
    if (outcome == OverwriteDecision::kCancel) return SCC_I_OPERATIONCANCELED;
    if (outcome == OverwriteDecision::kFetch) {
      fetch.Add(record.document_id, files[i], WorkingFolderOf(*context, files[i]));
    }
  }

  const bool shared = options.present() && !options.byte(0);
  LockConflict conflict;
  int result = AcquireLocks(session.get(), lock.ids, lock.Paths(), {}, shared, &conflict);
  if (result != kSessionOk) {
    ReportLockRefusal(*context, session.get(), lock.files, conflict, result);
  }
  std::string why;
  if (result == kSessionOk && synchronise) {
    result = FetchDocuments(session.get(), fetch.ids, fetch.files, {}, &why);
    // The user holds every lock now: the fetched copies are his to edit.
    if (result == kSessionOk) SetReadOnly(fetch.Paths(), false);
  }
  if (result != kSessionOk) ReportFailure(*context, kCheckoutTexts, lock, why);
  return MsscciResult(result);
}

SCCRTN Uncheckout(ProviderContext* context, HWND window, const std::vector<std::string>& files) {
  if (files.empty()) return SCC_OK;
  if (const SCCRTN logon = LogOnForOperation(window, context); logon != SCC_OK) return logon;
  ExportSession session(context);
  if (!session) return session.failure();
  std::vector<DocumentInfo> records;
  const int retrieved = Retrieve(*context, session.get(), kUncheckoutTexts, files, &records);
  if (retrieved != kSessionOk) return MsscciResult(retrieved);

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

  int result = ReleaseLocks(session.get(), release.ids, release.Paths());
  std::string why;
  if (result == kSessionOk) {
    SetReadOnly(release.Paths(), true);
    result = FetchDocuments(session.get(), fetch.ids, fetch.files, {}, &why);
    // The server's version comes back as a new file: read-only as well.
    if (result == kSessionOk) SetReadOnly(fetch.Paths(), true);
  }
  if (result != kSessionOk) ReportFailure(*context, kUncheckoutTexts, release, why);
  return MsscciResult(result);
}

SCCRTN Checkin(ProviderContext* context, HWND window, const std::vector<std::string>& files,
               LPCSTR comment, LONG flags, const OptionBytes& options) {
  if (files.empty()) return SCC_OK;
  if (const SCCRTN logon = LogOnForOperation(window, context); logon != SCC_OK) return logon;
  ExportSession session(context);
  if (!session) return session.failure();
  std::vector<DocumentInfo> records;
  if (const int retrieved = Retrieve(*context, session.get(), kCheckinTexts, files, &records);
      retrieved != kSessionOk) {
    return MsscciResult(retrieved);
  }

  DocumentList release, checkin;
  std::vector<size_t> stale;     // files whose base is not the server's version
  std::vector<size_t> baseless;  // files whose base is not known
  for (size_t i = 0; i < files.size(); ++i) {
    const DocumentInfo& record = records[i];
    if (record.document_id.empty()) continue;
    // Decided for every file: the decision also brings a file's write
    // permission in line with its lock.
    const int status = DecideLocalStatus(record, files[i]);
    if (!record.checked_out || !record.checked_out_by_me || status == kStatusCurrent) {
      // Unchanged, or not the user's: released, not checked in.
      release.Add(record.document_id, files[i]);
      continue;
    }
    if (status == kStatusMissing) {
      TextOut(*context, FormatText("Could not find the local file '%s'.", files[i]));
      return SCC_E_FILENOTEXIST;
    }
    // A check-in from any version but the server's would replace one the
    // user never had; so would one from a version nobody recorded (the
    // state cache lost its record, the working folder moved). Nothing is
    // sent for such a file, and its lock stays. A state cache that cannot
    // be read at all stops nobody's check-in: it is a cache, whose writes
    // may be lost, and its server being down must not stop all work.
    std::string base;
    const FileBase from = CompareBaseWithTip(record, files[i], &base);
    if (from == FileBase::kOther) {
      stale.push_back(i);
      TextOut(*context,
              Quoted(files[i]) + " was not checked in: the server has version " +
                  record.current_version + ", and your copy is based on " +
                  VersionText(VersionWithStamp(session.get(), record.document_id, base)) +
                  ". Nothing was sent for it and it stays checked out to you; get version " +
                  record.current_version + " and merge your changes, then check it in again.");
      continue;
    }
    if (from == FileBase::kUnknown) {
      baseless.push_back(i);
      TextOut(*context,
              Quoted(files[i]) + " was not checked in: which version your copy is based on is " +
                  "not known here (no record of it in this working folder), so it could " +
                  "replace version " + record.current_version +
                  " unseen. Nothing was sent for it and it stays checked out to you; get version " +
                  record.current_version +
                  " (you are asked before your copy is overwritten, and may merge), then check "
                  "it in again.");
      continue;
    }
    release.Add(record.document_id, files[i]);
    checkin.Add(record.document_id, files[i]);
  }

  int result = CheckInDocuments(session.get(), checkin.ids, checkin.files, HostString(comment),
                                options.byte(1));
  const bool keep = options.byte(0) || (flags & SCC_KEEP_CHECKEDOUT) != 0;
  if (result == kSessionOk && !keep) {
    result = ReleaseLocks(session.get(), release.ids, release.Paths());
    if (result == kSessionOk) SetReadOnly(release.Paths(), true);
  }
  if (result != kSessionOk) {
    ReportFailure(*context, kCheckinTexts, checkin, std::string());
    return MsscciResult(result);
  }
  return stale.empty() && baseless.empty() ? SCC_OK : SCC_E_CHECKINCONFLICT;
}

// One stored version of a Document: into `target` when it is not empty (no
// state is recorded, nothing is asked), else into the working file `file`,
// asking before local edits are overwritten. The state cache then records
// the version brought down, so that an older one reads as "Old" and is not
// checked in over the newer ones.
SCCRTN GetVersion(ProviderContext* context, HWND window, const std::string& file, LONG version,
                  const std::string& target) {
  if (LogOnForOperation(window, context) != SCC_OK) return SCC_E_CONNECTIONFAILURE;
  ExportSession session(context);
  if (!session) return session.failure();
  std::vector<DocumentInfo> records;
  if (const int retrieved = Retrieve(*context, session.get(), kGetTexts, {file}, &records);
      retrieved != kSessionOk) {
    return MsscciResult(retrieved);
  }
  const DocumentInfo& record = records[0];
  if (record.document_id.empty()) {
    TextOut(*context, Quoted(file) + " is not controlled.");
    return SCC_E_FILENOTCONTROLLED;
  }
  const long latest = std::strtol(record.current_version.c_str(), nullptr, 10);
  if (version < 0 || version > latest) {
    TextOut(*context, Quoted(file) + " has no version " + std::to_string(version) +
                          "; its latest is version " + record.current_version + ".");
    return SCC_E_NOSPECIFIEDVERSION;
  }
  const int wanted = version == 0 ? static_cast<int>(latest) : static_cast<int>(version);
  const std::string what = "version " + std::to_string(wanted) + " of " + Quoted(file);

  if (!target.empty()) {
    const int fetched = FetchDocumentToFile(session.get(), record.document_id, wanted, target);
    if (fetched != kSessionOk) {
      TextOut(*context, "Failed getting " + what);
      return MsscciResult(fetched);
    }
    TextOut(*context, "Succeeded getting " + what + " into " + Quoted(target));
    return SCC_OK;
  }

  // Only a file with changes of its own is asked about: any other local
  // copy is a version the server still has.
  const int status = DecideLocalStatus(record, file);
  if (status != kStatusMissing && status != kStatusCurrent && status != kStatusOld &&
      status != kStatusMoreRecent) {
    OverwriteDecision decision(window, session.get(), context->aux_project_path);
    switch (decision.Ask(record, file, status)) {
      case OverwriteDecision::kCancel:
        return SCC_I_OPERATIONCANCELED;
      case OverwriteDecision::kSkip:
        TextOut(*context, Quoted(file) + " is kept as it is.");
        return SCC_OK;
      case OverwriteDecision::kFetch:
        break;
    }
  }
  DocumentList fetch;
  fetch.Add(record.document_id, file, WorkingFolderOf(*context, file));
  const int fetched = FetchDocuments(session.get(), fetch.ids, fetch.files, {wanted});
  if (fetched != kSessionOk) {
    TextOut(*context, "Failed getting " + what);
    return MsscciResult(fetched);
  }
  SetLocalFileReadOnly(file, !record.checked_out_by_me);
  if (wanted == latest) {
    TextOut(*context, "Succeeded getting " + what);
  } else {
    TextOut(*context, "Succeeded getting " + what + "; the latest is version " +
                          record.current_version +
                          ", and a check-in of this copy is refused "
                          "until the latest is brought down.");
  }
  return SCC_OK;
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

TW_EXPORT SCCRTN VelSccGetVersion(LPVOID pvContext, HWND hWnd, LPCSTR lpFileName, LONG nVersion,
                                  LPCSTR lpTargetPath) {
  if (lpFileName == nullptr || lpFileName[0] == '\0') return SCC_E_NONSPECIFICERROR;
  return FileExport(
      "VelSccGetVersion", pvContext, 1, &lpFileName, true,
      [&](tw::ProviderContext* context, const std::vector<std::string>& files) -> SCCRTN {
        // A name that cannot travel was refused with a notice; the caller's
        // result says so.
        if (files.empty()) return SCC_OK;
        return tw::GetVersion(context, hWnd, files[0], nVersion, tw::HostString(lpTargetPath));
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
