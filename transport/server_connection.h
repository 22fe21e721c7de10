// CULMSGSCPserverInterface: the one object of the process that talks to the
// Veltrane server. Inside the process it is the recipient of every message
// addressed to the server (recipient 3): it stamps the routing fields and
// writes the message, then the files it names, to the hub's current socket
// as frames. In the other direction Poll pulls bytes from the socket, turns
// them back into messages and queues them for the hub's incoming stages.
//
// Local control messages steer it and are never sent: "SSK" installs the
// channel key, selector and compression switch; "SAPP" names the hosting
// application's object; "RECONNECT" rebuilds the connection on a worker
// thread, failing every waiting request at once; "MESSAGELOGGING_START" and
// "MESSAGELOGGING_STOP" switch the message log. They are honoured only from
// the outgoing (local) side: one received from the server is logged as a
// message and dropped.
//
// A lost connection (Poll finds the socket closed) completes every waiting
// synchronous request at once with kReplyConnectionLost instead of leaving
// it to its time-out; so does a request sent while the connection is down.
//
// Threads: OnMessage and SendMessageObject run on the hub's outgoing stage
// thread; Poll on its socket stage thread; the reconnection question (and
// the re-logon it leads to) on an asker thread and the reconnection worker
// on its own thread, never on a stage thread, since the re-logon's
// requests pass the stages. `asker_mutex_` guards the asker and the
// messages it holds. `cipher_mutex_` guards the cipher settings and the
// application object; `routes_mutex_` the reply-route table; `log_mutex_`
// the message-log settings; `received_mutex_` the received queue;
// `transit_mutex_` the identifier of a message in transit; `worker_mutex_`
// the worker thread. The frame and message readers belong to the Poll
// thread, except that the worker resets them while Poll is idle
// (`reconnecting_` set, and `poll_mutex_` held by Poll for each round) and
// AbandonTransfer asks, under `poll_mutex_`, whether a message is
// half-received.
#ifndef TW_TRANSPORT_SERVER_CONNECTION_H_
#define TW_TRANSPORT_SERVER_CONNECTION_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "messaging/field_ids.h"
#include "messaging/message.h"
#include "messaging/recipient_registry.h"
#include "settings/settings_source.h"
#include "transport/message_channel.h"
#include "transport/socket.h"

namespace tw {

// "SSK": the session hands the channel key from the LOGONR reply to the
// connection, which installs it for every later frame in both directions.
constexpr char kSetChannelKeyCommand[] = "SSK";
constexpr uint32_t kSskFieldKey = 100;          // the key's bytes
constexpr uint32_t kSskFieldSelector = 101;     // encryption selector
constexpr uint32_t kSskFieldCompression = 102;  // compression switch

// "SAPP": the handle of the hosting application's object.
constexpr char kSetApplicationCommand[] = "SAPP";
constexpr uint32_t kSappFieldHandle = ParameterId(1);
// "RECONNECT": the handle of the event set once the connection is back.
constexpr char kReconnectCommand[] = "RECONNECT";
constexpr uint32_t kReconnectFieldEvent = ParameterId(1);
// "MESSAGELOGGING_START" / "MESSAGELOGGING_STOP": the message log's files
// and whether each record is echoed (to the recipient in PROXYFORPROXY).
constexpr char kLoggingStartCommand[] = "MESSAGELOGGING_START";
constexpr char kLoggingStopCommand[] = "MESSAGELOGGING_STOP";
constexpr uint32_t kLoggingFieldOutgoingPath = ParameterId(1);
constexpr uint32_t kLoggingFieldIncomingPath = ParameterId(2);
constexpr uint32_t kLoggingFieldEcho = ParameterId(3);

// The stall limit: how long a connection may go without progress while the
// client waits on it - a send finding no room, no byte moving at all, or
// fewer than kMinimumBytesPerSecond times the limit's seconds moving in a
// window of the limit's length while a request is unanswered or a message
// half-received (a reply that never comes, one that trickles in, or one
// that stops after a burst) - before it is given up (every waiting request
// fails at once and the next export logs on again). Silence is measured
// from the last byte that moved, so a server that falls silent is given up
// one limit after its last byte, whatever came before. An answered request
// starts the measure afresh.
// It also bounds how long sent data may stay unacknowledged
// (TCP_USER_TIMEOUT). Set by SetConnectionStallLimit, else by the module
// setting kStallLimitSetting (seconds, settings/settings_source.h), else 60 s.
constexpr int kDefaultStallLimitMs = 60000;
constexpr uint64_t kMinimumBytesPerSecond = 1024;
// Keep-alive probes on the server connection: after 10 s of silence, every
// 5 s, given up after 3 unanswered ones (a half-open connection is found
// within about 25 s even while the client waits for nothing).
constexpr int kKeepAliveIdleSeconds = 10;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr int kKeepAliveProbes = 3;
// Sets the stall limit (milliseconds) of connections made from now on; 0
// returns to the configured one.
void SetConnectionStallLimit(int ms);
// The stall limit in milliseconds (see above).
int ConnectionStallLimitMs();

// The hosting application's object, named to the connection by "SAPP"
// (through RegisterConnectionApplication's handle). The provider never has
// one; a full client application does.
class ConnectionApplication {
 public:
  virtual ~ConnectionApplication() = default;
  // A string of the application's string table.
  virtual std::string GetString(const std::string& group, const std::string& id) = 0;
  // Logs on again after a reconnection; true on success.
  virtual bool LogOnAgain(int first, int second) = 0;
  // Whether the application's session reports a problem.
  virtual bool SessionHasProblem() = 0;
  // The connection is back and authenticated.
  virtual void Reconnected() = 0;
  // The connection could not be brought back: the application ends.
  virtual void Shutdown() = 0;
};

// A handle for "SAPP" field 100 naming `application`; the caller keeps the
// object alive until UnregisterConnectionApplication.
uint32_t RegisterConnectionApplication(ConnectionApplication* application);
void UnregisterConnectionApplication(uint32_t handle);

// The completion event a "RECONNECT" may carry in field 100 (by handle).
class CompletionEvent {
 public:
  CompletionEvent();
  ~CompletionEvent();
  CompletionEvent(const CompletionEvent&) = delete;
  CompletionEvent& operator=(const CompletionEvent&) = delete;

