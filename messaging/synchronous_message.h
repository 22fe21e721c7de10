// CRLMSGsynchronousMessage: a request's waiting end. The sender creates one
// per request, puts its handle into the request's SYNCHRONOUSREQUEST field
// and waits on it; the server returns the field unchanged in its reply, and
// the reply path resolves the handle and fills the object with the reply.
//
// Counting. The count starts at 2: one reference for the waiting caller
// (returned by Create) and one for the reply path, which is held by the
// handle's registration. The first reply that resolves the handle takes that
// reference over and unregisters the handle, fills the object, wakes the
// waiter and releases the reference; so a reply reaches its request exactly
// once, and a later reply with the same handle - or any reply once both
// references are gone - resolves to nothing and is dropped. A reply that
// comes after the caller gave up finds the object still alive and releases
// it. Resolving and taking the reference happen under the lock that also
// guards the count and the removal of the handle, so a reply can never take
// hold of an object whose last reference is being released.
//
// Reading the reply. Until a reply has been accepted or the waiter has
// called Close, the reply path may write the object's fields; the waiter
// reads them only after WaitForReply returned with HasReply() true, or after
// Close. Close ends acceptance: a reply arriving afterwards is dropped.
//
// Threads: `count_`, `reply_path_open_` and the handle registration are
// guarded by the lock of the process-wide request registry; `replied_`,
// `closed_` and every change of the fields after Create are guarded by
// `mutex_`, the mutex of `reply_signal_`. The destructor signals the
// condition before destroying it, so a waiter never sleeps on a dead
// condition.
#ifndef TW_MESSAGING_SYNCHRONOUS_MESSAGE_H_
#define TW_MESSAGING_SYNCHRONOUS_MESSAGE_H_

#include <cstddef>
#include <cstdint>
#include <utility>

#include "messaging/field_ids.h"
#include "messaging/message.h"
#include "platform/sync.h"

namespace tw {

// ERRORCODE values of a synchronous request besides the server's own codes.
constexpr int kReplyPending = -1;                   // no reply yet (the initial value)
constexpr int kReplyTimedOut = -4;                  // the wait timed out
constexpr int kReplyCancelled = 5;                  // the user's cancel flag ended the wait
constexpr int kReplyCutOff = kErrorTransferCutOff;  // the reply's files were cut off
constexpr int kReplyConnectionLost = -5;  // the connection went down before the reply came

class CRLMSGsynchronousMessage;

// Owns one reference to a synchronous message.
class SynchronousMessagePtr {
 public:
  SynchronousMessagePtr() = default;
  SynchronousMessagePtr(const SynchronousMessagePtr&) = delete;
  SynchronousMessagePtr& operator=(const SynchronousMessagePtr&) = delete;
  SynchronousMessagePtr(SynchronousMessagePtr&& other) noexcept
      : message_(std::exchange(other.message_, nullptr)) {}
  SynchronousMessagePtr& operator=(SynchronousMessagePtr&& other) noexcept {
    if (this != &other) {
      reset();
      message_ = std::exchange(other.message_, nullptr);
    }
    return *this;
  }
  ~SynchronousMessagePtr() { reset(); }

  // Takes over a reference the caller holds.
  static SynchronousMessagePtr Adopt(CRLMSGsynchronousMessage* message) {
    SynchronousMessagePtr p;
    p.message_ = message;
    return p;
  }
  void reset();
  CRLMSGsynchronousMessage* get() const { return message_; }
  CRLMSGsynchronousMessage* operator->() const { return message_; }
  explicit operator bool() const { return message_ != nullptr; }

 private:
  CRLMSGsynchronousMessage* message_ = nullptr;
};

class CRLMSGsynchronousMessage : public CRLMSGmessage {
 public:
  // Length of one wait slice.
  static constexpr int kSliceMs = 10;

