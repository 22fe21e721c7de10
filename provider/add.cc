// SccAdd: new local files become Documents of the Production that mirrors
// their local folder. The folder tree below the project's root maps onto the
// Production tree below the bound Production; Productions that do not exist
// yet are created on the way, the upper ones first, each once per call.
//
// SccAdd is also where the development environment's probe files are
// recognised: they are remembered in the context (the check-out and undo
// exports skip them) and never reach the server.
#include <map>
#include <string>
#include <vector>

#include "platform/letter_case.h"
#include "platform/path.h"
#include "provider/export_support.h"
#include "provider/logon.h"
#include "session/client_session.h"

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
    if (session_->LookupProduction(ProductionPath(relative), false, &id) == kSessionOk &&
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
      const int created = session_->CreateProduction(parent, component, &child);
      if (created == kSessionProductionExists && child.empty()) {
        session_->LookupProduction(ProductionPath(prefix), false, &child);
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

  AddFolderMapper mapper(session.get(), *context);
  std::vector<std::string> productions;
  std::vector<ClientSession::LocalFile> locals;
  for (const std::string& path : files) {
    const std::string production = mapper.ProductionFor(path);
    if (production.empty()) {
      TextOut(*context, "Failed adding files:\n" + FileLines(files));
      return SCC_E_NONSPECIFICERROR;
    }
    productions.push_back(production);
    locals.push_back({path, NativeParent(path), NativeLastComponent(path)});
  }

  std::vector<std::string> ids;
  const int added = session->AddDocuments(productions, locals, HostString(comment), &ids);
  if (added != kSessionOk) {
    TextOut(*context, "Failed adding files:\n" + FileLines(files));
    return added == kSessionDocumentExists ? SCC_E_FILEALREADYEXISTS : SCC_E_NONSPECIFICERROR;
  }
  TextOut(*context, "Succeeded adding files:\n" + FileLines(files));

  // Files added with "keep checked out" are locked at once; a refusal
  // leaves them added but not checked out.
  std::vector<std::string> lock_ids, lock_paths;
  for (size_t i = 0; option_words != nullptr && i < files.size() && i < ids.size(); ++i) {
    if ((option_words[i] & SCC_KEEP_CHECKEDOUT) != 0 && !ids[i].empty()) {
      lock_ids.push_back(ids[i]);
      lock_paths.push_back(files[i]);
    }
  }
  session->AcquireLocks(lock_ids, lock_paths, {}, false);
  return SCC_OK;
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
    // A file whose name cannot travel is left out; the option words follow
    // the files that go on.
    const tw::SendableFiles sendable = tw::SelectSendableFiles(*context, files);
    std::vector<LONG> options;
    if (pfOptions != nullptr) {
      for (size_t position : sendable.positions) options.push_back(pfOptions[position]);
    }
    return sendable.Result(tw::Add(context, hWnd, sendable.files, lpComment,
                                   pfOptions != nullptr ? options.data() : nullptr));
  });
}
