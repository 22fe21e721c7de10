// CIOBufferSimple: a reference-counted byte buffer of fixed capacity.
//
// The server connection builds every outgoing frame in one such buffer: the
// bytes of one piece, the flags that choose the frame code (part kind, file
// content, failed), the encryption selector and the compress flag; the frame
// writer (transport/frame_writer.h) then rewrites the bytes in place as the
// frame. The data block is allocated once, with the full capacity, and wiped
// when it is freed and whenever the buffer is reset, since it holds plain
// text before it is framed.
//
// Every write that would take the used length past the capacity throws
// std::runtime_error("Buffer overflow") and changes nothing; a data block that
// cannot be allocated throws std::runtime_error("CIOBufferSimple: Out of
// memory").
//
// Threads. The reference count changes atomically, so references may be
// taken and dropped on any thread. Nothing else is guarded by the buffer
// itself: the owners that share one buffer between threads hold its lock
// (Lock()) around every other call; the buffer never takes it.
#ifndef TW_TRANSPORT_BUFFER_H_
#define TW_TRANSPORT_BUFFER_H_

#include <atomic>
#include <boost/smart_ptr/intrusive_ptr.hpp>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "crypto/crypto.h"

namespace tw {

class CIOBufferSimple;

// An owning reference; the last one to go frees the buffer.
using BufferRef = boost::intrusive_ptr<CIOBufferSimple>;

class CIOBufferSimple {
 public:
  // Values of SetPartKind.
  enum PartKind : int {
    kPartFirst = 1,
    kPartMiddle = 2,
    kPartLast = 3,
    kPartWhole = 4,
    kPartFailed = 5,
  };

  // A new, empty buffer of `capacity` bytes with a reference count of 1,
  // owned by the returned reference. A negative capacity or a failed
  // allocation throws "CIOBufferSimple: Out of memory".
  static BufferRef Create(int32_t capacity);

  CIOBufferSimple(const CIOBufferSimple&) = delete;
  CIOBufferSimple& operator=(const CIOBufferSimple&) = delete;

  // The reference count, starting at 1 for Create's reference. Release
  // frees the buffer when the count drops to 0. BufferRef calls both.
  void AddRef();
  void Release();

  uint8_t* Data() { return data_.data(); }
  const uint8_t* Data() const { return data_.data(); }
  int32_t Length() const { return length_; }
  int32_t Capacity() const { return capacity_; }

  // Appends `count` bytes; "Buffer overflow" when they do not fit.
  void Append(const void* bytes, size_t count);
  // Replaces the contents with `count` bytes; "Buffer overflow" (contents
  // unchanged) when they do not fit.
  void Assign(const void* bytes, size_t count);
  // Sets the used length after the caller wrote into Data(); "Buffer
  // overflow" when it is negative or beyond the capacity.
  void SetLength(int32_t length);

  // Empties the buffer (its used bytes are wiped) and clears the selector
  // and every flag.
  void Reset();

  uint32_t Selector() const { return selector_; }
  // A nonzero selector also sets the compress flag: encrypted frames are
  // always offered to the compressor first.
  void SetSelector(uint32_t selector);

  bool Compress() const { return compress_ != 0; }
  void SetCompress(bool on) { compress_ = on ? 1 : 0; }

  // 1 first, 2 middle, 3 last, 4 whole: sets the first and last flags
  // accordingly and clears failed; 5 failed: sets the failed flag. Returns
  // false, changing nothing, for any other value.
  bool SetPartKind(int kind);
  bool IsFirst() const { return first_ != 0; }
  bool IsLast() const { return last_ != 0; }
  bool IsFailed() const { return failed_ != 0; }

  bool IsFileContent() const { return file_content_ != 0; }
  void SetFileContent(bool on) { file_content_ = on ? 1 : 0; }

  // The lock that owners sharing this buffer between threads hold around
  // their calls (see the file comment).
  std::mutex& Lock() { return lock_; }

 private:
  explicit CIOBufferSimple(int32_t capacity);
  ~CIOBufferSimple() = default;

  std::atomic<int32_t> references_{1};
  int32_t length_ = 0;
  const int32_t capacity_;
  uint32_t selector_ = 0;
  uint8_t compress_ = 0;
  uint8_t first_ = 0;
  uint8_t last_ = 0;
  uint8_t failed_ = 0;
  uint8_t file_content_ = 0;
  std::mutex lock_;
  SecureBytes data_;  // capacity_ bytes, wiped when freed
};

inline void intrusive_ptr_add_ref(CIOBufferSimple* buffer) {
  buffer->AddRef();
}
inline void intrusive_ptr_release(CIOBufferSimple* buffer) {
  buffer->Release();
}

}  // namespace tw

#endif  // TW_TRANSPORT_BUFFER_H_
