#include "session/client_session.h"

#include <mutex>

#include "crypto/crypto.h"
#include "messaging/request_sender.h"
#include "platform/debug_output.h"
#include "platform/list_text.h"
#include "platform/system_factory.h"
#include "protocol/command.h"
#include "protocol/logon_command.h"
#include "protocol/server_errors.h"
#include "session/client_config.h"
#include "session/production_requests.h"
#include "settings/property_protocol.h"
#include "transport/message_hub.h"
#include "transport/server_connection.h"

namespace tw {

namespace {

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
  user_properties_->SetKey(kPropertyKeyString);
  if (!user_properties_->Connect()) {
    DebugLog("ClientSession: the property file server cannot be reached");
  }
  // The lock policy lives there for as long as the session does.
  client_config_ = CreateClientConfig();
  // What an earlier receive that was cut off (a host killed mid-transfer)
  // left in the scratch folder goes now; files of live processes stay.
  RemoveAbandonedTempFiles();
}

ClientSession::~ClientSession() {
  try {
    if (receiver_ != nullptr && HasMessageHub()) {
      GetMessageHub()->registry()->Unregister(kRecipientClientSession);
    }
    // The server ends a session when its connection closes. The logon mark
    // alone does not tell: a context that remains forgets it.
    if (used_connection_ && HasMessageHub()) GetMessageHub()->Disconnect();
    if (dispatcher_) dispatcher_->Stop();
    CRLDATcrypto::Wipe(&own_private_key_);
  } catch (...) {
    DebugLog("ClientSession: unexpected exception while ending the session");
  }
}

void ClientSession::ForgetLogonState() {
  current_project_.clear();
  logon_token_.clear();
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

bool ClientSession::PreLogon() {
  MessagePtr request = CreateRequest(prelogon::kCommand);
  for (uint32_t field : prelogon::kRequestZeroFields) request->SetInt(field, 0);
  const Reply reply = Transact(std::move(request), kRequestTimeoutSeconds);
  if (reply.result != kSessionOk) return false;
  server_public_key_ = reply.Text(prelogon::kReplyServerKey);
  selector_ = reply.Int(prelogon::kReplySelector, selector_);
  compression_ = reply.Int(prelogon::kReplyCompression, compression_);
  lock_policy_ = reply.Int(prelogon::kReplyLockPolicy, kLockPolicyNone);
  PublishLockPolicy(lock_policy_);
  return true;
}

SessionResult ClientSession::Logon(const std::string& user, const std::string& password) {
  if (dispatcher_ == nullptr) {
    dispatcher_ = std::make_unique<UTLasynchEventDispatcher>();
    dispatcher_->Start();
    matcher_ = std::make_unique<ReplyMatcher>(this, dispatcher_.get());
  }
  if (receiver_ == nullptr) {
    receiver_ = std::make_unique<Receiver>(matcher_.get());
    receiver_->Attach(GetMessageHub()->registry());
  }
  used_connection_ = true;
  // A root found by an earlier logon may belong to another server.
  root_id_.clear();
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
  const Reply reply = Transact(std::move(request), kRequestTimeoutSeconds,
                               {{kServerLogonRefused, kSessionServerNotLoggedOn}});
  if (reply.result == kSessionNoReply || reply.result == kSessionServerNotLoggedOn) {
    return reply.result;
  }
  if (reply.result != kSessionOk) return kSessionUnexpected;

  logon_token_ = reply.Text(logon::kReplyToken);
  std::string channel_key;
  {
    std::lock_guard<std::recursive_mutex> crypto(CryptoLock());
    SecureBytes key;
    if (!CRLDATcrypto::RsaDecryptFromHex(own_private_key_, reply.Text(logon::kReplyChannelKey),
                                         &key)) {
      return kSessionUnexpected;
    }
    channel_key.assign(reinterpret_cast<const char*>(key.data()), key.size());
  }
  MessagePtr ssk = CreateRequest(kSetChannelKeyCommand);
  ssk->SetString(kSskFieldKey, channel_key);
  ssk->SetInt(kSskFieldSelector, selector_);
  ssk->SetInt(kSskFieldCompression, compression_);
  CRLDATcrypto::Wipe(&channel_key);
  GetMessageHub()->Send(ssk.get());
  logged_on_ = true;
  user_name_ = user;

  std::string root_id;
  if (LookupProduction(this, root_name_, true, &root_id) == kSessionOk && !root_id.empty()) {
    current_project_ = root_id;
    root_id_ = root_id;
  }
  return kSessionOk;
}

bool ClientSession::ServerDemandsExclusiveLock() {
  return tw::ServerDemandsExclusiveLock();
}

bool ClientSession::ServerDemandsSharedLock() {
  return tw::ServerDemandsSharedLock();
}

Reply ClientSession::Transact(MessagePtr request, int timeout_seconds,
                              std::initializer_list<ErrorResult> errors, SessionResult otherwise) {
  Reply reply;
  const std::string command = request->GetCommand();
  std::string project;
  if (request->GetString(kFieldProject, &project) != kFieldOk || project.empty()) {
    request->SetString(kFieldProject, current_project_);
  }
  RequestSender sender(GetMessageHub());
  SynchronousMessagePtr answer;
  const bool answered = sender.SendAndWait(request.get(), &answer, timeout_seconds);
  request.reset();
  if (!answered || !answer->HasReply()) return reply;
  reply.message = std::move(answer);
  reply.files = ReceivedFiles(reply.message.get());
  reply.message->GetInt(ERRORCODE, &reply.server_error);
  if (reply.server_error == kServerNotPermitted) {
    reply.result = kSessionNotPermitted;
  } else if (!reply.Is(command)) {
    reply.result = kSessionUnexpected;
  } else if (reply.server_error == kServerOk) {
    reply.result = kSessionOk;
  } else if (reply.server_error == kServerNotLoggedOn) {
    reply.result = kSessionServerNotLoggedOn;
  } else {
    reply.result = otherwise;
    for (const ErrorResult& error : errors) {
      if (error.server_error == reply.server_error) {
        reply.result = error.result;
        break;
      }
    }
  }
  return reply;
}

bool Reply::Is(std::string_view command) const {
  return message && message->GetCommand() == ReplyCommand(command);
}

std::string Reply::Text(uint32_t field) const {
  std::string text;
  if (message) message->GetString(field, &text);
  return text;
}

std::vector<std::string> Reply::List(uint32_t field, std::string_view separator) const {
  return SplitList(Text(field), separator);
}

int Reply::Int(uint32_t field, int fallback) const {
  int value = fallback;
  if (message) message->GetInt(field, &value);
  return value;
}

}  // namespace tw
