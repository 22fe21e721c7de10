// A small server for tests of the client's connection: it listens on
// 127.0.0.1 at a free port, accepts connections one after another and hands
// every message it receives to the test's handler, on its own thread. It is
// built from the project's wire code (MessageChannel), not from the
// reference server, so that tests can make it misbehave on purpose.
#ifndef TW_TESTS_SUPPORT_LOOPBACK_PEER_H_
#define TW_TESTS_SUPPORT_LOOPBACK_PEER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "messaging/message.h"
#include "transport/message_channel.h"
#include "transport/socket.h"

namespace tw::test {

// A reply to `request` as the server builds one: MESSAGEID first, then the
// command followed by "R", the fields the server returns unchanged, the
// routing fields, ERRORCODE 0.
MessagePtr MakeReply(const CRLMSGmessage& request);

// A fake server's answers to the logon and to a Production look-up (it
// finds the Production 0000000000000001), over an unencrypted
// channel: fills `reply` and returns true for those commands, false for any
// other.
bool AnswerLogon(const std::string& command, const CRLMSGmessage& request, CRLMSGmessage* reply);

// The frames of `message` (and its files) under `cipher`, as one string of
// bytes, for a test that sends them raw.
std::string FramesOf(const CRLMSGmessage& message, const ChannelCipher& cipher);

class LoopbackPeer {
 public:
  class Connection;
  // Called on the peer's thread with each received message.
  using Handler = std::function<void(Connection& connection, MessagePtr message)>;

  explicit LoopbackPeer(Handler handler);
  // Stops the thread and closes the connection.
  ~LoopbackPeer();
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  uint16_t port() const { return port_; }
  // Connections accepted so far.
  int connections() const { return connections_.load(); }
  // Seals and opens every later connection's frames with this cipher from
  // its first frame on (the channel key the test also gives the client).
  void SetCipher(const ChannelCipher& cipher);

  class Connection {
   public:
    Connection(MessageChannel* channel, ChannelCipher cipher)
        : channel_(channel), cipher_(std::move(cipher)) {}
    bool Send(const CRLMSGmessage& message) { return channel_->Send(message); }
    // Sends `message` with its files but stops after `byte_limit` bytes of
    // frames and closes the connection: a peer dying mid-transfer.
    void SendCutOff(const CRLMSGmessage& message, size_t byte_limit);

    // Misbehaviours of a hostile or failing server.
    // Sends the first `byte_limit` bytes of `message` (under the channel's
    // cipher) and then nothing more, the connection left open: a reply
    // announcing its files and going silent.
    void SendThenStall(const CRLMSGmessage& message, size_t byte_limit);
    // Sends only the first frame of `message`, which must be longer than
    // one frame: a message cut in the middle of its frames.
    void SendFirstFrameOnly(const CRLMSGmessage& message);
    // Sends `message` in clear text whatever the channel's cipher.
    void SendClear(const CRLMSGmessage& message);
    // Bytes as they are.
    void SendRaw(const std::string& bytes);
    void Close() { channel_->Close(); }
    MessageChannel* channel() { return channel_; }

   private:
    // Frames `message` under `cipher` to the socket, stopping once
    // `frame_limit` frames or `byte_limit` bytes went (0: no limit).
    void SendLimited(const CRLMSGmessage& message, const ChannelCipher& cipher, size_t frame_limit,
                     size_t byte_limit);

    MessageChannel* const channel_;
    const ChannelCipher cipher_;
  };

 private:
  void Run();

  const Handler handler_;
  std::unique_ptr<CIOSocket> listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::mutex mutex_;
  ChannelCipher cipher_;                 // guarded by mutex_
  CIOSocket* current_socket_ = nullptr;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_LOOPBACK_PEER_H_
