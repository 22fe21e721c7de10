// The Document and Production commands of ClientSession: "DOCUMENTCMD"
// (add, check in, fetch), "PRODUCTIONCMD" (create, look up, document
// information) and "GETNAMELIST". Each sends one request, waits for its
// reply and maps the server's error code to a session result; files named
// by a fetch reply are moved to their local paths here.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>

#include "messaging/list_text.h"
#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/file_attributes.h"
#include "platform/file_move.h"
#include "platform/system_factory.h"
#include "protocol/command.h"
#include "protocol/document_command.h"
#include "protocol/name_list_command.h"
#include "protocol/production_command.h"
#include "protocol/server_errors.h"
#include "session/client_session.h"
#include "session/state_cache.h"
#include "settings/property_escape.h"
#include "settings/stamp.h"

namespace tw {

namespace {

template <typename T, typename F>
std::string Join(const std::vector<T>& items, F get) {
  std::vector<std::string> elements;
  for (const T& item : items) elements.push_back(get(item));
  return JoinList(elements, kListSeparator);
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// The files a reply brought (its file-list field), as local scratch paths.
std::vector<std::string> ReceivedFiles(const CRLMSGmessage& reply, uint32_t field) {
  std::string text;
  if (reply.GetString(field, &text) != kFieldOk || text.empty()) return {};
  return SplitList(text, kListSeparator);
}

void RemoveFiles(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    if (!path.empty()) std::remove(path.c_str());
  }
}

// Moves a received file into place and gives it the server stamp's instant
// as its last-write time.
bool PlaceReceivedFile(const std::string& received, const std::string& path,
                       const std::string& server_stamp) {
  std::string error;
  if (received.empty() || !MoveFileReplacing(received, path, &error)) {
    DebugLog("ClientSession: cannot place a fetched file: %s", error.c_str());
    return false;
  }
  if (const std::optional<DateTimeStamp> stamp = ServerStampToUtc(server_stamp)) {
    std::unique_ptr<CRLfile> file = GetSystemFactory().NewFile();
    if (file->Open(path, CRLfile::kWrite, 0, CRLfile::kOpenExisting, 0)) {
      file->SetModifiedTime(stamp->time());
      file->Close();
    }
  }
  return true;
}

}  // namespace

std::string RelativeName(const std::string& path, const std::string& root) {
  if (root.empty()) return "";
  const std::string upper_path = Upper(path);
  const std::string upper_root = Upper(root);
  if (upper_path.find(upper_root) == std::string::npos || path.size() <= root.size()) return "";
  return path.substr(root.size() + 1);
}

int ClientSession::AddDocuments(const std::vector<std::string>& production_ids,
                                const std::vector<LocalFile>& files, const std::string& comment,
                                std::vector<std::string>* document_ids) {
  if (!logged_on_) return kSessionNotLoggedOn;
  if (files.empty()) return kSessionOk;
  MessagePtr request = CreateRequest(kDocumentCommand);
  request->SetInt(kFieldSubCommand, add_documents::kSubCommand);
  request->SetString(add_documents::kFieldProductionIds, JoinList(production_ids, kListSeparator));
  request->SetString(add_documents::kFieldNames,
                     Join(files, [](const LocalFile& f) { return f.name; }));
  const std::string paths = Join(files, [](const LocalFile& f) { return f.path; });
  request->SetRawField(add_documents::kFieldFiles, FIELD_FILELIST, paths.data(), paths.size());
  request->SetString(add_documents::kFieldComment, EscapePropertyValue(comment));
  request->SetString(add_documents::kFieldLocalPaths, paths);
  const int sent = SendAndWait(request.get(), kTransferTimeoutSeconds);
  request.reset();
  if (sent != 0) return sent == kSessionNotPermitted ? sent : kSessionNoReply;
  if (!ReplyIs(kDocumentCommand)) return kSessionUnexpected;
  if (!last_request_succeeded_) {
    if (last_error_code_ == kServerDocumentExists || last_error_code_ == kServerDocumentTwice) {
      return kSessionDocumentExists;
    }
    return MapError(kSessionUnexpected);
  }
  std::string ids_text, stamps_text;
  last_reply_->GetString(add_documents::kReplyDocumentIds, &ids_text);
  last_reply_->GetString(add_documents::kReplyStamps, &stamps_text);
  const std::vector<std::string> ids = SplitList(ids_text, kListSeparator);
  const std::vector<std::string> stamps = SplitList(stamps_text, kListSeparator);
  if (document_ids != nullptr) *document_ids = ids;
  std::unique_ptr<PropertyFileClient> store = OpenStateStore();
  for (size_t i = 0; i < files.size() && i < ids.size() && i < stamps.size(); ++i) {
    RecordDocumentState(store.get(), ids[i], files[i].directory, files[i].path, files[i].name,
                        stamps[i], true);
  }
  return kSessionOk;
}

int ClientSession::CheckInDocuments(const std::vector<std::string>& document_ids,
                                    const std::vector<LocalFile>& files,
                                    const std::string& comment, bool work_in_progress) {
  if (!logged_on_) return kSessionNotLoggedOn;
  if (document_ids.empty()) return kSessionOk;
  for (const LocalFile& file : files) {
    if (!LocalFileExists(file.path)) return kSessionLocalFileMissing;
  }
  MessagePtr request = CreateRequest(kDocumentCommand);
  request->SetInt(kFieldSubCommand, check_in::kSubCommand);
  request->SetString(check_in::kFieldDocumentIds, JoinList(document_ids, kListSeparator));
  const std::string paths = Join(files, [](const LocalFile& f) { return f.path; });
  request->SetRawField(check_in::kFieldFiles, FIELD_FILELIST, paths.data(), paths.size());
  request->SetInt(check_in::kFieldWorkInProgress, work_in_progress ? 1 : 0);
  request->SetString(check_in::kFieldLocalPaths, paths);
  request->SetString(check_in::kFieldComment, EscapePropertyValue(comment));
  request->SetIntList(check_in::kFieldFileFlags, std::vector<int>(files.size(), 0));
  const int sent = SendAndWait(request.get(), kRequestTimeoutSeconds);
  request.reset();
  if (sent != 0) return sent == kSessionNotPermitted ? sent : kSessionNoReply;
  if (!ReplyIs(kDocumentCommand)) return kSessionUnexpected;
  if (!last_request_succeeded_) {
    if (last_error_code_ == kServerNotCheckedOut) return kSessionReleaseRefused;
    if (last_error_code_ == kServerContentIncomplete) return kSessionIncompleteContent;
    return MapError(kSessionUnexpected);
  }
  std::string ids_text, stamps_text;
  last_reply_->GetString(check_in::kReplyDocumentIds, &ids_text);
  last_reply_->GetString(check_in::kReplyStamps, &stamps_text);
  const std::vector<std::string> ids = SplitList(ids_text, kListSeparator);
  const std::vector<std::string> stamps = SplitList(stamps_text, kListSeparator);
  std::unique_ptr<PropertyFileClient> store = OpenStateStore();
  for (size_t i = 0; i < files.size() && i < ids.size() && i < stamps.size(); ++i) {
    RecordDocumentState(store.get(), ids[i], files[i].directory, files[i].path, files[i].name,
                        stamps[i], false);
  }
  return kSessionOk;
}

int ClientSession::FetchDocuments(const std::vector<std::string>& document_ids,
                                  const std::vector<LocalFile>& files) {
  if (!logged_on_) return kSessionNotLoggedOn;
  if (document_ids.empty()) return kSessionOk;
  MessagePtr request = CreateRequest(kDocumentCommand);
  request->SetInt(kFieldSubCommand, fetch::kSubCommand);
  request->SetString(fetch::kFieldDocumentIds, JoinList(document_ids, kListSeparator));
  request->SetIntList(fetch::kFieldVersions, std::vector<int>(document_ids.size(), 0));
  request->SetInt(fetch::kFieldAlwaysZero, 0);
  const int sent = SendAndWait(request.get(), kTransferTimeoutSeconds);
  request.reset();
  if (sent != 0) return sent == kSessionNotPermitted ? sent : kSessionNoReply;
  const std::vector<std::string> received = ReceivedFiles(*last_reply_.get(), fetch::kReplyFiles);
  if (!ReplyIs(kDocumentCommand)) {
    RemoveFiles(received);
    return kSessionUnexpected;
  }
  if (last_error_code_ != 0) {
    RemoveFiles(received);
    return last_error_code_;
  }
  std::string ids_text, stamps_text;
  last_reply_->GetString(fetch::kReplyDocumentIds, &ids_text);
  last_reply_->GetString(fetch::kReplyStamps, &stamps_text);
  const std::vector<std::string> ids = SplitList(ids_text, kListSeparator);
  const std::vector<std::string> stamps = SplitList(stamps_text, kListSeparator);
  const size_t count = std::min({files.size(), ids.size(), stamps.size(), received.size()});
  std::vector<bool> placed(count, false);
  for (size_t i = 0; i < count; ++i) {
    placed[i] = PlaceReceivedFile(received[i], files[i].path, stamps[i]);
  }
  for (size_t i = count; i < received.size(); ++i) std::remove(received[i].c_str());
  std::unique_ptr<PropertyFileClient> store = OpenStateStore();
  for (size_t i = 0; i < count; ++i) {
    if (placed[i]) {
      RecordDocumentState(store.get(), ids[i], files[i].directory, files[i].path, files[i].name,
                          stamps[i], false);
    }
  }
  return kSessionOk;
}

int ClientSession::FetchDocumentToFile(const std::string& document_id, int version,
                                       const std::string& path) {
  if (!logged_on_) return kSessionNotLoggedOn;
  MessagePtr request = CreateRequest(kDocumentCommand);
  request->SetInt(kFieldSubCommand, fetch::kSubCommand);
  request->SetString(fetch::kFieldDocumentIds, document_id);
  request->SetIntList(fetch::kFieldVersions, std::vector<int>{version});
  request->SetInt(fetch::kFieldAlwaysZero, 0);
  const int sent = SendAndWait(request.get(), kTransferTimeoutSeconds);
  request.reset();
  if (sent != 0) return sent == kSessionNotPermitted ? sent : kSessionNoReply;
  const std::vector<std::string> received = ReceivedFiles(*last_reply_.get(), fetch::kReplyFiles);
  if (!ReplyIs(kDocumentCommand) || last_error_code_ != 0 || received.size() != 1) {
    RemoveFiles(received);
    return ReplyIs(kDocumentCommand) && last_error_code_ != 0 ? last_error_code_
                                                              : kSessionUnexpected;
  }
  std::string stamps_text;
  last_reply_->GetString(fetch::kReplyStamps, &stamps_text);
  return PlaceReceivedFile(received[0], path, stamps_text) ? kSessionOk : kSessionUnexpected;
}

int ClientSession::CreateProduction(const std::string& parent_id, const std::string& name,
                                    std::string* id) {
  if (!logged_on_) return kSessionNotLoggedOn;
  MessagePtr request = CreateRequest(kProductionCommand);
  request->SetInt(kFieldSubCommand, create_production::kSubCommand);
  request->SetString(create_production::kFieldParentId, parent_id);
  request->SetString(create_production::kFieldName, name);
  const int sent = SendAndWait(request.get(), kRequestTimeoutSeconds);
  request.reset();
  if (sent != 0) return sent == kSessionNotPermitted ? sent : kSessionNoReply;
  if (!ReplyIs(kProductionCommand)) return kSessionUnexpected;
  if (!last_request_succeeded_) {
    if (last_error_code_ == kServerProductionExists ||
        last_error_code_ == kServerProductionCaseVariant) {
      last_reply_->GetString(create_production::kReplyProductionId, id);
      return kSessionProductionExists;
    }
    return kSessionCreateFailed;
  }
  last_reply_->GetString(create_production::kReplyProductionId, id);
  return kSessionOk;
}

int ClientSession::LookupProduction(const std::string& path, bool after_logon, std::string* id) {
  MessagePtr request = CreateRequest(kProductionCommand);
  request->SetInt(kFieldSubCommand, lookup_production::kSubCommand);
  request->SetString(lookup_production::kFieldPath, path);
  if (after_logon) request->SetInt(lookup_production::kFieldAfterLogon, 1);
  const int sent = SendAndWait(request.get(), kRequestTimeoutSeconds);
  request.reset();
  if (sent != 0) return sent == kSessionNotPermitted ? sent : kSessionNoReply;
  if (!ReplyIs(kProductionCommand)) return kSessionOk;
  if (!last_request_succeeded_) {
    switch (last_error_code_) {
      case kServerPathNotFound:
        return kSessionPathNotFound;
      case kServerNotLoggedOn:
        return kSessionServerNotLoggedOn;
      case kServerInvalidPath:
        return kSessionInvalidPath;
      default:
        return kSessionUnexpected;
    }
  }
  last_reply_->GetString(lookup_production::kReplyProductionId, id);
  return kSessionOk;
}

int ClientSession::GetNameList(const std::string& caller, const std::string& subject, int kind,
                               bool recursive, std::string* table) {
  if (!logged_on_) return kSessionNotLoggedOn;
  MessagePtr request = CreateRequest(name_list::kCommand);
  request->SetString(name_list::kFieldCaller, caller);
  request->SetString(name_list::kFieldSubject, subject);
  request->SetInt(name_list::kFieldKind, kind);
  if (kind == kNameListDocuments) request->SetInt(name_list::kFieldRecursive, recursive ? 1 : 0);
  const int sent = SendAndWait(request.get(), kRequestTimeoutSeconds);
  request.reset();
  if (sent != 0) return sent == kSessionNotPermitted ? sent : kSessionNoReply;
  if (!ReplyIs(name_list::kCommand)) return kSessionUnexpected;
  if (!last_request_succeeded_) return MapError(kSessionUnexpected);
  last_reply_->GetString(name_list::kReplyTable, table);
  return kSessionOk;
}

int ClientSession::FetchDocumentInfo(const std::string& production_id,
                                     const std::vector<std::string>& paths,
                                     const std::string& local_project_path,
                                     const std::string& project_root,
                                     std::vector<DocumentInfo>* out) {
  std::vector<std::string> names;
  std::vector<std::string> local_names;
  for (const std::string& path : paths) {
    std::string name = RelativeName(path, project_root);
    if (name.empty()) name = RelativeName(path, local_project_path);
    // Names travel in wire form.
    std::replace(name.begin(), name.end(), '/', '\\');
    names.push_back(name);
    local_names.push_back(RelativeName(path, local_project_path));
  }
  MessagePtr request = CreateRequest(kProductionCommand);
  request->SetInt(kFieldSubCommand, document_info::kSubCommand);
  request->SetString(document_info::kFieldProductionId, production_id);
  request->SetString(document_info::kFieldNames, JoinList(names, kListSeparator));
  const int sent = SendAndWait(request.get(), kRequestTimeoutSeconds);
  request.reset();
  if (sent != 0) return sent;
  if (!ReplyIs(kProductionCommand)) return kSessionUnexpected;
  if (last_error_code_ == kServerNotLoggedOn) return kSessionServerNotLoggedOn;
  if (last_error_code_ != 0) return kSessionUnexpected;
  auto reply_list = [this](uint32_t field) {
    std::string text;
    last_reply_->GetString(field, &text);
    return SplitList(text, document_info::kReplySeparator);
  };
  const std::vector<std::string> ids = reply_list(document_info::kReplyDocumentIds);
  const std::vector<std::string> versions = reply_list(document_info::kReplyVersions);
  const std::vector<std::string> flags = reply_list(document_info::kReplyFlags);
  const std::vector<std::string> stamps = reply_list(document_info::kReplyStamps);
  if (ids.size() != paths.size() || versions.size() != ids.size() || flags.size() != ids.size() ||
      stamps.size() != ids.size()) {
    return kSessionUnexpected;
  }
  out->clear();
  for (size_t i = 0; i < ids.size(); ++i) {
    DocumentInfo info;
    info.name = names[i];
    info.local_name = local_names[i];
    info.current_version = versions[i];
    info.document_id = ids[i];
    info.server_stamp = stamps[i];
    info.SetFlags(std::atoi(flags[i].c_str()));
    out->push_back(std::move(info));
  }
  return kSessionOk;
}

}  // namespace tw
