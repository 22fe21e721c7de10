#include "transport/message_hub.h"

#include <utility>

#include "messaging/message_copy.h"
#include "messaging/synchronous_message.h"
#include "platform/debug_output.h"
#include "platform/system_factory.h"

namespace tw {

// ---------------------------------------------------------------------------
// Stages.

// "IDFrSkt": its thread polls the connection, which blocks while there is
// nothing to read. It is a thread of the incoming lane: what it reads goes
// on through the later stages on this thread while they are idle.
class MessageHub::SocketStage : private WorkerThread {
 public:
  explicit SocketStage(MessageHub* hub) : hub_(hub) { WorkerThread::Start(); }
  ~SocketStage() override { Stop(); }
  void Stop() override {
    stopping_ = true;
    WorkerThread::Stop();
  }

 private:
  void Run() override {
    LaneScope scope(&hub_->incoming_lane_);
    while (!stopping_.load() && !hub_->IsStopping()) {
      try {
        hub_->connection()->Poll();
      } catch (const std::exception& e) {
        DebugLog("MessageHub stage IDFrSkt - %s", e.what());
      } catch (...) {
        DebugLog("MessageHub stage IDFrSkt - Unexpected exception");
      }
    }
  }

  MessageHub* const hub_;
  std::atomic<bool> stopping_{false};
};

bool MessageHub::RegistryStage::Accept(MessagePtr message) {
  int target = 0;
  message->GetInt(TARGETRECIPIENT, &target);
  registry_->Route(target, message.get());
  return true;
}

// ---------------------------------------------------------------------------
// The hub.

namespace {

std::mutex& SocketFactoryMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

SocketFactory& HubSocketFactory() {
  static auto* factory = new SocketFactory;
  return *factory;
}

std::unique_ptr<CIOSocket> NewHubSocket() {
  SocketFactory factory;
  {
    std::lock_guard<std::mutex> lock(SocketFactoryMutex());
    factory = HubSocketFactory();
  }
  return factory ? factory() : CreateSocket();
}

}  // namespace

void SetHubSocketFactory(SocketFactory factory) {
  std::lock_guard<std::mutex> lock(SocketFactoryMutex());
  HubSocketFactory() = std::move(factory);
}

MessageHub::MessageHub(std::string host, int port) : host_(std::move(host)), port_(port) {}

MessageHub::~MessageHub() {
  stopping_ = true;
  {
    std::lock_guard<std::mutex> lock(connecting_mutex_);
    if (connecting_ != nullptr) connecting_->Interrupt();
  }
  {
    std::lock_guard<std::mutex> lock(socket_mutex_);
    if (socket_) socket_->Interrupt();
    socket_changed_.notify_all();
  }
  // Outgoing first, so that nothing new is sent while the receiving side
  // winds down; then the socket stage, which the interrupt has woken.
  if (od_from_recipient_) od_from_recipient_->Stop();
  if (od_from_data_) od_from_data_->Stop();
  id_from_socket_.reset();
  if (id_to_data_) id_to_data_->Stop();
  if (id_to_recipient_) id_to_recipient_->Stop();
  // Joins the reconnection worker and the asker, which may still post into
  // the stages: they must be gone before the stages are destroyed.
  connection_.reset();
  {
    std::lock_guard<std::mutex> lock(socket_mutex_);
    socket_.reset();
  }
  // No reply can reach a waiter any more.
  CRLMSGsynchronousMessage::FailPendingRequests(kReplyConnectionLost);
}

namespace {

NetAddress MakeAddress(const std::string& host, int port) {
  return port > 0 && port <= 65535 ? CreateAddress(host, static_cast<uint16_t>(port))
                                   : NetAddress();
}

}  // namespace

void MessageHub::Initialise() {
  // The address object, then the connection to it.
  {
    std::lock_guard<std::mutex> lock(address_mutex_);
    address_ = MakeAddress(host_, port_);
    has_address_ = true;
  }
  Connect();
  connection_ = std::make_unique<CULMSGSCPserverInterface>(this, kClientIdentifier);
  // Outgoing stages.
  od_from_data_ = std::make_unique<MessagePipelineStage>(
      "ODFmDtMgr", &outgoing_lane_, [this](MessagePtr m) { RouteOutgoing(std::move(m)); });
  od_from_recipient_ = std::make_unique<MessagePipelineStage>(
      "ODFmRecip", &outgoing_lane_, [this](MessagePtr m) { od_from_data_->Accept(std::move(m)); });
  // Incoming stages.
  id_to_recipient_ = std::make_unique<MessagePipelineStage>(
      "IDToRcpt", &incoming_lane_, [this](MessagePtr m) { Deliver(std::move(m)); });
  id_to_data_ = std::make_unique<MessagePipelineStage>(
      "IDToDtMgr", &incoming_lane_,
      [this](MessagePtr m) { id_to_recipient_->Accept(std::move(m)); });
  id_from_socket_ = std::make_unique<SocketStage>(this);
}

bool MessageHub::IsConnected() {
  std::lock_guard<std::mutex> lock(socket_mutex_);
  return socket_ != nullptr && socket_->IsConnected();
}

bool MessageHub::HasCarriedMessages() {
  std::lock_guard<std::mutex> lock(socket_mutex_);
  return carried_;
}

namespace {

bool SameEndpoint(const NetAddress& a, const NetAddress& b) {
  return a.IsValid() && b.IsValid() && a.AddressText() == b.AddressText() && a.Port() == b.Port();
}

}  // namespace

bool MessageHub::HasFreshConnection() {
  NetAddress address;
  {
    std::lock_guard<std::mutex> lock(address_mutex_);
    address = address_;
  }
  std::lock_guard<std::mutex> lock(socket_mutex_);
  return socket_ != nullptr && socket_->IsConnected() && !carried_ &&
         SameEndpoint(socket_address_, address);
}

void MessageHub::NoteCarrying(const CIOSocket* socket) {
  std::lock_guard<std::mutex> lock(socket_mutex_);
  if (socket_.get() == socket) carried_ = true;
}

void MessageHub::Connect() {
  std::lock_guard<std::mutex> lock(socket_mutex_);
  if (socket_) socket_->Interrupt();
  socket_.reset();
  ++generation_;
  socket_changed_.notify_all();
  if (stopping_.load()) return;
  std::shared_ptr<CIOSocket> socket = NewHubSocket();
  {
    std::lock_guard<std::mutex> connecting(connecting_mutex_);
    connecting_ = socket.get();
  }
  NetAddress address;
  {
    std::lock_guard<std::mutex> address_lock(address_mutex_);
    address = address_;
  }
  const int result = socket->Connect(address, kSocketStream);
  {
    std::lock_guard<std::mutex> connecting(connecting_mutex_);
    connecting_ = nullptr;
  }
  if (result != kSocketOk) {
    DebugLog("MessageHub: cannot connect to %s (%d)", address.EndpointText().c_str(), result);
  } else {
    // A peer that stops reading, stops answering or vanishes without a
    // word is noticed within the stall limit.
    const int stall = ConnectionStallLimitMs();
    stall_limit_ms_ = stall;
    socket->SetStallLimit(stall);
    if (socket->SetKeepAlive(kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds, kKeepAliveProbes,
                             stall) != kSocketOk) {
      DebugLog("MessageHub: keep-alive could not be set on the connection");
    }
  }
  socket_ = std::move(socket);
  socket_address_ = address;
  carried_ = false;
  ++generation_;
  socket_changed_.notify_all();
}

void MessageHub::Disconnect() {
  std::shared_ptr<CIOSocket> old;
  {
    std::lock_guard<std::mutex> lock(socket_mutex_);
    old = std::move(socket_);
    ++generation_;
    socket_changed_.notify_all();
  }
  // The stage threads that still hold the socket are woken; the last of
  // them to let go closes it (closing under a thread still inside it could
  // hand its descriptor to another file). The server sees the connection
  // end at once.
  if (old) {
    old->Interrupt();
    old->Shutdown();
  }
}

bool MessageHub::GetServerAddressText(std::string* text) {
  std::lock_guard<std::mutex> lock(address_mutex_);
  if (!has_address_) return false;
  *text = address_.AddressText();
  return true;
}

std::shared_ptr<CIOSocket> MessageHub::CurrentSocket() {
  std::lock_guard<std::mutex> lock(socket_mutex_);
  return socket_;
}

uint64_t MessageHub::SocketGeneration() {
  std::lock_guard<std::mutex> lock(socket_mutex_);
  return generation_;
}

uint64_t MessageHub::WaitForSocketChange(uint64_t generation, int timeout_ms) {
  std::unique_lock<std::mutex> lock(socket_mutex_);
  auto changed = [&] { return stopping_.load() || generation_ != generation; };
  if (timeout_ms < 0) {
    socket_changed_.wait(lock, changed);
  } else {
    socket_changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), changed);
  }
  return generation_;
}

