// ClientSession: the provider's one logged-on conversation with the Veltrane
// server per process, shared by every provider context of the process
// through the shared session slot.
//
// It owns the synchronous request that every server command uses (through
// the process's message hub), runs the two-step logon ("PRELOGON", then
// "LOGON") that authenticates the user and hands the channel key to the
// server connection ("SSK"), publishes the server's lock policy in the
// process's "ClientConfig<pid>" block, and keeps the user's property client
// (user.dat). The server commands are request functions over it, one file
// per family (session/document_requests.h, session/production_requests.h,
// session/lock_requests.h): each builds its request with CreateRequest and
// reads the Reply its round trip (Transact) returns. The session keeps no
// reply of its own: what one command got never reaches another.
//
// Threads: used only under the shared slot's mutex, by the export that holds
// it. Replies reach it on the hub's delivery thread through its recipient
// entry, which only matches them (ReplyMatcher is thread-safe).
#ifndef TW_SESSION_CLIENT_SESSION_H_
#define TW_SESSION_CLIENT_SESSION_H_

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "messaging/dispatcher.h"
#include "messaging/field_ids.h"
#include "messaging/message.h"
#include "messaging/recipient_registry.h"
#include "messaging/reply_matcher.h"
#include "messaging/synchronous_message.h"
#include "platform/shared_block.h"
#include "protocol/logon_command.h"
#include "session/received_files.h"
#include "session/transfer_progress.h"
#include "settings/property_file_client.h"

namespace tw {

// Results of the session layer (passed up to the exports unchanged). Every
// request function returns kSessionOk, kSessionNotLoggedOn (checked before
// anything is sent, where noted), kSessionNoReply, kSessionNotPermitted
// (server error 4), kSessionServerNotLoggedOn (server error 2),
// kSessionUnexpected (a reply of another command, or a server error the
// request has no result of its own for), or a result of its own.
enum SessionResult : int {
  kSessionOk = 0,
  kSessionNotLoggedOn = 1,
  kSessionNoReply = 3,
  kSessionDeclinedDeferred = 8,
  kSessionAlreadyQueued = 9,  // the user waits for that lock already (error 103)
  kSessionDeferredRequested = 10,
  kSessionServerNotLoggedOn = 11,  // the server answered error 2 (or refused a logon)
  kSessionReleaseRefused = 12,
  kSessionLocalFileMissing = 15,
  kSessionCreateFailed = 21,
  kSessionProductionExists = 22,
  kSessionPathNotFound = 23,
  kSessionInvalidPath = 25,
  kSessionNotPermitted = 31,
  kSessionIncompleteContent = 32,
  kSessionDocumentExists = 33,
  kSessionInvalidName = 34,  // the server refused a Document name (error 215)
  kSessionUnexpected = -1,
};

// A server error code and the result a command gives for it.
struct ErrorResult {
  int server_error;
  SessionResult result;
};

// What one round trip brought back: the caller's own, so that nothing of a
// reply outlives the command that asked for it or reaches the next one.
struct Reply {
  // The command's result for this reply (ClientSession::Transact).
  SessionResult result = kSessionNoReply;
  // The reply's ERRORCODE; 0 without a reply.
  int server_error = 0;
  // The reply; null when none came.
  SynchronousMessagePtr message;
  // The files the reply brought. A command takes the ones it moves into
  // place; the others are removed with the Reply.
  ReceivedFiles files;

  // The reply is `command` + "R".
  bool Is(std::string_view command) const;
  // A string field; empty when the reply has none.
  std::string Text(uint32_t field) const;
  // A list field, split at `separator`.
  std::vector<std::string> List(uint32_t field, std::string_view separator = kListSeparator) const;
  // An integer field; `fallback` when the reply has none.
  int Int(uint32_t field, int fallback) const;
};

// Request time-outs in seconds.
constexpr int kRequestTimeoutSeconds = 1800;
constexpr int kTransferTimeoutSeconds = 600;

// The five option flags the provider sets before an operation.
struct SessionOptions {
  bool flags[5] = {false, false, false, false, false};
};

class ClientSession {
 public:
  // Connects the user property client (starting the property file server
  // when needed) and creates this process's "ClientConfig<pid>" block (3
  // bytes, cleared) so that the connection and the lock commands can read
  // the lock policy.
  explicit ClientSession(SessionOptions options = SessionOptions(),
                         const std::string& root_name = std::string());
  // Ends the conversation when this session logged on over the connection
  // (the server sees the connection close, whatever became of the logon
  // mark since). Releases the block and the property client.
  virtual ~ClientSession();
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  // The Production binding the current export works on; every export copies
  // its context's project name here.
  void SetCurrentProject(const std::string& project) { current_project_ = project; }
  const std::string& current_project() const { return current_project_; }

