// The commands of one client connection: from a received request to its
// reply, with the connection's logon state. No sockets here: the network
// side (serve.cc) receives a request, hands it to Handle, sends the reply,
// and installs the channel cipher when Handle asks for it.
//
// Replies: the request's command followed by "R"; field MESSAGEID first
// (the request's, so the client matches it), then COMMAND, then the rest.
// Fields SENDERTAG, 13, CALLBACKKEY and SYNCHRONOUSREQUEST are copied from
// the request, and 100 too for the commands that carry a sub-command there;
// the reply is addressed back to the request's sender (field 0 = the
// request's field 3, field 2 = 3). ERRORCODE is the server's error code
// (protocol/server_errors.h); a request that fails changes nothing. A
// storage failure is answered with kServerFailure.
//
// Files that arrive with a request lie in scratch files that the message
// reader made in the received-files folder (the content store's "tmp/") for
// that very request; the request carries the set of them
// (messaging/scratch_files.h). Handle checks the request against the
// database first and moves the files into the content store only when it
// would be accepted (a file named under several names is stored once), and
// RemoveReceivedFiles deletes what is left afterwards, whatever the outcome.
// Only the reader's own files count, by identity: a file field that arrived
// as text is refused, whatever it names - even a path shaped like one of our
// scratch files - and nothing a client writes into a text field is ever
// read, moved or removed.
//
// Logon: PRELOGON announces the current logon key (logon_keys.h); LOGON
// opens the sealed digest under that key, once only, and is slowed down
// after refusals of the name from the connection's address
// (logon_throttle.h). Requests with more items than the limit are refused
// with kServerNotPermitted before any work is done, and so are reads whose
// reply would pass the message object limit or that run past their time
// budget.
//
// Every request runs in a ReadScope (read_gate.h): its reads count for the
// logged-on user, or for a logon.
//
// Threads: one CommandHandler per connection, used by that connection's
// thread. The Storage, the logon keys and the throttle are shared by all
// connections (each serialises itself).
#ifndef TW_SERVERS_TWSERVER_COMMANDS_H_
#define TW_SERVERS_TWSERVER_COMMANDS_H_

#include <atomic>
#include <chrono>
#include <string>
#include <unordered_map>
#include <vector>

#include "messaging/message.h"
#include "protocol/server_errors.h"
#include "servers/twserver/logon_keys.h"
#include "servers/twserver/logon_throttle.h"
#include "servers/twserver/storage.h"
#include "transport/message_channel.h"

namespace tw::twserver {

// What Handle made of one request.
struct CommandOutcome {
  MessagePtr reply;
  // Set by a successful LOGON: once the reply is sent (in clear), every
  // later frame in both directions goes under `cipher`.
  bool switch_cipher = false;
  ChannelCipher cipher;
  // For the log: the sub-command (or -1) and the reply's error code.
  int sub_command = -1;
  int error = 0;
  // A storage failure's text, for the log; empty otherwise.
  std::string failure;
  // Anything else the log should say about the request (a refused logon).
  std::string note;
  // For the log: the Production and Document paths the request touched
  // (at most kMaxLoggedPaths, `more` counting the rest), and the
  // identifiers it touched that name nothing the storage knows.
  std::vector<std::string> paths;
  std::vector<std::string> ids;
  size_t more = 0;
};

// Paths and identifiers one log line names at most.
constexpr size_t kMaxLoggedPaths = 20;

// Limits a server sets on what one request may ask for.
struct HandlerLimits {
  // Items (names, identifiers, files) in one request's list.
  size_t max_items = 100000;
  // The time one database read may take, and the most it waits for a
  // reader (zero: no limit of its own).
  std::chrono::milliseconds read_budget{20000};
  // How long a logon is taken on trust before the user's entry is read
  // again: a user removed, or whose password changed, loses an open
  // connection's rights at the first command after this time.
  std::chrono::milliseconds user_recheck{1000};
};

class CommandHandler {
 public:
  // `keys` and `throttle` serve the logon; `peer_address` is the client's
  // address, by which refused logons are throttled. `stopping` (may be
  // null) cuts the storing of uploads and the waits of a throttled logon
  // short when the server stops. Everything referred to outlives the
  // handler.
  CommandHandler(Storage& storage, LogonKeys& keys, LogonThrottle& throttle,
                 const std::atomic<bool>* stopping, HandlerLimits limits = HandlerLimits(),
                 std::string peer_address = std::string());
  ~CommandHandler();
  CommandHandler(const CommandHandler&) = delete;
  CommandHandler& operator=(const CommandHandler&) = delete;

  // Answers one request. Never throws: an unexpected exception gives a
  // reply with kServerFailure.
  CommandOutcome Handle(const CRLMSGmessage& request);

  // The user logged on through this connection; empty before.
  const std::string& user() const { return user_; }
  bool logged_on() const { return !user_.empty(); }

