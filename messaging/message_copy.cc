#include "messaging/message_copy.h"

#include <cstdint>

namespace tw {

void MakeStorePrivate(CRLMSGfieldSet* fields) {
  if (fields == nullptr || !fields->HasStore()) return;
  // The field set clones a shared store on its first change. Setting and
  // removing a field that is not there changes nothing else: the remaining
  // fields keep their values and their order.
  uint32_t spare = UINT32_MAX;
  uint32_t type = 0;
  while (fields->GetFieldType(spare, &type) != kFieldMissing) --spare;
  fields->SetRawField(spare, FIELD_INT, nullptr, 0);
  fields->RemoveField(spare);
}

MessagePtr CopyMessagePrivate(const CRLMSGmessage& message) {
  MessagePtr copy = CopyMessage(message);
  MakeStorePrivate(copy.get());
  return copy;
}

}  // namespace tw
