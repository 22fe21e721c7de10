// MessageHub: the one process-wide object that ties the provider's messaging
// to the server. It owns the socket and the server connection, the five
// pipeline stages between the connection and the local recipients, the
// recipient registry those recipients join, the server address and the
// table of per-message progress listeners.
//
//   outgoing: Send → "ODFmRecip" → "ODFmDtMgr" → the server connection
//             (messages for a local recipient turn to "IDToRcpt" instead)
//   incoming: "IDFrSkt" (polls the socket) → "IDToDtMgr" → "IDToRcpt"
//             (completes waiting requests, then routes to recipients)
//
// Each stage has its own thread and queue, and the stages of a direction
// form a lane (transport/pipeline_stage.h): a message that reaches an idle
// stage from a thread of its own lane is worked on that thread at once. A
// request from the host's thread wakes "ODFmRecip", whose thread carries it
// through "ODFmDtMgr" to the socket; a reply is carried from the thread that
// read it through "IDToDtMgr" and "IDToRcpt" to its waiter. Messages of one
// direction keep their order, and a recipient's OnMessage runs on a stage
// thread, never on the host's thread. Idle stage threads block (no
// polling): the socket stage sleeps in the socket's wait or until the socket
// is replaced.
//
// Threads: GetMessageHub, SetServerEndpoint(Reader) and ReleaseMessageHub serialise
// on the process-wide lock. Inside the hub `socket_mutex_` guards the socket
// and its generation and whether the socket carried a message (Connect
// connects under it), `listener_mutex_` the
// listener table (held while listeners are called), `connecting_mutex_` the
// socket being connected (so that Release can cut a slow connect short),
// `address_mutex_` the server address.
#ifndef TW_TRANSPORT_MESSAGE_HUB_H_
#define TW_TRANSPORT_MESSAGE_HUB_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "messaging/message.h"
#include "messaging/message_sender.h"
#include "messaging/recipient_delivery.h"
#include "messaging/recipient_registry.h"
#include "messaging/thread.h"
#include "transport/pipeline_stage.h"
#include "transport/server_connection.h"
#include "transport/socket.h"

namespace tw {

// Hears the progress of a message's files; registered per message
// identifier. The four values are the stage (0 first, 1 middle, 2 last
// frame of a file; -1 failed), the position reached, the file's size and
// the file's index in the message.
class ProgressListener {
 public:
  virtual ~ProgressListener() = default;
  virtual void OnProgress(int64_t stage, int64_t position, int64_t size, int64_t file_index) = 0;
};

class MessageHub : public MessageSender, public ConnectionHost {
 public:
  // The client identifier the connection stamps into field 2.
  static constexpr int kClientIdentifier = 3;

  // Takes the server address from `host` and `port`; Initialise builds the
  // rest.
  MessageHub(std::string host, int port);
  // Stops every stage and the reconnection worker, closes the socket.
  ~MessageHub() override;
  MessageHub(const MessageHub&) = delete;
  MessageHub& operator=(const MessageHub&) = delete;

  MessagePipelineStage* GetOutgoingRecipientStage() { return od_from_recipient_.get(); }
  MessagePipelineStage* GetOutgoingDataStage() { return od_from_data_.get(); }
  MessagePipelineStage* GetIncomingDataStage() { return id_to_data_.get(); }
  MessagePipelineStage* GetDeliveryStage() { return id_to_recipient_.get(); }

  // The socket's connected state; false without a socket.
  bool IsConnected();
  // Whether the connection - the socket, or the last one once disconnected -
  // has carried a message since it was opened.
  bool HasCarriedMessages();
  // Whether the socket is connected to the current server address and has
  // carried nothing since it was opened: as good as a new connection.
  bool HasFreshConnection();
  // Replaces the socket by a new one connected to the server address.
  void Connect() override;
  // Closes and forgets the socket.
  void Disconnect() override;
  bool GetServerAddressText(std::string* text);
  // Uses `host` and `port` (what the user chose in the logon dialog) from
  // the next Connect on, unless an endpoint override is set. A blank host
  // or a port of 0 keeps the current address.
  void UseServerAddress(const std::string& host, int port);

  void AddListener(const std::string& message_id, ProgressListener* listener);
  void RemoveListener(const std::string& message_id, ProgressListener* listener);
  bool HasListener(const std::string& message_id);
  void NotifyListeners(const std::string& message_id, int64_t stage, int64_t position, int64_t size,
                       int64_t file_index) override;
  void NotifyListenersFailed(const std::string& message_id);

  // Builds the address and connects, then the connection and the stages.
  void Initialise();

  // MessageSender: a private copy of `message` enters "ODFmRecip".
  bool Send(CRLMSGmessage* message) override;
  bool IsReceiving(const CRLMSGmessageID& message_id) override;
  bool AbandonTransfer(const CRLMSGmessageID& message_id) override;

