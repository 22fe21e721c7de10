// The typed fields of a message and the copy-on-write store behind them.
//
// CRLMSGfieldStore holds the fields: a map from field id to a record (the
// sequence number of its last store, the type, the bytes). A running
// sequence counter numbers every store, so enumeration by sequence gives the
// order in which fields were last set. A store is shared by every field set
// copied from one another and counts its sharers.
//
// CRLMSGfieldSet is a handle on one store. Copying a handle shares the store;
// the first change through a handle whose store is shared clones the store
// first, so a copy is cheap until one side writes.
//
// Accessors return small result codes (FieldResult) and never throw; a
// failed read leaves the out-parameters as they were.
//
// Threads: not thread-safe, and the sharing count is a plain integer, so two
// handles that share a store must be used by one thread at a time even when
// each thread has its own handle. A field set (or the message built on it)
// may be handed to another thread whole, with every handle sharing its store.
#ifndef TW_MESSAGING_FIELD_SET_H_
#define TW_MESSAGING_FIELD_SET_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "messaging/field_ids.h"
#include "messaging/message_id.h"

namespace tw {

// Result codes of the field accessors.
enum FieldResult : int {
  kFieldOk = 0,
  kFieldNullArgument = 1,   // a required out-parameter or input pointer is null
  kFieldMissing = 2,        // no field with that id
  kFieldWrongType = 3,      // wrong type, or an int field whose length is not 4
  kFieldNoStore = 4,        // the handle has no store
  kFieldStreamFailed = -1,  // the byte source or sink failed
};

// Where field bytes go: the stream writer, a log file, a string.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes all `count` bytes; false on failure.
  virtual bool Write(const void* bytes, size_t count) = 0;
};

// Where field bytes come from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Delivers exactly `count` bytes; false when it cannot.
  virtual bool Read(void* bytes, size_t count) = 0;
};

// A sink that appends to a string the caller owns.
class StringSink : public ByteSink {
 public:
  explicit StringSink(std::string* text) : text_(text) {}
  bool Write(const void* bytes, size_t count) override {
    text_->append(static_cast<const char*>(bytes), count);
    return true;
  }

 private:
  std::string* const text_;
};

// One field: the sequence number of its last store, its type and its bytes.
struct FieldRecord {
  uint32_t sequence = 0;
  uint32_t type = 0;
  std::string bytes;  // the length is bytes.size(), at most UINT32_MAX
};

// The shared store. Only CRLMSGfieldSet creates, shares and frees stores.
struct CRLMSGfieldStore {
  std::map<uint32_t, FieldRecord> fields;  // ordered by id
  uint32_t sequence = 0;                   // number of the last store
  int references = 1;                      // sharing handles; plain, not atomic
};

class CRLMSGfieldSet {
 public:
  // A handle on a new empty store.
  CRLMSGfieldSet();
  // Shares the store of `other`.
  CRLMSGfieldSet(const CRLMSGfieldSet& other);
  // Releases the old store and shares the store of `other`.
  CRLMSGfieldSet& operator=(const CRLMSGfieldSet& other);
  // Takes the store of `other`, which is left without a store (every
  // accessor of it then answers kFieldNoStore).
  CRLMSGfieldSet(CRLMSGfieldSet&& other) noexcept;
  CRLMSGfieldSet& operator=(CRLMSGfieldSet&& other) noexcept;
  virtual ~CRLMSGfieldSet();

  // Type and byte length of the field.
  virtual int GetFieldInfo(uint32_t id, uint32_t* type, uint32_t* length) const;
  virtual int GetFieldType(uint32_t id, uint32_t* type) const;
  // A copy of the bytes.
  virtual int GetFieldData(uint32_t id, std::string* bytes) const;
  // Type 3 only: a new identifier built from the stored text. A type 3 field
  // whose text is not an identifier answers kFieldWrongType.
  virtual int GetIdentifier(uint32_t id, std::unique_ptr<CRLMSGmessageID>* identifier) const;
  // Lists split as the wire's lists do (platform/list_text.h): empty
  // elements are kept, so n separators give n + 1 elements and the empty
  // text one empty element.
  // Replaces `bits`. Type 1: the elements split on "?", "1" true and anything
  // else false; type 2: one element, true when the value is 1.
  virtual int GetBoolList(uint32_t id, std::vector<bool>* bits) const;
  // Types 1 and 5: the value split on `separator`; replaces `list`. An empty
  // separator gives the value whole.
  virtual int GetStringList(uint32_t id, std::vector<std::string>* list,
                            const std::string& separator) const;
  // Types 1 and 5.
  virtual int GetString(uint32_t id, std::string* value) const;
  // Appends to `list`. Type 1: each "?"-separated element by atoi's rules;
  // type 2: the one value.
  virtual int GetIntList(uint32_t id, std::vector<int>* list) const;
  // Type 2 of length 4.
  virtual int GetInt(uint32_t id, int* value) const;
  // Writes the bytes to `sink`; kFieldStreamFailed when the sink fails.
  virtual int GetFieldToSink(uint32_t id, uint32_t* type, uint32_t* length, ByteSink* sink) const;
  virtual int GetRawField(uint32_t id, uint32_t* type, std::string* bytes) const;
  // The element `index` of a list field; see the .cc for the rules.
  virtual std::string GetListElement(uint32_t id, int index) const;

  // Stores the identifier's text as type 3.
  virtual int SetIdentifier(uint32_t id, const CRLMSGmessageID* identifier);
  // Each bit as "0" or "1", joined by "?", type 1.
  virtual int SetBoolList(uint32_t id, const std::vector<bool>& bits);
  // The elements joined by `separator`, type 1.
  virtual int SetStringList(uint32_t id, const std::vector<std::string>& list,
                            const std::string& separator);
  virtual int SetString(uint32_t id, const std::string& value);
  // One element: type 2; otherwise each "%d" joined by "?", type 1.
  virtual int SetIntList(uint32_t id, const std::vector<int>& list);
  virtual int SetInt(uint32_t id, int value);
  // Reads exactly `length` bytes from `source` and stores them;
  // kFieldStreamFailed (the field unchanged) when the read fails.
  virtual int SetFieldFromSource(uint32_t id, uint32_t type, uint32_t length, ByteSource* source);
  // Stores a copy of `length` bytes, replacing any field of that id; the
  // field moves to the end of the enumeration order.
  virtual int SetRawField(uint32_t id, uint32_t type, const void* bytes, size_t length);
  virtual int RemoveField(uint32_t id);
  // Appends every field id in the order in which the fields were last set.
  virtual int GetFieldIds(std::vector<uint32_t>* ids) const;

  bool HasStore() const { return store_ != nullptr; }
  // True when both handles share one store (for diagnostics and tests).
  bool SharesStoreWith(const CRLMSGfieldSet& other) const {
    return store_ != nullptr && store_ == other.store_;
  }

 private:
  // The record of `id`, or null; `*result` tells why not.
  const FieldRecord* Find(uint32_t id, int* result) const;
  // Gives this handle a store of its own when the store is shared.
  void Unshare();
  void ReleaseStore();

  CRLMSGfieldStore* store_;  // shared; freed by the last handle
};

}  // namespace tw

#endif  // TW_MESSAGING_FIELD_SET_H_
