// The Document family of "DOCUMENTCMD": add Documents, check in new
// versions, fetch versions; and the files received with a request, which
// reach the content store only once the request would be accepted
// (commands.h tells the rules).
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "messaging/reply.h"
#include "messaging/scratch_files.h"
#include "protocol/document_command.h"
#include "servers/twserver/command_fields.h"
#include "servers/twserver/commands.h"
#include "settings/property_escape.h"

namespace tw::twserver {

namespace {

// Scratch files taken out of a request's set for the content store. Should
// the store not adopt them all, those still in place - still the very file
// taken (same device and inode) - are removed here, as the set no longer
// does.
class TakenFiles {
 public:
  TakenFiles() = default;
  TakenFiles(const TakenFiles&) = delete;
  TakenFiles& operator=(const TakenFiles&) = delete;
  ~TakenFiles() {
    if (adopted_) return;
    for (const Taken& file : files_) {
      struct stat st;
      if (lstat(file.path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == file.device &&
          st.st_ino == file.inode) {
        unlink(file.path.c_str());
      }
    }
  }

  // Takes `path` from `set`, with the digest the reader made of it (empty
  // when none) and its kept members file (empty when none); false when it
  // is not the reader's file.
  bool Take(ScratchFiles& set, const std::string& path, std::string* sha256, std::string* members) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !set.Take(path, sha256, members)) return false;
    files_.push_back({path, st.st_dev, st.st_ino});
    if (!members->empty() && lstat(members->c_str(), &st) == 0) {
      files_.push_back({*members, st.st_dev, st.st_ino});
    }
    return true;
  }
  void Adopted() { adopted_ = true; }

 private:
  struct Taken {
    std::string path;
    dev_t device;
    ino_t inode;
  };
  std::vector<Taken> files_;
  bool adopted_ = false;
};

}  // namespace

int CommandHandler::ReceivedFiles(const CRLMSGmessage& request, uint32_t id, size_t expected,
                                  std::vector<std::string>* paths) {
  paths->clear();
  // Only a field the reader filled with files of its own making names
  // files; the same id as text is the client's wording, not a file.
  const ScratchFilesRef& files = request.scratch_files();
  std::vector<std::string> listed;
  if (files == nullptr || !files->HasField(id) || !GetList(request, id, &listed) ||
      listed.size() != expected) {
    return kMalformed;
  }
  if (request.GetErrorCode() == kErrorTransferCutOff) return kContentIncomplete;
  // A file that did not arrive whole (the client could not send it) is
  // named by no scratch file.
  if (!files->OfField(id, paths)) return kContentIncomplete;
  return paths->size() == expected ? int{kOk} : int{kMalformed};
}

int CommandHandler::StoreReceivedFiles(const CRLMSGmessage& request,
                                       const std::vector<std::string>& paths,
                                       std::vector<ContentRef>* refs, CommandOutcome* out) {
  const ScratchFilesRef& files = request.scratch_files();
  if (files == nullptr) return kMalformed;
  // One received file may stand for many names: it is stored once.
  std::unordered_map<std::string, size_t> index;
  std::vector<std::string> distinct;
  std::vector<std::string> digests;  // made by the reader as the bytes came
  std::vector<std::string> members;  // the gzip members the bytes came as
  TakenFiles taken;
  for (const std::string& path : paths) {
    if (!index.emplace(path, distinct.size()).second) continue;
    // Ours, by identity, or nothing is stored: what the set still holds is
    // removed with the request.
    std::string sha256, kept;
    if (!taken.Take(*files, path, &sha256, &kept)) return kContentIncomplete;
    distinct.push_back(path);
    digests.push_back(std::move(sha256));
    members.push_back(std::move(kept));
  }
  std::vector<ContentRef> stored;
  std::string error;
  if (!storage_.Contents().AdoptAll(distinct, &stored, &error, stopping_, &digests, &members)) {
    out->failure = error;
    return kServerFailure;
  }
  taken.Adopted();
  refs->clear();
  refs->reserve(paths.size());
  for (const std::string& path : paths) refs->push_back(stored[index[path]]);
  return kOk;
}

int CommandHandler::AddDocuments(const CRLMSGmessage& request, CommandOutcome* out) {
  std::vector<std::string> productions, names, local_paths;
  if (!GetList(request, add_documents::kFieldProductionIds, &productions) ||
      !GetList(request, add_documents::kFieldNames, &names) || productions.size() != names.size()) {
    return kMalformed;
  }
  if (CheckCount(names.size()) != kOk) return kServerNotPermitted;
  if (GetList(request, add_documents::kFieldLocalPaths, &local_paths) &&
      local_paths.size() != names.size()) {
    return kMalformed;
  }
  std::string comment;
  GetText(request, add_documents::kFieldComment, &comment);
  std::vector<std::string> paths;
  int result = ReceivedFiles(request, add_documents::kFieldFiles, names.size(), &paths);
  if (result != kOk) return result;
  std::vector<NewDocument> items(names.size());
  std::vector<std::string> added(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    items[i].production_id = productions[i];
    items[i].name = names[i];
    added[i] = TouchedChild(productions[i], names[i], out);
  }
  // Refused requests store nothing: the checks come before the contents.
  size_t failed = 0;
  result = storage_.ValidateAdd(items, &failed);
  if (result != kOk) return Checked(result, out);
  std::vector<ContentRef> refs;
  result = StoreReceivedFiles(request, paths, &refs, out);
  if (result != kOk) return result;
  for (size_t i = 0; i < names.size(); ++i) items[i].content = refs[i];
  std::vector<StoredVersion> stored;
  result = storage_.AddDocuments(user_, UnescapePropertyValue(comment), items, &stored, &failed);
  if (result != kOk) return Checked(result, out);
  std::vector<std::string> ids, stamps;
  for (size_t i = 0; i < stored.size(); ++i) {
    ids.push_back(stored[i].document_id);
    stamps.push_back(stored[i].stamp);
    if (i < added.size() && !added[i].empty()) Learn(stored[i].document_id, added[i]);
  }
  CRLMSGmessage& reply = *out->reply;
  for (uint32_t id : add_documents::kReplyEchoedFields) CopyField(request, id, &reply);
  reply.SetString(add_documents::kReplyDocumentIds, Join(ids));
  reply.SetString(add_documents::kReplyStamps, Join(stamps));
  return kOk;
}

