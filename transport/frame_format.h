// The frame: the unit in which bytes travel on the server connection.
//
// Every serialized message object and every piece of a file the message names
// travels in frames. A frame is a 16-byte header followed by its payload; all
// header words are unsigned 32-bit big-endian:
//
//   offset  width  field
//   ------  -----  ------------------------------------------------------------
//      0      4    frame code: 0x03101962 in the low 28 bits, the kind in the
//                  top nibble (table below)
//      4      4    encryption selector of this frame: 0 clear, 1 AES-256-CBC,
//                  9 pass-phrase encryptor (crypto/crypto.h)
//      8      4    compressed: 1 when the payload is one gzip member, else 0
//     12      4    payload length n, after compression and encryption
//     16      n    payload
//
// A sender compresses first (keeping the gzip form only when it is strictly
// shorter) and encrypts second; a receiver decrypts first, then gunzips.
//
//   code        kind
//   ----------  ------------------------------------------------------------
//   0x03101962  a whole message object in one frame
//   0x13101962  first frame of a message object
//   0x23101962  middle frame of a message object
//   0x33101962  last frame of a message object
//   0x43101962  file content, the only piece (also an empty file)
//   0x53101962  file content, first piece
//   0x63101962  file content, middle piece
//   0x73101962  file content, last piece
//   0x83101962  a named file could not be sent (payload: a failure chunk)
//
// The contents of the payloads (message objects, file chunks) belong to the
// message stream; this header fixes only the frame around them. It is used by
// the writer (transport/frame_writer.h) and the reader
// (transport/frame_reader.h). Everything here is constant or pure.
#ifndef TW_TRANSPORT_FRAME_FORMAT_H_
#define TW_TRANSPORT_FRAME_FORMAT_H_

#include <cstddef>
#include <cstdint>

#include "messaging/stream_format.h"

namespace tw {

// A frame's code is the kind of the chunk it carries: the messaging layer
// fixes the numbers.
constexpr uint32_t kFrameWhole = kChunkObject;
constexpr uint32_t kFrameFirst = kChunkObjectFirst;
constexpr uint32_t kFrameMiddle = kChunkObjectMiddle;
constexpr uint32_t kFrameLast = kChunkObjectLast;
constexpr uint32_t kFrameFileWhole = kChunkFileWhole;
constexpr uint32_t kFrameFileFirst = kChunkFileFirst;
constexpr uint32_t kFrameFileMiddle = kChunkFileMiddle;
constexpr uint32_t kFrameFileLast = kChunkFileLast;
constexpr uint32_t kFrameFileFailed = kChunkFileFailed;

// The low 28 bits every frame code shares, and the bit that turns a message
// frame code into the file-content code of the same position.
constexpr uint32_t kFrameCodeLowBits = kChunkObject;
constexpr uint32_t kFrameFileContentBit = 0x40000000;

constexpr size_t kFrameHeaderBytes = 16;

// A serialized message object, or a file, is cut into pieces of at most this
// many bytes; a message of exactly this size is still one whole frame.
constexpr size_t kFramePieceBytes = kPieceSize;

// The capacity of the buffer a sender builds every frame in: header and
// payload must fit it, or the sender fails with "Buffer overflow".
constexpr int32_t kFrameBufferCapacity = 0x20080;  // 131200

// The largest payload length a receiver accepts; a header declaring more is
// not a frame. No sender's buffer can carry more. What a sender can actually
// produce stays below it:
//   - plain payload: at most a piece plus the 32-byte head of a file's first
//     chunk (length 16, identifier, size in two words, piece length);
//   - compression adds nothing, since the gzip form is kept only when it is
//     strictly shorter;
//   - selector 1 adds at most one AES block of padding (16); selector 9 adds
//     an 8-byte salt, a 16-byte key check and at most 16 bytes of padding.
constexpr size_t kMaxFramePayload = kFrameBufferCapacity - kFrameHeaderBytes;  // 131184
constexpr size_t kFileChunkHeadBytes = kFileStartHeaderSize;
constexpr size_t kMaxFrameCipherOverhead = 8 + 16 + 16;
static_assert(kFramePieceBytes + kFileChunkHeadBytes + kMaxFrameCipherOverhead <= kMaxFramePayload,
              "a full file piece must fit one encrypted frame");

// The largest payload a gunzip may produce: what a sender's buffer could
// have held before it compressed.
constexpr size_t kMaxPlainPayload = kMaxFramePayload;

// The header fields in host order.
struct FrameHeader {
  uint32_t code = 0;
  uint32_t selector = 0;
  uint32_t compressed = 0;
  uint32_t length = 0;
};

inline void PutFrameWord(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

inline uint32_t GetFrameWord(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) << 24 | static_cast<uint32_t>(in[1]) << 16 |
         static_cast<uint32_t>(in[2]) << 8 | static_cast<uint32_t>(in[3]);
}

inline void EncodeFrameHeader(const FrameHeader& header, uint8_t out[kFrameHeaderBytes]) {
  PutFrameWord(out, header.code);
  PutFrameWord(out + 4, header.selector);
  PutFrameWord(out + 8, header.compressed);
  PutFrameWord(out + 12, header.length);
}

inline FrameHeader DecodeFrameHeader(const uint8_t in[kFrameHeaderBytes]) {
  FrameHeader header;
  header.code = GetFrameWord(in);
  header.selector = GetFrameWord(in + 4);
  header.compressed = GetFrameWord(in + 8);
  header.length = GetFrameWord(in + 12);
  return header;
}

// True for exactly the nine codes of the table.
constexpr bool IsFrameCode(uint32_t code) {
  return (code & 0x0FFFFFFF) == kFrameCodeLowBits && (code >> 28) <= 8;
}

// The code a sender writes for a buffer's flags: a failed transfer gives
// 0x83101962 whatever else is set; otherwise first and last give the whole
// kind, first alone the first kind, last alone the last kind, neither the
// middle kind, and file content adds 0x40000000.
constexpr uint32_t FrameCodeFromFlags(bool first, bool last, bool failed, bool file_content) {
  if (failed) return kFrameFileFailed;
  const uint32_t nibble = first ? (last ? 0u : 1u) : (last ? 3u : 2u);
  return (nibble << 28 | kFrameCodeLowBits) + (file_content ? kFrameFileContentBit : 0u);
}

}  // namespace tw

#endif  // TW_TRANSPORT_FRAME_FORMAT_H_