  // One row of the command table: a command, or one sub-command of a
  // command that carries one in field 100, and the member that answers it.
  using Handler = int (CommandHandler::*)(const CRLMSGmessage& request, CommandOutcome* out);
  static constexpr int kNoSubCommand = -1;
  struct Command {
    const char* name;
    int sub_command;  // kNoSubCommand when the command carries none
    bool needs_logon;
    Handler handler;
  };
  // Every command this server answers (commands.cc).
  static const std::vector<Command>& Commands();

 private:
  // The handlers of the rows of Commands(), one file per family: each
  // answers one request into `out->reply` and returns its error code.
  // logon_commands.cc
  int PreLogon(const CRLMSGmessage& request, CommandOutcome* out);
  int Logon(const CRLMSGmessage& request, CommandOutcome* out);
  // Sleeps (in slices, ending early when the server stops).
  void Pause(std::chrono::milliseconds delay) const;
  // Reads the logged-on user's entry again when user_recheck has passed:
  // kOk while it still matches; kServerNotLoggedOn, with the connection
  // logged off, when the user was removed or the password changed.
  int RecheckUser(CommandOutcome* out);

  // production_commands.cc
  int CreateProduction(const CRLMSGmessage& request, CommandOutcome* out);
  int LookupProduction(const CRLMSGmessage& request, CommandOutcome* out);
  int GetDocumentInfo(const CRLMSGmessage& request, CommandOutcome* out);
  // A Production path as the client gave it, beginning with the root's
  // display name as the storage's full paths do.
  std::string FullProductionPath(const std::string& path) const;

  // document_commands.cc
  int AddDocuments(const CRLMSGmessage& request, CommandOutcome* out);
  int CheckIn(const CRLMSGmessage& request, CommandOutcome* out);
  int Fetch(const CRLMSGmessage& request, CommandOutcome* out);
  // The scratch files of file field `id`, in order. kMalformed when the
  // field is missing, arrived as text rather than as files, or does not
  // name `expected` files; kContentIncomplete when the transfer was cut off
  // or a file did not arrive whole.
  int ReceivedFiles(const CRLMSGmessage& request, uint32_t id, size_t expected,
                    std::vector<std::string>* paths);
  // Takes those files from the request's scratch set and moves them into
  // the content store, each distinct file once; when that fails, the taken
  // files still in place are removed. kContentIncomplete when one is no
  // longer the file the reader wrote; kServerFailure when the store fails.
  int StoreReceivedFiles(const CRLMSGmessage& request, const std::vector<std::string>& paths,
                         std::vector<ContentRef>* refs, CommandOutcome* out);

  // name_list_command.cc
  int GetNameList(const CRLMSGmessage& request, CommandOutcome* out);

  // lock_commands.cc
  int AcquireLock(const CRLMSGmessage& request, CommandOutcome* out);
  int ReleaseLock(const CRLMSGmessage& request, CommandOutcome* out);

  // Shared by the families (commands.cc).
  // kServerNotPermitted when a list is longer than the limit.
  int CheckCount(size_t items) const;
  // Records a storage failure for the log and passes the result on.
  int Checked(int result, CommandOutcome* out);
  // The log's names: `path` (of a Production or Document), or the path
  // this connection learnt for the identifier `id`, else `id` itself.
  void Touched(const std::string& path, CommandOutcome* out) const;
  void TouchedId(const std::string& id, CommandOutcome* out) const;
  // Replaces the identifiers noted for the log by the paths the storage
  // finds for them now (and learns them); one that names nothing any more,
  // or that the storage cannot name, stays an identifier.
  void NameTouchedIds(CommandOutcome* out);
  // The path of `name` in the Production `parent_id`, noted for the log,
  // when this connection learnt the parent's path; else the parent's id is
  // noted and the path is empty.
  std::string TouchedChild(const std::string& parent_id, const std::string& name,
                           CommandOutcome* out) const;
  // Remembers the path of a Production or Document identifier for later
  // log lines of this connection (a bounded number of them).
  void Learn(const std::string& id, const std::string& path);

  Storage& storage_;
  LogonKeys& keys_;
  LogonThrottle& throttle_;
  const std::atomic<bool>* const stopping_;
  const HandlerLimits limits_;
  const std::string peer_address_;
  // What PRELOGON announced on this connection; LOGON switches to it.
  bool announced_ = false;
  RepositorySettings settings_;
  bool key_announced_ = false;
  uint64_t key_generation_ = 0;
  int refused_logons_ = 0;
  std::string user_;
  // The digest the user logged on with, and when it last matched the
  // user's entry (see HandlerLimits::user_recheck).
  std::string logon_digest_;
  std::chrono::steady_clock::time_point user_checked_at_;
  // Identifier -> path, for the log (see Learn).
  std::unordered_map<std::string, std::string> known_paths_;
};

// Deletes the scratch files the message reader made for `request` that
// were not moved into the content store (document_commands.cc).
void RemoveReceivedFiles(const CRLMSGmessage& request);

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_COMMANDS_H_
