#include "transport/frame_writer.h"

#include <cryptopp/misc.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "crypto/crypto.h"
#include "platform/debug_output.h"
#include "transport/frame_format.h"

namespace tw {

namespace {

// Why a payload could not be encrypted, as the diagnostic text says it.
std::string EncryptionFailure(int result, uint32_t selector) {
  switch (result) {
    case kPayloadKeyEmpty:
      return "Symmetric key not set";
    case kPayloadSelectorNotSupported:
      return "Encryption selector " + std::to_string(selector) + " not supported";
    default:
      return "Encryption failed";
  }
}

// The body of FilterWriteRequest; throws on failure.
void BuildFrame(CIOBufferSimple* buffer, std::string_view key, std::string_view member) {
  const size_t plain_length = static_cast<size_t>(buffer->Length());
  const uint8_t* payload = buffer->Data();
  size_t length = plain_length;

  SecureBytes zipped;
  if (buffer->Compress()) {
    if (!member.empty() && member.size() < length &&
        CRLDATcrypto::GzipMemberHolds(member.data(), member.size(), payload, length)) {
      payload = reinterpret_cast<const uint8_t*>(member.data());
      length = member.size();
    } else if (CRLDATcrypto::GzipPayload(payload, length, &zipped, kFrameDeflateLevel) == 0 &&
               zipped.size() < length) {
      payload = zipped.data();
      length = zipped.size();
    } else {
      buffer->SetCompress(false);
    }
  }

  SecureBytes cipher;
  const uint32_t selector = buffer->Selector();
  if (selector != kCipherClear) {
    const int result = CRLDATcrypto::EncryptPayload(&cipher, selector, payload, length, key);
    if (result != kPayloadOk) throw std::runtime_error(EncryptionFailure(result, selector));
    payload = cipher.data();
    length = cipher.size();
  }

  const size_t capacity = static_cast<size_t>(buffer->Capacity());
  if (capacity < kFrameHeaderBytes || length > capacity - kFrameHeaderBytes) {
    throw std::runtime_error("Buffer overflow");
  }
  FrameHeader header;
  header.code = FrameCodeFromFlags(buffer->IsFirst(), buffer->IsLast(), buffer->IsFailed(),
                                   buffer->IsFileContent());
  header.selector = selector;
  header.compressed = buffer->Compress() ? 1 : 0;
  header.length = static_cast<uint32_t>(length);

  // In place: the payload moves up by the header's size (the plain bytes may
  // still be the payload), and whatever of the plain bytes lies beyond the
  // frame is wiped.
  uint8_t* data = buffer->Data();
  if (length > 0) std::memmove(data + kFrameHeaderBytes, payload, length);
  EncodeFrameHeader(header, data);
  const size_t frame_length = kFrameHeaderBytes + length;
  if (frame_length < plain_length) {
    CryptoPP::SecureWipeBuffer(data + frame_length, plain_length - frame_length);
  }
  buffer->SetLength(static_cast<int32_t>(frame_length));
}

}  // namespace

bool FilterWriteRequest(CIOBufferSimple* buffer, std::string_view key, std::string_view member) {
  if (buffer == nullptr) return false;
  try {
    BuildFrame(buffer, key, member);
    return true;
  } catch (const std::exception& e) {
    DebugLog("FilterWriteRequest - %s", e.what());
  } catch (...) {
    DebugLog("FilterWriteRequest - Unexpected exception");
  }
  buffer->Reset();
  return false;
}

bool WriteMessageFrames(const void* bytes, size_t count, uint32_t selector, bool compress,
                        std::string_view key, CIOBufferSimple* buffer, const FrameSink& send) {
  const auto* next = static_cast<const uint8_t*>(bytes);
  const bool multi = count > kFramePieceBytes;
  size_t remaining = count;
  bool first = true;
  do {
    const size_t piece = std::min(remaining, kFramePieceBytes);
    buffer->Reset();
    buffer->Append(next, piece);
    next += piece;
    remaining -= piece;
    if (!multi) {
      buffer->SetPartKind(CIOBufferSimple::kPartWhole);
    } else if (first) {
      buffer->SetPartKind(CIOBufferSimple::kPartFirst);
    } else {
      buffer->SetPartKind(remaining == 0 ? CIOBufferSimple::kPartLast
                                         : CIOBufferSimple::kPartMiddle);
    }
    buffer->SetCompress(compress);
    buffer->SetSelector(selector);
    first = false;
    const bool sent = FilterWriteRequest(buffer, key) &&
                      send(buffer->Data(), static_cast<size_t>(buffer->Length()));
    buffer->Reset();
    if (!sent) return false;
  } while (remaining > 0);
  return true;
}

}  // namespace tw
