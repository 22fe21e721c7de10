// The buffer a connection reads its socket into.
//
// It starts at one frame piece and doubles, up to its limit, each time a
// read fills it whole: a busy connection then hands the frame reader several
// frames per read, which it opens on several cores, while an idle one, or
// one whose peer has not logged on (its limit kept at one piece), holds
// little.
//
// Threads: used by the connection's receiving thread only.
#ifndef TW_TRANSPORT_READ_BUFFER_H_
#define TW_TRANSPORT_READ_BUFFER_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "transport/frame_format.h"

namespace tw {

// The most a connection reads at once: eight frames.
constexpr size_t kMaxReadBytes = 8 * kFramePieceBytes;

class ReadBuffer {
 public:
  ReadBuffer() : bytes_(kFramePieceBytes) {}

  uint8_t* data() { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }

  // After a read of `count` bytes: a read that filled the buffer asks for a
  // larger one.
  void Filled(size_t count) {
    if (count == bytes_.size() && bytes_.size() < limit_) {
      bytes_.resize(std::min(bytes_.size() * 2, limit_));
    }
  }
  // The size the buffer may grow to, at least one frame piece and at most
  // kMaxReadBytes; a buffer already larger stays as it is.
  void SetLimit(size_t bytes) { limit_ = std::clamp(bytes, kFramePieceBytes, kMaxReadBytes); }

 private:
  std::vector<uint8_t> bytes_;
  size_t limit_ = kMaxReadBytes;
};

}  // namespace tw

#endif  // TW_TRANSPORT_READ_BUFFER_H_
