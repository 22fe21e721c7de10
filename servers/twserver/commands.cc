#include "servers/twserver/commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "messaging/field_ids.h"
#include "messaging/reply.h"
#include "servers/twserver/names.h"
#include "protocol/name_table.h"
#include "settings/property_escape.h"
#include "crypto/crypto.h"

namespace tw::twserver {

namespace {

// Field ids below are the wire's parameter numbers (100 = parameter 1).

// Recipients of the routing fields: the client's session, the server side.

// ERRORCODE of a request whose file transfer the reader cut off.
constexpr int kTransferCutOff = -999;

constexpr size_t kCopyBlockBytes = size_t{1} << 20;

// A string field (type 1).
bool GetText(const CRLMSGmessage& m, uint32_t id, std::string* out) {
  uint32_t type = 0;
  std::string bytes;
  if (m.GetRawField(id, &type, &bytes) != kFieldOk || type != FIELD_STRING) return false;
  *out = std::move(bytes);
  return true;
}

// A "?" list in a string field, empty elements kept.
bool GetList(const CRLMSGmessage& m, uint32_t id, std::vector<std::string>* out) {
  std::string text;
  if (!GetText(m, id, &text)) return false;
  *out = SplitList(text, '?');
  return true;
}

bool GetNumber(const CRLMSGmessage& m, uint32_t id, int* out) {
  return m.GetInt(id, out) == kFieldOk;
}

std::string Join(const std::vector<std::string>& items, char separator) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out += separator;
    out += items[i];
  }
  return out;
}

bool HasSubCommand(const std::string& command) {
  return command == "PRODUCTIONCMD" || command == "DOCUMENTCMD";
}

bool IsLoggedOnCommand(const std::string& command) {
  return HasSubCommand(command) || command == "GETNAMELIST" || command == "ACQUIRELOCK" ||
         command == "RELEASELOCK";
}

// Reply fields 109, 100 and 107 that name the failing item of a lock request.
void NameFailure(const LockFailure& failure, CRLMSGmessage* reply) {
  reply->SetInt(109, static_cast<int>(failure.index));
  reply->SetString(100, failure.document_id);
  reply->SetString(107, failure.name);
}

std::string RandomHex(size_t bytes) {
  std::vector<uint8_t> raw(bytes);
  if (CRLDATcrypto::RandomBytes(raw.data(), raw.size()) != 0) return std::string();
  std::string hex = CRLDATcrypto::HexEncode(raw.data(), raw.size());
  std::memset(raw.data(), 0, raw.size());
  return hex;
}

}  // namespace

CommandHandler::CommandHandler(Storage& storage, std::string private_key, std::string public_key,
                               std::string received_folder, const std::atomic<bool>* stopping)
    : storage_(storage),
      private_key_(std::move(private_key)),
      public_key_(std::move(public_key)),
      received_folder_(std::move(received_folder)),
      stopping_(stopping) {}

CommandHandler::~CommandHandler() { CRLDATcrypto::Wipe(&private_key_); }

CommandOutcome CommandHandler::Handle(const CRLMSGmessage& request) {
  CommandOutcome out;
  int error = kServerFailure;
  try {
    const std::string command = request.GetCommand();
    const bool has_sub = HasSubCommand(command);
    out.reply = NewReply(request, command, has_sub);
    if (has_sub) GetNumber(request, 100, &out.sub_command);
    if (command == "PRELOGON") {
      error = PreLogon(request, &out);
    } else if (command == "LOGON") {
      error = Logon(request, &out);
    } else if (user_.empty()) {
      error = kNotLoggedOn;
    } else if (!IsLoggedOnCommand(command)) {
      error = kMalformed;
    } else if (command == "PRODUCTIONCMD") {
      error = ProductionCommand(out.sub_command, request, &out);
    } else if (command == "DOCUMENTCMD") {
      error = DocumentCommand(out.sub_command, request, &out);
    } else if (command == "GETNAMELIST") {
      error = GetNameList(request, &out);
    } else if (command == "ACQUIRELOCK") {
      error = AcquireLock(request, &out);
    } else {
      error = ReleaseLock(request, &out);
    }
  } catch (const std::exception& e) {
    out.failure = e.what();
    out.switch_cipher = false;
    error = kServerFailure;
  } catch (...) {
    out.failure = "unexpected exception";
    out.switch_cipher = false;
    error = kServerFailure;
  }
  if (!out.reply) out.reply = NewReply(request, std::string(), false);
  out.reply->SetInt(ERRORCODE, error);
  out.error = error;
  return out;
}

int CommandHandler::Checked(int result, CommandOutcome* out) {
  if (result >= 0) return result;
  out->failure = storage_.FailureText();
  return kServerFailure;
}

