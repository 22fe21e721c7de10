// CRLMSGmessageID: the globally unique identifier of a message, of a file in
// transfer and of anything else that needs a name no other peer will pick.
//
// Sixteen GUID bytes in the Windows memory layout; the text form is the 36
// lower-case characters of Guid::ToText, which is what travels in identifier
// fields. Two identifiers are equal when their text forms are equal, that is
// when their bytes are equal. A value type: an object is used by one thread
// at a time; distinct objects are independent.
#ifndef TW_MESSAGING_MESSAGE_ID_H_
#define TW_MESSAGING_MESSAGE_ID_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/guid.h"

namespace tw {

class CRLMSGmessageID {
 public:
  // A new random identifier.
  CRLMSGmessageID();
  explicit CRLMSGmessageID(const Guid& guid) : guid_(guid) {}
  // From 16 raw bytes in GUID memory layout.
  static CRLMSGmessageID FromBytes(const uint8_t* sixteen_bytes);
  // From the 36-character text form (either letter case); null when the text
  // is not an identifier.
  static std::unique_ptr<CRLMSGmessageID> FromText(const std::string& text);

  CRLMSGmessageID(const CRLMSGmessageID&) = default;
  CRLMSGmessageID& operator=(const CRLMSGmessageID&) = default;
  virtual ~CRLMSGmessageID() = default;

  // The 36-character lower-case text form.
  virtual std::string ToText() const;
  // Copies the 16 bytes to `out`.
  virtual void GetBytes(uint8_t* out) const;
  // Takes the value of `other`.
  virtual void Assign(const CRLMSGmessageID& other);
  virtual bool Equals(const CRLMSGmessageID& other) const;

  const Guid& guid() const { return guid_; }

 private:
  Guid guid_;
};

}  // namespace tw

#endif  // TW_MESSAGING_MESSAGE_ID_H_