  // A new request end: ERRORCODE -1, count 2, a new handle, the nil
  // identifier (a reply brings its own). Returns the
  // waiter's reference; the reply path's reference stays with the handle.
  // When the process has no handles left, GetHandle is 0, no reply can come
  // and the count is 1.
  static SynchronousMessagePtr Create();

  // The handle for the request's SYNCHRONOUSREQUEST field.
  uint32_t GetHandle() const { return handle_; }

  // Thread-safe counting; the last Release deletes the object.
  int AddRef() override;
  int Release() override;
  int GetReferenceCount() const;

  // Accepts `reply` when no reply has been accepted and Close has not been
  // called: takes its identifier and fields (in a store of this object's own,
  // so the reply may go on to other threads) and wakes the waiter. Otherwise
  // does nothing. Called on the thread that owns `reply`.
  void Assign(const CRLMSGmessage& reply) override;

  // Waits for the reply at most `timeout_seconds`, in slices of 10 ms (a
  // request failed by FailPendingRequests ends the wait at once).
  // When the setting "CRLMSGsynchronousMessage/DoPump" exists, pumping is
  // on: between slices a set cancel flag (the setting's value names it) ends
  // the wait with ERRORCODE 5, and otherwise the pump hook runs. The
  // calling thread's slice hook (pump_hook.h) runs between slices whether
  // pumping is on or not. Time-out sets ERRORCODE -4. Returns ERRORCODE (0 when the reply has
  // none). Called by the waiting caller; may be called again after a time-out.
  int WaitForReply(int timeout_seconds);
  // The same with the limit in milliseconds (a request's deadline rarely
  // falls on a whole second).
  int WaitForReplyMs(int64_t limit_ms);

  // Whether a reply has been accepted.
  bool HasReply() const;
  // No reply is accepted from now on; the object's fields stay as they are.
  void Close();

  // The reply path: when `handle` names a request whose reply path is still
  // open, takes that reference over, Assigns `reply`, and releases the
  // reference; true. False when the handle names no such request.
  static bool CompleteRequest(uint32_t handle, const CRLMSGmessage& reply);

  // Ends every wait in the process at once, without a reply: each waiting
  // request's ERRORCODE becomes `error_code` and its reply path is closed
  // (a reply arriving later is dropped). For a lost connection, whose
  // replies will never come. Returns how many requests were failed.
  static int FailPendingRequests(int error_code);
  // The same for the one request `handle` names; false when it names none.
  static bool FailRequest(uint32_t handle, int error_code);

  // Drops the reply path's reference without a reply, for a request that
  // never left (its send failed). The handle resolves to nothing afterwards.
  // Does nothing when the reply path has already been used.
  void WithdrawReplyPath();

 protected:
  // Only the last Release deletes the object.
  ~CRLMSGsynchronousMessage() override;

 private:
  CRLMSGsynchronousMessage();
  int TimedOutLocked();
  // Closes the reply path of the request `handle` names and hands its
  // reference to the caller; null when no open request has that handle.
  static CRLMSGsynchronousMessage* TakeReplyPath(uint32_t handle);
  // Ends the wait without a reply (unless one came) and drops the reply
  // path's reference, which the caller has taken over.
  void FailAndRelease(int error_code);

  uint32_t handle_ = 0;          // set by Create before the object is shared
  int count_ = 2;                // guarded by the request registry's lock
  bool reply_path_open_ = true;  // guarded by the request registry's lock

  mutable Mutex mutex_;
  Condition reply_signal_;  // uses mutex_
  bool replied_ = false;    // guarded by mutex_
  bool failed_ = false;     // guarded by mutex_: ended by FailPendingRequests
  bool closed_ = false;     // guarded by mutex_
};

inline void SynchronousMessagePtr::reset() {
  if (message_ != nullptr) std::exchange(message_, nullptr)->Release();
}

}  // namespace tw

#endif  // TW_MESSAGING_SYNCHRONOUS_MESSAGE_H_
