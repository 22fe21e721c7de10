// Where the frame layer meets the message stream: the frame reader serves as
// the message reader's chunk source, and each chunk of an outgoing message is
// loaded into the frame buffer with the flags that give its frame code.
//
// A chunk kind and the frame code that carries it are the same number.
//
// Threads: a FrameChunkSource is used by the connection's receive thread,
// like the message reader that pulls from it; the frame reader's own locks
// (transport/frame_reader.h) cover its key and Reset from other threads.
#ifndef TW_TRANSPORT_FRAME_CHUNKS_H_
#define TW_TRANSPORT_FRAME_CHUNKS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "messaging/file_sender.h"
#include "messaging/message_reader.h"
#include "transport/buffer.h"
#include "transport/frame_reader.h"

namespace tw {

class FrameChunkSource : public ChunkSource {
 public:
  // `frames` must outlive the source.
  explicit FrameChunkSource(CIOFrameReader* frames) : frames_(frames) {}

  // Adds the bytes and parses them. False when the parse dropped a frame or
  // a message being joined (the message reader's framing failure). Throws
  // what Parse throws ("Symmetric key not set").
  bool AddBytes(const uint8_t* bytes, size_t count) override;
  // The next item: its frame code as the chunk kind and a copy of its payload.
  bool PopChunk(uint32_t* kind, std::string* bytes) override;
  bool TakeMember(std::string* member) override;
  bool HasUncut() const override { return frames_->MoreToParse(); }

 private:
  CIOFrameReader* const frames_;
  FramePayload member_;  // of the chunk popped last, when kept
};

// Resets `buffer` and loads `chunk` into it with the part kind, file-content
// and failed flags that make FilterWriteRequest head it with the chunk's kind
// as its frame code, under `selector` and with compression as `compress`
// says. False, the buffer left empty, for a kind that is not a chunk kind.
// Throws "Buffer overflow" when the chunk does not fit the buffer.
bool LoadChunk(const OutgoingChunk& chunk, uint32_t selector, bool compress,
               CIOBufferSimple* buffer);

}  // namespace tw

#endif  // TW_TRANSPORT_FRAME_CHUNKS_H_
