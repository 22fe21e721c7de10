// The buffer a connection reads its socket into.
//
// It starts at one frame piece and doubles, up to its limit, each time a
// read fills it whole: a busy connection then hands the frame reader several
// frames per read, which it opens on several cores. A read of a small
// message gives the room back, so a connection that has gone quiet holds one
// piece, and one whose peer has not logged on (its limit kept at one piece)
// never holds more. The limit is what keeps every frame worker busy twice
// over, at most eight pieces.
//
// Threads: used by the connection's receiving thread only.
#ifndef TW_TRANSPORT_READ_BUFFER_H_
#define TW_TRANSPORT_READ_BUFFER_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "transport/frame_format.h"
#include "transport/frame_workers.h"

namespace tw {

// The most a connection reads at once: eight frames.
constexpr size_t kMaxReadBytes = 8 * kFramePieceBytes;

class ReadBuffer {
 public:
  ReadBuffer()
      : bytes_(kFramePieceBytes),
        limit_(std::clamp(2 * kFramePieceBytes * static_cast<size_t>(FrameWorkerCount()),
                          kFramePieceBytes, kMaxReadBytes)),
        default_limit_(limit_) {}

  uint8_t* data() { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }

  // After a read of `count` bytes: a read that filled the buffer asks for a
  // larger one.
  void Filled(size_t count) {
    if (count == bytes_.size() && bytes_.size() < limit_) {
      bytes_.resize(std::min(bytes_.size() * 2, limit_));
    } else if (count < kQuietReadBytes && bytes_.size() > kFramePieceBytes) {
      std::vector<uint8_t>(kFramePieceBytes).swap(bytes_);
    }
  }
  // The size the buffer may grow to for a peer whose messages are held to
  // `message_bytes`: one piece for small ones, else the default limit. A
  // buffer already larger shrinks at the next small read.
  void SetLimit(size_t message_bytes) {
    limit_ = message_bytes <= kFramePieceBytes ? kFramePieceBytes : default_limit_;
  }

 private:
  // A read shorter than this is a quiet connection's.
  static constexpr size_t kQuietReadBytes = kFramePieceBytes / 4;

  std::vector<uint8_t> bytes_;
  size_t limit_;
  const size_t default_limit_;
};

}  // namespace tw

#endif  // TW_TRANSPORT_READ_BUFFER_H_
