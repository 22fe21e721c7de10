#include "messaging/synchronous_message.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "messaging/cancel_flag.h"
#include "messaging/message_copy.h"
#include "messaging/pump_hook.h"
#include "messaging/typed_handles.h"
#include "settings/settings_source.h"

namespace tw {

namespace {

// The live request ends by handle. Never destroyed: reply threads may still
// resolve handles while static destructors run.
TypedHandles<CRLMSGsynchronousMessage>& Requests() {
  static auto* requests = new TypedHandles<CRLMSGsynchronousMessage>;
  return *requests;
}

}  // namespace

SynchronousMessagePtr CRLMSGsynchronousMessage::Create() {
  auto* message = new CRLMSGsynchronousMessage();
  {
    // Registered only once fully built: handles are easy to guess, and a
    // reply naming this one may come from anywhere at any time.
    std::lock_guard<std::mutex> lock(Requests().mutex());
    message->handle_ = Requests().AddLocked(message);
    if (message->handle_ == 0) {
      message->reply_path_open_ = false;
      message->count_ = 1;
    }
  }
  return SynchronousMessagePtr::Adopt(message);
}

// Known by the nil identifier until a reply gives it the reply's: it never
// travels, and a random identifier would cost more than the request's whole
// round trip through the hub.
CRLMSGsynchronousMessage::CRLMSGsynchronousMessage()
    : CRLMSGmessage(CRLMSGmessageID(Guid())), reply_signal_(mutex_) {
  SetInt(ERRORCODE, kReplyPending);
}

CRLMSGsynchronousMessage::~CRLMSGsynchronousMessage() {
  MutexLocker lock(mutex_);
  reply_signal_.Broadcast();
}

int CRLMSGsynchronousMessage::AddRef() {
  std::lock_guard<std::mutex> lock(Requests().mutex());
  return ++count_;
}

int CRLMSGsynchronousMessage::Release() {
  int left;
  {
    std::lock_guard<std::mutex> lock(Requests().mutex());
    left = --count_;
    // The reply path's reference is part of the count, so at zero the handle
    // is already unregistered: nothing can resolve this object any more.
  }
  // The base count is 1 throughout; its Release deletes.
  if (left == 0) CRLMSGmessage::Release();
  return left;
}

int CRLMSGsynchronousMessage::GetReferenceCount() const {
  std::lock_guard<std::mutex> lock(Requests().mutex());
  return count_;
}

void CRLMSGsynchronousMessage::Assign(const CRLMSGmessage& reply) {
  if (&reply == this) return;
  {
    MutexLocker lock(mutex_);
    if (replied_ || closed_) return;
    CRLMSGmessage::Assign(reply);
    MakeStorePrivate(this);
    replied_ = true;
  }
  // Signalled once the lock is free, so that the waiter does not wake only
  // to wait for it. The caller's reference keeps the object (and its
  // condition) alive until Assign returns, and the waiter tests the flag
  // before every wait, so no signal is lost.
  reply_signal_.Broadcast();
}

bool CRLMSGsynchronousMessage::HasReply() const {
  MutexLocker lock(mutex_);
  return replied_;
}

void CRLMSGsynchronousMessage::Close() {
  MutexLocker lock(mutex_);
  closed_ = true;
}

int CRLMSGsynchronousMessage::TimedOutLocked() {
  SetInt(ERRORCODE, kReplyTimedOut);
  return kReplyTimedOut;
}

int CRLMSGsynchronousMessage::WaitForReply(int timeout_seconds) {
  return WaitForReplyMs(int64_t{std::max(timeout_seconds, 0)} * 1000);
}

int CRLMSGsynchronousMessage::WaitForReplyMs(int64_t limit_ms) {
  const std::optional<int> pump = GetSettingsSource()->ReadModuleSetting(kDoPumpSetting);
  const bool pumping = pump.has_value();
  const uint32_t cancel_flag = pumping ? static_cast<uint32_t>(*pump) : 0;
  const bool slice_hook = HasWaitSliceHook();
  limit_ms = std::max<int64_t>(limit_ms, 0);
  // Time as the clock tells it, not as slices counted: a pumped event or a
  // host's notice callback may take long, and must not stretch the limit.
  const auto start = std::chrono::steady_clock::now();
  const auto elapsed = [start] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
  };

  MutexLocker lock(mutex_);
  // The predicate is the flag, not the signal: a reply that came before the
  // wait began, or between two waits, is not lost.
  while (!replied_ && !failed_) {
    if (elapsed() >= limit_ms) return TimedOutLocked();
    reply_signal_.WaitTimeout(kSliceMs);
    if (replied_ || failed_) break;
    if (elapsed() >= limit_ms) return TimedOutLocked();
    if (pumping && IsCancelFlagSet(cancel_flag)) {
      SetInt(ERRORCODE, kReplyCancelled);
      return kReplyCancelled;
    }
    if (pumping || slice_hook) {
      // Not under the lock: the pumped events may run for a while, and the
      // reply path needs the lock to deliver.
      mutex_.Unlock();
      try {
        if (pumping) RunPumpHook();
        RunWaitSliceHook();
      } catch (...) {
        // An event handler's failure must not end the wait.
      }
      mutex_.Lock();
    }
  }
  return GetErrorCode();
}

CRLMSGsynchronousMessage* CRLMSGsynchronousMessage::TakeReplyPath(uint32_t handle) {
  if (handle == 0) return nullptr;
  CRLMSGsynchronousMessage* waiting = nullptr;
  Requests().With(handle, [&waiting, handle](CRLMSGsynchronousMessage* message) {
    if (!message->reply_path_open_) return;
    message->reply_path_open_ = false;
    Requests().RemoveLocked(handle);
    waiting = message;  // the reply path's reference is ours now
  });
  return waiting;
}

bool CRLMSGsynchronousMessage::CompleteRequest(uint32_t handle, const CRLMSGmessage& reply) {
  CRLMSGsynchronousMessage* waiting = TakeReplyPath(handle);
  if (waiting == nullptr) return false;
  waiting->Assign(reply);
  waiting->Release();
  return true;
}

int CRLMSGsynchronousMessage::FailPendingRequests(int error_code) {
  std::vector<CRLMSGsynchronousMessage*> pending;
  {
    std::lock_guard<std::mutex> lock(Requests().mutex());
    pending = Requests().TakeAllLocked();
    // Each reply path's reference is ours now.
    for (CRLMSGsynchronousMessage* message : pending) message->reply_path_open_ = false;
  }
  for (CRLMSGsynchronousMessage* message : pending) message->FailAndRelease(error_code);
  return static_cast<int>(pending.size());
}

bool CRLMSGsynchronousMessage::FailRequest(uint32_t handle, int error_code) {
  CRLMSGsynchronousMessage* waiting = TakeReplyPath(handle);
  if (waiting == nullptr) return false;
  waiting->FailAndRelease(error_code);
  return true;
}

void CRLMSGsynchronousMessage::FailAndRelease(int error_code) {
  {
    MutexLocker lock(mutex_);
    if (!replied_ && !closed_) {
      SetInt(ERRORCODE, error_code);
      failed_ = true;
      reply_signal_.Broadcast();
    }
  }
  Release();
}

void CRLMSGsynchronousMessage::WithdrawReplyPath() {
  bool withdrawn = false;
  {
    std::lock_guard<std::mutex> lock(Requests().mutex());
    if (reply_path_open_) {
      reply_path_open_ = false;
      Requests().RemoveLocked(handle_);
      withdrawn = true;
    }
  }
  if (withdrawn) Release();
}

}  // namespace tw
