#include "provider/export_support.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>
#include <utility>

#include "platform/file_move.h"
#include "platform/letter_case.h"
#include "platform/native_text.h"
#include "platform/path.h"
#include "protocol/name_table.h"
#include "session/client_session.h"
#include "session/document_requests.h"
#include "session/production_requests.h"
#include "ui/terminal.h"

namespace tw {

namespace {

constexpr char kNoticePrefix[] = "Veltrane: ";
constexpr LONG kNoticeType = 0;
constexpr char kProbeComment[] =
    "Temporary file created by Visual Studio .NET to detect Veltrane capabilities.";

// The entries of local folders, upper-cased, each with how many entries
// share it: more than one where the file system tells names that differ
// only in letter case apart. Each folder is read once.
class CaseTwins {
 public:
  // Whether another entry of the file's folder has a name that differs
  // from the file's own only in letter case.
  bool Has(const std::string& path) {
    auto folder = folders_.find(NativeParent(path));
    if (folder == folders_.end()) {
      folder = folders_.emplace(NativeParent(path), Read(NativeParent(path))).first;
    }
    const auto entry = folder->second.find(UpperCase(NativeLastComponent(path)));
    return entry != folder->second.end() && entry->second > 1;
  }

 private:
  static std::map<std::string, int> Read(const std::string& folder) {
    std::map<std::string, int> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(FsPath(folder), error), end; !error && it != end;
         it.increment(error)) {
      ++names[UpperCase(FsText(it->path().filename()))];
    }
    return names;
  }

  std::map<std::string, std::map<std::string, int>> folders_;
};

}  // namespace

ExportSession::ExportSession(ProviderContext* context, SCCRTN failure)
    : lock_(context->slot.get()), slot_(context->slot.get()), failure_(failure) {
  if (!lock_.locked()) return;
  nested_ = slot_->busy() > 0;
  slot_->Enter();
  try {
    session_ = slot_->session();
    if (session_ == nullptr) return;
    if (nested_) outer_project_ = session_->current_project();
    session_->SetCurrentProject(context->project_name);
    previous_notices_ = session_->transfer_notices();
    if (const LPTEXTOUTPROC text_out = context->text_out) {
      session_->SetTransferNotices([text_out](const std::string& message) {
        const std::string text = kNoticePrefix + message;
        text_out(text.c_str(), SCC_MSG_STATUS);
      });
    }
  } catch (...) {
    // The destructor does not run for a guard whose constructor threw: the
    // slot must not stay busy for the rest of the process.
    if (session_ != nullptr && nested_) session_->SetCurrentProject(outer_project_);
    slot_->Leave();
    throw;
  }
}

ExportSession::~ExportSession() {
  if (!lock_.locked()) return;
  // The session cannot have changed meanwhile: it is not replaced while busy.
  if (session_ != nullptr) {
    session_->SetTransferNotices(std::move(previous_notices_));
    if (nested_) session_->SetCurrentProject(outer_project_);
  }
  slot_->Leave();
}

void TextOut(const ProviderContext& context, const std::string& message) {
  TextOutTo(context.text_out, message);
}

void WarningOut(const ProviderContext& context, const std::string& message) {
  if (context.text_out == nullptr) return;
  const std::string text = kNoticePrefix + message;
  context.text_out(text.c_str(), SCC_MSG_WARNING);
}

void TextOutTo(LPTEXTOUTPROC callback, const std::string& message) {
  if (callback == nullptr) return;
  const std::string text = kNoticePrefix + message;
  callback(text.c_str(), kNoticeType);
}

std::string FormatText(const char* format, const std::string& argument) {
  std::string text = format;
  const size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, argument);
  return text;
}

std::string Quoted(const std::string& text) {
  return "'" + text + "'";
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += '\n';
    // One line each, whatever the name holds: a name a server chose could
    // otherwise pass for more files than there are.
    text += TerminalSafeName(lines[i]);
  }
  return text;
}

std::string HostBuffer(LPCSTR buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return "";
  return std::string(buffer, strnlen(buffer, capacity - 1));
}

