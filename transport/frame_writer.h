// The sending half of the frame layer: turning a filled CIOBufferSimple into
// one frame (FilterWriteRequest), and cutting a serialized message object
// into frames (WriteMessageFrames). The frame layout is in
// transport/frame_format.h.
//
// A sender never puts plain bytes on the wire under a nonzero selector: when
// the payload cannot be encrypted (no key yet, a selector this side does not
// know, a library failure) the frame is not built, the buffer is emptied and
// the caller is told, so that the send fails visibly instead of leaking the
// message in clear or sending bytes the peer cannot read.
//
// Threads. Both functions keep no state of their own; the caller provides
// the key and keeps the buffer to itself (or holds its lock) for the call.
#ifndef TW_TRANSPORT_FRAME_WRITER_H_
#define TW_TRANSPORT_FRAME_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "transport/buffer.h"

namespace tw {

// Rewrites the buffer in place as one frame:
//   1. with the compress flag set, the bytes are gzipped (deflate level 6);
//      the gzip form replaces them only when it is strictly shorter,
//      otherwise the bytes stay and the compress flag is cleared;
//   2. with a nonzero selector, the bytes are encrypted under `key` and that
//      selector;
//   3. the 16-byte header (code from the part-kind, failed and file-content
//      flags; the selector; the compress flag; the payload length) is put
//      before the payload.
// Returns true when the buffer holds the frame, ready for one socket send.
// On any failure the buffer is reset (emptied, selector and flags cleared)
// and false is returned; the cause is written to the diagnostic output as
// "FilterWriteRequest - %s" with its text ("Buffer overflow" when the frame
// would not fit the buffer's capacity, "Symmetric key not set" for an empty
// key under a nonzero selector, "Encryption selector %u not supported",
// "Encryption failed"), or "FilterWriteRequest - Unexpected exception".
//
// `member` (may be empty) is a gzip member kept from when these bytes were
// received: when the buffer is to be compressed and the member holds
// exactly its bytes (CRLDATcrypto::GzipMemberHolds) and is shorter, it is
// the payload, and nothing is compressed.
bool FilterWriteRequest(CIOBufferSimple* buffer, std::string_view key,
                        std::string_view member = {});

// Receives one finished frame; returns false when it could not be sent.
using FrameSink = std::function<bool(const uint8_t* bytes, size_t count)>;

// Cuts a serialized message object into frames and hands each to `send` in
// order: one whole frame when it is at most 131072 bytes (an empty object
// too), else pieces of 131072 bytes as first, middle... and last frames.
// Every frame is built in `buffer` (reset before and after each frame) with
// the given selector and compress switch (a nonzero selector forces
// compression on) and `key`. Returns true when every frame was handed over;
// false as soon as a frame could not be built (see FilterWriteRequest) or
// `send` refused it, sending nothing more. Throws "Buffer overflow" when the
// buffer is too small for a piece.
bool WriteMessageFrames(const void* bytes, size_t count, uint32_t selector, bool compress,
                        std::string_view key, CIOBufferSimple* buffer, const FrameSink& send);

}  // namespace tw

#endif  // TW_TRANSPORT_FRAME_WRITER_H_
