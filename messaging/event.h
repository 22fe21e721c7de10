// Event: the unit a dispatcher runs - a handler to call on a target object
// with a message.
//
// The target is a reference node held through a RefPointer, so an event
// whose target has been destroyed is simply not delivered. The handler is a
// member function of the target's class, bound type-safely with Bind; the
// target pointer is adjusted to that class (through its virtual node base)
// when the event runs. The message is the event's own copy: copying an event
// copies the message sharing its field store, and PrivateCopy gives the copy
// a store of its own for handing the event to another thread.
//
// Targets: Deliver keeps the target from being collected during the call (it
// links a second handle to it for the duration), but it cannot keep an owner
// from destroying the target meanwhile. Whoever owns a target removes the
// events that name it (ClearCallbacks, a stopped dispatcher) before freeing
// it, or frees it only on the thread that runs its events.
//
// Threads: an event is a value used by one thread at a time, like the
// message inside it.
#ifndef TW_MESSAGING_EVENT_H_
#define TW_MESSAGING_EVENT_H_

#include <functional>
#include <utility>

#include "messaging/message.h"
#include "messaging/reference.h"

namespace tw {

class Event {
 public:
  // The call an event makes: the target (already adjusted by the binding)
  // and the event's message.
  using Handler = std::function<bool(CRLreferenceNode* target, CRLMSGmessage* message)>;

  // An empty event: no target, no handler, an empty message; Deliver fails.
  Event();
  // `handler` on `target`, with a copy of `message` (or an empty message).
  Event(CRLreferenceNode* target, Handler handler, const CRLMSGmessage* message = nullptr);
  // Shares the message's field store; the target handle links anew.
  Event(const Event& other);
  Event& operator=(const Event& other);
  ~Event();

  // An event that calls `(target->*method)(message)`. T derives (virtually or
  // not) from CRLreferenceNode.
  template <typename T>
  static Event Bind(T* target, bool (T::*method)(CRLMSGmessage*),
                    const CRLMSGmessage* message = nullptr) {
    Handler handler;
    if (method != nullptr) {
      handler = [method](CRLreferenceNode* node, CRLMSGmessage* m) {
        T* object = dynamic_cast<T*>(node);
        return object != nullptr && (object->*method)(m);
      };
    }
    return Event(target, std::move(handler), message);
  }

  // A copy whose message shares nothing with this one's.
  Event PrivateCopy() const;

  // Runs the event: false when the target is gone (or being destroyed) or
  // there is no handler; otherwise the handler's result. An exception thrown
  // by the handler is caught and dropped; the result is then false.
  bool Deliver();

  // The event's message (never null).
  CRLMSGmessage* message() const { return message_.get(); }
  // The target, or null once it is destroyed. See Get of RefPointer.
  CRLreferenceNode* target() const { return target_.Get(); }
  bool has_handler() const { return static_cast<bool>(handler_); }

 private:
  RefPointer target_;
  Handler handler_;
  MessagePtr message_;
};

}  // namespace tw

#endif  // TW_MESSAGING_EVENT_H_
