// SccAdd: new local files become Documents of the Production that mirrors
// their local folder. The folder tree below the project's root maps onto the
// Production tree below the bound Production; Productions that do not exist
// yet are created on the way, the upper ones first, each once per call.
//
// SccAdd is also where the development environment's probe files are
// recognised: they are remembered in the context (the check-out and undo
// exports skip them) and never reach the server.
//
// Each file has its own outcome: a file whose folder cannot become a
// Production, whose name the server does not take, or whose name differs
// only in letter case from a controlled name of its Production or from
// another name of the same add (names on the server do not differ in
// letter case) is left out with a notice naming it, and the others go on.
// A file left out for its name is not controlled, so it is left writable.
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_attributes.h"
#include "platform/letter_case.h"
#include "platform/path.h"
#include "protocol/name_table.h"
#include "provider/export_support.h"
#include "provider/logon.h"
#include "session/client_session.h"
#include "session/document_requests.h"
#include "session/lock_requests.h"
#include "session/production_requests.h"

namespace tw {

namespace {

// The folder of `path` relative to `base`, in native form ("" for a file
// directly in it); false when `path` does not lie below `base`. Compared
// with letter case, as the host spells its own folders.
bool FolderBelow(const std::string& path, const std::string& base, std::string* folder) {
  if (base.empty() || path.size() <= base.size() + 1 || path.compare(0, base.size(), base) != 0 ||
      path[base.size()] != kNativeSeparator) {
    return false;
  }
  *folder = NativeParent(path.substr(base.size() + 1));
  return true;
}

// Maps each local folder of an add to the Production its files go to.
class AddFolderMapper {
 public:
  AddFolderMapper(ClientSession* session, const ProviderContext& context)
      : session_(session),
        root_(context.project_root),
        local_(context.local_project_path),
        bound_aux_(DropTrailingSeparator(NativeToWire(context.bound_aux_path), kWireSeparator)),
        bound_id_(context.project_leaf_name) {}

  // The Production for the folder of `path`; "" when it could be neither
  // found nor created.
  std::string ProductionFor(const std::string& path) {
    const std::string local_folder = NativeParent(path);
    auto known = by_local_folder_.find(local_folder);
    if (known != by_local_folder_.end()) return known->second;
    std::string relative;
    if (!FolderBelow(path, root_, &relative)) FolderBelow(path, local_, &relative);
    // A file in the root itself, or outside both folders, goes to the bound
    // Production.
    const std::string id = relative.empty() ? bound_id_ : ForRelativeFolder(NativeToWire(relative));
    if (!id.empty()) by_local_folder_[local_folder] = id;
    return id;
  }

 private:
  std::string ProductionPath(const std::string& relative) const {
    return bound_aux_ + kWireSeparator + relative;
  }

  std::string ForRelativeFolder(const std::string& relative) {
    auto made = by_relative_.find(UpperCase(relative));
    if (made != by_relative_.end()) return made->second;
    std::string id;
    if (LookupProduction(session_, ProductionPath(relative), false, &id) == kSessionOk &&
        !id.empty()) {
      by_relative_[UpperCase(relative)] = id;
      return id;
    }
    // Walk down from the bound Production, creating what is missing.
    std::string parent = bound_id_;
    std::string prefix;
    size_t start = 0;
    while (start <= relative.size()) {
      size_t end = relative.find(kWireSeparator, start);
      if (end == std::string::npos) end = relative.size();
      const std::string component = relative.substr(start, end - start);
      start = end + 1;
      prefix = WireJoin(prefix, component);
      auto known = by_relative_.find(UpperCase(prefix));
      if (known != by_relative_.end()) {
        parent = known->second;
        continue;
      }
      std::string child;
      const int created = CreateProduction(session_, parent, component, &child);
      if (created == kSessionProductionExists && child.empty()) {
        LookupProduction(session_, ProductionPath(prefix), false, &child);
      } else if (created != kSessionOk && created != kSessionProductionExists) {
        return "";
      }
      if (child.empty()) return "";
      by_relative_[UpperCase(prefix)] = child;
      parent = child;
    }
    return parent;
  }

  ClientSession* const session_;
  const std::string root_;
  const std::string local_;
  const std::string bound_aux_;
  const std::string bound_id_;
  std::map<std::string, std::string> by_local_folder_;
  std::map<std::string, std::string> by_relative_;  // upper-cased relative folder → id
};

std::string FileLines(const std::vector<std::string>& files) {
  return JoinLines(files) + ".";
}

// A file that is left out of the add for its name: it is not controlled,
// so the user may edit it (a status query may have made it read-only).
void LeaveWritable(const std::string& path) {
  if (LocalFileExists(path)) SetLocalFileReadOnly(path, false);
}

// The files of one add on their way to the server, each with its outcome.
class AddBatch {
 public:
  AddBatch(const ProviderContext& context, ClientSession* session, std::string comment)
      : context_(context), session_(session), comment_(std::move(comment)) {}

