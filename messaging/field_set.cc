#include "messaging/field_set.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/decimal.h"
#include "platform/list_text.h"

namespace tw {

namespace {

// SetFieldFromSource grows its buffer by at most this much per read, so a
// length that the source cannot back is never allocated up front.
constexpr size_t kSourceBlock = 64 * 1024;

bool IsInt(const FieldRecord& r) {
  return r.type == FIELD_INT && r.bytes.size() == sizeof(int);
}

int IntOf(const FieldRecord& r) {
  int value = 0;
  std::memcpy(&value, r.bytes.data(), sizeof value);
  return value;
}

bool IsText(const FieldRecord& r) {
  return r.type == FIELD_STRING || r.type == FIELD_FILELIST;
}

}  // namespace

CRLMSGfieldSet::CRLMSGfieldSet() : store_(new CRLMSGfieldStore) {}

CRLMSGfieldSet::CRLMSGfieldSet(const CRLMSGfieldSet& other) : store_(other.store_) {
  if (store_ != nullptr) ++store_->references;
}

CRLMSGfieldSet& CRLMSGfieldSet::operator=(const CRLMSGfieldSet& other) {
  if (store_ == other.store_) return *this;
  // Take the new reference first, so that releasing the old store can never
  // free the one being shared.
  CRLMSGfieldStore* incoming = other.store_;
  if (incoming != nullptr) ++incoming->references;
  ReleaseStore();
  store_ = incoming;
  return *this;
}

CRLMSGfieldSet::CRLMSGfieldSet(CRLMSGfieldSet&& other) noexcept : store_(other.store_) {
  other.store_ = nullptr;
}

CRLMSGfieldSet& CRLMSGfieldSet::operator=(CRLMSGfieldSet&& other) noexcept {
  if (this != &other) {
    ReleaseStore();
    store_ = std::exchange(other.store_, nullptr);
  }
  return *this;
}

CRLMSGfieldSet::~CRLMSGfieldSet() {
  ReleaseStore();
}

void CRLMSGfieldSet::ReleaseStore() {
  if (store_ != nullptr && --store_->references == 0) delete store_;
  store_ = nullptr;
}

void CRLMSGfieldSet::Unshare() {
  if (store_->references <= 1) return;
  auto* clone = new CRLMSGfieldStore;
  clone->fields = store_->fields;
  clone->sequence = store_->sequence;
  --store_->references;
  store_ = clone;
}

const FieldRecord* CRLMSGfieldSet::Find(uint32_t id, int* result) const {
  if (store_ == nullptr) {
    *result = kFieldNoStore;
    return nullptr;
  }
  auto it = store_->fields.find(id);
  if (it == store_->fields.end()) {
    *result = kFieldMissing;
    return nullptr;
  }
  *result = kFieldOk;
  return &it->second;
}

int CRLMSGfieldSet::GetFieldInfo(uint32_t id, uint32_t* type, uint32_t* length) const {
  if (type == nullptr || length == nullptr) return kFieldNullArgument;
  int result;
  const FieldRecord* r = Find(id, &result);
  if (r == nullptr) return result;
  *type = r->type;
  *length = static_cast<uint32_t>(r->bytes.size());
  return kFieldOk;
}

int CRLMSGfieldSet::GetFieldType(uint32_t id, uint32_t* type) const {
  if (type == nullptr) return kFieldNullArgument;
  int result;
  const FieldRecord* r = Find(id, &result);
  if (r == nullptr) return result;
  *type = r->type;
  return kFieldOk;
}

int CRLMSGfieldSet::GetFieldData(uint32_t id, std::string* bytes) const {
  if (bytes == nullptr) return kFieldNullArgument;
  int result;
  const FieldRecord* r = Find(id, &result);
  if (r == nullptr) return result;
  *bytes = r->bytes;
  return kFieldOk;
}

int CRLMSGfieldSet::GetIdentifier(uint32_t id, std::unique_ptr<CRLMSGmessageID>* identifier) const {
  if (identifier == nullptr) return kFieldNullArgument;
  int result;
  const FieldRecord* r = Find(id, &result);
  if (r == nullptr) return result;
  if (r->type != FIELD_IDENTIFIER) return kFieldWrongType;
  std::unique_ptr<CRLMSGmessageID> parsed = CRLMSGmessageID::FromText(r->bytes);
  if (!parsed) return kFieldWrongType;
  *identifier = std::move(parsed);
  return kFieldOk;
}

int CRLMSGfieldSet::GetBoolList(uint32_t id, std::vector<bool>* bits) const {
  if (bits == nullptr) return kFieldNullArgument;
  int result;
  const FieldRecord* r = Find(id, &result);
  if (r == nullptr) return result;
  if (r->type == FIELD_STRING) {
    std::vector<bool> out;
    for (const std::string& element : SplitList(r->bytes, kListSeparator))
      out.push_back(element == "1");
    *bits = std::move(out);
    return kFieldOk;
  }
  if (IsInt(*r)) {
    *bits = std::vector<bool>{IntOf(*r) == 1};
    return kFieldOk;
  }
  return kFieldWrongType;
}

int CRLMSGfieldSet::GetStringList(uint32_t id, std::vector<std::string>* list,
                                  const std::string& separator) const {
  if (list == nullptr) return kFieldNullArgument;
  int result;
  const FieldRecord* r = Find(id, &result);
  if (r == nullptr) return result;
  if (!IsText(*r)) return kFieldWrongType;
  *list = SplitList(r->bytes, separator);
  return kFieldOk;
}

int CRLMSGfieldSet::GetString(uint32_t id, std::string* value) const {
  if (value == nullptr) return kFieldNullArgument;
  int result;
  const FieldRecord* r = Find(id, &result);
  if (r == nullptr) return result;
  if (!IsText(*r)) return kFieldWrongType;
  *value = r->bytes;
  return kFieldOk;
}

int CRLMSGfieldSet::GetIntList(uint32_t id, std::vector<int>* list) const {
  if (list == nullptr) return kFieldNullArgument;
  int result;
  const FieldRecord* r = Find(id, &result);
  if (r == nullptr) return result;
  if (r->type == FIELD_STRING) {
    for (const std::string& element : SplitList(r->bytes, kListSeparator)) {
      list->push_back(DecimalToInt(element));
    }
    return kFieldOk;
  }
  if (IsInt(*r)) {
    list->push_back(IntOf(*r));
    return kFieldOk;
  }
  return kFieldWrongType;
}

int CRLMSGfieldSet::GetInt(uint32_t id, int* value) const {
  if (value == nullptr) return kFieldNullArgument;
  int result;
  const FieldRecord* r = Find(id, &result);
  if (r == nullptr) return result;
  if (!IsInt(*r)) return kFieldWrongType;
  *value = IntOf(*r);
  return kFieldOk;
}

int CRLMSGfieldSet::GetFieldToSink(uint32_t id, uint32_t* type, uint32_t* length,
                                   ByteSink* sink) const {
  if (type == nullptr || length == nullptr || sink == nullptr) return kFieldNullArgument;
  int result;
  const FieldRecord* r = Find(id, &result);
  if (r == nullptr) return result;
  if (!r->bytes.empty() && !sink->Write(r->bytes.data(), r->bytes.size())) {
    return kFieldStreamFailed;
  }
  *type = r->type;
  *length = static_cast<uint32_t>(r->bytes.size());
  return kFieldOk;
}

int CRLMSGfieldSet::GetRawField(uint32_t id, uint32_t* type, std::string* bytes) const {
  if (type == nullptr || bytes == nullptr) return kFieldNullArgument;
  int result;
  const FieldRecord* r = Find(id, &result);
  if (r == nullptr) return result;
  *type = r->type;
  *bytes = r->bytes;
  return kFieldOk;
}

// A string (or file-list) field is taken as a "?" list of texts, an int field
// as a list of one. An index inside the list gives that element; outside it,
// a list of exactly one element still gives that element (a single value
// answers every index), and anything else the empty string.
std::string CRLMSGfieldSet::GetListElement(uint32_t id, int index) const {
  std::vector<std::string> texts;
  if (GetStringList(id, &texts, kListSeparator) != kFieldOk) {
    std::vector<int> numbers;
    if (GetIntList(id, &numbers) != kFieldOk) return std::string();
    for (int n : numbers) texts.push_back(std::to_string(n));
  }
  if (index >= 0 && static_cast<size_t>(index) < texts.size()) return texts[index];
  if (texts.size() == 1) return texts[0];
  return std::string();
}

int CRLMSGfieldSet::SetIdentifier(uint32_t id, const CRLMSGmessageID* identifier) {
  if (identifier == nullptr) return kFieldNullArgument;
  const std::string text = identifier->ToText();
  return SetRawField(id, FIELD_IDENTIFIER, text.data(), text.size());
}

int CRLMSGfieldSet::SetBoolList(uint32_t id, const std::vector<bool>& bits) {
  std::string text;
  for (size_t i = 0; i < bits.size(); ++i) {
    if (i != 0) text += kListSeparator;
    text += bits[i] ? '1' : '0';
  }
  return SetRawField(id, FIELD_STRING, text.data(), text.size());
}

int CRLMSGfieldSet::SetStringList(uint32_t id, const std::vector<std::string>& list,
                                  const std::string& separator) {
  const std::string text = JoinList(list, separator);
  return SetRawField(id, FIELD_STRING, text.data(), text.size());
}

int CRLMSGfieldSet::SetString(uint32_t id, const std::string& value) {
  return SetRawField(id, FIELD_STRING, value.data(), value.size());
}

int CRLMSGfieldSet::SetIntList(uint32_t id, const std::vector<int>& list) {
  if (list.size() == 1) return SetInt(id, list[0]);
  std::string text;
  for (size_t i = 0; i < list.size(); ++i) {
    if (i != 0) text += kListSeparator;
    text += std::to_string(list[i]);
  }
  return SetRawField(id, FIELD_STRING, text.data(), text.size());
}

int CRLMSGfieldSet::SetInt(uint32_t id, int value) {
  return SetRawField(id, FIELD_INT, &value, sizeof value);
}

int CRLMSGfieldSet::SetFieldFromSource(uint32_t id, uint32_t type, uint32_t length,
                                       ByteSource* source) {
  if (source == nullptr) return kFieldNullArgument;
  if (store_ == nullptr) return kFieldNoStore;
  std::string bytes;
  while (bytes.size() < length) {
    const size_t block = std::min<size_t>(kSourceBlock, length - bytes.size());
    const size_t at = bytes.size();
    bytes.resize(at + block);
    if (!source->Read(&bytes[at], block)) return kFieldStreamFailed;
  }
  return SetRawField(id, type, bytes.data(), bytes.size());
}

int CRLMSGfieldSet::SetRawField(uint32_t id, uint32_t type, const void* bytes, size_t length) {
  if (bytes == nullptr && length != 0) return kFieldNullArgument;
  if (store_ == nullptr) return kFieldNoStore;
  // A field's length travels as 32 bits; a longer value cannot be a field.
  if (length > UINT32_MAX) return kFieldWrongType;
  Unshare();
  FieldRecord& r = store_->fields[id];
  r.sequence = ++store_->sequence;
  r.type = type;
  if (length == 0) {
    r.bytes.clear();
  } else {
    r.bytes.assign(static_cast<const char*>(bytes), length);
  }
  return kFieldOk;
}

int CRLMSGfieldSet::RemoveField(uint32_t id) {
  if (store_ == nullptr) return kFieldNoStore;
  if (store_->fields.count(id) == 0) return kFieldMissing;
  Unshare();
  store_->fields.erase(id);
  return kFieldOk;
}

int CRLMSGfieldSet::GetFieldIds(std::vector<uint32_t>* ids) const {
  if (ids == nullptr) return kFieldNullArgument;
  if (store_ == nullptr) return kFieldNoStore;
  std::vector<std::pair<uint32_t, uint32_t>> order;  // (sequence, id)
  order.reserve(store_->fields.size());
  for (const auto& [id, record] : store_->fields) order.emplace_back(record.sequence, id);
  std::sort(order.begin(), order.end());
  for (const auto& entry : order) ids->push_back(entry.second);
  return kFieldOk;
}

}  // namespace tw
