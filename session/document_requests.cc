// The Document requests: each builds its request, makes one round trip
// through ClientSession::Transact, which maps the server's error code to a
// session result, and reads the Reply it gets; files that a fetch reply
// brought are moved to their local paths here, and the rest go with the
// Reply.
#include "session/document_requests.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>

#include "platform/debug_output.h"
#include "platform/decimal.h"
#include "platform/file.h"
#include "platform/file_attributes.h"
#include "platform/file_move.h"
#include "platform/list_text.h"
#include "platform/native_text.h"
#include "platform/path.h"
#include "platform/system_factory.h"
#include "protocol/command.h"
#include "protocol/document_command.h"
#include "protocol/name_list_command.h"
#include "protocol/production_command.h"
#include "protocol/server_errors.h"
#include "session/received_files.h"
#include "session/state_cache.h"
#include "session/transfer_progress.h"
#include "settings/property_escape.h"
#include "settings/stamp.h"

namespace tw {

namespace {

template <typename F>
std::string JoinFiles(const std::vector<LocalFile>& files, F get) {
  std::vector<std::string> elements;
  elements.reserve(files.size());
  for (const LocalFile& file : files) elements.push_back(get(file));
  return JoinList(elements, kListSeparator);
}

// Moves the received file `received` to `path` (creating its folder when
// missing) and gives it the server stamp's instant as its last-write time.
// With a `working_folder`, the folder is reached and made only inside it
// (platform/file_move.h): a link on the way that leads out refuses the
// file. A file that cannot be placed is removed at once.
bool PlaceReceivedFile(ReceivedFiles* files, const std::string& received, const std::string& path,
                       const std::string& server_stamp, const std::string& working_folder) {
  const std::string folder = NativeParent(path);
  std::string error;
  ContainedFolder contained;
  std::string target = path;
  if (!working_folder.empty()) {
    if (!contained.Open(working_folder, folder, true, &error)) {
      DebugLog("ClientSession: a fetched file is not placed: %s", error.c_str());
      files->Remove(received);
      return false;
    }
    target = contained.PathOf(NativeLastComponent(path));
  } else if (!folder.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(FsPath(folder), ec);
  }
  // Only a file the reader wrote, still the very file it closed.
  if (!files->Take(received)) {
    DebugLog("ClientSession: a fetched file is not one this client received");
    return false;
  }
  if (!MoveFileReplacing(received, target, &error)) {
    DebugLog("ClientSession: cannot place a fetched file: %s", error.c_str());
    RemoveLocalFile(received);
    return false;
  }
  if (const std::optional<DateTimeStamp> stamp = ServerStampToUtc(server_stamp)) {
    std::unique_ptr<FileObject> file = GetSystemFactory().NewFile();
    if (file->Open(target, FileObject::kWrite, 0, FileObject::kOpenExisting, 0)) {
      file->SetModifiedTime(stamp->time());
      file->Close();
    }
  }
  return true;
}

// Why a fetch failed whose reply does not answer the request.
constexpr char kMismatchedFetchText[] =
    "The server's reply names other Documents than those asked for; no file was written.";

// Whether a fetch reply is about exactly `document_ids`: its identifiers
// are those, in that order, and each list beside them that it has holds
// one element per Document (the per-Document results all 0), as its file
// count says.
bool FetchReplyAnswers(const CRLMSGmessage& reply, const std::vector<std::string>& document_ids) {
  const size_t count = document_ids.size();
  std::string text;
  if (reply.GetString(fetch::kReplyDocumentIds, &text) != kFieldOk ||
      SplitList(text, kListSeparator) != document_ids) {
    return false;
  }
  for (uint32_t field : {fetch::kReplyNames, fetch::kReplyFullPaths}) {
    text.clear();
    if (reply.GetString(field, &text) == kFieldOk &&
        SplitList(text, kListSeparator).size() != count)
      return false;
  }
  for (uint32_t field : {fetch::kReplyVersions, fetch::kReplyResults}) {
    std::vector<int> values;
    if (reply.GetIntList(field, &values) != kFieldOk) continue;
    if (values.size() != count) return false;
    if (field == fetch::kReplyResults &&
        std::any_of(values.begin(), values.end(), [](int v) { return v != 0; })) {
      return false;
    }
  }
  int carried = 0;
  return reply.GetInt(fetch::kReplyFileCount, &carried) != kFieldOk ||
         static_cast<size_t>(carried) == count;
}

// The names a transfer's notices give the files.
std::vector<std::string> FileNames(const std::vector<LocalFile>& files) {
  std::vector<std::string> names;
  names.reserve(files.size());
  for (const LocalFile& file : files) names.push_back(file.name);
  return names;
}

}  // namespace

std::string RelativeName(const std::string& path, const std::string& root) {
  const std::string base = DropTrailingSeparator(root, kNativeSeparator);
  if (base.empty()) return "";
  // Only the lone root "/" keeps its separator; below it a name starts at
  // once.
  const bool whole_root = base.back() == kNativeSeparator;
  const size_t start = whole_root ? base.size() : base.size() + 1;
  // Letter case counts: on this file system "/w/Src" and "/w/src" are two
  // folders, and a name below the one is not below the other.
  if (path.size() <= start || (!whole_root && path[base.size()] != kNativeSeparator) ||
      path.compare(0, base.size(), base) != 0) {
    return "";
  }
  return path.substr(start);
}

SessionResult AddDocuments(ClientSession* session, const std::vector<std::string>& production_ids,
                           const std::vector<LocalFile>& files, const std::string& comment,
                           std::vector<std::string>* document_ids) {
  if (!session->logged_on()) return kSessionNotLoggedOn;
  if (files.empty()) return kSessionOk;
  MessagePtr request = session->CreateRequest(kDocumentCommand);
  request->SetInt(kFieldSubCommand, add_documents::kSubCommand);
  request->SetString(add_documents::kFieldProductionIds, JoinList(production_ids, kListSeparator));
  request->SetString(add_documents::kFieldNames,
                     JoinFiles(files, [](const LocalFile& f) { return f.name; }));
  const std::string paths = JoinFiles(files, [](const LocalFile& f) { return f.path; });
  request->SetRawField(add_documents::kFieldFiles, FIELD_FILELIST, paths.data(), paths.size());
  request->SetString(add_documents::kFieldComment, EscapePropertyValue(comment));
  request->SetString(add_documents::kFieldLocalPaths, paths);
  TransferWatch watch(session->transfer_notices(), *request, TransferWatch::kSending,
                      FileNames(files));
  Reply reply = session->Transact(std::move(request), kTransferTimeoutSeconds,
                                  {{kServerDocumentExists, kSessionDocumentExists},
                                   {kServerDocumentTwice, kSessionDocumentExists},
                                   {kServerInvalidDocumentName, kSessionInvalidName}});
  if (reply.result != kSessionOk) return reply.result;
  const std::vector<std::string> ids = reply.List(add_documents::kReplyDocumentIds);
  const std::vector<std::string> stamps = reply.List(add_documents::kReplyStamps);
  if (document_ids != nullptr) *document_ids = ids;
  std::unique_ptr<PropertyFileClient> store = OpenStateStore();
  for (size_t i = 0; i < files.size() && i < ids.size() && i < stamps.size(); ++i) {
    RecordDocumentState(store.get(), ids[i], files[i].directory, files[i].path, files[i].name,
                        stamps[i], true);
  }
  return kSessionOk;
}

SessionResult CheckInDocuments(ClientSession* session, const std::vector<std::string>& document_ids,
                               const std::vector<LocalFile>& files, const std::string& comment,
                               bool work_in_progress) {
  if (!session->logged_on()) return kSessionNotLoggedOn;
  if (document_ids.empty()) return kSessionOk;
  for (const LocalFile& file : files) {
    if (!LocalFileExists(file.path)) return kSessionLocalFileMissing;
  }
  MessagePtr request = session->CreateRequest(kDocumentCommand);
  request->SetInt(kFieldSubCommand, check_in::kSubCommand);
  request->SetString(check_in::kFieldDocumentIds, JoinList(document_ids, kListSeparator));
  const std::string paths = JoinFiles(files, [](const LocalFile& f) { return f.path; });
  request->SetRawField(check_in::kFieldFiles, FIELD_FILELIST, paths.data(), paths.size());
  request->SetInt(check_in::kFieldWorkInProgress, work_in_progress ? 1 : 0);
  request->SetString(check_in::kFieldLocalPaths, paths);
  request->SetString(check_in::kFieldComment, EscapePropertyValue(comment));
  request->SetIntList(check_in::kFieldFileFlags, std::vector<int>(files.size(), 0));
  // Each file as it is before its contents are read for sending: an edit
  // saved while they travel is not what the server got, and must not be
  // recorded as if it were.
  std::vector<LocalFileVersion> sent(files.size());
  std::vector<bool> known(files.size(), false);
  for (size_t i = 0; i < files.size(); ++i)
    known[i] = ReadLocalFileVersion(files[i].path, &sent[i]);
  TransferWatch watch(session->transfer_notices(), *request, TransferWatch::kSending,
                      FileNames(files));
  Reply reply = session->Transact(std::move(request), kRequestTimeoutSeconds,
                                  {{kServerNotCheckedOut, kSessionReleaseRefused},
                                   {kServerContentIncomplete, kSessionIncompleteContent}});
  if (reply.result != kSessionOk) return reply.result;
  const std::vector<std::string> ids = reply.List(check_in::kReplyDocumentIds);
  const std::vector<std::string> stamps = reply.List(check_in::kReplyStamps);
  std::unique_ptr<PropertyFileClient> store = OpenStateStore();
  for (size_t i = 0; i < files.size() && i < ids.size() && i < stamps.size(); ++i) {
    // Only a Document the reply names in its own place: a record under
    // another Document would describe the wrong file.
    if (i >= document_ids.size() || ids[i] != document_ids[i]) continue;
    RecordDocumentState(store.get(), ids[i], files[i].directory, files[i].path, files[i].name,
                        stamps[i], false, known[i] ? &sent[i] : nullptr);
  }
  return kSessionOk;
}

SessionResult FetchDocuments(ClientSession* session, const std::vector<std::string>& document_ids,
                             const std::vector<LocalFile>& files, const std::vector<int>& versions,
                             std::string* failure_text) {
  if (failure_text != nullptr) failure_text->clear();
  if (!session->logged_on()) return kSessionNotLoggedOn;
  if (document_ids.empty()) return kSessionOk;
  std::vector<int> wanted = versions;
  wanted.resize(document_ids.size(), 0);
  MessagePtr request = session->CreateRequest(kDocumentCommand);
  request->SetInt(kFieldSubCommand, fetch::kSubCommand);
  request->SetString(fetch::kFieldDocumentIds, JoinList(document_ids, kListSeparator));
  request->SetIntList(fetch::kFieldVersions, wanted);
  request->SetInt(fetch::kFieldAlwaysZero, 0);
  TransferWatch watch(session->transfer_notices(), *request, TransferWatch::kReceiving);
  Reply reply = session->Transact(std::move(request), kTransferTimeoutSeconds);
  if (reply.result != kSessionOk) return reply.result;
  if (files.size() != document_ids.size()) return kSessionUnexpected;
  std::vector<bool> placed;
  const bool all_placed =
      PlaceFetchedFiles(*reply.message.get(), &reply.files, document_ids, files, &placed);
  if (placed.empty()) {
    // Not one of them is kept: nothing of a reply that answers something
    // else may stay on the disk.
    reply.files.RemoveAll();
    if (failure_text != nullptr) *failure_text = kMismatchedFetchText;
    return kSessionUnexpected;
  }
  const std::vector<std::string> ids = reply.List(fetch::kReplyDocumentIds);
  const std::vector<std::string> stamps = reply.List(fetch::kReplyStamps);
  std::unique_ptr<PropertyFileClient> store = OpenStateStore();
  for (size_t i = 0; i < files.size(); ++i) {
    if (placed[i]) {
      RecordDocumentState(store.get(), ids[i], files[i].directory, files[i].path, files[i].name,
                          stamps[i], false);
    }
  }
  return all_placed ? kSessionOk : kSessionUnexpected;
}

bool PlaceFetchedFiles(const CRLMSGmessage& reply, ReceivedFiles* received_files,
                       const std::vector<std::string>& document_ids,
                       const std::vector<LocalFile>& files, std::vector<bool>* placed) {
  placed->clear();
  std::string text;
  reply.GetString(fetch::kReplyStamps, &text);
  const std::vector<std::string> stamps = SplitList(text, kListSeparator);
  // One file and stamp for each Document asked for, and the reply about
  // exactly those Documents, or nothing is placed: a server that swapped
  // two files' contents or names would otherwise have each written over
  // the other.
  std::vector<std::string> received;
  const size_t count = files.size();
  if (count == 0 || document_ids.size() != count || !FetchReplyAnswers(reply, document_ids) ||
      !received_files->OfField(fetch::kReplyFiles, &received) || received.size() != count ||
      stamps.size() != count) {
    DebugLog("ClientSession: a fetch reply does not answer the %llu Documents asked for",
             static_cast<unsigned long long>(count));
    return false;
  }
  placed->assign(count, false);
  bool all_placed = true;
  for (size_t i = 0; i < count; ++i) {
    (*placed)[i] = PlaceReceivedFile(received_files, received[i], files[i].path, stamps[i],
                                     files[i].working_folder);
    all_placed = all_placed && (*placed)[i];
  }
  return all_placed;
}

SessionResult FetchDocumentToFile(ClientSession* session, const std::string& document_id,
                                  int version, const std::string& path, std::string* failure_text) {
  if (failure_text != nullptr) failure_text->clear();
  if (!session->logged_on()) return kSessionNotLoggedOn;
  MessagePtr request = session->CreateRequest(kDocumentCommand);
  request->SetInt(kFieldSubCommand, fetch::kSubCommand);
  request->SetString(fetch::kFieldDocumentIds, document_id);
  request->SetIntList(fetch::kFieldVersions, std::vector<int>{version});
  request->SetInt(fetch::kFieldAlwaysZero, 0);
  TransferWatch watch(session->transfer_notices(), *request, TransferWatch::kReceiving);
  Reply reply = session->Transact(std::move(request), kTransferTimeoutSeconds);
  if (reply.result != kSessionOk) return reply.result;
  std::vector<std::string> received;
  if (!FetchReplyAnswers(*reply.message.get(), {document_id})) {
    reply.files.RemoveAll();
    if (failure_text != nullptr) *failure_text = kMismatchedFetchText;
    return kSessionUnexpected;
  }
  if (!reply.files.OfField(fetch::kReplyFiles, &received) || received.size() != 1) {
    return kSessionUnexpected;
  }
  return PlaceReceivedFile(&reply.files, received[0], path, reply.Text(fetch::kReplyStamps), "")
             ? kSessionOk
             : kSessionUnexpected;
}

SessionResult FetchDocumentInfo(ClientSession* session, const std::string& production_id,
                                const std::vector<std::string>& paths,
                                const std::string& local_project_path,
                                const std::string& project_root, std::vector<DocumentInfo>* out) {
  std::vector<std::string> names;
  std::vector<std::string> local_names;
  for (const std::string& path : paths) {
    const std::string local_name = RelativeName(path, local_project_path);
    std::string name = RelativeName(path, project_root);
    if (name.empty()) name = local_name;
    names.push_back(NativeToWire(name));
    local_names.push_back(local_name);
  }
  MessagePtr request = session->CreateRequest(kProductionCommand);
  request->SetInt(kFieldSubCommand, document_info::kSubCommand);
  request->SetString(document_info::kFieldProductionId, production_id);
  request->SetString(document_info::kFieldNames, JoinList(names, kListSeparator));
  Reply reply = session->Transact(std::move(request), kRequestTimeoutSeconds);
  if (reply.result != kSessionOk) return reply.result;
  const std::string_view separator = document_info::kReplySeparator;
  const std::vector<std::string> ids = reply.List(document_info::kReplyDocumentIds, separator);
  const std::vector<std::string> versions = reply.List(document_info::kReplyVersions, separator);
  const std::vector<std::string> flags = reply.List(document_info::kReplyFlags, separator);
  const std::vector<std::string> stamps = reply.List(document_info::kReplyStamps, separator);
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
    info.SetFlags(DecimalToInt(flags[i]));
    out->push_back(std::move(info));
  }
  return kSessionOk;
}

}  // namespace tw
