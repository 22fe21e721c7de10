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
#include "session/client_session.h"
#include "protocol/server_errors.h"
#include "session/state_cache.h"
#include "settings/property_escape.h"
#include "settings/stamp.h"

namespace tw {

namespace {


// Sub-commands.
constexpr int kAddDocuments = 1;
constexpr int kCheckIn = 2;
constexpr int kFetch = 4;
constexpr int kCreateProduction = 4;
constexpr int kLookupProduction = 20;
constexpr int kDocumentInformation = 25;

template <typename T, typename F>
std::string Join(const std::vector<T>& items, F get) {
  std::vector<std::string> elements;
  for (const T& item : items) elements.push_back(get(item));
  return JoinList(elements, '?');
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
  return SplitList(text, '?');
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
  MessagePtr request = CreateRequest("DOCUMENTCMD");
  request->SetInt(ParameterId(1), kAddDocuments);
  request->SetString(ParameterId(2), Join(production_ids, [](const std::string& s) { return s; }));
  request->SetString(ParameterId(3), Join(files, [](const LocalFile& f) { return f.name; }));
  const std::string paths = Join(files, [](const LocalFile& f) { return f.path; });
  request->SetRawField(ParameterId(4), FIELD_FILELIST, paths.data(), paths.size());
  request->SetString(ParameterId(8), EscapePropertyValue(comment));
  request->SetString(ParameterId(10), paths);
  const int sent = SendAndWait(request.get(), kTransferTimeoutSeconds);
  request.reset();
  if (sent != 0) return sent == kSessionNotPermitted ? sent : kSessionNoReply;
  if (!ReplyIs("DOCUMENTCMD")) return kSessionUnexpected;
  if (!last_request_succeeded_) {
    if (last_error_code_ == kServerDocumentExists || last_error_code_ == kServerDocumentTwice) {
      return kSessionDocumentExists;
    }
    return MapError(kSessionUnexpected);
  }
  std::string ids_text, stamps_text;
  last_reply_->GetString(ParameterId(4), &ids_text);
  last_reply_->GetString(ParameterId(5), &stamps_text);
  const std::vector<std::string> ids = SplitList(ids_text, '?');
  const std::vector<std::string> stamps = SplitList(stamps_text, '?');
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
  MessagePtr request = CreateRequest("DOCUMENTCMD");
  request->SetInt(ParameterId(1), kCheckIn);
  request->SetString(ParameterId(2), Join(document_ids, [](const std::string& s) { return s; }));
  const std::string paths = Join(files, [](const LocalFile& f) { return f.path; });
  request->SetRawField(ParameterId(3), FIELD_FILELIST, paths.data(), paths.size());
  request->SetInt(ParameterId(4), work_in_progress ? 1 : 0);
  request->SetString(ParameterId(5), paths);
  request->SetString(ParameterId(6), EscapePropertyValue(comment));
  request->SetIntList(ParameterId(7), std::vector<int>(files.size(), 0));
  const int sent = SendAndWait(request.get(), kRequestTimeoutSeconds);
  request.reset();
  if (sent != 0) return sent == kSessionNotPermitted ? sent : kSessionNoReply;
  if (!ReplyIs("DOCUMENTCMD")) return kSessionUnexpected;
  if (!last_request_succeeded_) {
    if (last_error_code_ == kServerNotCheckedOut) return kSessionReleaseRefused;
    if (last_error_code_ == kServerContentIncomplete) return kSessionIncompleteContent;
    return MapError(kSessionUnexpected);
  }
  std::string ids_text, stamps_text;
  last_reply_->GetString(ParameterId(12), &ids_text);
  last_reply_->GetString(ParameterId(13), &stamps_text);
  const std::vector<std::string> ids = SplitList(ids_text, '?');
  const std::vector<std::string> stamps = SplitList(stamps_text, '?');
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
  MessagePtr request = CreateRequest("DOCUMENTCMD");
  request->SetInt(ParameterId(1), kFetch);
  request->SetString(ParameterId(2), Join(document_ids, [](const std::string& s) { return s; }));
  request->SetIntList(ParameterId(3), std::vector<int>(document_ids.size(), 0));
  request->SetInt(ParameterId(4), 0);
  const int sent = SendAndWait(request.get(), kTransferTimeoutSeconds);
  request.reset();
  if (sent != 0) return sent == kSessionNotPermitted ? sent : kSessionNoReply;
  const std::vector<std::string> received = ReceivedFiles(*last_reply_.get(), ParameterId(7));
  if (!ReplyIs("DOCUMENTCMD")) {
    RemoveFiles(received);
    return kSessionUnexpected;
  }
  if (last_error_code_ != 0) {
    RemoveFiles(received);
    return last_error_code_;
  }
  std::string ids_text, stamps_text;
  last_reply_->GetString(ParameterId(2), &ids_text);
  last_reply_->GetString(ParameterId(6), &stamps_text);
  const std::vector<std::string> ids = SplitList(ids_text, '?');
  const std::vector<std::string> stamps = SplitList(stamps_text, '?');
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
  MessagePtr request = CreateRequest("DOCUMENTCMD");
  request->SetInt(ParameterId(1), kFetch);
  request->SetString(ParameterId(2), document_id);
  request->SetIntList(ParameterId(3), std::vector<int>{version});
  request->SetInt(ParameterId(4), 0);
  const int sent = SendAndWait(request.get(), kTransferTimeoutSeconds);
  request.reset();
  if (sent != 0) return sent == kSessionNotPermitted ? sent : kSessionNoReply;
  const std::vector<std::string> received = ReceivedFiles(*last_reply_.get(), ParameterId(7));
  if (!ReplyIs("DOCUMENTCMD") || last_error_code_ != 0 || received.size() != 1) {
    RemoveFiles(received);
    return ReplyIs("DOCUMENTCMD") && last_error_code_ != 0 ? last_error_code_
                                                           : kSessionUnexpected;
  }
  std::string stamps_text;
  last_reply_->GetString(ParameterId(6), &stamps_text);
  return PlaceReceivedFile(received[0], path, stamps_text) ? kSessionOk : kSessionUnexpected;
}

int ClientSession::CreateProduction(const std::string& parent_id, const std::string& name,
                                    std::string* id) {
  if (!logged_on_) return kSessionNotLoggedOn;
  MessagePtr request = CreateRequest("PRODUCTIONCMD");
  request->SetInt(ParameterId(1), kCreateProduction);
  request->SetString(ParameterId(2), parent_id);
  request->SetString(ParameterId(3), name);
  const int sent = SendAndWait(request.get(), kRequestTimeoutSeconds);
  request.reset();
  if (sent != 0) return sent == kSessionNotPermitted ? sent : kSessionNoReply;
  if (!ReplyIs("PRODUCTIONCMD")) return kSessionUnexpected;
  if (!last_request_succeeded_) {
    if (last_error_code_ == kServerProductionExists ||
        last_error_code_ == kServerProductionCaseVariant) {
      last_reply_->GetString(ParameterId(4), id);
      return kSessionProductionExists;
    }
    return kSessionCreateFailed;
  }
  last_reply_->GetString(ParameterId(4), id);
  return kSessionOk;
}

int ClientSession::LookupProduction(const std::string& path, bool after_logon, std::string* id) {
  MessagePtr request = CreateRequest("PRODUCTIONCMD");
  request->SetInt(ParameterId(1), kLookupProduction);
  request->SetString(ParameterId(2), path);
  if (after_logon) request->SetInt(ParameterId(3), 1);
  const int sent = SendAndWait(request.get(), kRequestTimeoutSeconds);
  request.reset();
  if (sent != 0) return sent == kSessionNotPermitted ? sent : kSessionNoReply;
  if (!ReplyIs("PRODUCTIONCMD")) return kSessionOk;
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
  last_reply_->GetString(ParameterId(2), id);
  return kSessionOk;
}

int ClientSession::GetNameList(const std::string& caller, const std::string& subject, int kind,
                               bool recursive, std::string* table) {
  if (!logged_on_) return kSessionNotLoggedOn;
  MessagePtr request = CreateRequest("GETNAMELIST");
  request->SetString(13, caller);
  request->SetString(ParameterId(1), subject);
  request->SetInt(ParameterId(2), kind);
  if (kind == 2) request->SetInt(ParameterId(3), recursive ? 1 : 0);
  const int sent = SendAndWait(request.get(), kRequestTimeoutSeconds);
  request.reset();
  if (sent != 0) return sent == kSessionNotPermitted ? sent : kSessionNoReply;
  if (!ReplyIs("GETNAMELIST")) return kSessionUnexpected;
  if (!last_request_succeeded_) return MapError(kSessionUnexpected);
  last_reply_->GetString(ParameterId(3), table);
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
  MessagePtr request = CreateRequest("PRODUCTIONCMD");
  request->SetInt(ParameterId(1), kDocumentInformation);
  request->SetString(ParameterId(2), production_id);
  request->SetString(ParameterId(3), Join(names, [](const std::string& s) { return s; }));
  const int sent = SendAndWait(request.get(), kRequestTimeoutSeconds);
  request.reset();
  if (sent != 0) return sent;
  if (!ReplyIs("PRODUCTIONCMD")) return kSessionUnexpected;
  if (last_error_code_ == kServerNotLoggedOn) return kSessionServerNotLoggedOn;
  if (last_error_code_ != 0) return kSessionUnexpected;
  std::string fields[4];
  for (int i = 0; i < 4; ++i) last_reply_->GetString(ParameterId(4 + i), &fields[i]);
  const std::vector<std::string> ids = SplitList(fields[0], ',');
  const std::vector<std::string> versions = SplitList(fields[1], ',');
  const std::vector<std::string> flags = SplitList(fields[2], ',');
  const std::vector<std::string> stamps = SplitList(fields[3], ',');
  if (ids.size() != paths.size() || versions.size() != ids.size() || flags.size() != ids.size() ||
      stamps.size() != ids.size()) {
    return kSessionUnexpected;
  }
  out->clear();
  for (size_t i = 0; i < ids.size(); ++i) {
    DocumentInfo info;
    info.name = names[i];
    info.local_name = local_names[i];
    info.reply_field_104 = versions[i];
    info.document_id = ids[i];
    info.server_stamp = stamps[i];
    info.SetFlags(std::atoi(flags[i].c_str()));
    out->push_back(std::move(info));
  }
  return kSessionOk;
}

}  // namespace tw
