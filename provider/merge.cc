#include "provider/merge.h"

#include "platform/debug_output.h"
#include "platform/file_attributes.h"
#include "platform/file_move.h"
#include "provider/diff_launcher.h"
#include "provider/export_support.h"
#include "session/client_session.h"
#include "session/document_requests.h"
#include "ui/user_interface.h"

namespace tw {

namespace {

constexpr char kNoProgramTitle[] = "Diff Program Not Found";
constexpr char kNoProgramText[] =
    "There is no diff program set. Using the View | Options... menu in the Veltrane client, set "
    "a diff program.";
constexpr char kKeepTitle[] = "Keep Merge Results?";
constexpr char kKeepText[] =
    "Do you want to keep your merged file?\n\nClicking \"No\" will discard your temporary merged "
    "file and give you the option to overwrite your local copy.\n\nClicking \"Yes\" will copy "
    "your temporary merge file to the local location and will not overwrite.";
constexpr char kProblemTitle[] = "Veltrane";
constexpr char kNoTipText[] = "Could not get the server's version of '%s' to merge with.";
constexpr char kNoCopyText[] = "Could not put the files to merge beside '%s'.";
constexpr char kNotReplacedText[] =
    "Could not replace '%s' with the merged file. The merged file is kept beside it.";

void Tell(void* owner, const char* format, const std::string& path) {
  ShowMessageBox(owner, kProblemTitle, FormatText(format, path), MessageBoxButtons::kOk,
                 MessageBoxIcon::kExclamation);
}

}  // namespace

std::string TipFilePath(const std::string& path) {
  return path + ".[Tip]";
}

std::string LocalCopyPath(const std::string& path) {
  return path + ".[Local]";
}

bool FetchTip(ClientSession* session, const std::string& document_id, int version,
              const std::string& path) {
  if (session == nullptr || document_id.empty() || path.empty()) return false;
  // The session receives the content into a scratch file and moves it over
  // the name given, so a failure leaves that name as it was.
  return FetchDocumentToFile(session, document_id, version, TipFilePath(path)) == kSessionOk;
}

bool RunInteractiveMerge(void* owner, ClientSession* session, const std::string& document_id,
                         const std::string& path, const std::string& project) {
  const std::string tip = TipFilePath(path);
  const std::string copy = LocalCopyPath(path);
  if (!FetchTip(session, document_id, 0, path)) {
    Tell(owner, kNoTipText, path);
    return false;
  }
  std::string error;
  if (!CopyFileReplacing(path, copy, &error)) {
    DebugLog("Merge - %s", error.c_str());
    RemoveLocalFile(tip);
    Tell(owner, kNoCopyText, path);
    return false;
  }

  DiffLauncher launcher(session->user_properties());
  if (!launcher.Merge(tip, copy, project, project, true)) {
    ShowMessageBox(owner, kNoProgramTitle, kNoProgramText, MessageBoxButtons::kOk,
                   MessageBoxIcon::kNone);
    RemoveLocalFile(tip);
    RemoveLocalFile(copy);
    return false;
  }
  if (ShowMessageBox(owner, kKeepTitle, kKeepText, MessageBoxButtons::kYesNo,
                     MessageBoxIcon::kQuestion) != kIdYes) {
    RemoveLocalFile(tip);
    RemoveLocalFile(copy);
    return false;
  }

  // The merged copy becomes the working file, which keeps its permissions.
  uint32_t mode = 0;
  const bool had_mode = ReadLocalFileMode(path, &mode);
  if (!MoveFileReplacing(copy, path, &error)) {
    DebugLog("Merge - %s", error.c_str());
    RemoveLocalFile(tip);
    Tell(owner, kNotReplacedText, path);
    return false;
  }
  if (had_mode && !SetLocalFileMode(path, mode, &error)) DebugLog("Merge - %s", error.c_str());
  RemoveLocalFile(tip);
  return true;
}

}  // namespace tw
