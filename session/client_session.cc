#include "session/client_session.h"

#include <cstring>
#include <mutex>

#include "crypto/crypto.h"
#include "messaging/request_sender.h"
#include "platform/debug_output.h"
#include "protocol/command.h"
#include "protocol/logon_command.h"
#include "protocol/server_errors.h"
#include "session/client_config.h"
#include "transport/message_hub.h"
#include "transport/server_connection.h"

namespace tw {

namespace {

constexpr uint32_t kClientConfigSize = 3;
constexpr uint32_t kClientConfigWaitMs = 5000;
constexpr unsigned kLogonKeyBits = 1024;

}  // namespace

// The session's recipient entry: replies that reach recipient 17 on the
// hub's delivery thread are matched to their waiting request or callback.
class ClientSession::Receiver : public Recipient {
 public:
  explicit Receiver(ReplyMatcher* matcher) : matcher_(matcher) {}
  int Attach(RecipientRegistry* registry) override {
    return registry->Register(this, kRecipientClientSession);
  }
  int OnMessage(CRLMSGmessage* message) override {
    matcher_->Match(message);
    return 0;
  }

 private:
  ReplyMatcher* const matcher_;
};

ClientSession::ClientSession(SessionOptions options, const std::string& root_name)
    : options_(options), root_name_(root_name) {
  user_properties_ = std::make_unique<PropertyFileClient>("user.dat", kStoreUser);
  if (!user_properties_->Connect()) {
    DebugLog("ClientSession: the property file server cannot be reached");
  }
  // Created here when no component of this process has it yet, so that the
  // lock policy has somewhere to live for as long as the session does.
  client_config_ = std::make_unique<SharedBlock>(ClientConfigName(), kClientConfigSize);
  if (client_config_->IsValid()) {
    if (auto* bytes = static_cast<unsigned char*>(client_config_->Lock(kClientConfigWaitMs))) {
      std::memset(bytes, 0, std::min<uint32_t>(client_config_->Size(), kClientConfigSize));
      client_config_->Unlock();
    }
  }
}

ClientSession::~ClientSession() {
  try {
    if (receiver_ != nullptr && HasMessageHub()) {
      GetMessageHub()->registry()->Unregister(kRecipientClientSession);
    }
    // The server ends a session when its connection closes.
    if (logged_on_ && HasMessageHub()) GetMessageHub()->Disconnect();
    if (dispatcher_) dispatcher_->Stop();
    CRLDATcrypto::Wipe(&own_private_key_);
    CRLDATcrypto::Wipe(&channel_key_);
  } catch (...) {
    DebugLog("ClientSession: unexpected exception while ending the session");
  }
}

void ClientSession::ForgetLogonState() {
  current_project_.clear();
  logon_token_.clear();
  CRLDATcrypto::Wipe(&channel_key_);
  logged_on_ = false;
}

MessagePtr ClientSession::CreateRequest(const std::string& command) {
  MessagePtr request = NewMessage();
  request->SetString(COMMAND, command);
  request->SetInt(SOURCERECIPIENT, kRecipientClientSession);
  request->SetInt(TARGETRECIPIENT, kRecipientServer);
  if (matcher_) request->SetInt(SENDERTAG, static_cast<int>(matcher_->GetSenderTag()));
  return request;
}

int ClientSession::SendAndWait(CRLMSGmessage* request, int timeout_seconds) {
  std::string project;
  if (request->GetString(kFieldProject, &project) != kFieldOk || project.empty()) {
    request->SetString(kFieldProject, current_project_);
  }
  last_error_code_ = 0;
  RequestSender sender(GetMessageHub());
  SynchronousMessagePtr reply;
  if (!sender.SendAndWait(request, &reply, timeout_seconds) || !reply->HasReply()) return -1;
  last_reply_ = std::move(reply);
  int code = 0;
  last_reply_->GetInt(ERRORCODE, &code);
  last_error_code_ = code;
  if (code == 0) {
    last_request_succeeded_ = true;
    return 0;
  }
  if (code == kServerNotPermitted) return kSessionNotPermitted;
  last_request_succeeded_ = false;
  return 0;
}

bool ClientSession::PreLogon() {
  MessagePtr request = CreateRequest(prelogon::kCommand);
  for (uint32_t field : prelogon::kRequestZeroFields) request->SetInt(field, 0);
  SendAndWait(request.get(), kRequestTimeoutSeconds);
  request.reset();
  if (last_error_code_ != 0 || !last_reply_) return false;
  last_reply_->GetString(prelogon::kReplyServerKey, &server_public_key_);
  last_reply_->GetInt(prelogon::kReplySelector, &selector_);
  last_reply_->GetInt(prelogon::kReplyCompression, &compression_);
  lock_policy_ = kLockPolicyNone;
  last_reply_->GetInt(prelogon::kReplyLockPolicy, &lock_policy_);
  SharedBlock block(ClientConfigName(), 0);
  if (block.IsValid() && block.Size() >= kClientConfigSize) {
    if (auto* bytes = static_cast<unsigned char*>(block.Lock(kClientConfigWaitMs))) {
      bytes[1] = lock_policy_ == kLockPolicyExclusive ? 1 : 0;
      bytes[2] = lock_policy_ == kLockPolicyShared ? 1 : 0;
      block.Unlock();
    }
  }
  return true;
}

int ClientSession::Logon(const std::string& user, const std::string& password) {
  if (!dispatcher_created_) {
    dispatcher_ = std::make_unique<UTLasynchEventDispatcher>();
    dispatcher_->Start();
    matcher_ = std::make_unique<ReplyMatcher>(this, dispatcher_.get());
    dispatcher_created_ = true;
  }
  if (receiver_ == nullptr) {
    receiver_ = std::make_unique<Receiver>(matcher_.get());
    receiver_->Attach(GetMessageHub()->registry());
  }
  if (!PreLogon()) return kSessionUnexpected;

  std::string digest_hex;
  {
    std::lock_guard<std::recursive_mutex> crypto(CryptoLock());
    CRLDATcrypto::Wipe(&own_private_key_);
    if (!CRLDATcrypto::GenerateKeyPair(kLogonKeyBits, &own_private_key_, &own_public_key_)) {
      return kSessionUnexpected;
    }
    std::string digest;
    CRLDATcrypto::DigestToHex(digest, kDigestMd5, password + user);
    const bool encrypted = CRLDATcrypto::RsaEncryptToHex(server_public_key_, digest.data(),
                                                         digest.size(), &digest_hex);
    CRLDATcrypto::Wipe(&digest);
    if (!encrypted) return kSessionUnexpected;
  }

  MessagePtr request = CreateRequest(logon::kCommand);
  request->SetString(logon::kFieldUserName, user);
  request->SetString(logon::kFieldDigest, digest_hex);
  request->SetString(logon::kFieldClientKey, own_public_key_);
  const int sent = SendAndWait(request.get(), kRequestTimeoutSeconds);
  request.reset();
  if (sent != 0) return kSessionNoReply;

  if (ReplyIs(logon::kCommand)) {
    if (!last_request_succeeded_) {
      return last_error_code_ == kServerLogonRefused ? kSessionServerNotLoggedOn
                                                     : kSessionUnexpected;
    }
    std::string encrypted_key;
    last_reply_->GetString(logon::kReplyToken, &logon_token_);
    last_reply_->GetString(logon::kReplyChannelKey, &encrypted_key);
    {
      std::lock_guard<std::recursive_mutex> crypto(CryptoLock());
      SecureBytes key;
      if (!CRLDATcrypto::RsaDecryptFromHex(own_private_key_, encrypted_key, &key)) {
        return kSessionUnexpected;
      }
      channel_key_.assign(reinterpret_cast<const char*>(key.data()), key.size());
    }
    MessagePtr ssk = CreateRequest(kSetChannelKeyCommand);
    ssk->SetString(kSskFieldKey, channel_key_);
    ssk->SetInt(kSskFieldSelector, selector_);
    ssk->SetInt(kSskFieldCompression, compression_);
    GetMessageHub()->Send(ssk.get());
    CRLDATcrypto::Wipe(&channel_key_);
    logged_on_ = true;
    user_name_ = user;
  }

  std::string root_id;
  if (LookupProduction(root_name_, true, &root_id) == kSessionOk) {
    current_project_ = root_id;
    root_id_ = root_id;
  }
  return kSessionOk;
}

bool ClientSession::ServerDemandsExclusiveLock() { return tw::ServerDemandsExclusiveLock(); }

bool ClientSession::ServerDemandsSharedLock() { return tw::ServerDemandsSharedLock(); }

bool ClientSession::ReplyIs(const std::string& command) const {
  return last_reply_ && last_reply_->GetCommand() == ReplyCommand(command);
}

int ClientSession::MapError(int other) const {
  if (last_error_code_ == kServerNotLoggedOn) return kSessionServerNotLoggedOn;
  return other;
}

}  // namespace tw
