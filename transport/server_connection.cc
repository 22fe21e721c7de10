#include "transport/server_connection.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>

#include "crypto/crypto.h"
#include "messaging/message_copy.h"
#include "messaging/progress_sink.h"
#include "messaging/stream_format.h"
#include "messaging/synchronous_message.h"
#include "messaging/typed_handles.h"
#include "platform/debug_output.h"
#include "platform/mailslot.h"
#include "platform/message_box.h"
#include "platform/path.h"
#include "platform/system_factory.h"
#include "settings/settings_source.h"
#include "transport/frame_format.h"

namespace tw {

namespace {

// The answers of the reconnection question.
constexpr int kReconnectYes = 5103;
constexpr int kReconnectNo = 5104;
// How often Poll looks again while a reconnection is under way.
constexpr int kReconnectPollMs = 20;
// What a received file must leave free on the disk of the scratch folder
// (at the least; the reader keeps a share of the disk besides).
constexpr uint64_t kReceiveDiskReserveBytes = 16u << 20;
// The pieces a frame is handed to the socket in (see SendMessageObject).
constexpr size_t kSendPieceBytes = 16 * 1024;

TypedHandles<ConnectionApplication>& Applications() {
  static auto* applications = new TypedHandles<ConnectionApplication>;
  return *applications;
}

TypedHandles<CompletionEvent>& Events() {
  static auto* events = new TypedHandles<CompletionEvent>;
  return *events;
}

// The commands that steer the connection itself; never sent, and never
// obeyed when they come from the wire.
bool IsLocalControlCommand(const std::string& command) {
  return command == kSetChannelKeyCommand || command == kSetApplicationCommand ||
         command == kReconnectCommand || command == kLoggingStartCommand ||
         command == kLoggingStopCommand;
}

bool IsUp(const std::shared_ptr<CIOSocket>& socket) {
  return socket != nullptr && socket->IsConnected();
}

// How long an upload goes on without looking again for a monitor of its
// progress, once none was found or the one found went away.
constexpr auto kUploadMonitorRetry = std::chrono::milliseconds(250);

// The id-named mailslot of an outgoing message: a monitor that created it
// (the message's identifier as 32 upper-case hex digits) hears how the
// upload of the message's files goes, in the progress records the receiving
// side also writes, and as the receiving side does (ProgressSink). Only
// messages with files report, and only while a reader is there. While there
// is none, the mailslot is looked for at most every kUploadMonitorRetry:
// looking takes several system calls, too many for every frame of a large
// upload. The last record of a message always looks, so a monitor that came
// late, or made its mailslot anew, hears the end.
class UploadProgressSink {
 public:
  explicit UploadProgressSink(const std::string& message_id_text) {
    Guid id;
    if (Guid::FromText(message_id_text, &id)) slot_ = id.ToHexName();
  }

  void Write(uint32_t kind, const std::string& name, uint64_t size, uint64_t done) {
    if (slot_.empty()) return;
    const bool last = kind == kProgressMessageFinished;
    if (!sink_.IsOpen() && !Open(last)) return;
    sink_.Write(kind, name, size, done);
    if (last && !sink_.IsOpen() && Open(true)) sink_.Write(kind, name, size, done);
  }

 private:
  bool Open(bool now) {
    const auto at = std::chrono::steady_clock::now();
    if (!now && looked_ && at - last_look_ < kUploadMonitorRetry) return false;
    looked_ = true;
    last_look_ = at;
    return sink_.Open(slot_);
  }