bool CopyToHost(LPSTR buffer, const std::string& text, size_t capacity) {
  if (buffer == nullptr) return true;
  if (capacity == 0) return false;
  if (text.size() >= capacity || text.find('\0') != std::string::npos) {
    buffer[0] = '\0';
    return false;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

void CopyUserName(LPSTR buffer, const std::string& user) {
  if (buffer == nullptr) return;
  const size_t length = std::min(user.size(), static_cast<size_t>(SCC_USER_LEN));
  std::memcpy(buffer, user.data(), length);
  buffer[length] = '\0';
}

bool ReadFileList(LONG count, const LPCSTR* names, std::vector<std::string>* files) {
  files->clear();
  if (count < 0 || (count > 0 && names == nullptr)) return false;
  files->reserve(static_cast<size_t>(count));
  for (LONG i = 0; i < count; ++i) {
    if (names[i] == nullptr || names[i][0] == '\0') return false;
    files->emplace_back(names[i]);
  }
  return true;
}

SendableFiles SelectSendableFiles(const ProviderContext& context,
                                  const std::vector<std::string>& files) {
  SendableFiles sendable;
  for (size_t i = 0; i < files.size(); ++i) {
    if (files[i].find_first_of("?,") != std::string::npos) {
      TextOut(context, FormatText("The file name '%s' holds \"?\" or \",\", which cannot be sent "
                                  "to the server; the file is left out.",
                                  files[i]));
      ++sendable.refused;
      continue;
    }
    if (kNativeSeparator != kWireSeparator && files[i].find(kWireSeparator) != std::string::npos) {
      TextOut(context, FormatText("The file name '%s' holds \"\\\", which the server reads as a "
                                  "folder separator; the file is left out.",
                                  files[i]));
      ++sendable.refused;
      continue;
    }
    sendable.files.push_back(files[i]);
    sendable.positions.push_back(i);
  }
  return sendable;
}

std::string WorkingFolderOf(const ProviderContext& context, const std::string& path) {
  if (!RelativeName(path, context.project_root).empty()) return context.project_root;
  return context.local_project_path;
}

void KeepFilesInside(const ProviderContext& context, SendableFiles* sendable) {
  SendableFiles kept;
  kept.refused = sendable->refused;
  for (size_t i = 0; i < sendable->files.size(); ++i) {
    const std::string& file = sendable->files[i];
    const std::string root = WorkingFolderOf(context, file);
    // A file outside the working folder by its name is no Document and
    // takes part in nothing; only a way out through a link is refused here.
    if (!root.empty() && !RelativeName(file, root).empty() &&
        !FolderStaysInside(root, NativeParent(file))) {
      TextOut(context, FormatText("The folder of '%s' leads out of the working folder through a "
                                  "symbolic link; the file is left out.",
                                  file));
      ++kept.refused;
      continue;
    }
    kept.files.push_back(file);
    kept.positions.push_back(sendable->positions[i]);
  }
  *sendable = std::move(kept);
}

SCCRTN MsscciResult(int session_result) {
  switch (session_result) {
    case kSessionOk:
      return SCC_OK;
    case kSessionNotLoggedOn:
    case kSessionNoReply:
    case kSessionServerNotLoggedOn:
      return SCC_E_CONNECTIONFAILURE;
    case kSessionDeclinedDeferred:
    case kSessionDeferredRequested:
    case kSessionAlreadyQueued:
      return SCC_E_FILEISCHECKEDOUT;
    case kSessionReleaseRefused:
      return SCC_E_NOTCHECKEDOUT;
    case kSessionLocalFileMissing:
      return SCC_E_FILENOTEXIST;
    case kSessionCreateFailed:
      return SCC_E_COULDNOTCREATEPROJECT;
    case kSessionPathNotFound:
      return SCC_E_UNKNOWNPROJECT;
    case kSessionInvalidPath:
      return SCC_E_PROJSYNTAXERR;
    case kSessionNotPermitted:
      return SCC_E_NOTAUTHORIZED;
    case kSessionIncompleteContent:
      return SCC_E_ACCESSFAILURE;
    case kSessionDocumentExists:
      return SCC_E_FILEALREADYEXISTS;
    case kSessionInvalidName:
      return SCC_E_INVALIDFILEPATH;
    default:
      return SCC_E_NONSPECIFICERROR;
  }
}

bool IsProbeComment(LPCSTR comment) {
  return comment != nullptr && comment[0] != '\0' && SamePathIgnoringCase(comment, kProbeComment);
}

void OneFilePerDocument(const ProviderContext& context, ClientSession* session,
                        const std::vector<std::string>& files, std::vector<DocumentInfo>* records) {
  std::map<std::string, std::vector<size_t>> by_document;
  std::vector<size_t> twins;  // files beside another spelling of their name
  CaseTwins folders;
  for (size_t i = 0; i < records->size() && i < files.size(); ++i) {
    if ((*records)[i].document_id.empty()) continue;
    by_document[(*records)[i].document_id].push_back(i);
    if (folders.Has(files[i])) twins.push_back(i);
  }
  bool listed = false;
  std::map<std::string, std::string> server_names;  // Document identifier → its name
  auto server_name = [&](const std::string& id) -> const std::string& {
    if (!listed) {
      listed = true;
      std::string text;
      NameTable names;
      if (GetNameList(session, session->current_project(), context.project_leaf_name,
                      kNameListDocuments, true, &text) == kSessionOk &&
          NameTable::Parse(text, &names)) {
        for (size_t row = 0; row < names.row_count(); ++row) {
          server_names[names.Get(row, kColumnId)] = names.Get(row, kColumnName);
        }
      }
    }
    return server_names[id];
  };
  for (size_t position : twins) {
    DocumentInfo& record = (*records)[position];
    const std::string& name = server_name(record.document_id);
    if (name.empty() || record.name == name) continue;
    const std::string spelled = NativeJoin(NativeParent(files[position]), WireLastComponent(name));
    auto& group = by_document[record.document_id];
    group.erase(std::find(group.begin(), group.end(), position));
    record.document_id.clear();
    TextOut(context, Quoted(files[position]) + " differs only in letter case from " +
                         Quoted(spelled) +
                         ", the name of its Document on the server (names there do not differ "
                         "in letter case); " +
                         Quoted(files[position]) + " is left out.");
  }
  for (const auto& [id, positions] : by_document) {
    if (positions.size() < 2) continue;
    const std::string& name = server_name(id);
    size_t kept = positions[0];
    for (size_t position : positions) {
      if (!name.empty() && (*records)[position].name == name) {
        kept = position;
        break;
      }
    }
    for (size_t position : positions) {
      if (position == kept) continue;
      (*records)[position].document_id.clear();
      TextOut(context, Quoted(files[position]) + " and " + Quoted(files[kept]) +
                           " name one Document on the server, whose names do not differ in "
                           "letter case; only " +
                           Quoted(files[kept]) + " takes part, " + Quoted(files[position]) +
                           " is left out.");
    }
  }
}

}  // namespace tw