  // The recipients of incoming messages register here.
  RecipientRegistry* registry() { return &registry_; }
  CULMSGSCPserverInterface* connection() { return connection_.get(); }

  // ConnectionHost.
  std::shared_ptr<CIOSocket> CurrentSocket() override;
  uint64_t WaitForSocketChange(uint64_t generation, int timeout_ms) override;
  uint64_t SocketGeneration() override;
  bool IsStopping() override { return stopping_.load(); }
  void ReceivedWaiting() override;
  void NoteCarrying(const CIOSocket* socket) override;
  void ConnectionLost() override;
  void PostOutgoing(MessagePtr message) override;
  int StallLimitMs() override { return stall_limit_ms_.load(); }

 private:
  class SocketStage;

  // Where "ODFmDtMgr" hands a message: the connection, or a local recipient.
  void RouteOutgoing(MessagePtr message);
  // What "IDToRcpt" does with a message.
  void Deliver(MessagePtr message);

  std::mutex address_mutex_;
  std::string host_;          // guarded by address_mutex_
  int port_;                  // guarded by address_mutex_
  NetAddress address_;        // guarded by address_mutex_
  bool has_address_ = false;  // guarded by address_mutex_
  std::atomic<bool> stopping_{false};
  // The stall limit read at the latest Connect.
  std::atomic<int> stall_limit_ms_{kDefaultStallLimitMs};

  std::mutex socket_mutex_;
  std::condition_variable socket_changed_;
  std::shared_ptr<CIOSocket> socket_;  // guarded by socket_mutex_
  uint64_t generation_ = 0;            // guarded by socket_mutex_
  NetAddress socket_address_;          // guarded by socket_mutex_: where socket_ went
  bool carried_ = false;               // guarded by socket_mutex_: see HasCarriedMessages

  std::mutex connecting_mutex_;
  CIOSocket* connecting_ = nullptr;  // guarded by connecting_mutex_

  std::mutex listener_mutex_;
  std::multimap<std::string, ProgressListener*> listeners_;  // guarded by listener_mutex_

  std::mutex drain_mutex_;  // keeps the received queue's order into "IDToDtMgr"

  RecipientRegistry registry_{true};
  std::unique_ptr<CULMSGSCPserverInterface> connection_;
  // Routes delivered messages to the registry's recipients.
  class RegistryStage : public MessageStage {
   public:
    explicit RegistryStage(RecipientRegistry* registry) : registry_(registry) {}
    bool Accept(MessagePtr message) override;

   private:
    RecipientRegistry* const registry_;
  };
  RegistryStage to_recipients_{&registry_};
  RecipientDelivery delivery_{&registry_, &to_recipients_};

  // The two directions (see the file comment).
  PipelineLane outgoing_lane_;
  PipelineLane incoming_lane_;

  // Declared last: destroyed (and stopped) first.
  std::unique_ptr<MessagePipelineStage> id_to_recipient_;    // "IDToRcpt"
  std::unique_ptr<MessagePipelineStage> id_to_data_;         // "IDToDtMgr"
  std::unique_ptr<SocketStage> id_from_socket_;              // "IDFrSkt"
  std::unique_ptr<MessagePipelineStage> od_from_data_;       // "ODFmDtMgr"
  std::unique_ptr<MessagePipelineStage> od_from_recipient_;  // "ODFmRecip"
};

// The process's hub, created and initialised on first use under the
// process-wide lock.
MessageHub* GetMessageHub();
// Whether a hub exists (without creating one).
bool HasMessageHub();
// Where a new hub connects. The transport reads no settings itself: the
// module installs a reader of the configured server address, and tests or
// programs may name an endpoint outright.
struct HubEndpoint {
  std::string host;
  uint16_t port = 0;
};
using HubEndpointReader = std::function<HubEndpoint()>;
// Installs the reader that gives the address of each new hub (called under
// the process-wide lock, so it must not ask for the hub); null removes it.
// Without a reader or an endpoint a hub has no address and cannot connect
// until UseServerAddress names one.
void SetServerEndpointReader(HubEndpointReader reader);
// Makes hubs created from now on use this server address, whatever the
// reader says.
void SetServerEndpoint(const std::string& host, uint16_t port);
// Destroys the hub (stopping its threads) and forgets it.
void ReleaseMessageHub();

// Makes the sockets of the hub's connections: CreateSocket unless replaced
// (tests put a fault-injecting socket in its place). Null restores it.
using SocketFactory = std::function<std::unique_ptr<CIOSocket>()>;
void SetHubSocketFactory(SocketFactory factory);

}  // namespace tw

#endif  // TW_TRANSPORT_MESSAGE_HUB_H_
