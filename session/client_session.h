// ClientSession: the provider's one logged-on conversation with the Veltrane
// server per process, shared by every provider context of the process
// through the shared session slot.
//
// It owns the synchronous request that every server command uses (through
// the process's message hub), runs the two-step logon ("PRELOGON", then
// "LOGON") that authenticates the user and hands the channel key to the
// server connection ("SSK"), publishes the server's lock policy in the
// process's "ClientConfig<pid>" block, and keeps the user's property client
// (user.dat). The server commands (session/commands.cc) and the lock
// commands (session/locks.cc) are its members.
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
#include "protocol/lock_command.h"
#include "protocol/logon_command.h"
#include "session/document_info.h"
#include "session/received_files.h"
#include "session/transfer_progress.h"
#include "settings/property_file_client.h"

namespace tw {

// Results of the session layer (passed up to the exports unchanged).
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
  // Sends `request` (field 13 = the current project unless it has one) and
  // waits for its reply: 0 (the reply is last_reply(); its ERRORCODE is
  // last_error_code()), 31 for server error 4, -1 without a reply (then
  // last_reply() is null).
  int SendAndWait(CRLMSGmessage* request, int timeout_seconds);

  bool PreLogon();
  // 0 success, 3 no reply, 11 refused (server error 1), -1 other failure.
  // Finds the root Production (root_id()) afresh.
  SessionResult Logon(const std::string& user, const std::string& password);

  void SetOptionFlags(const SessionOptions& options) { options_ = options; }
  const SessionOptions& options() const { return options_; }
  bool ServerDemandsExclusiveLock();
  bool ServerDemandsSharedLock();

  const CRLMSGmessage* last_reply() const { return last_reply_.get(); }
  int last_error_code() const { return last_error_code_; }
  // Why the latest command failed, in words for the user, when the session
  // knows more than its result says (a reply that does not answer the
  // request); empty otherwise. Cleared by each SendAndWait.
  const std::string& failure_text() const { return failure_text_; }
  bool last_request_succeeded() const { return last_request_succeeded_; }
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

  // ---- Document and Production commands (session/commands.cc)
  //
  // Every command returns kSessionOk, kSessionNotLoggedOn (checked before
  // anything is sent, where noted), kSessionNoReply, kSessionNotPermitted
  // (server error 4), kSessionServerNotLoggedOn (server error 2),
  // kSessionUnexpected (a reply of another command, or a server error the
  // command has no result of its own for), or a result of its own below.

  // One local file of an add, a check-in or a fetch.
  struct LocalFile {
    std::string path;       // the local file
    std::string directory;  // its folder
    std::string name;       // its name
    // A fetch: the working folder the file must stay in (its folder, when
    // missing, is made only inside it, never through a link that leads
    // out); empty when the host chose the path itself.
    std::string working_folder{};
  };

  // DOCUMENTCMD 1: adds `files` to the Productions `production_ids`
  // (parallel lists). `document_ids` receives the new identifiers.
  // kSessionDocumentExists for a name that exists or appears twice,
  // kSessionInvalidName for a name the server does not take; the request
  // adds nothing then.
  SessionResult AddDocuments(const std::vector<std::string>& production_ids,
                             const std::vector<LocalFile>& files, const std::string& comment,
                             std::vector<std::string>* document_ids);
  // DOCUMENTCMD 2: a new version of each Document from its local file.
  // kSessionLocalFileMissing when a local file is missing (nothing sent),
  // kSessionReleaseRefused when one is not checked out by the user,
  // kSessionIncompleteContent when a content did not arrive whole.
  SessionResult CheckInDocuments(const std::vector<std::string>& document_ids,
                                 const std::vector<LocalFile>& files, const std::string& comment,
                                 bool work_in_progress);
  // DOCUMENTCMD 4: fetches the current versions (or, per Document, the
  // version `versions` names; missing or 0: the current one) into their
  // local paths (replacing what is there, creating missing folders; a file
  // whose folder would lie outside its working folder is not placed), sets
  // each file's last-write time to the server stamp's instant and records
  // the state of each file placed with the stamp of the version it got.
  // kSessionUnexpected, after placing what it could, when a file could not
  // be placed or the reply does not carry one file per Document; received
  // files that were not placed are removed.
  SessionResult FetchDocuments(const std::vector<std::string>& document_ids,
                               const std::vector<LocalFile>& files,
                               const std::vector<int>& versions = {});
  // DOCUMENTCMD 4 for one Document (version 0 = current) into `path`; no
  // state is recorded.
  SessionResult FetchDocumentToFile(const std::string& document_id, int version,
                                    const std::string& path);
  // PRODUCTIONCMD 4: kSessionOk or kSessionProductionExists with the
  // identifier; kSessionCreateFailed for any other server error.
  SessionResult CreateProduction(const std::string& parent_id, const std::string& name,
                                 std::string* id);
  // PRODUCTIONCMD 20 (sent whether logged on or not): kSessionOk with the
  // identifier (none when the reply is of another command),
  // kSessionPathNotFound, kSessionInvalidPath.
  SessionResult LookupProduction(const std::string& path, bool after_logon, std::string* id);
  // GETNAMELIST: the name table's text form.
  SessionResult GetNameList(const std::string& caller, const std::string& subject, int kind,
                            bool recursive, std::string* table);
  // PRODUCTIONCMD 25 for the host's files (sent whether logged on or not):
  // one record per path, in order. kSessionUnexpected when the reply's lists
  // are not one element per path.
  SessionResult FetchDocumentInfo(const std::string& production_id,
                                  const std::vector<std::string>& paths,
                                  const std::string& local_project_path,
                                  const std::string& project_root, std::vector<DocumentInfo>* out);