  std::string slot_;  // empty: the message has no identifier to name one
  ProgressSink sink_;
  bool looked_ = false;
  std::chrono::steady_clock::time_point last_look_;
};

// Appends one log record and its zero-byte separator; the file is opened
// and closed each time so that another process may read or move it.
void AppendLogRecord(const std::string& path, const std::string& text) {
  if (path.empty()) return;
  std::unique_ptr<FileObject> file = GetSystemFactory().NewFile();
  if (!file->Open(path, FileObject::kWrite | FileObject::kAppend, 0, FileObject::kOpenAlways, 0)) {
    DebugLog("CULMSGSCPserverInterface: cannot open the message log %s", path.c_str());
    return;
  }
  const std::string record = text + std::string(1, '\0');
  if (!file->Write(record.data(), static_cast<uint32_t>(record.size()), nullptr)) {
    DebugLog("CULMSGSCPserverInterface: cannot write the message log %s", path.c_str());
  }
  file->Close();
}

}  // namespace

namespace {

std::atomic<int>& StallLimitOverride() {
  static std::atomic<int> limit{0};
  return limit;
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void SetConnectionStallLimit(int ms) {
  StallLimitOverride() = ms < 0 ? 0 : ms;
}

int ConnectionStallLimitMs() {
  const int set = StallLimitOverride().load();
  if (set > 0) return set;
  const std::optional<int> seconds = GetSettingsSource()->ReadModuleSetting(kStallLimitSetting);
  if (seconds.has_value() && *seconds > 0 && *seconds <= 24 * 3600) return *seconds * 1000;
  return kDefaultStallLimitMs;
}

uint32_t RegisterConnectionApplication(ConnectionApplication* application) {
  return Applications().Add(application);
}

void UnregisterConnectionApplication(uint32_t handle) {
  Applications().Remove(handle);
}

CompletionEvent::CompletionEvent() {
  handle_ = Events().Add(this);
}

CompletionEvent::~CompletionEvent() {
  Events().Remove(handle_);
}

void CompletionEvent::Signal() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = true;
  signalled_cv_.notify_all();
}

bool CompletionEvent::Wait(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (timeout_ms < 0) {
    signalled_cv_.wait(lock, [this] { return signalled_; });
    return true;
  }
  return signalled_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [this] { return signalled_; });
}

void CompletionEvent::SignalHandle(uint32_t handle) {
  // Signalled under the table's lock, so the event cannot be destroyed
  // between the lookup and the signal.
  Events().With(handle, [](CompletionEvent* event) { event->Signal(); });
}

CULMSGSCPserverInterface::CULMSGSCPserverInterface(ConnectionHost* host, int client_id)
    : host_(host), client_id_(client_id), receiver_(ReaderOptions()) {}

MessageReaderOptions CULMSGSCPserverInterface::ReaderOptions() {
  MessageReaderOptions options;
  // Records go to the inbox or mailslot a monitor made for the message;
  // without one they go nowhere.
  options.progress_enabled = true;
  options.stopping = [this] { return host_->IsStopping() || reconnecting_.load(); };
  // Called by the reader inside Poll, which holds poll_mutex_.
  options.post = [this](MessagePtr message) { posted_.push_back(std::move(message)); };
  options.keep_free_bytes = kReceiveDiskReserveBytes;
  return options;
}

CULMSGSCPserverInterface::~CULMSGSCPserverInterface() {
  std::thread asker;
  {
    std::lock_guard<std::mutex> lock(asker_mutex_);
    asker = std::move(asker_);
  }
  if (asker.joinable()) asker.join();
  std::lock_guard<std::mutex> lock(worker_mutex_);
  if (worker_.joinable()) worker_.join();
}

int CULMSGSCPserverInterface::Attach(RecipientRegistry* registry) {
  return registry->Register(this, kRecipientServer);
}

uint32_t CULMSGSCPserverInterface::selector() const {
  std::lock_guard<std::mutex> lock(cipher_mutex_);
  return cipher_.selector;
}

bool CULMSGSCPserverInterface::compressing() const {
  std::lock_guard<std::mutex> lock(cipher_mutex_);
  return cipher_.compress;
}

ConnectionApplication* CULMSGSCPserverInterface::Application() {
  uint32_t handle;
  {
    std::lock_guard<std::mutex> lock(cipher_mutex_);
    handle = application_handle_;
  }
  if (handle == 0) return nullptr;
  ConnectionApplication* application = nullptr;
  Applications().With(handle, [&application](ConnectionApplication* a) { application = a; });
  return application;
}

int CULMSGSCPserverInterface::OnMessage(CRLMSGmessage* message) {
  if (message == nullptr) return -1;
  try {
    const std::string command = message->GetCommand();
    if (command == kReconnectCommand) {
      StartReconnect(*message);
      return 0;
    }
    if (command == kSetChannelKeyCommand) {
      SetChannelKey(*message);
      return 0;
    }
    if (command == kSetApplicationCommand) {
      int handle = 0;
      message->GetInt(kSappFieldHandle, &handle);
      std::lock_guard<std::mutex> lock(cipher_mutex_);
      application_handle_ = static_cast<uint32_t>(handle);
      return 0;
    }

    if (reconnecting_.load() || !IsUp(host_->CurrentSocket())) {
      if (Application() == nullptr) {
        // Nobody can bring the connection back from here, and no reply will
        // ever come: end the request's wait now rather than at its time-out.
        FailWaiter(*message);
        return -1;
      }
      // The question, the reconnection and the re-logon run on a thread of
      // their own: the re-logon's requests pass this stage thread.
      HoldForReconnect(CopyMessagePrivate(*message));
      return 0;
    }

    // The message is the outgoing stage's own copy, touched by this thread
    // only, so its routing fields are stamped without further locking.
    int proxy = 0;
    message->GetInt(PROXYFORRECIPIENT, &proxy);
    message->SetInt(PROXYFORPROXY, proxy);
    message->SetInt(TARGETRECIPIENT, kRecipientServerSide);
    message->SetInt(PROXYFORRECIPIENT, kRecipientClientSession);
    message->SetInt(SOURCERECIPIENT, client_id_);

    if (LogMessage(message, true)) return 0;
    return SendMessageObject(message) ? 0 : -1;
  } catch (const std::exception& e) {
    DebugLog("CULMSGSCPserverInterface::OnMessage - %s", e.what());
  } catch (...) {
    DebugLog("CULMSGSCPserverInterface::OnMessage - Unexpected exception");
  }
  return -1;
}

void CULMSGSCPserverInterface::SetChannelKey(const CRLMSGmessage& message) {
  ChannelCipher cipher;
  int selector = 0;
  int compress = 0;
  message.GetString(kSskFieldKey, &cipher.key);
  message.GetInt(kSskFieldSelector, &selector);
  message.GetInt(kSskFieldCompression, &compress);
  cipher.selector = static_cast<uint32_t>(selector);
  cipher.compress = compress != 0 || selector != 0;
  const uint64_t generation = host_->SocketGeneration();
  std::lock_guard<std::recursive_mutex> crypto(CryptoLock());
  std::lock_guard<std::mutex> poll(poll_mutex_);
  // Sealed both ways from now on: a clear frame is not the keyed server's.
  // The reader takes the key now only if it already reads this socket;
  // otherwise it takes it when it first reads it (StartGeneration), so a
  // reader that starts late cannot wipe the key of its own socket.
  if (polled_generation_ == generation) {
    receiver_.SetKey(cipher.key);
    receiver_.SetSealedOnly(cipher.selector != 0);
  }
  std::lock_guard<std::mutex> lock(cipher_mutex_);
  cipher_ = std::move(cipher);
  cipher_generation_ = generation;
}

bool CULMSGSCPserverInterface::SendMessageObject(CRLMSGmessage* message) {
  // The generation first: a socket replaced in between is then seen as a
  // newer generation than the one the request is counted on, never the
  // other way round.
  const uint64_t generation = host_->SocketGeneration();
  std::shared_ptr<CIOSocket> socket = host_->CurrentSocket();
  if (socket == nullptr) return false;
  try {
    MessageObject object;
    auto route = [this](const std::string& id) -> std::string {
      std::lock_guard<std::mutex> lock(routes_mutex_);
      return reply_routes_.emplace(id, std::string()).first->second;
    };
    if (!WriteMessageObject(*message, route, &object)) {
      DebugLog("CULMSGSCPserverInterface::SendMessageObject - %s",
               "the message cannot be written as a message object");
      FailWaiter(*message);
      return false;
    }
    ChannelCipher cipher;
    {
      std::lock_guard<std::mutex> lock(cipher_mutex_);
      // A connection opened after the key was installed has not been
      // keyed: the server reads it in clear text until the next logon.
      if (cipher_generation_ != host_->SocketGeneration()) {
        cipher_.selector = 0;
        cipher_.compress = false;
      }
      cipher = cipher_;
    }
    const std::string id_text = object.message_id_text;
    const bool has_files = !object.files.empty();
    std::vector<std::string> names;
    for (const OutgoingFile& file : object.files)
      names.push_back(NativeLastComponent(file.local_path));

    UploadProgressSink upload_progress(id_text);
    int64_t file_index = -1;
    bool in_file = false;  // between a file's first and last frame
    auto progress = [&](int stage, uint64_t position, uint64_t size) {
      if (stage == 0 || (stage == 2 && !in_file)) ++file_index;
      in_file = stage != 2;
      host_->NotifyListeners(id_text, stage, static_cast<int64_t>(position),
                             static_cast<int64_t>(size), file_index);
      const std::string& name = file_index >= 0 && static_cast<size_t>(file_index) < names.size()
                                    ? names[file_index]
                                    : std::string();
      upload_progress.Write(stage == 2 ? kProgressFileFinished : kProgressFileInProgress, name,
                            size, position);
    };
    int send_result = kSocketOk;
    bool any_sent = false;
    auto sink = [&](const uint8_t* bytes, size_t count) {
      // In pieces, so that a slow but moving upload counts as progress
      // long before a whole frame has left.
      for (size_t at = 0; at < count;) {
        const size_t piece = std::min(count - at, kSendPieceBytes);
        send_result = socket->Send(bytes + at, piece);
        if (send_result != kSocketOk) return false;
        any_sent = true;
        NoteSent(generation, id_text, piece);
        at += piece;
      }
      return true;
    };
    std::string error;
    int handle = 0;
    message->GetInt(SYNCHRONOUSREQUEST, &handle);
    OpenRequest(generation, static_cast<uint32_t>(handle), id_text);
    host_->NoteCarrying(socket.get());
    const bool sent =
        sender_.Send(std::move(object), cipher, &stop_file_transfer_, sink, progress, &error);
    if (!sent) {
      CloseRequest(static_cast<uint32_t>(handle), id_text);
      if (send_result == kSocketOk) {
        if (any_sent && host_->SocketGeneration() == generation) {
          // Part of the message is on the wire and the rest never will be:
          // the server would read the next message as its continuation.
          host_->Disconnect();
          host_->ConnectionLost();
        } else {
          // Nothing left and the connection is sound: no reply will come,
          // so the waiter is told now rather than at its time-out. (A
          // socket that failed is the connection's loss, which fails every
          // waiter once the connection is down.)
          FailWaiter(*message);
        }
      }
    }
    {
      std::lock_guard<std::mutex> lock(transit_mutex_);
      if (sending_id_ == id_text) sending_id_.clear();
    }
    if (has_files) upload_progress.Write(kProgressMessageFinished, std::string(), 0, 0);
    if (!sent) DebugLog("CULMSGSCPserverInterface::SendMessageObject - %s", error.c_str());
    if (send_result == kSocketStalled) {
      // The server has taken nothing for the stall limit: the connection is
      // given up, and every waiter with it.
      DebugLog("CULMSGSCPserverInterface: the server took no byte for %d ms; connection given up",
               host_->StallLimitMs());
      host_->Disconnect();
      host_->ConnectionLost();
    }
    return sent;
  } catch (const std::exception& e) {
    DebugLog("CULMSGSCPserverInterface::SendMessageObject - %s", e.what());
  } catch (...) {
    DebugLog("CULMSGSCPserverInterface::SendMessageObject - Unexpected exception");
  }
  return false;
}

bool CULMSGSCPserverInterface::Poll() {
  auto waiting = [this] {
    std::lock_guard<std::mutex> lock(received_mutex_);
    return !received_.empty();
  };
  if (host_->IsStopping()) return waiting();
  const uint64_t generation = host_->SocketGeneration();
  std::shared_ptr<CIOSocket> socket = host_->CurrentSocket();
  if (reconnecting_.load()) {
    // Brief: the worker replaces the socket and clears the flag.
    socket.reset();
    host_->WaitForSocketChange(generation, kReconnectPollMs);
    return waiting();
  }
  if (!IsUp(socket)) {
    if (socket != nullptr) ConnectionLost(generation);
    socket.reset();
    host_->WaitForSocketChange(generation, -1);
    return waiting();
  }
  // While the client waits on the connection, the wait for bytes lasts
  // only until the stall limit - of silence, or of the current window -
  // runs out; idle, the thread wakes once per limit.
  const int stall = host_->StallLimitMs();
  int wait_ms = -1;
  if (stall > 0) {
    bool stalled = false;
    {
      std::lock_guard<std::mutex> lock(poll_mutex_);
      StartGeneration(generation);
      int64_t since = 0;
      int64_t idle = 0;
      if (AwaitingLocked(generation, &since, &idle)) {
        stalled = !reconnecting_.load() && (idle >= stall || ProgressFallsShort(stall));
        if (!stalled) AwaitingLocked(generation, &since, &idle);  // the window may be new
        wait_ms = static_cast<int>(std::max<int64_t>(0, stall - std::max(since, idle)));
      } else {
        wait_ms = stall;
      }
    }
    if (stalled) {
      GiveUp(generation, "too little came or went for the stall limit");
      return waiting();
    }
  }
  const int ready = socket->WaitReadable(wait_ms);
  if (ready == kSocketInterrupted || ready == kSocketWouldBlock) return waiting();
  if (ready != kSocketOk) {
    ConnectionLost(generation);
    return waiting();
  }

  std::vector<MessagePtr> messages;
  bool fault = false;
  {
    std::lock_guard<std::mutex> lock(poll_mutex_);
    if (reconnecting_.load()) return waiting();
    StartGeneration(generation);
    size_t count = 0;
    const int got = socket->Receive(read_.data(), read_.size(), &count);
    if (got == kSocketWouldBlock) return waiting();
    if (got != kSocketOk) {
      // The transfer in progress can never finish: its message goes to its
      // waiter with the cut-off code before the others are failed.
      MessagePtr cut = receiver_.CutOffTransfer();
      if (cut) messages.push_back(std::move(cut));
    } else {
      std::string error;
      const bool sound = receiver_.Feed(read_.data(), count, &messages, &error);
      read_.Filled(count);
      if (!sound) {
        DebugLog("CULMSGSCPserverInterface::Poll - %s", error.c_str());
      }
      fault = receiver_.ProtocolFault() || receiver_.refused();
      NoteReceived(count, messages);
    }
    // What the reader made itself goes with what it received.
    for (MessagePtr& posted : posted_) messages.push_back(std::move(posted));
    posted_.clear();
    std::string transit;
    receiver_.MessageInTransit(&transit);
    std::lock_guard<std::mutex> transit_lock(transit_mutex_);
    if (!transit.empty() && transit == in_transit_id_) {
      transit_progress_ += count;
    } else {
      transit_progress_ = count;
      transit_checked_ = 0;
    }
    in_transit_id_ = std::move(transit);
  }
  for (MessagePtr& message : messages) {
    if (!LogMessage(message.get(), false)) HandOff(std::move(message));
  }
  if (!messages.empty()) host_->ReceivedWaiting();
  if (fault) {
    GiveUp(generation, "a clear frame came after the channel key, or a received file does not fit");
  } else if (!socket->IsConnected()) {
    ConnectionLost(generation);
  }
  return waiting();
}

void CULMSGSCPserverInterface::StartGeneration(uint64_t generation) {
  if (generation == polled_generation_) return;
  // Bytes half-read from an earlier connection can never be completed, and
  // a new connection starts in clear text until its own "SSK" (which may
  // already have passed the outgoing stage before this thread got here).
  receiver_.Reset();
  std::string key;
  bool sealed_only = false;
  {
    std::lock_guard<std::mutex> lock(cipher_mutex_);
    if (cipher_generation_ == generation) {
      key = cipher_.key;
      sealed_only = cipher_.selector != 0;
    }
  }
  receiver_.SetKey(key);
  receiver_.SetSealedOnly(sealed_only);
  polled_generation_ = generation;
}

bool CULMSGSCPserverInterface::AwaitingLocked(uint64_t generation, int64_t* since_ms,
                                              int64_t* idle_ms) {
  std::lock_guard<std::mutex> lock(activity_mutex_);
  const bool awaiting =
      (open_generation_ == generation && !open_requests_.empty()) || receiver_.HasPartial();
  const int64_t now = NowNs();
  if (!awaiting) {
    window_start_ns_ = 0;
  } else if (window_start_ns_ == 0) {
    // Unasked-for bytes half-read: measured from when Poll first sees them.
    window_start_ns_ = now;
    window_bytes_ = 0;
    last_progress_ns_ = now;
  }
  *since_ms = awaiting ? (now - window_start_ns_) / 1000000 : 0;
  // A window renewed after a burst does not make the silence since new.
  *idle_ms = awaiting ? (now - last_progress_ns_) / 1000000 : 0;
  return awaiting;
}

bool CULMSGSCPserverInterface::ProgressFallsShort(int stall_ms) {
  std::lock_guard<std::mutex> lock(activity_mutex_);
  const int64_t now = NowNs();
  if (window_start_ns_ == 0 || now - window_start_ns_ < int64_t{stall_ms} * 1000000) return false;
  const uint64_t minimum = kMinimumBytesPerSecond * static_cast<uint64_t>(stall_ms) / 1000;
  if (window_bytes_ < minimum) return true;
  window_start_ns_ = now;
  window_bytes_ = 0;
  return false;
}

namespace {
// The key of an awaited request: its waiter's handle, which is what a
// reply must carry to end the wait (a message that only repeats the
// request's identifier ends nothing); the identifier for a request with no
// waiter.
std::string RequestKey(uint32_t handle, const std::string& message_id_text) {
  return handle != 0 ? "h" + std::to_string(handle) : "i" + message_id_text;
}
}  // namespace

void CULMSGSCPserverInterface::OpenRequest(uint64_t generation, uint32_t handle,
                                           const std::string& message_id_text) {
  std::lock_guard<std::mutex> lock(activity_mutex_);
  if (open_generation_ != generation) {
    // The replies awaited on an earlier socket can never come on this one.
    open_requests_.clear();
    open_generation_ = generation;
  }
  if (open_requests_.empty()) {
    window_start_ns_ = NowNs();
    window_bytes_ = 0;
    last_progress_ns_ = window_start_ns_;
  }
  open_requests_[RequestKey(handle, message_id_text)] = message_id_text;
}

void CULMSGSCPserverInterface::CloseRequest(uint32_t handle, const std::string& message_id_text) {
  std::lock_guard<std::mutex> lock(activity_mutex_);
  open_requests_.erase(RequestKey(handle, message_id_text));
}

void CULMSGSCPserverInterface::NoteReceived(size_t count, const std::vector<MessagePtr>& messages) {
  std::lock_guard<std::mutex> lock(activity_mutex_);
  window_bytes_ += count;
  bytes_since_message_ += count;
  if (count > 0) last_progress_ns_ = NowNs();
  bool answered = false;
  for (const MessagePtr& message : messages) {
    int handle = 0;
    message->GetInt(SYNCHRONOUSREQUEST, &handle);
    answered |= open_requests_.erase(
                    RequestKey(static_cast<uint32_t>(handle), message->GetIdentifierText())) > 0;
  }
  if (answered) {
    // A request answered is progress however small its reply: a slow but
    // working server answering one short request after another is not a
    // stall.
    window_start_ns_ = NowNs();
    window_bytes_ = 0;
  } else if (!messages.empty()) {
    // What came since the last whole message was for nobody waiting: it
    // does not keep a waiter's connection alive.
    window_bytes_ -= std::min(window_bytes_, bytes_since_message_);
  }
  if (!messages.empty()) bytes_since_message_ = 0;
}

void CULMSGSCPserverInterface::NoteSent(uint64_t generation, const std::string& message_id_text,
                                        size_t count) {
  {
    std::lock_guard<std::mutex> lock(activity_mutex_);
    if (generation == open_generation_) {
      window_bytes_ += count;
      if (count > 0) last_progress_ns_ = NowNs();
    }
  }
  std::lock_guard<std::mutex> lock(transit_mutex_);
  if (sending_id_ != message_id_text) {
    sending_id_ = message_id_text;
    sending_progress_ = 0;
    sending_checked_ = 0;
  }
  ++sending_progress_;
}

void CULMSGSCPserverInterface::GiveUp(uint64_t generation, const char* why) {
  DebugLog("CULMSGSCPserverInterface: %s; the connection is given up", why);
  MessagePtr cut;
  {
    std::lock_guard<std::mutex> lock(poll_mutex_);
    cut = receiver_.CutOffTransfer();
    std::lock_guard<std::mutex> transit_lock(transit_mutex_);
    in_transit_id_.clear();
  }
  // Only the socket that stalled: a newer one is left alone. Dropped before
  // the cut-off reply goes out, so that its waiter wakes to a connection
  // already given up.
  if (host_->SocketGeneration() == generation) host_->Disconnect();
  if (cut && !LogMessage(cut.get(), false)) {
    HandOff(std::move(cut));
    host_->ReceivedWaiting();
  }
  ConnectionLost(generation);
}

void CULMSGSCPserverInterface::ConnectionLost(uint64_t generation) {
  if (generation == lost_generation_) return;
  lost_generation_ = generation;
  DebugLog("CULMSGSCPserverInterface: the connection to the server was lost");
  host_->ConnectionLost();
}

// The reply hand-off: a message whose identifier has a reply route goes, as
// a counted reference, to the mailslot the route names; the route is used
// once. The message is queued all the same.
void CULMSGSCPserverInterface::HandOff(MessagePtr message) {
  std::string slot;
  bool routed = false;
  {
    std::lock_guard<std::mutex> lock(routes_mutex_);
    auto it = reply_routes_.find(message->GetIdentifierText());
    if (it != reply_routes_.end()) {
      slot = std::move(it->second);
      reply_routes_.erase(it);
      routed = true;
    }
  }
  if (routed && !slot.empty()) {
    std::unique_ptr<MailslotWriter> writer = GetSystemFactory().NewMailslotWriter();
    if (writer->Open(".", slot)) {
      // The reader lives in this process and takes the reference over.
      MessagePtr handed = CopyMessagePrivate(*message);
      CRLMSGmessage* raw = handed.get();
      if (writer->Write(&raw, sizeof raw, nullptr)) handed.release();
    }
  }
  QueueReceived(std::move(message));
}

void CULMSGSCPserverInterface::QueueReceived(MessagePtr message) {
  std::lock_guard<std::mutex> lock(received_mutex_);
  received_.push_back(std::move(message));
}

bool CULMSGSCPserverInterface::TakeReceived(MessagePtr* message) {
  std::lock_guard<std::mutex> lock(received_mutex_);
  if (received_.empty()) return false;
  *message = std::move(received_.front());
  received_.pop_front();
  return true;
}

bool CULMSGSCPserverInterface::IsReceiving(const std::string& message_id_text) {
  std::lock_guard<std::mutex> lock(transit_mutex_);
  if (message_id_text.empty()) return false;
  if (message_id_text == in_transit_id_ && transit_progress_ != transit_checked_) {
    transit_checked_ = transit_progress_;
    return true;
  }
  if (message_id_text == sending_id_ && sending_progress_ != sending_checked_) {
    sending_checked_ = sending_progress_;
    return true;
  }
  return false;
}

bool CULMSGSCPserverInterface::AbandonTransfer(const std::string& message_id_text) {
  if (message_id_text.empty()) return false;
  bool moving;
  {
    std::lock_guard<std::mutex> lock(transit_mutex_);
    moving = message_id_text == in_transit_id_ || message_id_text == sending_id_;
  }
  if (!moving) {
    std::lock_guard<std::mutex> poll(poll_mutex_);
    std::lock_guard<std::mutex> lock(activity_mutex_);
    const bool open =
        std::any_of(open_requests_.begin(), open_requests_.end(),
                    [&](const auto& request) { return request.second == message_id_text; });
    moving = open && receiver_.HasPartial();
  }
  if (!moving) return false;
  DebugLog(
      "CULMSGSCPserverInterface: a request given up by its waiter was still moving; the "
      "connection is given up");
  host_->Disconnect();
  host_->ConnectionLost();
  return true;
}

void CULMSGSCPserverInterface::SetReplyRoute(const std::string& message_id_text,
                                             const std::string& mailslot_name) {
  std::lock_guard<std::mutex> lock(routes_mutex_);
  reply_routes_[message_id_text] = mailslot_name;
}

bool CULMSGSCPserverInterface::LogMessage(CRLMSGmessage* message, bool outgoing) {
  const std::string command = message->GetCommand();
  // Control messages steer this process and come only from inside it: one
  // that arrives from the server is logged like any message and dropped.
  const bool received_control = !outgoing && IsLocalControlCommand(command);
  if (received_control) {
    DebugLog("CULMSGSCPserverInterface: a control message received from the server dropped");
  }
  if (outgoing && command == kLoggingStartCommand) {
    LogSettings settings;
    int echo = 0;
    message->GetString(kLoggingFieldOutgoingPath, &settings.outgoing_path);
    message->GetString(kLoggingFieldIncomingPath, &settings.incoming_path);
    message->GetInt(kLoggingFieldEcho, &echo);
    message->GetInt(PROXYFORPROXY, &settings.echo_recipient);
    settings.echo = echo != 0;
    settings.on = true;
    std::lock_guard<std::mutex> lock(log_mutex_);
    log_ = std::move(settings);
    return true;
  }
  if (outgoing && command == kLoggingStopCommand) {
    std::lock_guard<std::mutex> lock(log_mutex_);
    log_.on = false;
    return true;
  }
  LogSettings settings;
  {
    std::lock_guard<std::mutex> lock(log_mutex_);
    if (!log_.on) return received_control;
    settings = log_;
  }
  std::string text;
  message->Dump(&text);
  AppendLogRecord(outgoing ? settings.outgoing_path : settings.incoming_path, text);
  if (received_control) return true;
  if (settings.echo) {
    MessagePtr echo = CopyMessagePrivate(*message);
    echo->SetString(COMMAND, "#" + command);
    echo->SetInt(PROXYFORPROXY, settings.echo_recipient);
    echo->RemoveField(SENDERTAG);
    echo->RemoveField(SYNCHRONOUSREQUEST);
    QueueReceived(std::move(echo));
    if (outgoing) host_->ReceivedWaiting();
  }
  return false;
}

void CULMSGSCPserverInterface::FailWaiter(const CRLMSGmessage& message) {
  int handle = 0;
  if (message.GetInt(SYNCHRONOUSREQUEST, &handle) == kFieldOk && handle != 0) {
    CRLMSGsynchronousMessage::FailRequest(static_cast<uint32_t>(handle), kReplyConnectionLost);
  }
}

void CULMSGSCPserverInterface::HoldForReconnect(MessagePtr message) {
  std::lock_guard<std::mutex> lock(asker_mutex_);
  held_.push_back(std::move(message));
  if (asking_) return;
  asking_ = true;
  if (asker_.joinable()) asker_.join();  // a finished question
  asker_ = std::thread([this] { AskAndReconnect(); });
}

void CULMSGSCPserverInterface::AskAndReconnect() {
  try {
    int answer;
    do {
      answer = AskReconnect();
    } while (answer == kReconnectYes && !IsUp(host_->CurrentSocket()) && !host_->IsStopping());
    std::vector<MessagePtr> held;
    {
      std::lock_guard<std::mutex> lock(asker_mutex_);
      held.swap(held_);
      asking_ = false;
    }
    if (IsUp(host_->CurrentSocket())) {
      // Sent now over the connection that came back.
      for (MessagePtr& message : held) host_->PostOutgoing(std::move(message));
      return;
    }
    for (const MessagePtr& message : held) FailWaiter(*message);
    if (host_->IsStopping()) return;
    ConnectionApplication* application = Application();
    if (application != nullptr) {
      application->Shutdown();
      std::exit(0);
    }
  } catch (const std::exception& e) {
    DebugLog("CULMSGSCPserverInterface::AskAndReconnect - %s", e.what());
  } catch (...) {
    DebugLog("CULMSGSCPserverInterface::AskAndReconnect - Unexpected exception");
  }
}

int CULMSGSCPserverInterface::AskReconnect() {
  ConnectionApplication* application = Application();
  if (application == nullptr) return kReconnectNo;
  const std::string text = application->GetString("mainApplication", "IDS_TRY_RECONNECT");
  const std::string caption = application->GetString("mainApplication", "IDS_NOSERVER");
  if (ShowMessageBox(nullptr, caption, text, MessageBoxButtons::kYesNo,
                     MessageBoxIcon::kQuestion) != kIdYes) {
    return kReconnectNo;
  }
  CompletionEvent done;
  MessagePtr reconnect = NewMessage();
  reconnect->SetString(COMMAND, kReconnectCommand);
  reconnect->SetInt(kReconnectFieldEvent, static_cast<int>(done.handle()));
  StartReconnect(*reconnect);
  while (!done.Wait(100)) {
    if (host_->IsStopping()) return kReconnectNo;
  }
  return kReconnectYes;
}

void CULMSGSCPserverInterface::StartReconnect(const CRLMSGmessage& message) {
  int event = 0;
  message.GetInt(kReconnectFieldEvent, &event);
  {
    std::lock_guard<std::mutex> lock(cipher_mutex_);
    cipher_.selector = 0;
    cipher_.compress = false;
  }
  std::lock_guard<std::mutex> lock(worker_mutex_);
  if (worker_.joinable()) worker_.join();
  worker_ = std::thread([this, event] { ReconnectWorker(static_cast<uint32_t>(event)); });
}

bool CULMSGSCPserverInterface::Sleep(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    if (host_->IsStopping()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return !host_->IsStopping();
}

void CULMSGSCPserverInterface::ReconnectWorker(uint32_t event_handle) {
  try {
    stop_file_transfer_ = true;
    reconnecting_ = true;
    Sleep(250);
    {
      std::lock_guard<std::mutex> lock(poll_mutex_);
      receiver_.Reset();
      posted_.clear();
      std::lock_guard<std::mutex> transit_lock(transit_mutex_);
      in_transit_id_.clear();
    }
    CRLMSGsynchronousMessage::FailPendingRequests(kReplyConnectionLost);
    host_->Disconnect();
    if (Sleep(750)) host_->Connect();
    reconnecting_ = false;

    const bool up = IsUp(host_->CurrentSocket());
    ConnectionApplication* application = Application();
    if (up && application != nullptr && !application->LogOnAgain(0, 1)) {
      ShowAuthenticationBox(application, kAuthenticationFailedText);
      CompletionEvent::SignalHandle(event_handle);
      stop_file_transfer_ = false;
      return;
    }
    CompletionEvent::SignalHandle(event_handle);
    if (application != nullptr && application->SessionHasProblem()) {
      ShowAuthenticationBox(application, kSessionProblemText);
      stop_file_transfer_ = false;
      return;
    }
    stop_file_transfer_ = false;
    if (application != nullptr) application->Reconnected();
  } catch (const std::exception& e) {
    DebugLog("CULMSGSCPserverInterface::ReconnectWorker - %s", e.what());
    reconnecting_ = false;
    stop_file_transfer_ = false;
    CompletionEvent::SignalHandle(event_handle);
  } catch (...) {
    DebugLog("CULMSGSCPserverInterface::ReconnectWorker - Unexpected exception");
    reconnecting_ = false;
    stop_file_transfer_ = false;
    CompletionEvent::SignalHandle(event_handle);
  }
}

void CULMSGSCPserverInterface::ShowAuthenticationBox(ConnectionApplication* application,
                                                     const char* text) {
  ShowMessageBox(nullptr, application->GetString("mainApplication", "IDS_NOSERVER"), text,
                 MessageBoxButtons::kOk, MessageBoxIcon::kError);
}

}  // namespace tw
