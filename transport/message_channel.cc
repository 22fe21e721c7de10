#include "transport/message_channel.h"

#include <stdexcept>
#include <utility>

#include "messaging/stream_format.h"
#include "transport/frame_format.h"

namespace tw {

MessageFrameSender::MessageFrameSender(int workers) : pipeline_(workers) {}

bool MessageFrameSender::Send(MessageObject object, const ChannelCipher& cipher,
                              const std::atomic<bool>* stop, const FrameSink& sink,
                              const SendProgress& progress, std::string* error) {
  MessageStream stream(std::move(object), stop);
  return pipeline_.Send(&stream, cipher, stop, sink, progress, error);
}

namespace {

CIOFrameReader::Options FrameOptions(const MessageReaderOptions& reader) {
  CIOFrameReader::Options options;
  options.keep_file_members = reader.keep_file_members != nullptr;
  return options;
}

}  // namespace

MessageFrameReceiver::MessageFrameReceiver(MessageReaderOptions options)
    : frames_(FrameOptions(options)), source_(&frames_), reader_(&source_, std::move(options)) {}

bool MessageFrameReceiver::Feed(const uint8_t* bytes, size_t count, std::vector<MessagePtr>* out,
                                std::string* error) {
  if (refused_) return true;
  bool sound = true;
  // Every throw drops what it complained about, so the loop ends with the
  // input; the first call feeds the bytes, the later ones drain the queue.
  for (bool first = true;; first = false) {
    try {
      MessagePtr message = first ? reader_.CanExtractMessageObject(bytes, count)
                                 : reader_.CanExtractMessageObject(nullptr, 0);
      if (!message) {
        if (reader_.last_status() == CULMSGmessageReader::Status::kRefused) {
          refused_ = true;
          if (error != nullptr) *error = "a received file was refused";
          break;
        }
        if (reader_.last_status() == CULMSGmessageReader::Status::kFramingFailure) {
          // Reported, and the chunks queued around the failure are still
          // read: a good reply must not wait for the next bytes.
          sound = false;
          if (error != nullptr) *error = "a frame could not be read";
          continue;
        }
        if (reader_.last_status() == CULMSGmessageReader::Status::kNeedMore) {
          // The frame reader stopped cutting while many chunks waited; now
          // that they are read, it goes on.
          if (frames_.MoreToParse() && frames_.ItemCount() == 0) continue;
          break;
        }
        continue;  // a dropped object: more may follow
      }
      out->push_back(std::move(message));
    } catch (const std::exception& e) {
      sound = false;
      if (error != nullptr) *error = e.what();
    }
  }
  return sound;
}

void MessageFrameReceiver::Reset() {
  frames_.Reset();
  reader_.Reset();
  refused_ = false;
}

bool MessageFrameReceiver::HasPartial() const {
  return frames_.HasPartial() || reader_.buffered_bytes() > 0 || reader_.awaiting_files();
}

bool MessageFrameReceiver::MessageInTransit(std::string* message_id_text) const {
  std::string id = reader_.awaited_message_id();
  if (id.empty()) return false;
  if (message_id_text != nullptr) *message_id_text = std::move(id);
  return true;
}

MessageChannel::MessageChannel(std::unique_ptr<CIOSocket> socket, MessageReaderOptions options)
    : socket_(std::move(socket)),
      receiver_(std::move(options)),
      last_receive_(std::chrono::steady_clock::now()),
      last_send_progress_(std::chrono::steady_clock::now()) {}

MessageChannel::~MessageChannel() {
  socket_->Close();
}

bool MessageChannel::Send(const CRLMSGmessage& message, const SendProgress& progress) {
  MessageObject object;
  if (!WriteMessageObject(message, nullptr, &object)) {
    error_ = "the message cannot be serialized";
    return false;
  }
  return SendObject(std::move(object), progress);
}

bool MessageChannel::SendObject(MessageObject object, const SendProgress& progress) {
  auto sink = [this](const uint8_t* bytes, size_t count) {
    const bool sent = socket_->Send(bytes, count) == kSocketOk;
    last_send_progress_.store(std::chrono::steady_clock::now());
    return sent;
  };
  last_send_progress_.store(std::chrono::steady_clock::now());
  sending_.store(true);
  const bool sent = sender_.Send(std::move(object), cipher_, &stop_, sink, progress, &error_);
  sending_.store(false);
  return sent;
}

int MessageChannel::Receive(MessagePtr* message, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    if (!received_.empty()) {
      *message = std::move(received_.front());
      received_.pop_front();
      return kChannelMessage;
    }
    if (refused_) return kChannelRefused;
    if (receiver_.ProtocolFault()) {
      error_ = "a clear frame after the channel key";
      return kChannelClosed;
    }
    int wait_ms = -1;
    if (timeout_ms >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return kChannelTimedOut;
      wait_ms = static_cast<int>(left);
    }
    const int waited = socket_->WaitReadable(wait_ms);
    if (waited == kSocketWouldBlock) return kChannelTimedOut;
    if (waited == kSocketInterrupted) return kChannelInterrupted;
    if (waited != kSocketOk) return kChannelClosed;
    size_t count = 0;
    const int got = socket_->Receive(read_.data(), read_.size(), &count);
    if (got == kSocketWouldBlock) continue;
    if (got != kSocketOk) return kChannelClosed;
    last_receive_.store(Clock::now());
    std::vector<MessagePtr> messages;
    const bool sound = receiver_.Feed(read_.data(), count, &messages, &error_);
    read_.Filled(count);
    // A refusal is final; messages complete before it are still handed out,
    // except when it is the memory they took that is refused.
    bool keep = true;
    if (receiver_.refused()) {
      refused_ = true;
    } else if (receiver_.oversized_messages() != oversized_seen_) {
      oversized_seen_ = receiver_.oversized_messages();
      error_ = "a message larger than the limit";
      refused_ = true;
    } else if (buffer_check_ && (!buffer_check_(receiver_.PeakBufferedBytes()) ||
                                 !buffer_check_(receiver_.BufferedBytes()))) {
      // The most this read made the connection hold is what is judged; what
      // it still holds is what the check keeps counting afterwards.
      error_ = "more bytes held for incomplete messages than the limit";
      refused_ = true;
      keep = false;
    }
    if (keep) {
      for (MessagePtr& m : messages) received_.push_back(std::move(m));
    }
    if (refused_) continue;
    if (!sound && received_.empty()) return kChannelBroken;
  }
}

}  // namespace tw