int CommandHandler::PreLogon(const CRLMSGmessage&, CommandOutcome* out) {
  RepositorySettings settings;
  const int result = storage_.GetSettings(&settings);
  if (result != kOk) return Checked(result, out);
  settings_ = settings;
  announced_ = true;
  out->reply->SetString(100, public_key_);
  out->reply->SetInt(101, settings.selector);
  out->reply->SetInt(102, settings.compression);
  out->reply->SetInt(103, settings.lock_policy);
  return kOk;
}

int CommandHandler::Logon(const CRLMSGmessage& request, CommandOutcome* out) {
  std::string name, sealed_digest, client_key;
  if (!GetText(request, 100, &name) || !GetText(request, 101, &sealed_digest) ||
      !GetText(request, 102, &client_key)) {
    return kMalformed;
  }
  if (!announced_) {
    // A client that skipped PRELOGON gets the settings as they are now.
    const int result = storage_.GetSettings(&settings_);
    if (result != kOk) return Checked(result, out);
    announced_ = true;
  }
  SecureBytes plain;
  if (!CRLDATcrypto::RsaDecryptFromHex(private_key_, sealed_digest, &plain)) return kLogonRefused;
  std::string digest(reinterpret_cast<const char*>(plain.data()), plain.size());
  const int checked = storage_.CheckLogon(name, digest);
  CRLDATcrypto::Wipe(&digest);
  if (checked != kOk) return checked == kLogonRefused ? kLogonRefused : Checked(checked, out);

  // The channel key: 64 upper-case hex characters, used as they are (their
  // ASCII bytes), so it holds no zero byte and serves as a pass phrase too.
  std::string key = RandomHex(32);
  const std::string token = RandomHex(16);
  if (key.empty() || token.empty()) {
    out->failure = "no random bytes for the channel key";
    return kServerFailure;
  }
  std::string sealed_key;
  if (!CRLDATcrypto::RsaEncryptToHex(client_key, key.data(), key.size(), &sealed_key)) {
    CRLDATcrypto::Wipe(&key);
    return kMalformed;  // the client's public key is unusable
  }
  out->reply->SetString(100, token);
  out->reply->SetString(102, sealed_key);
  out->switch_cipher = true;
  out->cipher.selector = static_cast<uint32_t>(settings_.selector);
  out->cipher.compress = settings_.compression != 0 || settings_.selector != 0;
  out->cipher.key = std::move(key);
  user_ = name;
  return kOk;
}

int CommandHandler::ProductionCommand(int sub, const CRLMSGmessage& request, CommandOutcome* out) {
  CRLMSGmessage& reply = *out->reply;
  switch (sub) {
    case 4: {
      std::string parent, name, id;
      if (!GetText(request, 101, &parent) || !GetText(request, 102, &name)) return kMalformed;
      const int result = storage_.CreateProduction(parent, name, &id);
      if (result == kOk || result == kProductionExists || result == kProductionCaseVariant) {
        reply.SetString(103, id);
      }
      return Checked(result, out);
    }
    case 20: {
      std::string path, id;
      if (!GetText(request, 101, &path)) return kMalformed;
      const int result = storage_.LookupProduction(path, &id);
      if (result == kOk) reply.SetString(101, id);
      return Checked(result, out);
    }
    case 25: {
      std::string production;
      std::vector<std::string> names;
      if (!GetText(request, 101, &production) || !GetList(request, 102, &names)) return kMalformed;
      std::vector<DocumentInfo> rows;
      const int result = storage_.GetDocumentInfo(user_, production, names, &rows);
      if (result != kOk) return Checked(result, out);
      std::vector<std::string> ids, versions, flags, stamps;
      for (const DocumentInfo& row : rows) {
        ids.push_back(row.id);
        versions.push_back(std::to_string(row.version));
        flags.push_back(std::to_string(row.flags));
        stamps.push_back(row.stamp);
      }
      reply.SetString(103, Join(ids, ','));
      reply.SetString(104, Join(versions, ','));
      reply.SetString(105, Join(flags, ','));
      reply.SetString(106, Join(stamps, ','));
      return kOk;
    }
    default:
      return kMalformed;
  }
}

int CommandHandler::DocumentCommand(int sub, const CRLMSGmessage& request, CommandOutcome* out) {
  switch (sub) {
    case 1:
      return AddDocuments(request, out);
    case 2:
      return CheckIn(request, out);
    case 4:
      return Fetch(request, out);
    default:
      return kMalformed;
  }
}