  uint32_t handle() const { return handle_; }
  void Signal();
  // True when signalled within `timeout_ms` (negative: no limit).
  bool Wait(int timeout_ms);
  // Signals the event a handle names; unknown handles are ignored.
  static void SignalHandle(uint32_t handle);

 private:
  std::mutex mutex_;
  std::condition_variable signalled_cv_;
  bool signalled_ = false;  // guarded by mutex_
  uint32_t handle_ = 0;
};

// What the connection needs of the hub that owns it.
class ConnectionHost {
 public:
  virtual ~ConnectionHost() = default;
  // The current socket, or null; the caller may keep it while it works.
  virtual std::shared_ptr<CIOSocket> CurrentSocket() = 0;
  // Blocks until the socket is replaced after `generation`, the host stops
  // or `timeout_ms` passes (negative: no limit); returns the current
  // generation.
  virtual uint64_t WaitForSocketChange(uint64_t generation, int timeout_ms) = 0;
  virtual uint64_t SocketGeneration() = 0;
  virtual bool IsStopping() = 0;
  virtual void Disconnect() = 0;
  virtual void Connect() = 0;
  // Messages wait in the received queue (TakeReceived); called on the thread
  // that queued them.
  virtual void ReceivedWaiting() = 0;
  // A message is about to go out on `socket` (a socket the host handed out).
  virtual void NoteCarrying(const CIOSocket* socket) = 0;
  // The socket was found closed: every waiting request is to be failed once
  // the messages received before (already handed to ReceivedWaiting) have
  // been delivered.
  virtual void ConnectionLost() = 0;
  // Puts `message` on the outgoing stages again.
  virtual void PostOutgoing(MessagePtr message) = 0;
  // The stall limit of the current socket in milliseconds (0: none).
  virtual int StallLimitMs() = 0;
  // Progress of a file of message `message_id` being sent.
  virtual void NotifyListeners(const std::string& message_id, int64_t stage, int64_t position,
                               int64_t size, int64_t file_index) = 0;
};

class CULMSGSCPserverInterface : public Recipient {
 public:
  // Strings of the reconnection question and its failure boxes.
  static constexpr const char* kAuthenticationFailedText =
      "The connection to the server could not be authenticated.  Please restart the client and "
      "try again.";
  static constexpr const char* kSessionProblemText =
      "The connection to the server could not be authenticated. Please restart the client and "
      "try again.";

