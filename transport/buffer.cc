#include "transport/buffer.h"

#include <cryptopp/misc.h>

#include <cstring>
#include <new>
#include <stdexcept>

namespace tw {

namespace {

[[noreturn]] void ThrowOverflow() {
  throw std::runtime_error("Buffer overflow");
}

[[noreturn]] void ThrowOutOfMemory() {
  throw std::runtime_error("CIOBufferSimple: Out of memory");
}

}  // namespace

BufferRef CIOBufferSimple::Create(int32_t capacity) {
  if (capacity < 0) ThrowOutOfMemory();
  CIOBufferSimple* buffer = nullptr;
  try {
    buffer = new CIOBufferSimple(capacity);
  } catch (const std::bad_alloc&) {
    ThrowOutOfMemory();
  }
  // The new buffer's count of 1 becomes the returned reference's.
  return BufferRef(buffer, false);
}

CIOBufferSimple::CIOBufferSimple(int32_t capacity)
    : capacity_(capacity), data_(static_cast<size_t>(capacity)) {}

void CIOBufferSimple::AddRef() {
  references_.fetch_add(1, std::memory_order_relaxed);
}

void CIOBufferSimple::Release() {
  if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void CIOBufferSimple::Append(const void* bytes, size_t count) {
  if (count > static_cast<size_t>(capacity_ - length_)) ThrowOverflow();
  if (count == 0) return;
  std::memcpy(data_.data() + length_, bytes, count);
  length_ += static_cast<int32_t>(count);
}

void CIOBufferSimple::Assign(const void* bytes, size_t count) {
  if (count > static_cast<size_t>(capacity_)) ThrowOverflow();
  // The source may lie inside this buffer.
  if (count > 0) std::memmove(data_.data(), bytes, count);
  if (static_cast<int32_t>(count) < length_) {
    CryptoPP::SecureWipeBuffer(data_.data() + count, length_ - count);
  }
  length_ = static_cast<int32_t>(count);
}

void CIOBufferSimple::SetLength(int32_t length) {
  if (length < 0 || length > capacity_) ThrowOverflow();
  length_ = length;
}

void CIOBufferSimple::Reset() {
  if (length_ > 0) CryptoPP::SecureWipeBuffer(data_.data(), static_cast<size_t>(length_));
  length_ = 0;
  selector_ = 0;
  compress_ = first_ = last_ = failed_ = file_content_ = 0;
}

void CIOBufferSimple::SetSelector(uint32_t selector) {
  selector_ = selector;
  if (selector != 0) compress_ = 1;
}

bool CIOBufferSimple::SetPartKind(int kind) {
  switch (kind) {
    case kPartFirst:
      first_ = 1, last_ = 0, failed_ = 0;
      return true;
    case kPartMiddle:
      first_ = 0, last_ = 0, failed_ = 0;
      return true;
    case kPartLast:
      first_ = 0, last_ = 1, failed_ = 0;
      return true;
    case kPartWhole:
      first_ = 1, last_ = 1, failed_ = 0;
      return true;
    case kPartFailed:
      failed_ = 1;
      return true;
    default:
      return false;
  }
}

}  // namespace tw
