// CRLMSGmessage: every request, reply, local notice and log line of the
// system. A message is a field set (messaging/field_set.h) plus its own
// identifier, kept both as an owned CRLMSGmessageID and in field MESSAGEID,
// and a plain reference count.
//
// Ownership: a message is made with new (count 1) and freed by the Release
// that brings its count to 0; it is never deleted directly. MessagePtr
// holds one reference and releases it on destruction, so callers cannot
// forget a Release.
//
// Threads: a message is not thread-safe and its counts are plain integers.
// It is handed from thread to thread whole (queues pass the one reference
// along), never used by two threads at once; every message sharing its field
// store (copies not yet written to) must travel with it.
#ifndef TW_MESSAGING_MESSAGE_H_
#define TW_MESSAGING_MESSAGE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "messaging/field_set.h"
#include "messaging/message_id.h"
#include "messaging/scratch_files.h"

namespace tw {

class PropertyTree;
class MessagePtr;

class CRLMSGmessage : public CRLMSGfieldSet {
 public:
  // A new message: a new identifier, stored in MESSAGEID; count 1.
  CRLMSGmessage();
  // A new message known by `identifier` from the start (a reply, a message
  // read from the wire): no identifier of its own is made first.
  explicit CRLMSGmessage(const CRLMSGmessageID& identifier);
  // Shares the field store of `other` and takes a copy of its identifier
  // (a separate object of the same value); count 1, no children.
  CRLMSGmessage(const CRLMSGmessage& other);
  CRLMSGmessage& operator=(const CRLMSGmessage&) = delete;

  // Virtual so that a message shared between threads (the synchronous
  // request) can count under a lock of its own; MessagePtr works for both.
  virtual int AddRef();
  // Count − 1; deletes the message at 0. Returns the new count.
  virtual int Release();

  // Appends one field element line per field, in GetFieldIds order:
  //   "\t\t<f n=<id> s=<size> t=<type>><value></f>\n"
  // A file-list field is written as type 4 holding the content of the file
  // it names (one zero byte when it cannot be read). `*size` receives the
  // number of bytes written. False when the sink fails.
  virtual bool WriteFieldElements(ByteSink* sink, uint64_t* size) const;
  // Takes a copy of the identifier of `other` and shares its field store.
  virtual void Assign(const CRLMSGmessage& other);
  // Takes over the caller's reference; children are released with the
  // message.
  virtual void AddChild(MessagePtr child);
  virtual const CRLMSGmessageID& GetIdentifierObject() const;
  // Makes `identifier` the message's own: the identifier object and field
  // MESSAGEID both take its value.
  void SetIdentifierObject(const CRLMSGmessageID& identifier);
  // Writes the message into `tree` under "L", replacing what was there:
  // "L/N" the command, "L/T" the identifier text, and "L/F/<id>/T" and
  // "L/F/<id>/V" the type and value of each field in GetFieldIds order. A binary field (or one of a
  // type unknown here) stops it: `tree` is left unchanged, a binary field is reported in a message
  // box, and the result is false.
  virtual bool MessageToXML(PropertyTree* tree) const;
  // The reverse: sets the command, the identifier and every field of the
  // tree (file lists come back as strings). Fields the tree does not name
  // stay as they were. False, with the message unchanged, when the tree is
  // not a message or holds a binary field (reported in a message box).
  virtual bool XMLToMessage(const PropertyTree& tree);
  // The diagnostic text dump; always true.
  virtual bool Dump(std::string* text) const;
  // The text of field MESSAGEID, or empty.
  virtual std::string GetIdentifierText() const;
  // Field COMMAND, or empty.
  virtual std::string GetCommand() const;
  // Field ERRORCODE; 0 when it is absent.
  virtual int GetErrorCode() const;

  size_t child_count() const;

  // The scratch files the message reader created for this received message
  // (null for any other message). Copies and Assign share the set; the last
  // holder's release removes the files nobody took.
  const ScratchFilesRef& scratch_files() const { return scratch_files_; }
  void SetScratchFiles(ScratchFilesRef files) { scratch_files_ = std::move(files); }

 protected:
  // Only Release deletes a message.
  ~CRLMSGmessage() override;

 private:
  std::vector<MessagePtr> children_;
  std::unique_ptr<CRLMSGmessageID> identifier_;
  ScratchFilesRef scratch_files_;
  int references_ = 1;
};

// Owns one reference to a message.
class MessagePtr {
 public:
  MessagePtr() = default;
  MessagePtr(std::nullptr_t) {}
  // Takes over a reference the caller holds (e.g. from new).
  static MessagePtr Adopt(CRLMSGmessage* message) { return MessagePtr(message); }
  // Takes a reference of its own.
  static MessagePtr Share(CRLMSGmessage* message) {
    if (message != nullptr) message->AddRef();
    return MessagePtr(message);
  }

  MessagePtr(const MessagePtr& other) : message_(other.message_) {
    if (message_ != nullptr) message_->AddRef();
  }
  MessagePtr(MessagePtr&& other) noexcept : message_(other.message_) { other.message_ = nullptr; }
  MessagePtr& operator=(MessagePtr other) noexcept {
    std::swap(message_, other.message_);
    return *this;
  }
  ~MessagePtr() { reset(); }

  void reset() {
    if (message_ != nullptr) std::exchange(message_, nullptr)->Release();
  }
  // Gives the reference to the caller, who must Release it.
  CRLMSGmessage* release() { return std::exchange(message_, nullptr); }

  CRLMSGmessage* get() const { return message_; }
  CRLMSGmessage* operator->() const { return message_; }
  CRLMSGmessage& operator*() const { return *message_; }
  explicit operator bool() const { return message_ != nullptr; }

 private:
  explicit MessagePtr(CRLMSGmessage* message) : message_(message) {}
  CRLMSGmessage* message_ = nullptr;
};

// A new message.
MessagePtr NewMessage();
// A new message known by `identifier` (see the constructor).
MessagePtr NewMessage(const CRLMSGmessageID& identifier);
// A copy of `message`: same identifier value, shared field store.
MessagePtr CopyMessage(const CRLMSGmessage& message);

}  // namespace tw

#endif  // TW_MESSAGING_MESSAGE_H_
