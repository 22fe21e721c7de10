// The progress record, written field by field at its offsets so that no
// compiler padding or pointer width can change its bytes.
#include "messaging/stream_format.h"

#include <algorithm>
#include <cstring>

namespace tw {
namespace {

void PutHostU32(std::string* record, size_t offset, uint32_t value) {
  std::memcpy(&(*record)[offset], &value, sizeof value);
}

// Low word first, each word in host order.
void PutHostU64(std::string* record, size_t offset, uint64_t value) {
  PutHostU32(record, offset, static_cast<uint32_t>(value));
  PutHostU32(record, offset + 4, static_cast<uint32_t>(value >> 32));
}

}  // namespace

std::string MakeProgressRecord(uint32_t kind, const std::string& name, uint64_t size,
                               uint64_t done) {
  std::string record(kProgressRecordSize, '\0');
  PutHostU32(&record, kProgressKindOffset, kind);
  const size_t name_length = std::min(name.size(), kProgressNameSize - 1);
  std::memcpy(&record[kProgressNameOffset], name.data(), name_length);
  PutHostU64(&record, kProgressSizeOffset, size);
  PutHostU64(&record, kProgressDoneOffset, done);
  return record;
}

}  // namespace tw