  // Where the progress of file transfers is told (session/transfer_progress.h);
  // empty: nowhere. The export sets it for its span; it is called on the
  // export's thread while a transfer's request waits.
  void SetTransferNotices(TransferNoticeSink sink) { transfer_notices_ = std::move(sink); }
  const TransferNoticeSink& transfer_notices() const { return transfer_notices_; }

  bool logged_on() const { return logged_on_; }
  void set_logged_on(bool value) { logged_on_ = value; }

  // Called when one context of two remains: the remaining context logs on
  // again before it uses the session. The connection stays as it is.
  virtual void ForgetLogonState();

  // A new request: command, SOURCERECIPIENT 17, TARGETRECIPIENT 3 and this
  // session's SENDERTAG.
  MessagePtr CreateRequest(const std::string& command);
  // The one round trip of every command: sends `request` (field 13 = the
  // current project unless it has one; released once it is sent), waits at
  // most `timeout_seconds` and checks that the reply is the request's
  // command followed by "R". The Reply's result is kSessionOk when the
  // server answered with error 0. Otherwise: kSessionNoReply without a
  // reply, kSessionNotPermitted for server error 4, kSessionUnexpected for
  // a reply of another command, kSessionServerNotLoggedOn for server error
  // 2, then the result `errors` gives for the code, else `otherwise`.
  Reply Transact(MessagePtr request, int timeout_seconds,
                 std::initializer_list<ErrorResult> errors = {},
                 SessionResult otherwise = kSessionUnexpected);

  bool PreLogon();
  // 0 success, 3 no reply, 11 refused (server error 1), -1 other failure.
  // Finds the root Production (root_id()) afresh.
  SessionResult Logon(const std::string& user, const std::string& password);

  void SetOptionFlags(const SessionOptions& options) { options_ = options; }
  const SessionOptions& options() const { return options_; }
  bool ServerDemandsExclusiveLock();
  bool ServerDemandsSharedLock();

  int lock_policy() const { return lock_policy_; }
  const std::string& logon_token() const { return logon_token_; }
  // The user of the last successful logon; empty before.
  const std::string& user_name() const { return user_name_; }
  // The root Production, found at the latest logon: its identifier (empty
  // before, or when that logon could not find it) and the display name the
  // session was created with (empty: the server's root, which Production
  // paths then name by an empty first element).
  const std::string& root_id() const { return root_id_; }
  const std::string& root_name() const { return root_name_; }
  // The user's store user.dat, with the common key so that encrypted values
  // ("DefaultPassword") can be written and read.
  PropertyFileClient* user_properties() { return user_properties_.get(); }

 private:
  class Receiver;

  std::string current_project_;
  TransferNoticeSink transfer_notices_;
  bool logged_on_ = false;
  // This session ran a logon over the hub's connection; its end closes it.
  bool used_connection_ = false;
  SessionOptions options_;
  std::unique_ptr<SharedBlock> client_config_;
  int selector_ = 0;
  int compression_ = 0;
  int lock_policy_ = kLockPolicyNone;
  std::string own_public_key_;
  std::string own_private_key_;
  std::string server_public_key_;
  std::string logon_token_;
  std::string user_name_;
  const std::string root_name_;
  std::string root_id_;
  std::unique_ptr<UTLasynchEventDispatcher> dispatcher_;
  std::unique_ptr<PropertyFileClient> user_properties_;
  std::unique_ptr<ReplyMatcher> matcher_;
  // Registered with the hub from the first logon until the session ends.
  std::unique_ptr<Receiver> receiver_;
};

}  // namespace tw

#endif  // TW_SESSION_CLIENT_SESSION_H_
