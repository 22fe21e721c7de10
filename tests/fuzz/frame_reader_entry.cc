#include "tests/fuzz/frame_reader_entry.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "transport/frame_format.h"
#include "transport/frame_reader.h"

namespace tw::fuzz {

const char kFrameFuzzKey[] = "0123456789ABCDEF0123456789ABCDEF89ABCDEF0123456789ABCDEF01234567";

namespace {

// Small enough that a fuzzer reaches it, large enough for a three-piece
// message of the corpus.
constexpr size_t kFuzzMessageCap = 1 << 20;

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "frame reader fuzz: %s\n", what);
  std::abort();
}

void CheckItems(CIOFrameReader* reader) {
  FramePayload payload;
  while (uint32_t code = reader->PopItem(&payload)) {
    if (!IsFrameCode(code) || code == kFrameFirst || code == kFrameMiddle) {
      Broken("an item with a frame code that delivers nothing");
    }
    if (payload == nullptr) Broken("an item without a payload");
    const size_t cap = code == kFrameLast ? kFuzzMessageCap : kMaxPlainPayload;
    if (payload->size() > cap) Broken("an item beyond its cap");
    // Here the message stream reader takes over once it exists: its
    // CanExtractMessageObject owns a frame reader of its own, so the chained
    // target feeds it the same fragments instead of popping items here.
    payload.reset();
  }
}

}  // namespace

int FrameReaderOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool keyed = (data[0] & 1) != 0;
  uint32_t seed = data[0] >> 1;
  ++data;
  --size;

  CIOFrameReader::Options options;
  options.key_wait = std::chrono::milliseconds(0);
  options.max_message_bytes = kFuzzMessageCap;
  CIOFrameReader reader(options);
  if (keyed) reader.SetKey(kFrameFuzzKey);

  size_t at = 0;
  while (at < size) {
    size_t n = size - at;
    if (seed != 0) {
      seed = seed * 1103515245u + 12345u;
      n = std::min<size_t>(n, 1 + (seed >> 16) % 4096);
    }
    reader.AddBytes(data + at, n);
    at += n;
    // An encrypted frame without a key throws once per frame; the reader
    // must then go on with the bytes after it.
    for (int attempt = 0;; ++attempt) {
      try {
        reader.Parse();
        break;
      } catch (const std::runtime_error& e) {
        if (std::strcmp(e.what(), "Symmetric key not set") != 0) Broken(e.what());
        if (keyed) Broken("key missing although it was set");
        if (attempt > static_cast<int>(size)) Broken("parse makes no progress");
      }
    }
    CheckItems(&reader);
  }
  reader.Reset();
  if (reader.ItemCount() != 0) Broken("items after a reset");
  return 0;
}

}  // namespace tw::fuzz