void MessageHub::AddListener(const std::string& message_id, ProgressListener* listener) {
  std::lock_guard<std::mutex> lock(listener_mutex_);
  auto range = listeners_.equal_range(message_id);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == listener) return;
  }
  listeners_.emplace(message_id, listener);
}

void MessageHub::RemoveListener(const std::string& message_id, ProgressListener* listener) {
  std::lock_guard<std::mutex> lock(listener_mutex_);
  auto range = listeners_.equal_range(message_id);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == listener) {
      listeners_.erase(it);
      return;
    }
  }
}

bool MessageHub::HasListener(const std::string& message_id) {
  std::lock_guard<std::mutex> lock(listener_mutex_);
  return listeners_.count(message_id) > 0;
}

void MessageHub::NotifyListeners(const std::string& message_id, int64_t stage, int64_t position,
                                 int64_t size, int64_t file_index) {
  std::lock_guard<std::mutex> lock(listener_mutex_);
  auto range = listeners_.equal_range(message_id);
  for (auto it = range.first; it != range.second; ++it) {
    it->second->OnProgress(stage, position, size, file_index);
  }
}

void MessageHub::NotifyListenersFailed(const std::string& message_id) {
  NotifyListeners(message_id, -1, -1, -1, -1);
}

bool MessageHub::Send(CRLMSGmessage* message) {
  if (message == nullptr || stopping_.load() || !od_from_recipient_) return false;
  return od_from_recipient_->Accept(CopyMessagePrivate(*message));
}