int CommandHandler::CheckIn(const CRLMSGmessage& request, CommandOutcome* out) {
  std::vector<std::string> ids, local_paths;
  if (!GetList(request, check_in::kFieldDocumentIds, &ids)) return kMalformed;
  if (CheckCount(ids.size()) != kOk) return kServerNotPermitted;
  for (const std::string& id : ids) TouchedId(id, out);
  if (GetList(request, check_in::kFieldLocalPaths, &local_paths) &&
      local_paths.size() != ids.size()) {
    return kMalformed;
  }
  int work_in_progress = 0;
  GetNumber(request, check_in::kFieldWorkInProgress, &work_in_progress);
  std::string comment;
  GetText(request, check_in::kFieldComment, &comment);
  std::vector<std::string> paths;
  int result = ReceivedFiles(request, check_in::kFieldFiles, ids.size(), &paths);
  if (result != kOk) return result;
  size_t failed = 0;
  result = storage_.ValidateCheckIn(user_, ids, &failed);
  if (result != kOk) return Checked(result, out);
  std::vector<ContentRef> refs;
  result = StoreReceivedFiles(request, paths, &refs, out);
  if (result != kOk) return result;
  std::vector<CheckInItem> items(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    items[i].document_id = ids[i];
    items[i].content = refs[i];
  }
  std::vector<StoredVersion> stored;
  result = storage_.CheckIn(user_, UnescapePropertyValue(comment), work_in_progress != 0, items,
                            &stored, &failed);
  if (result != kOk) return Checked(result, out);
  std::vector<std::string> stored_ids, stamps;
  for (const StoredVersion& v : stored) {
    stored_ids.push_back(v.document_id);
    stamps.push_back(v.stamp);
  }
  CRLMSGmessage& reply = *out->reply;
  reply.SetString(check_in::kReplyDocumentIds, Join(stored_ids));
  reply.SetString(check_in::kReplyStamps, Join(stamps));
  reply.SetIntList(check_in::kReplyResults, std::vector<int>(stored.size(), 0));
  return kOk;
}

int CommandHandler::Fetch(const CRLMSGmessage& request, CommandOutcome* out) {
  std::vector<std::string> ids;
  std::vector<int> versions;
  if (!GetList(request, fetch::kFieldDocumentIds, &ids) ||
      request.GetIntList(fetch::kFieldVersions, &versions) != kFieldOk ||
      versions.size() != ids.size()) {
    return kMalformed;
  }
  if (CheckCount(ids.size()) != kOk) return kServerNotPermitted;
  std::vector<FetchItem> items(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    items[i].document_id = ids[i];
    items[i].version = versions[i];
  }
  std::vector<FetchedVersion> fetched;
  size_t failed = 0;
  const int result = storage_.Fetch(items, &fetched, &failed);
  if (result != kOk) {
    for (const std::string& id : ids) TouchedId(id, out);
    return Checked(result, out);
  }
  // The storage kept what it gave within kMaxReplyBytes; the strings move
  // on rather than being copied, so the reply is built with little more.
  std::vector<std::string> names, stamps, full_paths, contents;
  std::vector<int> sent_versions;
  const size_t count = fetched.size();
  for (FetchedVersion& v : fetched) {
    Touched(v.full_path, out);
    Learn(v.document_id, v.full_path);
    sent_versions.push_back(v.version);
    names.push_back(std::move(v.name));
    stamps.push_back(std::move(v.stamp));
    full_paths.push_back(std::move(v.full_path));
    contents.push_back(std::move(v.content_path));
  }
  fetched.clear();
  CRLMSGmessage& reply = *out->reply;
  reply.SetString(fetch::kReplyDocumentIds, Join(ids));
  reply.SetIntList(fetch::kReplyVersions, sent_versions);
  reply.SetString(fetch::kReplyNames, Join(names));
  reply.SetString(fetch::kReplyStamps, Join(stamps));
  reply.SetString(fetch::kReplyFullPaths, Join(full_paths));
  reply.SetIntList(fetch::kReplyResults, std::vector<int>(count, 0));
  // The channel streams these store files piece by piece after the reply.
  const std::string files = Join(contents);
  reply.SetRawField(fetch::kReplyFiles, FIELD_FILELIST, files.data(), files.size());
  reply.SetInt(fetch::kReplyFileCount, static_cast<int>(count));
  return kOk;
}

void RemoveReceivedFiles(const CRLMSGmessage& request) {
  if (request.scratch_files() != nullptr) request.scratch_files()->RemoveAll();
}

}  // namespace tw::twserver
