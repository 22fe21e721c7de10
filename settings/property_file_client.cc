// PropertyFileClient: binding, encoding and the mailslot requests.
#include "settings/property_file_client.h"

#include <limits.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "crypto/crypto.h"
#include "platform/decimal.h"
#include "platform/file_attributes.h"
#include "platform/letter_case.h"
#include "platform/path.h"
#include "platform/process_id.h"
#include "platform/recipient_table.h"
#include "platform/system_factory.h"
#include "settings/new_store_record.h"
#include "settings/property_escape.h"
#include "settings/property_protocol.h"

namespace tw {

namespace {

constexpr uint32_t kReplyTimeoutMs = 10000;
constexpr uint32_t kReplyBufferSize = 65536;
constexpr uint32_t kMaxOneWayAhead = 24;
constexpr int kStartPolls = 50;
constexpr char kUserFileName[] = "user.dat";
constexpr char kGlobalFileName[] = "global.dat";
constexpr char kDefaultUserFile[] = "default.usr";
constexpr char kModuleDirMacro[] = "%MODULEDIR%";
constexpr uint32_t kCopyBlock = 64 * 1024;
// Others may read default.usr while it is copied (kept for the Windows layer).
std::vector<std::string> NodeNames(const PropertyNode& node) {
  if (!node.names.empty()) return node.names;
  std::vector<std::string> names;
  AppendPropertyPathNames(node.path, true, &names);
  return names;
}

// Copies `from` to a new file `to`; false, with nothing left at `to`, when
// that fails.
bool CopyNewFile(const std::string& from, const std::string& to) {
  CRLsystemFactory& factory = GetSystemFactory();
  std::unique_ptr<FileObject> in = factory.NewFile();
  if (!in->Open(from, FileObject::kRead, FileObject::kShareRead, FileObject::kOpenExisting, 0))
    return false;
  const int64_t size = in->Size();
  if (size < 0) return false;
  std::unique_ptr<FileObject> out = factory.NewFile();
  if (!out->Open(to, FileObject::kWrite, 0, FileObject::kCreateNew, 0)) return false;
  std::vector<char> buffer(kCopyBlock);
  bool written = true;
  uint32_t got = 0;
  // A read fails at the end of the file and on an error alike; the size
  // copied tells them apart.
  while (written && in->Read(buffer.data(), kCopyBlock, &got)) {
    written = out->Write(buffer.data(), got, nullptr);
  }
  const bool copied = written && out->Size() == size;
  out->Close();
  if (!copied) RemoveLocalFile(to);
  return copied;
}

// A new empty file (0666 narrowed by the umask); false when it could not be
// made (or was made by someone else first).
bool CreateEmptyFile(const std::string& path) {
  std::unique_ptr<FileObject> file = GetSystemFactory().NewFile();
  if (!file->Open(path, FileObject::kWrite, 0, FileObject::kCreateNew, 0)) return false;
  file->Close();
  return true;
}

}  // namespace

PropertyFileClient::PropertyFileClient(const std::string& name, int kind)
    : request_channel_(GetSystemFactory().NewMailslotWriter()), reply_timeout_ms_(kReplyTimeoutMs) {
  PropertyFileClient::OpenStore(name, kind);
}

PropertyFileClient::~PropertyFileClient() {
  if (registered_) SendOneWay(kRequestUnregister, "", reply_name_);
  request_channel_.reset();
  reply_channel_.reset();
  reply_buffer_.reset();
}

bool PropertyFileClient::OpenStore(const std::string& name, int kind) {
  CRLsystemFactory& factory = GetSystemFactory();
  SetGlobalDirectory(factory.GlobalDirectory());
  const std::string app_data = factory.AppDataDirectory();
  if (!app_data.empty()) {
    const std::string dir = NativeJoin(app_data, "Properties");
    MakeLocalDirectories(dir, 0700);
    SetUserDirectory(dir);
  }
  std::string store;
  switch (kind) {
    case kStoreGlobal:
      GetGlobalFilePath(&store);
      break;
    case kStoreScratch:
      store = std::string(kScratchStorePrefix) + ":" + std::to_string(CurrentProcessId());
      break;
    case kStoreFile:
      store = name;
      break;
    default:
      GetUserFilePath(&store);
      break;
  }
  return BindStore(store);
}

bool PropertyFileClient::BindStore(const std::string& name) {
  if (name.size() >= 4 && UpperCase(name.substr(0, 4)) == UpperCase(kScratchStorePrefix)) {
    store_name_ = name;
    return true;
  }
  if (!LocalPathExists(name)) {
    bool copied = false;
    if (SamePathIgnoringCase(NativeLastComponent(name), kUserFileName)) {
      copied =
          CopyNewFile(NativeJoin(GetSystemFactory().ModuleDirectory(), kDefaultUserFile), name);
    }
    // Without a default.usr to copy, the store starts empty: the server
    // serves only a store whose file exists, and every setting written to
    // a missing one would be lost.
    const bool made = copied || CreateEmptyFile(name);
    // The server makes a store only of an empty file recorded as made for
    // one (new_store_record.h).
    if (made) RecordNewStoreFile(name);
  }
  // The canonical name: the real absolute path. The file system is
  // case-sensitive, so the letter case stays.
  const std::string canonical = CanonicalLocalPath(name);
  store_name_ = canonical.empty() ? name : canonical;
  return true;
}

void PropertyFileClient::SetUserDirectory(const std::string& dir) {
  user_directory_ = dir;
}
void PropertyFileClient::GetUserDirectory(std::string* dir) {
  *dir = user_directory_;
}
void PropertyFileClient::SetGlobalDirectory(const std::string& dir) {
  global_directory_ = dir;
}
void PropertyFileClient::GetGlobalDirectory(std::string* dir) {
  *dir = global_directory_;
}

void PropertyFileClient::GetUserFilePath(std::string* path) {
  *path = NativeJoin(user_directory_, kUserFileName);
}

void PropertyFileClient::GetGlobalFilePath(std::string* path) {
  *path = NativeJoin(global_directory_, kGlobalFileName);
}

std::unique_ptr<PropertyNode> PropertyFileClient::OpenNode(const PropertyNode* parent,
                                                           const std::string& path) {
  auto node = std::make_unique<PropertyNode>();
  node->path = parent != nullptr ? parent->path + "/" + path : path;
  if (parent != nullptr) node->names = NodeNames(*parent);
  AppendPropertyPathNames(path, parent == nullptr, &node->names);
  return node;
}

std::unique_ptr<PropertyNode> PropertyFileClient::OpenNodeNamed(const PropertyNode* parent,
                                                                const std::string& name) {
  auto node = std::make_unique<PropertyNode>();
  node->path = parent != nullptr ? parent->path + "/" + name : name;
  if (parent != nullptr) node->names = NodeNames(*parent);
  node->names.push_back(name);
  return node;
}

bool PropertyFileClient::CloseNode(std::unique_ptr<PropertyNode> node) {
  return true;
}

// ---- encoding ----

std::string PropertyFileClient::EncodeName(std::string_view text, bool encrypt) {
  if (text.empty()) return std::string();
  if (!encrypt) return EscapePropertyName(text);
  SecureBytes cipher;
  {
    std::lock_guard<std::recursive_mutex> lock(CryptoLock());
    if (CRLDATcrypto::EncryptPayload(&cipher, kCipherAes, text.data(), text.size(), key_) !=
        kPayloadOk) {
      return std::string();
    }
  }
  return EscapePropertyName(CRLDATcrypto::HexEncode(cipher.data(), cipher.size()));
}

std::string PropertyFileClient::EncodeValue(std::string_view text, bool encrypt) {
  if (text.empty()) return std::string();
  if (!encrypt) return EscapePropertyValue(text);
  SecureBytes cipher;
  {
    std::lock_guard<std::recursive_mutex> lock(CryptoLock());
    if (CRLDATcrypto::EncryptPayload(&cipher, kCipherAes, text.data(), text.size(), key_) !=
        kPayloadOk) {
      return std::string();
    }
  }
  return EscapePropertyValue(CRLDATcrypto::HexEncode(cipher.data(), cipher.size()));
}

namespace {

bool DecryptHex(const std::string& hex, const std::string& key, std::string* out) {
  SecureBytes cipher;
  if (!CRLDATcrypto::HexDecode(hex, &cipher)) return false;
  SecureBytes plain;
  std::lock_guard<std::recursive_mutex> lock(CryptoLock());
  if (CRLDATcrypto::DecryptPayload(&plain, kCipherAes, cipher.data(), cipher.size(), key) !=
      kPayloadOk) {
    return false;
  }
  out->assign(reinterpret_cast<const char*>(plain.data()), plain.size());
  return true;
}

}  // namespace

bool PropertyFileClient::DecodeName(std::string_view text, bool encrypt, std::string* out) {
  if (text.empty()) {
    out->clear();
    return true;
  }
  const std::string plain = UnescapePropertyName(text);
  if (!encrypt) {
    *out = plain;
    return true;
  }
  return DecryptHex(plain, key_, out);
}

bool PropertyFileClient::DecodeValue(std::string_view text, bool encrypt, std::string* out) {
  if (text.empty()) {
    out->clear();
    return true;
  }
  const std::string plain = UnescapePropertyValue(text);
  if (!encrypt) {
    *out = plain;
    return true;
  }
  return DecryptHex(plain, key_, out);
}

std::string PropertyFileClient::EncodedPath(const PropertyNode* node, const std::string& name,
                                            bool encrypt) {
  // As EncodePropertyPath, except that a name holding "/" stays one name.
  std::vector<std::string> names;
  if (node != nullptr) names = NodeNames(*node);
  AppendPropertyPathNames(name, node == nullptr, &names);
  return EncodedNames(names, encrypt);
}

std::string PropertyFileClient::EncodedNames(const std::vector<std::string>& names, bool encrypt) {
  return EncodePropertyNames(
      names, [&](std::string_view segment) { return EncodeName(segment, encrypt); });
}

// ---- requests ----

bool PropertyFileClient::Reachable() {
  if (request_channel_->IsOpen()) return true;
  std::string mailslot;
  if (!LookupRecipient(kPropertyServerRecipient, &mailslot)) return false;
  if (!request_channel_->Open(".", mailslot)) return false;
  // The channel was closed because the server went away (or was never
  // open): a server found now may be a new one that does not know this
  // client.
  if (registered_) {
    WriteRequest(BuildPropertyRequest(kRequestRegister, store_name_, "", reply_name_));
  }
  return request_channel_->IsOpen();
}

bool PropertyFileClient::WriteRequest(const std::string& request) {
  if (request_channel_->Write(request.data(), static_cast<uint32_t>(request.size()), nullptr)) {
    return true;
  }
  // The server is gone; look it up afresh next time.
  request_channel_->Close();
  return false;
}

void PropertyFileClient::SetReplyTimeout(uint32_t milliseconds) {
  reply_timeout_ms_ = milliseconds;
  if (reply_channel_ && reply_channel_->IsOpen()) reply_channel_->SetReadTimeout(milliseconds);
}

bool PropertyFileClient::EnsureReplyChannel() {
  if (reply_channel_ && reply_channel_->IsOpen()) return true;
  reply_channel_ = GetSystemFactory().NewMailslotReader();
  reply_name_ = UniqueMailslotName();
  if (!reply_channel_->Create(reply_name_, kMaxPropertyMessage, reply_timeout_ms_)) {
    reply_channel_.reset();
    return false;
  }
  // A registered client registers the new name in place of the old one.
  if (registered_) SendOneWay(kRequestRegister, "", reply_name_);
  return true;
}

bool PropertyFileClient::DropWaitingReplies() {
  while (reply_channel_->HasMessage()) {
    uint32_t count = 0;
    if (!reply_channel_->Read(reply_buffer_.get(), kReplyBufferSize - 1, &count)) return false;
  }
  return true;
}

void PropertyFileClient::AbandonReplyChannel() {
  if (!reply_channel_) return;
  reply_channel_->Close();
  reply_channel_.reset();
  if (registered_) SendOneWay(kRequestUnregister, "", reply_name_);
}

bool PropertyFileClient::SendOneWay(std::string_view code, std::string_view arg1,
                                    std::string_view arg2) {
  if (!Reachable()) return false;
  if (request_counter_ > kMaxOneWayAhead) {
    std::string ignored;
    if (!Transaction(kRequestPing, "", &ignored)) return false;
  }
  const std::string request = BuildPropertyRequest(code, store_name_, arg1, arg2);
  if (request.size() > kMaxPropertyMessage) return false;
  if (WriteRequest(request)) return true;
  // A server that took the place of the vanished one gets the request.
  return Reachable() && WriteRequest(request);
}

bool PropertyFileClient::Transaction(std::string_view code, std::string_view arg1,
                                     std::string* result) {
  request_counter_ = 0;
  if (!reply_buffer_) reply_buffer_ = std::make_unique<char[]>(kReplyBufferSize);
  if (!EnsureReplyChannel()) return false;
  // Whatever waits now answers no request of this transaction.
  if (!DropWaitingReplies()) {
    AbandonReplyChannel();
    if (!EnsureReplyChannel()) return false;
  }
  if (!SendOneWay(code, arg1, reply_name_)) return false;
  // The PN a send may have made first can have given the mailslot up.
  if (!reply_channel_) return false;
  uint32_t count = 0;
  if (!reply_channel_->Read(reply_buffer_.get(), kReplyBufferSize - 1, &count)) {
    // No reply in time (or one too long to take): a late reply would land
    // on this mailslot and be taken for the answer to the next request.
    AbandonReplyChannel();
    return false;
  }
  reply_buffer_[count] = '\0';
  return ParsePropertyReply(std::string_view(reply_buffer_.get(), count), result);
}

bool PropertyFileClient::Connect() {
  if (!Reachable()) {
    const std::string program =
        NativeJoin(GetSystemFactory().ModuleDirectory(), kPropertyServerProgram);
    if (!GetSystemFactory().Run(program, "", false)) return false;
    for (int i = 0; i < kStartPolls; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (Reachable()) break;
    }
  }
  if (!request_channel_->IsOpen()) return false;
  if (!EnsureReplyChannel()) return false;
  registered_ = SendOneWay(kRequestRegister, "", reply_name_);
  return registered_;
}

// ---- operations ----

bool PropertyFileClient::WriteInt(const PropertyNode* node, const std::string& name, int value,
                                  bool encrypt) {
  ++request_counter_;
  return WriteString(node, name, std::to_string(value), encrypt);
}

bool PropertyFileClient::WriteString(const PropertyNode* node, const std::string& name,
                                     const std::string& value, bool encrypt) {
  ++request_counter_;
  if (encrypt && key_.empty()) return false;
  return SendOneWay(kRequestSetData, EncodedPath(node, name, encrypt), EncodeValue(value, encrypt));
}

bool PropertyFileClient::WriteBinary(const PropertyNode* node, const std::string& name,
                                     const void* bytes, uint32_t length, bool encrypt) {
  ++request_counter_;
  return WriteString(node, name, CRLDATcrypto::Base64Encode(bytes, length), encrypt);
}

bool PropertyFileClient::ReadString(const PropertyNode* node, const std::string& name,
                                    std::string* value, bool encrypt) {
  if (encrypt && key_.empty()) return false;
  std::string encoded;
  if (!Transaction(kRequestGetData, EncodedPath(node, name, encrypt), &encoded)) return false;
  std::string decoded;
  if (!DecodeValue(encoded, encrypt, &decoded)) return false;
  const size_t macro = decoded.find(kModuleDirMacro);
  if (macro != std::string::npos) {
    decoded.replace(macro, sizeof(kModuleDirMacro) - 1, global_directory_);
  }
  *value = std::move(decoded);
  return true;
}

bool PropertyFileClient::ReadInt(const PropertyNode* node, const std::string& name, int* value,
                                 bool encrypt) {
  std::string text;
  if (!ReadString(node, name, &text, encrypt)) return false;
  *value = DecimalToInt(text);
  return true;
}

bool PropertyFileClient::ReadBinary(const PropertyNode* node, const std::string& name, void* buffer,
                                    uint32_t* length, bool encrypt) {
  std::string text;
  if (!ReadString(node, name, &text, encrypt)) return false;
  SecureBytes bytes;
  CRLDATcrypto::Base64Decode(text, &bytes);
  if (bytes.size() <= *length) {
    if (bytes.size() != 0) std::memcpy(buffer, bytes.data(), bytes.size());
    *length = static_cast<uint32_t>(bytes.size());
  } else {
    std::memcpy(buffer, bytes.data(), *length);
  }
  return true;
}

bool PropertyFileClient::ListChildren(const PropertyNode* node, const std::string& name,
                                      std::map<std::string, std::string>* children, bool encrypt) {
  std::vector<std::string> names;
  if (node != nullptr) names = NodeNames(*node);
  AppendPropertyPathNames(name, node == nullptr, &names);
  return ListNamed(names, children, encrypt);
}

bool PropertyFileClient::ListNamed(const std::vector<std::string>& names,
                                   std::map<std::string, std::string>* children, bool encrypt) {
  if (encrypt && key_.empty()) return false;
  const std::string path = EncodedNames(names, encrypt);
  std::string list;
  if (!Transaction(kRequestGetList, path, &list)) return false;
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(kChildSeparator, start);
    if (end == std::string::npos) end = list.size();
    const std::string child = list.substr(start, end - start);
    start = end + 1;
    if (child.empty()) continue;
    // The root's children stand alone: "/x" would name nothing.
    const std::string child_path = path.empty() ? child : path + "/" + child;
    std::string encoded_value;
    if (!Transaction(kRequestGetData, child_path, &encoded_value)) continue;
    std::string child_name;
    std::string value;
    if (!DecodeName(child, encrypt, &child_name) || !DecodeValue(encoded_value, encrypt, &value)) {
      continue;
    }
    (*children)[child_name] = std::move(value);
  }
  return true;
}

