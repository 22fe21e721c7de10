// The two halves of a message connection over frames, shared by every end
// that speaks the Veltrane wire: the provider's server connection, the
// reference server's connections and the test peers.
//
//  - MessageFrameSender turns one message (its object and the files it
//    names) into frames and hands each to a sink in order, building large
//    frames on the process's frame workers (transport/frame_pipeline.h):
//    memory stays bounded whatever the message or file sizes.
//  - MessageFrameReceiver turns received bytes back into messages: frame
//    reader → chunk source → message reader.
//  - MessageChannel joins both to one connected socket with blocking waits,
//    for ends that serve one connection per thread (the reference server,
//    tests). The provider's connection drives the halves itself from its
//    stage threads.
//
// Threads: a sender or a receiver is used by one thread at a time; a
// MessageChannel by one sending and one receiving thread (the socket's own
// rule), and its cipher may be changed only between sends.
#ifndef TW_TRANSPORT_MESSAGE_CHANNEL_H_
#define TW_TRANSPORT_MESSAGE_CHANNEL_H_

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "messaging/message.h"
#include "messaging/message_reader.h"
#include "messaging/message_writer.h"
#include "transport/buffer.h"
#include "transport/frame_chunks.h"
#include "transport/frame_pipeline.h"
#include "transport/frame_reader.h"
#include "transport/frame_writer.h"
#include "transport/read_buffer.h"
#include "transport/socket.h"

namespace tw {

class MessageFrameSender {
 public:
  // `workers` frames are built at once (1: all on the sending thread).
  explicit MessageFrameSender(int workers = FrameWorkerCount());
  MessageFrameSender(const MessageFrameSender&) = delete;
  MessageFrameSender& operator=(const MessageFrameSender&) = delete;

  // Frames `object` and then its files (read piece by piece as they are
  // sent, a bounded number ahead) and hands every frame to `sink` in order,
  // on the calling thread. `stop` (may be null) ends file sending early, as
  // FileSender describes; `progress` (may be null) hears of each file
  // frame, on the calling thread. True when every frame was handed over;
  // false as soon as one could not be built or the sink refused it, with
  // the cause in `*error` when given. The bytes do not depend on the
  // worker count.
  bool Send(MessageObject object, const ChannelCipher& cipher, const std::atomic<bool>* stop,
            const FrameSink& sink, const SendProgress& progress, std::string* error);

  int workers() const { return pipeline_.workers(); }

 private:
  FramePipeline pipeline_;
};

class MessageFrameReceiver {
 public:
  explicit MessageFrameReceiver(MessageReaderOptions options = MessageReaderOptions());
  MessageFrameReceiver(const MessageFrameReceiver&) = delete;
  MessageFrameReceiver& operator=(const MessageFrameReceiver&) = delete;

  // The key that opens encrypted frames; empty clears it.
  void SetKey(std::string_view key) { frames_.SetKey(key); }
  // Whether a clear frame is a protocol fault (see ProtocolFault): on once
  // this end seals what it sends.
  void SetSealedOnly(bool sealed_only) { frames_.SetSealedOnly(sealed_only); }

  // Takes received bytes and appends every message they complete to `out`
  // (each with the files it names; a cut-off transfer gives the message
  // with ERRORCODE -999). Returns false when the stream was found broken
  // (a bad object header, an encrypted frame without a key), the cause in
  // `*error` when given; what could be read is still appended, and later
  // bytes are read afresh. Once the reader refused a file (admit_file of
  // its options), nothing more is read: see refused().
  bool Feed(const uint8_t* bytes, size_t count, std::vector<MessagePtr>* out, std::string* error);

  // Limits of a receiving server: the largest message object taken (larger
  // ones are dropped and counted), and whether the reader's admission check
  // refused a file, after which the connection is to be given up.
  void SetMessageLimit(size_t bytes) {
    frames_.SetMaxMessageBytes(bytes);
    reader_.SetMaxObjectLength(
        static_cast<uint32_t>(std::min<size_t>(bytes, size_t{kMaxObjectLength})));
  }
  uint64_t oversized_messages() const {
    return frames_.oversized_messages() + reader_.oversized_objects();
  }
  bool refused() const { return refused_; }
  // Bytes held for messages not yet complete.
  size_t BufferedBytes() { return frames_.BufferedBytes() + reader_.buffered_bytes(); }
  // The most of it held at once since the last call (a compressed message
  // that arrives in one read is complete before BufferedBytes could see it).
  size_t PeakBufferedBytes() { return frames_.BufferedBytes() + reader_.TakePeakBufferedBytes(); }

  // Forgets everything half-received (bytes, frames, a message awaiting its
  // files), as after a reconnection. The key stays.
  void Reset();

  // Ends the transfer of a message still waiting for its files (the
  // connection is gone): the message with ERRORCODE -999, or null.
  MessagePtr CutOffTransfer() { return reader_.CutOffTransfer(); }

