#include "transport/frame_chunks.h"

#include "messaging/stream_format.h"
#include "transport/frame_format.h"

namespace tw {

static_assert(kMaxChunkSize <= kFramePieceBytes + kFileChunkHeadBytes,
              "the largest chunk fits one frame");

bool FrameChunkSource::AddBytes(const uint8_t* bytes, size_t count) {
  frames_->AddBytes(bytes, count);
  return frames_->Parse();
}

bool FrameChunkSource::PopChunk(uint32_t* kind, std::string* bytes) {
  FramePayload payload;
  const uint32_t code = frames_->PopItem(&payload, &member_);
  if (code == 0) return false;
  *kind = code;
  if (payload) {
    bytes->assign(reinterpret_cast<const char*>(payload->data()), payload->size());
  } else {
    bytes->clear();
  }
  return true;
}

bool FrameChunkSource::TakeMember(std::string* member) {
  if (!member_) {
    member->clear();
    return false;
  }
  member->assign(reinterpret_cast<const char*>(member_->data()), member_->size());
  member_.reset();
  return true;
}

bool LoadChunk(const OutgoingChunk& chunk, uint32_t selector, bool compress,
               CIOBufferSimple* buffer) {
  buffer->Reset();
  int part;
  bool file = true;
  switch (chunk.kind) {
    case kChunkObject:
      part = CIOBufferSimple::kPartWhole;
      file = false;
      break;
    case kChunkObjectFirst:
      part = CIOBufferSimple::kPartFirst;
      file = false;
      break;
    case kChunkObjectMiddle:
      part = CIOBufferSimple::kPartMiddle;
      file = false;
      break;
    case kChunkObjectLast:
      part = CIOBufferSimple::kPartLast;
      file = false;
      break;
    case kChunkFileWhole:
      part = CIOBufferSimple::kPartWhole;
      break;
    case kChunkFileFirst:
      part = CIOBufferSimple::kPartFirst;
      break;
    case kChunkFileMiddle:
      part = CIOBufferSimple::kPartMiddle;
      break;
    case kChunkFileLast:
      part = CIOBufferSimple::kPartLast;
      break;
    case kChunkFileFailed:
      part = CIOBufferSimple::kPartFailed;
      break;
    default:
      return false;
  }
  buffer->Assign(chunk.bytes.data(), chunk.bytes.size());
  buffer->SetPartKind(part);
  buffer->SetFileContent(file);
  buffer->SetCompress(compress);
  buffer->SetSelector(selector);
  return true;
}

}  // namespace tw
