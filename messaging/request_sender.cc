#include "messaging/request_sender.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <utility>

#include "settings/settings_source.h"

namespace tw {

bool RequestSender::Send(CRLMSGmessage* message) {
  return sender_ != nullptr && message != nullptr && sender_->Send(message);
}

namespace {

thread_local bool connection_failed = false;

std::atomic<int>& DeadlineOverride() {
  static std::atomic<int> deadline{0};
  return deadline;
}

}  // namespace

void SetRequestDeadline(int ms) {
  DeadlineOverride() = ms < 0 ? 0 : ms;
}

int64_t RequestDeadlineMs(int timeout_seconds) {
  const int set = DeadlineOverride().load();
  if (set > 0) return set;
  const std::optional<int> seconds =
      GetSettingsSource()->ReadModuleSetting(kRequestDeadlineSetting);
  if (seconds.has_value() && *seconds > 0 && *seconds <= kMaxRequestDeadlineSeconds) {
    return int64_t{*seconds} * 1000;
  }
  return int64_t{std::max(timeout_seconds, 0)} * 1000;
}

bool TakeConnectionFailure() {
  return std::exchange(connection_failed, false);
}

void NoteConnectionFailure() {
  connection_failed = true;
}

bool RequestSender::SendAndWait(CRLMSGmessage* request, SynchronousMessagePtr* reply,
                                int timeout_seconds) {
  if (request == nullptr || reply == nullptr) return false;
  std::unique_ptr<CRLMSGmessageID> identifier;
  request->GetIdentifier(MESSAGEID, &identifier);

  *reply = CRLMSGsynchronousMessage::Create();
  CRLMSGsynchronousMessage* waiting = reply->get();
  request->SetInt(SYNCHRONOUSREQUEST, static_cast<int>(waiting->GetHandle()));

  const int64_t timeout_ms = int64_t{std::max(timeout_seconds, 0)} * 1000;
  const int64_t deadline_ms = RequestDeadlineMs(timeout_seconds);
  const auto sent = std::chrono::steady_clock::now();
  // What is left of the deadline, and of the next wait within it.
  const auto left_ms = [&] {
    const int64_t elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - sent)
                                .count();
    return std::max<int64_t>(0, deadline_ms - elapsed);
  };
  if (!Send(request)) {
    // Nothing left, so no reply will come to take the reply path's reference.
    waiting->WithdrawReplyPath();
    waiting->Close();
    connection_failed = true;
    return false;
  }

  int code = waiting->WaitForReplyMs(std::min(timeout_ms, left_ms()));
  while (code == kReplyTimedOut && identifier != nullptr && left_ms() > 0 &&
         sender_->IsReceiving(*identifier)) {
    code = waiting->WaitForReplyMs(std::min(timeout_ms, left_ms()));
  }
  waiting->Close();
  if (code == kReplyConnectionLost || code == kReplyCutOff) connection_failed = true;
  // Given up while its transfer still moves: the rest of it would only
  // hold up every later request on the connection.
  if (code == kReplyTimedOut && identifier != nullptr && sender_->AbandonTransfer(*identifier)) {
    connection_failed = true;
  }
  return true;
}

}  // namespace tw
