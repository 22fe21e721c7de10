#include "messaging/message_id.h"

#include <cstring>

namespace tw {

CRLMSGmessageID::CRLMSGmessageID() : guid_(Guid::New()) {}

CRLMSGmessageID CRLMSGmessageID::FromBytes(const uint8_t* sixteen_bytes) {
  return CRLMSGmessageID(Guid::FromBytes(sixteen_bytes));
}

std::unique_ptr<CRLMSGmessageID> CRLMSGmessageID::FromText(const std::string& text) {
  Guid guid;
  if (!Guid::FromText(text, &guid)) return nullptr;
  return std::make_unique<CRLMSGmessageID>(guid);
}

std::string CRLMSGmessageID::ToText() const {
  return guid_.ToText();
}

void CRLMSGmessageID::GetBytes(uint8_t* out) const {
  std::memcpy(out, guid_.bytes.data(), guid_.bytes.size());
}

void CRLMSGmessageID::Assign(const CRLMSGmessageID& other) {
  guid_ = other.guid_;
}

bool CRLMSGmessageID::Equals(const CRLMSGmessageID& other) const {
  return guid_ == other.guid_;
}

}  // namespace tw