  // ---- Locks (session/locks.cc)

  // The lock type the server's policy and the caller's wish give.
  LockType ChooseLockType(bool shared_wanted);
  // ACQUIRELOCK; on success the local files become writable and
  // "CheckedOutTo" is recorded. A conflict asks for a deferred lock:
  // kSessionDeclinedDeferred when the user declines, kSessionDeferredRequested
  // when the deferred lock was asked for. A deferred lock held already is
  // told to the user and gives kSessionAlreadyQueued. After any refusal
  // lock_conflict() names the Document the server refused.
  SessionResult AcquireLocks(const std::vector<std::string>& document_ids,
                             const std::vector<std::string>& local_paths,
                             std::vector<bool> deferred, bool shared_wanted);
  // RELEASELOCK; on success "CheckedOutTo" and each Document's node go.
  // kSessionReleaseRefused for any server error but 2 and 4.
  SessionResult ReleaseLocks(const std::vector<std::string>& document_ids,
                             const std::vector<std::string>& local_paths);

  // The Document a refused ACQUIRELOCK named, as the first reply gave it:
  // the server's error (101, 102 or 103; 0 when the last AcquireLocks was
  // not refused by a conflict), the Document's identifier and display name
  // and its index in the request.
  struct LockConflict {
    int server_error = 0;
    std::string document_id;
    std::string name;
    int index = -1;
  };
  const LockConflict& lock_conflict() const { return lock_conflict_; }

 private:
  class Receiver;

  // A server error code and the result a command gives for it.
  struct ErrorResult {
    int server_error;
    SessionResult result;
  };

  // The one round trip of every command: sends `request` (released once it
  // is sent), waits at most `timeout_seconds` and checks that the reply is
  // the request's command followed by "R". kSessionOk when the server
  // answered with error 0 (the reply is last_reply_). Otherwise:
  // kSessionNoReply without a reply, kSessionNotPermitted for server error
  // 4, kSessionUnexpected for a reply of another command,
  // kSessionServerNotLoggedOn for server error 2, then the result `errors`
  // gives for the code, else `otherwise`.
  SessionResult Transact(MessagePtr request, int timeout_seconds,
                         std::initializer_list<ErrorResult> errors = {},
                         SessionResult otherwise = kSessionUnexpected);
  // The reply is `command` + "R".
  bool ReplyIs(std::string_view command) const;
  // A string field of the last reply; empty when it has none.
  std::string ReplyText(uint32_t field) const;
  // A list field of the last reply, split at `separator`.
  std::vector<std::string> ReplyList(uint32_t field,
                                     std::string_view separator = kListSeparator) const;

  std::string current_project_;
  TransferNoticeSink transfer_notices_;
  bool logged_on_ = false;
  // This session ran a logon over the hub's connection; its end closes it.
  bool used_connection_ = false;
  SessionOptions options_;
  SynchronousMessagePtr last_reply_;
  // The files last_reply_ brought, until a command takes them or the next
  // request is sent.
  ReceivedFiles received_files_;
  LockConflict lock_conflict_;
  std::unique_ptr<SharedBlock> client_config_;
  bool last_request_succeeded_ = false;
  int last_error_code_ = 0;
  std::string failure_text_;
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

// FetchDocuments' handling of its reply (apart, for the fuzz target): moves
// the received files of `reply`'s file list, one per entry of `files`, to
// their local paths and gives each its server stamp's time. `document_ids`
// are the Documents asked for, one per entry of `files`. Only files in
// `received_files` (the reader's own, by identity) are ever moved. A reply
// that does not answer exactly what was asked places nothing (`*placed`
// empty): its identifiers must be the requested ones in the requested
// order, and every list it has beside them (files, stamps, versions,
// names, full paths, per-Document results, all of them 0) must hold one
// element per Document, as must its file count. True when every file was
// placed; `*placed` tells which were.
bool PlaceFetchedFiles(const CRLMSGmessage& reply, ReceivedFiles* received_files,
                       const std::vector<std::string>& document_ids,
                       const std::vector<ClientSession::LocalFile>& files,
                       std::vector<bool>* placed);

// FetchDocumentInfo's name mapping: `path` relative to `root` (an exact
// prefix, letter case included, ended by "/"), or "" when it does not lie
// below it.
std::string RelativeName(const std::string& path, const std::string& root);

}  // namespace tw

#endif  // TW_SESSION_CLIENT_SESSION_H_