int CommandHandler::StoreReceivedFiles(const CRLMSGmessage& request, uint32_t id,
                                       size_t expected, std::vector<ContentRef>* refs,
                                       CommandOutcome* out) {
  std::vector<std::string> paths;
  if (!GetList(request, id, &paths) || paths.size() != expected) return kMalformed;
  for (const std::string& path : paths) {
    if (!IsReceivedFile(received_folder_, path)) return kMalformed;
  }
  if (request.GetErrorCode() == kTransferCutOff) return kContentIncomplete;
  std::vector<char> block(kCopyBlockBytes);
  for (const std::string& path : paths) {
    // The reader removes a file that failed on the way; what is there came
    // whole.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return kContentIncomplete;
    std::string error;
    std::unique_ptr<ContentWriter> writer = storage_.Contents().NewWriter(&error);
    bool ok = writer != nullptr;
    while (ok) {
      if (stopping_ != nullptr && stopping_->load()) {
        error = "the server is stopping";
        ok = false;
        break;
      }
      const ssize_t n = read(fd, block.data(), block.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = std::string("cannot read a received file: ") + std::strerror(errno);
        ok = false;
      } else if (n == 0) {
        break;
      } else if (!writer->Write(block.data(), static_cast<size_t>(n))) {
        error = writer->error();
        ok = false;
      }
    }
    close(fd);
    ContentRef ref;
    if (ok && !writer->Finish(&ref)) {
      error = writer->error();
      ok = false;
    }
    if (!ok) {
      out->failure = error;
      return kServerFailure;  // the writer's destruction drops its bytes
    }
    refs->push_back(std::move(ref));
  }
  return kOk;
}

int CommandHandler::AddDocuments(const CRLMSGmessage& request, CommandOutcome* out) {
  std::vector<std::string> productions, names, local_paths;
  if (!GetList(request, 101, &productions) || !GetList(request, 102, &names) ||
      productions.size() != names.size()) {
    return kMalformed;
  }
  if (GetList(request, 109, &local_paths) && local_paths.size() != names.size()) return kMalformed;
  std::string comment;
  GetText(request, 107, &comment);
  std::vector<ContentRef> refs;
  int result = StoreReceivedFiles(request, 103, names.size(), &refs, out);
  if (result != kOk) return result;
  std::vector<NewDocument> items(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    items[i].production_id = productions[i];
    items[i].name = names[i];
    items[i].content = refs[i];
  }
  std::vector<StoredVersion> stored;
  size_t failed = 0;
  result = storage_.AddDocuments(user_, UnescapePropertyValue(comment), items, &stored, &failed);
  if (result != kOk) return Checked(result, out);
  std::vector<std::string> ids, stamps;
  for (const StoredVersion& v : stored) {
    ids.push_back(v.document_id);
    stamps.push_back(v.stamp);
  }
  CRLMSGmessage& reply = *out->reply;
  for (uint32_t id : {101u, 102u, 109u}) CopyField(request, id, &reply);
  reply.SetString(103, Join(ids, '?'));
  reply.SetString(104, Join(stamps, '?'));
  return kOk;
}

int CommandHandler::CheckIn(const CRLMSGmessage& request, CommandOutcome* out) {
  std::vector<std::string> ids, local_paths;
  if (!GetList(request, 101, &ids)) return kMalformed;
  if (GetList(request, 104, &local_paths) && local_paths.size() != ids.size()) return kMalformed;
  int work_in_progress = 0;
  GetNumber(request, 103, &work_in_progress);
  std::string comment;
  GetText(request, 105, &comment);
  std::vector<ContentRef> refs;
  int result = StoreReceivedFiles(request, 102, ids.size(), &refs, out);
  if (result != kOk) return result;
  std::vector<CheckInItem> items(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    items[i].document_id = ids[i];
    items[i].content = refs[i];
  }
  std::vector<StoredVersion> stored;
  size_t failed = 0;
  result = storage_.CheckIn(user_, UnescapePropertyValue(comment), work_in_progress != 0, items,
                            &stored, &failed);
  if (result != kOk) return Checked(result, out);
  std::vector<std::string> stored_ids, stamps;
  for (const StoredVersion& v : stored) {
    stored_ids.push_back(v.document_id);
    stamps.push_back(v.stamp);
  }
  CRLMSGmessage& reply = *out->reply;
  reply.SetString(111, Join(stored_ids, '?'));
  reply.SetString(112, Join(stamps, '?'));
  reply.SetIntList(106, std::vector<int>(stored.size(), 0));
  return kOk;
}