  // A file for the Production `production`.
  void Push(size_t index, const std::string& production, const std::string& path) {
    pending_.push_back({index, production, {path, NativeParent(path), NativeLastComponent(path)}});
  }

  // Sends the files: all in one request when the server takes them all;
  // when it refuses a name, the request is split until the refused names
  // are found alone and left out. The session's code of a failure of
  // another kind (nothing more is sent then), else kSessionOk.
  int Send() { return SendRange(0, pending_.size()); }

  // The files added: their positions in the list of the add, each with its
  // new Document identifier.
  const std::map<size_t, std::string>& added() const { return added_; }
  // The MSSCCI code of the first file left out by the server; SCC_OK when
  // none was.
  SCCRTN refusal() const { return refusal_; }
  // Whether the file at `index` was left out for being controlled already.
  bool controlled(size_t index) const { return controlled_.count(index) > 0; }

 private:
  struct Pending {
    size_t index;
    std::string production;
    LocalFile file;
  };

  int SendRange(size_t first, size_t last) {
    if (first >= last) return kSessionOk;
    std::vector<std::string> productions;
    std::vector<LocalFile> files;
    for (size_t i = first; i < last; ++i) {
      productions.push_back(pending_[i].production);
      files.push_back(pending_[i].file);
    }
    std::vector<std::string> ids;
    const int result = AddDocuments(session_, productions, files, comment_, &ids);
    if (result == kSessionOk) {
      for (size_t i = first; i < last && i - first < ids.size(); ++i) {
        added_[pending_[i].index] = ids[i - first];
      }
      return kSessionOk;
    }
    if (result != kSessionDocumentExists && result != kSessionInvalidName) return result;
    if (last - first == 1) {
      LeaveOut(pending_[first], result);
      return kSessionOk;
    }
    const size_t middle = first + (last - first) / 2;
    const int upper = SendRange(first, middle);
    if (upper != kSessionOk) return upper;
    return SendRange(middle, last);
  }

  // Tells why the server refused the one file `pending`.
  void LeaveOut(const Pending& pending, int result) {
    if (refusal_ == SCC_OK) refusal_ = MsscciResult(result);
    const std::string& path = pending.file.path;
    if (result == kSessionInvalidName) {
      TextOut(context_,
              "The server does not take the name of " + Quoted(path) + "; the file is left out.");
      LeaveWritable(path);
      return;
    }
    const std::string existing = ControlledName(pending.production, pending.file.name);
    if (existing.empty() || existing == pending.file.name) {
      TextOut(context_, Quoted(path) + " is controlled already; the file is left out.");
      controlled_.insert(pending.index);
      return;
    }
    TextOut(context_, Quoted(path) + " differs only in letter case from " +
                          Quoted(NativeJoin(pending.file.directory, existing)) +
                          ", which is controlled in the same Production (names there do not "
                          "differ in letter case); the file is left out.");
    LeaveWritable(path);
  }

  // The name of the Document of Production `production` that `name` names
  // without regard to letter case; empty when none can be found.
  std::string ControlledName(const std::string& production, const std::string& name) {
    std::string text;
    NameTable names;
    if (GetNameList(session_, session_->current_project(), production, kNameListDocuments, false,
                    &text) != kSessionOk ||
        !NameTable::Parse(text, &names)) {
      return "";
    }
    for (size_t row = 0; row < names.row_count(); ++row) {
      const std::string& candidate = names.Get(row, kColumnName);
      if (SamePathIgnoringCase(candidate, name)) return candidate;
    }
    return "";
  }