bool PropertyFileClient::DeleteNode(const PropertyNode* node, const std::string& name,
                                    bool recursive) {
  ++request_counter_;
  return SendOneWay(kRequestDelete, EncodedPath(node, name, false), recursive ? "1" : "0");
}

bool PropertyFileClient::DeleteNodeNamed(const PropertyNode* parent, const std::string& name,
                                         bool recursive) {
  std::vector<std::string> names;
  if (parent != nullptr) names = NodeNames(*parent);
  names.push_back(name);
  ++request_counter_;
  return SendOneWay(kRequestDelete, EncodedNames(names, false), recursive ? "1" : "0");
}

bool PropertyFileClient::RequestFL() {
  return SendOneWay(kRequestFlush, "", "");
}
bool PropertyFileClient::RequestRS() {
  return SendOneWay(kRequestReset, "", "");
}

namespace {

// The names of `path` as a walk starts from it: none for the root.
std::vector<std::string> WalkStart(const std::string& path) {
  std::vector<std::string> names;
  if (!path.empty() && path != "/") AppendPropertyPathNames(path, true, &names);
  return names;
}

std::vector<std::string> ChildNames(const std::vector<std::string>& names,
                                    const std::string& child) {
  std::vector<std::string> out = names;
  out.push_back(child);
  return out;
}

}  // namespace