int CommandHandler::Fetch(const CRLMSGmessage& request, CommandOutcome* out) {
  std::vector<std::string> ids;
  std::vector<int> versions;
  if (!GetList(request, 101, &ids) || request.GetIntList(102, &versions) != kFieldOk ||
      versions.size() != ids.size()) {
    return kMalformed;
  }
  std::vector<FetchItem> items(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    items[i].document_id = ids[i];
    items[i].version = versions[i];
  }
  std::vector<FetchedVersion> fetched;
  size_t failed = 0;
  const int result = storage_.Fetch(items, &fetched, &failed);
  if (result != kOk) return Checked(result, out);
  std::vector<std::string> names, stamps, full_paths, contents;
  std::vector<int> sent_versions;
  for (const FetchedVersion& v : fetched) {
    sent_versions.push_back(v.version);
    names.push_back(v.name);
    stamps.push_back(v.stamp);
    full_paths.push_back(v.full_path);
    contents.push_back(v.content_path);
  }
  CRLMSGmessage& reply = *out->reply;
  reply.SetString(101, Join(ids, '?'));
  reply.SetIntList(102, sent_versions);
  reply.SetString(104, Join(names, '?'));
  reply.SetString(105, Join(stamps, '?'));
  reply.SetString(108, Join(full_paths, '?'));
  reply.SetIntList(109, std::vector<int>(fetched.size(), 0));
  // The channel streams these store files piece by piece after the reply.
  const std::string files = Join(contents, '?');
  reply.SetRawField(106, FIELD_FILELIST, files.data(), files.size());
  reply.SetInt(107, static_cast<int>(fetched.size()));
  return kOk;
}

int CommandHandler::GetNameList(const CRLMSGmessage& request, CommandOutcome* out) {
  std::string subject;
  int kind = 0;
  int recursive = 0;
  if (!GetText(request, 100, &subject) || !GetNumber(request, 101, &kind)) return kMalformed;
  GetNumber(request, 102, &recursive);
  NameTable table;
  const int result = storage_.GetNameTable(kind, subject, recursive != 0, &table);
  if (result != kOk) return Checked(result, out);
  ::tw::NameTable text;
  for (const std::vector<std::string>& values : table.rows) {
    ::tw::NameTable::Row row;
    for (size_t c = 0; c < table.columns.size(); ++c) {
      row.emplace_back(table.columns[c], c < values.size() ? values[c] : std::string());
    }
    text.AddRow(std::move(row));
  }
  out->reply->SetString(102, text.ToText());
  return kOk;
}

int CommandHandler::AcquireLock(const CRLMSGmessage& request, CommandOutcome* out) {
  std::vector<std::string> ids;
  int lock_type = 0;
  if (!GetList(request, 100, &ids) || !GetNumber(request, 103, &lock_type)) return kMalformed;
  std::vector<bool> deferred;
  request.GetBoolList(104, &deferred);
  if (deferred.empty()) deferred.assign(ids.size(), false);
  if (deferred.size() != ids.size()) return kMalformed;
  std::vector<LockRequest> items(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    items[i].document_id = ids[i];
    items[i].deferred = deferred[i];
  }
  LockFailure failure;
  const int result = storage_.AcquireLocks(user_, items, lock_type, &failure);
  if (result == kExclusiveConflict || result == kSharedConflict || result == kAlreadyQueued ||
      result == kUnknownId) {
    NameFailure(failure, out->reply.get());
  }
  return Checked(result, out);
}

int CommandHandler::ReleaseLock(const CRLMSGmessage& request, CommandOutcome* out) {
  std::vector<std::string> ids;
  if (!GetList(request, 100, &ids)) return kMalformed;
  LockFailure failure;
  const int result = storage_.ReleaseLocks(user_, ids, &failure);
  if (result == kUnknownId) NameFailure(failure, out->reply.get());
  return Checked(result, out);
}

bool IsReceivedFile(const std::string& received_folder, const std::string& path) {
  constexpr size_t kNameLength = 9;  // "CRL" and the six characters of mkstemp
  if (received_folder.empty() || path.size() != received_folder.size() + 1 + kNameLength ||
      path.compare(0, received_folder.size(), received_folder) != 0 ||
      path[received_folder.size()] != '/') {
    return false;
  }
  const std::string_view name(path.data() + received_folder.size() + 1, kNameLength);
  if (name.substr(0, 3) != "CRL") return false;
  for (char c : name.substr(3)) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum) return false;
  }
  return true;
}

void RemoveReceivedFiles(const std::string& received_folder, const CRLMSGmessage& request) {
  std::vector<uint32_t> ids;
  request.GetFieldIds(&ids);
  for (uint32_t id : ids) {
    std::string text;
    if (request.GetString(id, &text) != kFieldOk || text.find("/CRL") == std::string::npos) {
      continue;
    }
    for (const std::string& path : SplitList(text, '?')) {
      if (IsReceivedFile(received_folder, path)) unlink(path.c_str());
    }
  }
}

}  // namespace tw::twserver
