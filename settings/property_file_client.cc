// PropertyFileClient: binding, encoding and the mailslot requests.
#include "settings/property_file_client.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/recipient_table.h"
#include "platform/system_factory.h"
#include "settings/property_escape.h"
#include "settings/property_protocol.h"
#include "crypto/crypto.h"

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

std::string JoinPath(const std::string& dir, const char* file) {
  if (dir.empty()) return file;
  if (dir.back() == '/') return dir + file;
  return dir + "/" + file;
}

// mkdir -p with mode 0700 for the folders the system creates for one user.
void MakeDirectories(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      const std::string part = path.substr(0, pos);
      if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return;
    }
  }
}

std::string FileNamePart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> NodeNames(const PropertyNode& node) {
  if (!node.names.empty()) return node.names;
  std::vector<std::string> names;
  AppendPropertyPathNames(node.path, true, &names);
  return names;
}

// Copies `from` to a new file `to`; a failure is not reported (binding
// succeeds anyway).
void CopyNewFile(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return;
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (out >= 0) {
    char buffer[8192];
    ssize_t got;
    while ((got = ::read(in, buffer, sizeof buffer)) > 0) {
      if (::write(out, buffer, static_cast<size_t>(got)) != got) break;
    }
    ::close(out);
  }
  ::close(in);
}

int DecimalOrZero(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str()) return 0;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

}  // namespace

PropertyFileClient::PropertyFileClient(const std::string& name, int kind)
    : request_channel_(NewMailslotWriter()) {
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
    const std::string dir = JoinPath(app_data, "Properties");
    MakeDirectories(dir);
    SetUserDirectory(dir);
  }
  std::string store;
  switch (kind) {
    case kStoreGlobal:
      GetGlobalFilePath(&store);
      break;
    case kStoreScratch:
      store = std::string(kScratchStorePrefix) + ":" + std::to_string(::getpid());
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
  if (name.size() >= 4 && ::strncasecmp(name.c_str(), kScratchStorePrefix, 4) == 0) {
    store_name_ = name;
    return true;
  }
  struct stat st;
  if (::stat(name.c_str(), &st) != 0) {
    if (::strcasecmp(FileNamePart(name).c_str(), kUserFileName) == 0) {
      CopyNewFile(JoinPath(GetSystemFactory().ModuleDirectory(), kDefaultUserFile), name);
    } else {
      const int fd =
          ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd >= 0) ::close(fd);
    }
  }
  // The canonical name: the real absolute path. The file system is
  // case-sensitive, so the letter case stays.
  char resolved[PATH_MAX];
  if (::realpath(name.c_str(), resolved) != nullptr) {
    store_name_ = resolved;
  } else {
    store_name_ = name;
  }
  return true;
}

void PropertyFileClient::SetUserDirectory(const std::string& dir) { user_directory_ = dir; }
void PropertyFileClient::GetUserDirectory(std::string* dir) { *dir = user_directory_; }
void PropertyFileClient::SetGlobalDirectory(const std::string& dir) { global_directory_ = dir; }
void PropertyFileClient::GetGlobalDirectory(std::string* dir) { *dir = global_directory_; }

void PropertyFileClient::GetUserFilePath(std::string* path) {
  *path = JoinPath(user_directory_, kUserFileName);
}

void PropertyFileClient::GetGlobalFilePath(std::string* path) {
  *path = JoinPath(global_directory_, kGlobalFileName);
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

bool PropertyFileClient::CloseNode(std::unique_ptr<PropertyNode> node) { return true; }

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
  return EncodePropertyNames(names, [&](std::string_view segment) {
    return EncodeName(segment, encrypt);
  });
}

// ---- requests ----

bool PropertyFileClient::Reachable() {
  if (request_channel_->IsOpen()) return true;
  std::string mailslot;
  if (!LookupRecipient(kPropertyServerRecipient, &mailslot)) return false;
  return request_channel_->Open(".", mailslot);
}

bool PropertyFileClient::EnsureReplyChannel() {
  if (!reply_channel_) {
    reply_channel_ = NewMailslotReader();
    reply_name_ = UniqueMailslotName();
  }
  if (reply_channel_->IsOpen()) return true;
  return reply_channel_->Create(reply_name_, kMaxPropertyMessage, kReplyTimeoutMs);
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
  if (!request_channel_->Write(request.data(), static_cast<uint32_t>(request.size()), nullptr)) {
    // The server is gone; look it up afresh next time.
    request_channel_->Close();
    return false;
  }
  return true;
}

bool PropertyFileClient::Transaction(std::string_view code, std::string_view arg1,
                                     std::string* result) {
  request_counter_ = 0;
  if (!EnsureReplyChannel()) return false;
  if (!SendOneWay(code, arg1, reply_name_)) return false;
  if (!reply_buffer_) reply_buffer_ = std::make_unique<char[]>(kReplyBufferSize);
  uint32_t count = 0;
  if (!reply_channel_->Read(reply_buffer_.get(), kReplyBufferSize - 1, &count)) return false;
  reply_buffer_[count] = '\0';
  return ParsePropertyReply(std::string_view(reply_buffer_.get(), count), result);
}

bool PropertyFileClient::Connect() {
  if (!Reachable()) {
    const std::string program =
        JoinPath(GetSystemFactory().ModuleDirectory(), kPropertyServerProgram);
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
  return SendOneWay(kRequestSetData, EncodedPath(node, name, encrypt),
                    EncodeValue(value, encrypt));
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
  *value = DecimalOrZero(text);
  return true;
}

bool PropertyFileClient::ReadBinary(const PropertyNode* node, const std::string& name,
                                    void* buffer, uint32_t* length, bool encrypt) {
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
                                      std::map<std::string, std::string>* children,
                                      bool encrypt) {
  if (encrypt && key_.empty()) return false;
  const std::string path = EncodedPath(node, name, encrypt);
  std::string list;
  if (!Transaction(kRequestGetList, path, &list)) return false;
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(kChildSeparator, start);
    if (end == std::string::npos) end = list.size();
    const std::string child = list.substr(start, end - start);
    start = end + 1;
    if (child.empty()) continue;
    std::string encoded_value;
    if (!Transaction(kRequestGetData, path + "/" + child, &encoded_value)) continue;
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

bool PropertyFileClient::RequestFL() { return SendOneWay(kRequestFlush, "", ""); }
bool PropertyFileClient::RequestRS() { return SendOneWay(kRequestReset, "", ""); }

void PropertyFileClient::CopyTree(PropertyFileClient& source, const std::string& path,
                                  bool decrypt_source, bool encrypt_target) {
  std::map<std::string, std::string> children;
  if (!source.ListChildren(nullptr, path, &children, decrypt_source)) return;
  for (const auto& [name, value] : children) {
    const std::string child_path = path.empty() ? name : path + "/" + name;
    if (!value.empty()) {
      WriteString(nullptr, child_path, value, encrypt_target);
    } else {
      CopyTree(source, child_path, decrypt_source, encrypt_target);
    }
  }
}

void PropertyFileClient::CollectTreeText(const std::string& path, bool encrypt,
                                         std::string* text) {
  std::map<std::string, std::string> children;  // ascending byte order
  if (!ListChildren(nullptr, path, &children, encrypt)) return;
  for (const auto& [name, value] : children) {
    if (name == "SHA") continue;
    text->append(name);
    if (!value.empty()) {
      text->append(value);
    } else {
      CollectTreeText(path + "/" + name, encrypt, text);
    }
  }
}

}  // namespace tw