void PropertyFileClient::CopyTree(PropertyFileClient& source, const std::string& path,
                                  bool decrypt_source, bool encrypt_target) {
  CopyNamed(source, WalkStart(path), decrypt_source, encrypt_target);
}

void PropertyFileClient::CopyNamed(PropertyFileClient& source,
                                   const std::vector<std::string>& names, bool decrypt_source,
                                   bool encrypt_target) {
  std::map<std::string, std::string> children;
  if (!source.ListNamed(names, &children, decrypt_source)) return;
  for (const auto& [name, value] : children) {
    const std::vector<std::string> child = ChildNames(names, name);
    if (!value.empty()) {
      if (encrypt_target && key_.empty()) continue;
      ++request_counter_;
      SendOneWay(kRequestSetData, EncodedNames(child, encrypt_target),
                 EncodeValue(value, encrypt_target));
    } else {
      CopyNamed(source, child, decrypt_source, encrypt_target);
    }
  }
}

void PropertyFileClient::CollectTreeText(const std::string& path, bool encrypt, std::string* text) {
  CollectNamed(WalkStart(path), encrypt, text);
}

void PropertyFileClient::CollectNamed(const std::vector<std::string>& names, bool encrypt,
                                      std::string* text) {
  std::map<std::string, std::string> children;  // ascending byte order
  if (!ListNamed(names, &children, encrypt)) return;
  for (const auto& [name, value] : children) {
    if (name == "SHA") continue;
    text->append(name);
    if (!value.empty()) {
      text->append(value);
    } else {
      CollectNamed(ChildNames(names, name), encrypt, text);
    }
  }
}

}  // namespace tw