  // `host` outlives the connection; `client_id` is stamped into field 2.
  CULMSGSCPserverInterface(ConnectionHost* host, int client_id);
  // Joins a reconnection worker still running.
  ~CULMSGSCPserverInterface() override;
  CULMSGSCPserverInterface(const CULMSGSCPserverInterface&) = delete;
  CULMSGSCPserverInterface& operator=(const CULMSGSCPserverInterface&) = delete;

  // Recipient.
  int Attach(RecipientRegistry* registry) override;
  // Handles one message addressed to the server (see the file comment).
  // Returns 0 when it was handled or sent, -1 when it could not be sent.
  int OnMessage(CRLMSGmessage* message) override;

  // Writes `message` and its files to the current socket; true when every
  // frame was handed to the socket.
  bool SendMessageObject(CRLMSGmessage* message);

  // One receive step: waits for bytes on the current socket (blocking while
  // there is nothing to do), reads at most 131072 bytes and turns them into
  // messages, handed on by reply route, logged and queued (the host hears of
  // them through ReceivedWaiting). Returns whether received messages are
  // waiting. Ends early when the host stops or the socket is replaced.
  bool Poll();
  // Takes the oldest received message; false when none waits.
  bool TakeReceived(MessagePtr* message);

  // Whether the message with this identifier text is in transit and moved
  // since the previous call: a reply whose files are arriving and of which
  // bytes came, or a request whose frames are leaving and of which frames
  // went. A transfer that stands still is not "being received".
  bool IsReceiving(const std::string& message_id_text);
  // The request with this identifier text has been given up by its waiter:
  // when it is still leaving, or its reply arriving (its files, or, while it
  // is unanswered, a message of many frames not yet whole, whose identifier
  // shows only at its end), the connection is given up (its waiters fail)
  // and true returned; otherwise false. Any thread but the Poll thread.
  bool AbandonTransfer(const std::string& message_id_text);

  // The reply-route table: a received message whose identifier text has an
  // entry is handed to the mailslot the entry names, and the entry removed.
  void SetReplyRoute(const std::string& message_id_text, const std::string& mailslot_name);

  uint32_t selector() const;
  bool compressing() const;

 private:
  struct LogSettings {
    bool on = false;
    std::string outgoing_path;
    std::string incoming_path;
    bool echo = false;
    int echo_recipient = 0;
  };

  // Handles "SSK"; the key also opens received frames.
  void SetChannelKey(const CRLMSGmessage& message);
  // Asks whether to reconnect; returns the answer (5103 Yes, 5104 No). On
  // Yes, reconnects and waits until the reconnection worker is done.
  int AskReconnect();
  // A message for the server while the connection is down (with an
  // application object): kept, and the question asked on the asker thread
  // unless it is asked already.
  void HoldForReconnect(MessagePtr message);
  // The asker thread: asks until the answer is No or the connection is
  // back; then sends the kept messages, or fails their waiters and ends the
  // application.
  void AskAndReconnect();
  // Ends the wait of the request `message` carries, if any.
  static void FailWaiter(const CRLMSGmessage& message);
  void StartReconnect(const CRLMSGmessage& message);
  void ReconnectWorker(uint32_t event_handle);
  // Sleeps `ms` unless the host stops first; false when it stopped.
  bool Sleep(int ms);
  void ShowAuthenticationBox(ConnectionApplication* application, const char* text);
  ConnectionApplication* Application();