bool MessageHub::IsReceiving(const CRLMSGmessageID& message_id) {
  return connection_ && connection_->IsReceiving(message_id.ToText());
}

bool MessageHub::AbandonTransfer(const CRLMSGmessageID& message_id) {
  return connection_ && connection_->AbandonTransfer(message_id.ToText());
}

void MessageHub::ReceivedWaiting() {
  if (!id_to_data_) return;
  {
    // Taken and queued under the lock, so that two threads draining at
    // once cannot swap messages; worked (on this thread, when it is of the
    // incoming lane and the stage idle) once the lock is let go.
    std::lock_guard<std::mutex> lock(drain_mutex_);
    MessagePtr message;
    while (connection_->TakeReceived(&message)) id_to_data_->Enqueue(std::move(message));
  }
  id_to_data_->WorkHere();
}

namespace {

// The mark that follows the last message of a lost connection through the
// incoming stages. USERDATA never comes from the wire, so no peer can forge
// it.
constexpr int kConnectionLostMark = 0x4c4f5354;

bool IsConnectionLostMark(const CRLMSGmessage& message) {
  int mark = 0;
  return message.GetInt(USERDATA, &mark) == kFieldOk && mark == kConnectionLostMark;
}

}  // namespace

void MessageHub::ConnectionLost() {
  MessagePtr mark = NewMessage();
  mark->SetString(COMMAND, "CONNECTIONLOST");
  mark->SetInt(USERDATA, kConnectionLostMark);
  if (!id_to_data_) return;
  {
    std::lock_guard<std::mutex> lock(drain_mutex_);
    id_to_data_->Enqueue(std::move(mark));
  }
  id_to_data_->WorkHere();
}

void MessageHub::PostOutgoing(MessagePtr message) {
  if (od_from_recipient_) od_from_recipient_->Accept(std::move(message));
}

void MessageHub::RouteOutgoing(MessagePtr message) {
  int target = kRecipientServer;
  message->GetInt(TARGETRECIPIENT, &target);
  if (target == kRecipientServer) {
    connection_->OnMessage(message.get());
  } else {
    id_to_recipient_->Accept(std::move(message));
  }
}

void MessageHub::Deliver(MessagePtr message) {
  if (IsConnectionLostMark(*message)) {
    // Whatever the connection delivered before it went down has reached
    // its waiter; the replies still awaited will never come.
    const int failed = CRLMSGsynchronousMessage::FailPendingRequests(kReplyConnectionLost);
    if (failed > 0) DebugLog("MessageHub: %d waiting request(s) failed: connection lost", failed);
    return;
  }
  bool handled = false;
  delivery_.Forward(std::move(message), &handled);
}

// ---------------------------------------------------------------------------
// The process's hub.

namespace {

struct HubState {
  std::mutex mutex;
  MessageHub* hub = nullptr;  // guarded by mutex
  bool has_override = false;  // guarded by mutex
  std::string host;           // guarded by mutex
  uint16_t port = 0;          // guarded by mutex
  HubEndpointReader reader;   // guarded by mutex
};

// Never destroyed: the hub is released explicitly at unload, and a static
// destructor must not race a late caller.
HubState& State() {
  static auto* state = new HubState;
  return *state;
}

}  // namespace

void MessageHub::UseServerAddress(const std::string& host, int port) {
  if (host.find_first_not_of(' ') == std::string::npos || port <= 0) return;
  {
    HubState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.has_override) return;
  }
  std::lock_guard<std::mutex> lock(address_mutex_);
  host_ = host;
  port_ = port;
  address_ = MakeAddress(host_, port_);
  has_address_ = true;
}

MessageHub* GetMessageHub() {
  HubState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.hub == nullptr) {
    std::string host = state.host;
    int port = state.port;
    if (!state.has_override && state.reader) {
      const HubEndpoint endpoint = state.reader();
      host = endpoint.host;
      port = endpoint.port;
    }
    auto hub = std::make_unique<MessageHub>(host, port);
    hub->Initialise();
    state.hub = hub.release();
  }
  return state.hub;
}

bool HasMessageHub() {
  HubState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.hub != nullptr;
}

void SetServerEndpoint(const std::string& host, uint16_t port) {
  HubState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.has_override = true;
  state.host = host;
  state.port = port;
}

void SetServerEndpointReader(HubEndpointReader reader) {
  HubState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.reader = std::move(reader);
}

void ReleaseMessageHub() {
  HubState& state = State();
  // Destroyed under the lock, so that no caller can create a second hub
  // while the first winds down. No stage thread asks for the hub.
  std::lock_guard<std::mutex> lock(state.mutex);
  delete std::exchange(state.hub, nullptr);
}

}  // namespace tw
