// Recipients and the recipient registry.
//
// A recipient is whatever consumes messages addressed to a small integer
// recipient id: 17 the client session, 3 the server side of requests, 1 the
// source of locally posted log lines; the local channels assign further ids.
// The registry keeps (id, recipient) pairs in registration order and routes a
// message to the first recipient of its target id, or to every recipient
// when the message is a broadcast and the registry allows broadcasts.
//
// Threads: one recursive lock guards the pairs and is held while a
// recipient's OnMessage runs, so that no recipient is unregistered (and then
// freed by its owner) while it handles a message. Recipients should not
// register or unregister from inside OnMessage; if one does, the change is
// safe (routing walks the pairs by index and rereads them after each call)
// but a broadcast in progress may skip or repeat a recipient. The registry
// does not own its recipients; an owner unregisters before freeing one.
#ifndef TW_MESSAGING_RECIPIENT_REGISTRY_H_
#define TW_MESSAGING_RECIPIENT_REGISTRY_H_

#include <mutex>
#include <utility>
#include <vector>

#include "messaging/field_ids.h"
#include "messaging/message.h"

namespace tw {

// Recipient ids of the system.
constexpr int kRecipientLogSource = 1;
// The recipient a message to the server is addressed to on the server's
// side, stamped by the connection as the message leaves.
constexpr int kRecipientServerSide = 1;
constexpr int kRecipientServer = 3;
constexpr int kRecipientClientSession = 17;

// "LOG": a line for the log, broadcast by the layers below the session.
constexpr char kLogCommand[] = "LOG";
constexpr uint32_t kLogFieldText = ParameterId(1);

class RecipientRegistry;

class Recipient {
 public:
  // Slot 0.
  virtual ~Recipient() = default;
  // Slot 1. Registers this recipient under its id in `registry`; returns
  // the result of Register.
  virtual int Attach(RecipientRegistry* registry) = 0;
  // Slot 2. Handles one message; the caller keeps its reference. The result
  // is passed back by Route.
  virtual int OnMessage(CRLMSGmessage* message) = 0;
  // Slot 3. Reserved; answers -1.
  virtual int Reserved() { return -1; }
};

class RecipientRegistry {
 public:
  explicit RecipientRegistry(bool broadcast_allowed) : broadcast_allowed_(broadcast_allowed) {}
  RecipientRegistry(const RecipientRegistry&) = delete;
  RecipientRegistry& operator=(const RecipientRegistry&) = delete;

  // Appends (id, recipient); 0. An id already present keeps its recipient
  // (still 0). -1 for a null recipient.
  int Register(Recipient* recipient, int id);
  // Removes the pair of `id`; later pairs move down. 0, or -1 when the id is
  // not registered.
  int Unregister(int id);
  bool IsRegistered(int id) const;
  // A message whose BROADCAST field is non-zero goes, when broadcasts are
  // allowed, to every recipient in registration order; the result is 0.
  // Otherwise the first recipient of `target_id` handles it and its result is
  // returned; -1 when there is none (or `message` is null).
  int Route(int target_id, CRLMSGmessage* message);

 private:
  const bool broadcast_allowed_;
  mutable std::recursive_mutex mutex_;
  std::vector<std::pair<int, Recipient*>> entries_;  // guarded by mutex_
};

}  // namespace tw

#endif  // TW_MESSAGING_RECIPIENT_REGISTRY_H_