  // Message log; returns true when `message` was a logging control message
  // (consumed).
  bool LogMessage(CRLMSGmessage* message, bool outgoing);
  void HandOff(MessagePtr message);
  void QueueReceived(MessagePtr message);
  // The socket is gone or closed while Poll worked: once per lost socket,
  // the host fails every waiting request after what arrived before.
  void ConnectionLost(uint64_t generation);
  // Gives the connection of `generation` up from the Poll thread (a stall,
  // a protocol fault): the reply being received goes to its waiter cut off,
  // the socket is dropped and every other waiter fails.
  void GiveUp(uint64_t generation, const char* why);
  // Whether the client waits on the connection of `generation`: a request
  // sent on it and not answered yet, or a frame or message half-received.
  // Poll thread, under poll_mutex_. `*since_ms` gets the time since the
  // current progress window opened (see ProgressFallsShort).
  // `*idle_ms` the time since the last byte moved (or the wait began).
  bool AwaitingLocked(uint64_t generation, int64_t* since_ms, int64_t* idle_ms);
  // Poll thread, under poll_mutex_, while the client waits: true when the
  // progress window has lasted the stall limit and too few bytes moved in
  // it (nothing at all, or a trickle); otherwise a full window opens a new
  // one.
  bool ProgressFallsShort(int stall_ms);
  // The request `message_id_text` is about to leave on `generation`: its
  // reply is awaited from now on (before its first byte goes, so that a
  // quick reply cannot come before the request counts as open).
  // `handle` is the request's waiter (SYNCHRONOUSREQUEST), 0 for none.
  void OpenRequest(uint64_t generation, uint32_t handle, const std::string& message_id_text);
  // A request that could not be sent awaits nothing.
  void CloseRequest(uint32_t handle, const std::string& message_id_text);
  // Poll thread: `count` bytes came, completing `messages`.
  void NoteReceived(size_t count, const std::vector<MessagePtr>& messages);
  // Poll thread, under poll_mutex_: a socket of a new generation starts
  // with a fresh reader, keyed only if "SSK" keyed that very socket.
  void StartGeneration(uint64_t generation);
  // A frame of `count` bytes of the current socket left (outgoing stage
  // thread).
  void NoteSent(uint64_t generation, const std::string& message_id_text, size_t count);
  // The stream reader's links to this connection: the stop flag that ends
  // parsing, progress records for received files, and the way the messages
  // it makes itself (the "LOG" line of a get reply without its file) join
  // the received ones.
  MessageReaderOptions ReaderOptions();

  ConnectionHost* const host_;
  const int client_id_;

  mutable std::mutex cipher_mutex_;
  ChannelCipher cipher_;  // guarded by cipher_mutex_
  // The socket generation "SSK" keyed; a newer socket starts in clear text.
  uint64_t cipher_generation_ = 0;   // guarded by cipher_mutex_
  uint32_t application_handle_ = 0;  // guarded by cipher_mutex_

  std::atomic<bool> reconnecting_{false};
  std::atomic<bool> stop_file_transfer_{false};

  MessageFrameSender sender_;  // the outgoing stage thread's

  std::mutex poll_mutex_;  // held by Poll for a round; the worker resets under it
  MessageFrameReceiver receiver_;
  std::vector<MessagePtr> posted_;         // made by the reader; under poll_mutex_
  ReadBuffer read_;                        // under poll_mutex_
  uint64_t lost_generation_ = UINT64_MAX;  // Poll thread only
  uint64_t polled_generation_ = 0;         // under poll_mutex_

  std::mutex received_mutex_;
  std::deque<MessagePtr> received_;  // guarded by received_mutex_

  std::mutex transit_mutex_;
  std::string in_transit_id_;      // guarded by transit_mutex_
  uint64_t transit_progress_ = 0;  // guarded by transit_mutex_: bytes received in transit
  uint64_t transit_checked_ = 0;   // guarded by transit_mutex_: progress at the last check
  std::string sending_id_;         // guarded by transit_mutex_: the message leaving
  uint64_t sending_progress_ = 0;  // guarded by transit_mutex_: frames sent of it
  uint64_t sending_checked_ = 0;   // guarded by transit_mutex_

  // What the connection awaits: the requests of the socket generation
  // `open_generation_` whose replies have not come, and the progress window
  // that measures how much moved while they wait (start on the steady
  // clock in nanoseconds, 0 while nothing is awaited; bytes both ways).
  std::mutex activity_mutex_;
  // Request key (see RequestKey) -> the request's identifier text.
  std::map<std::string, std::string> open_requests_;  // guarded by activity_mutex_
  uint64_t open_generation_ = 0;                      // guarded by activity_mutex_
  int64_t window_start_ns_ = 0;                       // guarded by activity_mutex_
  uint64_t window_bytes_ = 0;                         // guarded by activity_mutex_
  int64_t last_progress_ns_ = 0;      // guarded by activity_mutex_: a byte last moved
  uint64_t bytes_since_message_ = 0;  // guarded by activity_mutex_: received since the
                                      // last whole message

  std::mutex routes_mutex_;
  std::map<std::string, std::string> reply_routes_;  // guarded by routes_mutex_

  std::mutex log_mutex_;
  LogSettings log_;  // guarded by log_mutex_

  std::mutex worker_mutex_;
  std::thread worker_;  // guarded by worker_mutex_

  std::mutex asker_mutex_;
  std::thread asker_;             // guarded by asker_mutex_
  bool asking_ = false;           // guarded by asker_mutex_
  std::vector<MessagePtr> held_;  // guarded by asker_mutex_
};

}  // namespace tw

#endif  // TW_TRANSPORT_SERVER_CONNECTION_H_
