#include "tests/support/loopback_peer.h"

#include <algorithm>

#include "crypto/crypto.h"
#include "messaging/field_ids.h"
#include "messaging/reply.h"
#include "protocol/logon_command.h"
#include "protocol/production_command.h"

namespace tw::test {

bool AnswerLogon(const std::string& command, const CRLMSGmessage& request, CRLMSGmessage* reply) {
  static const std::string server_public = [] {
    std::string priv, pub;
    CRLDATcrypto::GenerateKeyPair(1024, &priv, &pub);
    return pub;
  }();
  int sub = 0;
  request.GetInt(kFieldSubCommand, &sub);
  if (command == prelogon::kCommand) {
    reply->SetString(prelogon::kReplyServerKey, server_public);
    reply->SetInt(prelogon::kReplySelector, 0);
    reply->SetInt(prelogon::kReplyCompression, 0);
  } else if (command == logon::kCommand) {
    std::string client_key, sealed;
    request.GetString(logon::kFieldClientKey, &client_key);
    const std::string key(64, 'A');
    CRLDATcrypto::RsaEncryptToHex(client_key, key.data(), key.size(), &sealed);
    reply->SetString(logon::kReplyChannelKey, sealed);
  } else if (command == kProductionCommand && sub == lookup_production::kSubCommand) {
    reply->SetString(lookup_production::kReplyProductionId, "0000000000000001");
  } else {
    return false;
  }
  return true;
}

MessagePtr MakeReply(const CRLMSGmessage& request) {
  MessagePtr reply = NewReply(request, request.GetCommand(), true);
  reply->SetInt(ERRORCODE, 0);
  return reply;
}

void LoopbackPeer::Connection::SendCutOff(const CRLMSGmessage& message, size_t byte_limit) {
  MessageObject object;
  if (WriteMessageObject(message, nullptr, &object)) {
    MessageFrameSender sender;
    size_t sent = 0;
    auto sink = [&](const uint8_t* bytes, size_t count) {
      const size_t n = std::min(count, byte_limit - sent);
      channel_->socket()->Send(bytes, n);
      sent += n;
      return sent < byte_limit;
    };
    sender.Send(std::move(object), ChannelCipher(), nullptr, sink, nullptr, nullptr);
  }
  channel_->Close();
}

std::string FramesOf(const CRLMSGmessage& message, const ChannelCipher& cipher) {
  MessageObject object;
  std::string out;
  if (!WriteMessageObject(message, nullptr, &object)) return out;
  MessageFrameSender sender;
  auto sink = [&out](const uint8_t* bytes, size_t count) {
    out.append(reinterpret_cast<const char*>(bytes), count);
    return true;
  };
  sender.Send(std::move(object), cipher, nullptr, sink, nullptr, nullptr);
  return out;
}

void LoopbackPeer::Connection::SendLimited(const CRLMSGmessage& message,
                                           const ChannelCipher& cipher, size_t frame_limit,
                                           size_t byte_limit) {
  MessageObject object;
  if (!WriteMessageObject(message, nullptr, &object)) return;
  MessageFrameSender sender;
  size_t frames = 0;
  size_t sent = 0;
  auto sink = [&](const uint8_t* bytes, size_t count) {
    size_t n = count;
    if (byte_limit > 0) n = std::min(count, byte_limit - sent);
    if (channel_->socket()->Send(bytes, n) != kSocketOk) return false;
    sent += n;
    ++frames;
    if (frame_limit > 0 && frames >= frame_limit) return false;
    return byte_limit == 0 || sent < byte_limit;
  };
  sender.Send(std::move(object), cipher, nullptr, sink, nullptr, nullptr);
}

void LoopbackPeer::Connection::SendThenStall(const CRLMSGmessage& message, size_t byte_limit) {
  SendLimited(message, cipher_, 0, byte_limit);
}

void LoopbackPeer::Connection::SendFirstFrameOnly(const CRLMSGmessage& message) {
  SendLimited(message, cipher_, 1, 0);
}

void LoopbackPeer::Connection::SendClear(const CRLMSGmessage& message) {
  SendLimited(message, ChannelCipher(), 0, 0);
}

void LoopbackPeer::Connection::SendRaw(const std::string& bytes) {
  channel_->socket()->Send(bytes.data(), bytes.size());
}

LoopbackPeer::LoopbackPeer(Handler handler) : handler_(std::move(handler)) {
  listener_ = CreateSocket();
  if (listener_->Listen(16, 0, kSocketStream) == kSocketOk) {
    NetAddress address;
    listener_->LocalAddress(&address);
    port_ = address.Port();
  }
  thread_ = std::thread([this] { Run(); });
}

LoopbackPeer::~LoopbackPeer() {
  stopping_ = true;
  listener_->Interrupt();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_socket_ != nullptr) current_socket_->Interrupt();
  }
  thread_.join();
}

void LoopbackPeer::SetCipher(const ChannelCipher& cipher) {
  std::lock_guard<std::mutex> lock(mutex_);
  cipher_ = cipher;
}

void LoopbackPeer::Run() {
  while (!stopping_.load()) {
    if (listener_->WaitReadable(-1) != kSocketOk) return;
    std::unique_ptr<CIOSocket> socket;
    if (listener_->Accept(&socket, 1) != kSocketOk) continue;
    ++connections_;
    MessageChannel channel(std::move(socket));
    ChannelCipher cipher;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_.load()) return;
      current_socket_ = channel.socket();
      cipher = cipher_;
    }
    channel.SetSendCipher(cipher);
    channel.SetReceiveKey(cipher.key);
    Connection connection(&channel, cipher);
    for (;;) {
      MessagePtr message;
      const int result = channel.Receive(&message, -1);
      if (result == kChannelMessage) {
        handler_(connection, std::move(message));
        if (!channel.IsConnected()) break;
      } else if (result != kChannelBroken) {
        break;
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    current_socket_ = nullptr;
  }
}

}  // namespace tw::test