  // Whether a message is waiting for its files, and which (for the check
  // whether a long reply is in transit).
  bool MessageInTransit(std::string* message_id_text) const;
  // Part of a frame or a message has arrived and waits for the rest.
  bool HasPartial() const;
  // A clear frame came while sealed frames were required: the peer is not
  // the one we keyed, and the connection must be given up. Sticky until
  // Reset.
  bool ProtocolFault() const { return frames_.protocol_fault(); }

  CULMSGmessageReader& reader() { return reader_; }

 private:
  CIOFrameReader frames_;
  FrameChunkSource source_;
  CULMSGmessageReader reader_;
  bool refused_ = false;
};

// Result codes of MessageChannel::Receive.
enum ChannelResult : int {
  kChannelMessage = 0,   // a message was received
  kChannelTimedOut = 1,  // nothing complete arrived in time
  kChannelClosed = 2,    // the peer closed, the socket failed, or a protocol fault
  kChannelBroken = 3,    // the peer sent what cannot be read (see error())
  kChannelInterrupted = 4,
  kChannelRefused = 5,  // the peer went beyond a limit the receiver set (see error())
};

class MessageChannel {
 public:
  // Takes a connected socket.
  explicit MessageChannel(std::unique_ptr<CIOSocket> socket,
                          MessageReaderOptions options = MessageReaderOptions());
  ~MessageChannel();
  MessageChannel(const MessageChannel&) = delete;
  MessageChannel& operator=(const MessageChannel&) = delete;

  // Seals what is sent from now on; with a nonzero selector, what is
  // received must be sealed too (a clear frame closes the channel).
  void SetSendCipher(ChannelCipher cipher) {
    receiver_.SetSealedOnly(cipher.selector != 0);
    cipher_ = std::move(cipher);
  }
  // Opens what is received from now on.
  void SetReceiveKey(std::string_view key) { receiver_.SetKey(key); }
  // Whether what is sent from now on is compressed (a sealed channel always is).
  bool compresses() const { return cipher_.compress || cipher_.selector != 0; }

  // Serializes `message` (string field 11 as it stands) and sends it with
  // its files. False when it cannot be serialized or the socket fails.
  bool Send(const CRLMSGmessage& message, const SendProgress& progress = nullptr);
  // Sends an already serialized message.
  bool SendObject(MessageObject object, const SendProgress& progress = nullptr);

  // Waits up to `timeout_ms` (negative: without limit) for the next
  // complete message. kChannelBroken leaves the channel usable: the bytes
  // after the broken part are read on the next call. kChannelRefused (a
  // message over the limit, a file the reader's admission check refused,
  // or more buffered bytes than the buffer check allows) is final: the
  // channel reads nothing more. A protocol fault (a clear frame while
  // sealed ones are required) gives kChannelClosed once the messages before
  // it are taken; the caller ends the connection.
  int Receive(MessagePtr* message, int timeout_ms);

  // Limits of a receiving server. The largest message object taken; larger
  // ones make Receive fail with kChannelRefused.
  void SetMessageLimit(size_t bytes) {
    receiver_.SetMessageLimit(bytes);
    // A peer held to small messages gets small reads too.
    read_.SetLimit(bytes);
  }
  // Called by Receive after every read with the most bytes that read made
  // the channel hold for messages, then with what it still holds for
  // incomplete ones; false makes Receive fail with kChannelRefused. Used by
  // the receiving thread only.
  void SetBufferCheck(std::function<bool(size_t buffered)> check) {
    buffer_check_ = std::move(check);
  }
  // When bytes last arrived (the channel's creation before any did).
  std::chrono::steady_clock::time_point last_receive() const { return last_receive_.load(); }
  // When a frame of a send last went out, and whether a send is under way;
  // another thread may read them to find a peer that stopped reading.
  std::chrono::steady_clock::time_point last_send_progress() const {
    return last_send_progress_.load();
  }
  bool sending() const { return sending_.load(); }

  // Wakes a thread waiting in Receive or in a send (it then fails); safe
  // from any thread.
  void Interrupt() { socket_->Interrupt(); }
  void Close() { socket_->Close(); }
  bool IsConnected() const { return socket_->IsConnected(); }
  CIOSocket* socket() { return socket_.get(); }
  // The cause of the last kChannelBroken or failed send.
  const std::string& error() const { return error_; }
  // The stop-file-transfer flag of this channel's sends.
  std::atomic<bool>& stop_flag() { return stop_; }

 private:
  std::unique_ptr<CIOSocket> socket_;
  ChannelCipher cipher_;
  MessageFrameSender sender_;
  MessageFrameReceiver receiver_;
  std::deque<MessagePtr> received_;
  ReadBuffer read_;
  std::atomic<bool> stop_{false};
  std::string error_;
  std::function<bool(size_t)> buffer_check_;
  bool refused_ = false;
  uint64_t oversized_seen_ = 0;
  std::atomic<std::chrono::steady_clock::time_point> last_receive_;
  std::atomic<std::chrono::steady_clock::time_point> last_send_progress_;
  std::atomic<bool> sending_{false};
};

}  // namespace tw

#endif  // TW_TRANSPORT_MESSAGE_CHANNEL_H_