  const ProviderContext& context_;
  ClientSession* const session_;
  const std::string comment_;
  std::vector<Pending> pending_;
  std::map<size_t, std::string> added_;
  std::set<size_t> controlled_;
  SCCRTN refusal_ = SCC_OK;
};

SCCRTN Add(ProviderContext* context, HWND window, const std::vector<std::string>& files,
           LPCSTR comment, const LONG* option_words) {
  if (IsProbeComment(comment)) {
    context->add_exclusions.insert(context->add_exclusions.end(), files.begin(), files.end());
    return SCC_OK;
  }
  if (!context->project_open) return SCC_E_PROJNOTOPEN;
  if (files.empty()) return SCC_OK;
  if (const SCCRTN logon = LogOnForOperation(window, context); logon != SCC_OK) return logon;
  ExportSession session(context);
  TextOut(*context, "Adding files...");
  if (!session) return session.failure();

  // The code of the first file left out here, before anything is sent.
  SCCRTN refusal = SCC_OK;
  AddFolderMapper mapper(session.get(), *context);
  AddBatch batch(*context, session.get(), HostString(comment));
  // (Production, upper-cased name) → the file of this add that has it.
  std::map<std::pair<std::string, std::string>, size_t> names;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string& path = files[i];
    const std::string production = mapper.ProductionFor(path);
    if (production.empty()) {
      TextOut(*context, "The folder of " + Quoted(path) +
                            " could not be found or made as a Production; the file is left out.");
      if (refusal == SCC_OK) refusal = SCC_E_COULDNOTCREATEPROJECT;
      continue;
    }
    const auto [known, fresh] =
        names.try_emplace({production, UpperCase(NativeLastComponent(path))}, i);
    if (!fresh) {
      TextOut(*context, Quoted(path) + " and " + Quoted(files[known->second]) +
                            " would be one Document in the same Production (names there do not "
                            "differ in letter case); " +
                            Quoted(path) + " is left out.");
      if (refusal == SCC_OK) refusal = SCC_E_FILEALREADYEXISTS;
      LeaveWritable(path);
      continue;
    }
    batch.Push(i, production, path);
  }

  const int sent = batch.Send();
  std::vector<std::string> added_paths, failed_paths;
  for (const auto& [index, id] : batch.added()) added_paths.push_back(files[index]);
  if (!added_paths.empty()) TextOut(*context, "Succeeded adding files:\n" + FileLines(added_paths));
  for (size_t i = 0; i < files.size(); ++i) {
    if (batch.added().count(i) != 0) continue;
    failed_paths.push_back(files[i]);
    // Not added - whether refused, its folder not made, or the request
    // failed - it is not controlled, and stays the user's to edit.
    if (!batch.controlled(i)) LeaveWritable(files[i]);
  }
  if (!failed_paths.empty()) TextOut(*context, "Failed adding files:\n" + FileLines(failed_paths));

  // Files added with "keep checked out" are locked at once; a refusal
  // leaves them added but not checked out.
  std::vector<std::string> lock_ids, lock_paths;
  for (const auto& [index, id] : batch.added()) {
    if (option_words != nullptr && (option_words[index] & SCC_KEEP_CHECKEDOUT) != 0 &&
        !id.empty()) {
      lock_ids.push_back(id);
      lock_paths.push_back(files[index]);
    }
  }
  if (sent == kSessionOk) AcquireLocks(session.get(), lock_ids, lock_paths, {}, false);

  if (sent != kSessionOk) return MsscciResult(sent);
  if (refusal != SCC_OK) return refusal;
  return batch.refusal();
}

}  // namespace
}  // namespace tw

TW_EXPORT SCCRTN SccAdd(LPVOID pvContext, HWND hWnd, LONG nFiles, LPCSTR* lpFileNames,
                        LPCSTR lpComment, LONG* pfOptions, LPCMDOPTS /*pvOptions*/) {
  return tw::Guarded("SccAdd", [&]() -> SCCRTN {
    tw::ProviderContext* context = tw::ContextFrom(pvContext);
    if (context == nullptr) return SCC_E_NONSPECIFICERROR;
    std::vector<std::string> files;
    if (!tw::ReadFileList(nFiles, lpFileNames, &files)) {
      tw::DebugLog("SccAdd - the host's file list is malformed");
      return SCC_E_NONSPECIFICERROR;
    }
    // A file whose name cannot travel is left out, and left writable: it
    // cannot be controlled. The option words follow the files that go on.
    const tw::SendableFiles sendable = tw::SelectSendableFiles(*context, files);
    if (!tw::IsProbeComment(lpComment)) {
      for (size_t i = 0, next = 0; i < files.size(); ++i) {
        if (next < sendable.positions.size() && sendable.positions[next] == i) {
          ++next;
        } else {
          tw::LeaveWritable(files[i]);
        }
      }
    }
    std::vector<LONG> options;
    if (pfOptions != nullptr) {
      for (size_t position : sendable.positions) options.push_back(pfOptions[position]);
    }
    return sendable.Result(tw::Add(context, hWnd, sendable.files, lpComment,
                                   pfOptions != nullptr ? options.data() : nullptr));
  });
}
