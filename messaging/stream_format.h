// The byte form of messages on the server connection: the message object,
// the file chunks that follow it, and the progress record the reader writes
// to a progress mailslot. Writer and reader both take every constant from
// here. Constants and pure functions only; thread-safe.
//
// Every integer on the connection is an unsigned 32-bit word, big-endian.
// Strings are a word with their byte length, then the bytes, unterminated.
//
// Message object (one chunk, or several that together carry it):
//
//   Offset  Size  Field
//   0       4     magic 0x12281964
//   4       4     L = number of bytes after these first 8
//   8       4     N = field count
//   12      ...   N field records, in GetFieldIds order of the sender
//
// Field record: u32 id, u32 type (1-5), then the value:
//
//   Type  Value
//   1     u32 length, the string bytes
//   2     u32 value (a negative int as its two's complement)
//   3     u32 length, the 36-character identifier text
//   4     u32 length, the bytes
//   5     u32 length, the transfer names of the files joined by "?"; a
//         transfer name is the text of a fresh identifier made for the file
//
// Chunk kinds (the frame code under which the transport delivers a chunk):
//
//   0x03101962  object, whole          0x43101962  file, whole in one chunk
//   0x13101962  object, first piece    0x53101962  file, first chunk
//   0x23101962  object, middle piece   0x63101962  file, middle chunk
//   0x33101962  object, last piece     0x73101962  file, last chunk
//                                      0x83101962  file could not be sent
//
// File start chunk (0x43101962, 0x53101962):
//
//   Offset  Size  Field
//   0       4     16, the length of the transfer identifier
//   4       16    the transfer identifier in GUID memory layout; its text
//                 form is the transfer name
//   20      4     file size, low 32 bits
//   24      4     file size, high 32 bits
//   28      4     D = file bytes in this chunk
//   32      D     file bytes
//
// File data chunk (0x63101962, 0x73101962): u32 D, then D file bytes.
// File failure chunk (0x83101962): a start chunk with size 0 and D = 0.
// A file's bytes travel in pieces of at most 131072; the start chunk carries
// the first piece.
//
// Kept members file (never on the wire): a receiver asked to keep them
// writes, beside a received file, for each data chunk of the file in order,
// a u32 length (little-endian) and then that many bytes: the gzip member the
// chunk's payload came as (D and the file bytes, compressed), or nothing
// when it came uncompressed. Whoever sends those bytes again may send a
// member in place of compressing the payload anew, once it has proved that
// the member makes exactly the payload read (CRLDATcrypto::GzipMemberHolds).
//
// Progress record (84 bytes, host byte order, never read from the wire):
//
//   Offset  Size  Field
//   0       4     kind: 1 file in progress, 2 file finished, 3 file count,
//                 4 message finished
//   4       64    display name, at most 63 bytes, zero-terminated and
//                 zero-filled (empty for kinds 3 and 4)
//   68      8     kinds 1-2: announced file size; 3: distinct files; 4: 0
//   76      8     kinds 1-2: bytes written so far; 3: files finished; 4: 0
//   (each 8-byte value as two 32-bit words, low word first)
//
// Caps on what a peer may declare; anything larger is refused before a byte
// is allocated for it:
//   - an object's length L: at most kMaxObjectLength (64 MiB); a message
//     that large is far beyond any the system sends (file contents travel as
//     file chunks, not inside the object);
//   - the field count N: at most (L - 4) / kMinFieldRecordSize, the number of
//     the smallest records that fit, and at most kMaxFieldCount (65536; a
//     message carries a few dozen fields), which bounds the memory of the
//     rebuilt message to a small multiple of L;
//   - a field id: once per object (a field set holds each id once);
//   - a value's length: at most what remains of the object;
//   - a chunk's D: exactly what remains of the chunk, and never more than
//     the announced file size minus what has arrived;
//   - an announced file size: at most kMaxFileSize (2^48 bytes).
#ifndef TW_MESSAGING_STREAM_FORMAT_H_
#define TW_MESSAGING_STREAM_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace tw {

constexpr uint32_t kObjectMagic = 0x12281964;
// Magic and length.
constexpr size_t kObjectHeaderSize = 8;
constexpr uint32_t kMaxObjectLength = 64u * 1024 * 1024;
constexpr uint32_t kMaxFieldCount = 65536;
// Id, type and the 4-byte value or length every type carries.
constexpr size_t kMinFieldRecordSize = 12;

// Chunk kinds.
constexpr uint32_t kChunkObject = 0x03101962;
constexpr uint32_t kChunkObjectFirst = 0x13101962;
constexpr uint32_t kChunkObjectMiddle = 0x23101962;
constexpr uint32_t kChunkObjectLast = 0x33101962;
constexpr uint32_t kChunkFileWhole = 0x43101962;
constexpr uint32_t kChunkFileFirst = 0x53101962;
constexpr uint32_t kChunkFileMiddle = 0x63101962;
constexpr uint32_t kChunkFileLast = 0x73101962;
constexpr uint32_t kChunkFileFailed = 0x83101962;

constexpr bool IsObjectChunk(uint32_t kind) {
  return kind == kChunkObject || kind == kChunkObjectFirst || kind == kChunkObjectMiddle ||
         kind == kChunkObjectLast;
}
constexpr bool IsFileChunk(uint32_t kind) {
  return kind == kChunkFileWhole || kind == kChunkFileFirst || kind == kChunkFileMiddle ||
         kind == kChunkFileLast || kind == kChunkFileFailed;
}

// The largest piece of an object or of a file in one chunk.
constexpr size_t kPieceSize = 131072;

constexpr uint32_t kTransferIdSize = 16;
// Identifier length word, identifier, size low, size high, D.
constexpr size_t kFileStartHeaderSize = 4 + kTransferIdSize + 4 + 4 + 4;
// D.
constexpr size_t kFileDataHeaderSize = 4;
// The largest chunk a sender makes: a start chunk with a whole piece.
constexpr size_t kMaxChunkSize = kFileStartHeaderSize + kPieceSize;
constexpr uint64_t kMaxFileSize = uint64_t{1} << 48;
// What a kept members file adds to the name of the file it belongs to.
constexpr char kMembersSuffix[] = ".z";

// Progress record.
constexpr size_t kProgressRecordSize = 84;
constexpr size_t kProgressKindOffset = 0;
constexpr size_t kProgressNameOffset = 4;
constexpr size_t kProgressNameSize = 64;
constexpr size_t kProgressSizeOffset = 68;
constexpr size_t kProgressDoneOffset = 76;

enum ProgressKind : uint32_t {
  kProgressFileInProgress = 1,
  kProgressFileFinished = 2,
  kProgressFileCount = 3,
  kProgressMessageFinished = 4,
};

// Big-endian words.
inline void AppendU32(std::string* out, uint32_t value) {
  const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                         static_cast<char>(value >> 8), static_cast<char>(value)};
  out->append(bytes, 4);
}
inline void PutU32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}
inline uint32_t GetU32(const uint8_t* in) {
  return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) |
         uint32_t{in[3]};
}

// The 84 bytes of a progress record; `name` is cut to 63 bytes.
std::string MakeProgressRecord(uint32_t kind, const std::string& name, uint64_t size,
                               uint64_t done);

}  // namespace tw

#endif  // TW_MESSAGING_STREAM_FORMAT_H_
