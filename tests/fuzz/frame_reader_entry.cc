#include "tests/fuzz/frame_reader_entry.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "transport/frame_format.h"

namespace tw::fuzz {

const char kFrameFuzzKey[] = "0123456789ABCDEF0123456789ABCDEF89ABCDEF0123456789ABCDEF01234567";

CIOFrameReader::Options FuzzFrameOptions() {
  CIOFrameReader::Options options;
  options.key_wait = std::chrono::milliseconds(0);
  options.max_message_bytes = 1 << 20;
  return options;
}

size_t NextFragment(uint32_t* seed, size_t left) {
  if (*seed == 0) return left;
  *seed = *seed * 1103515245u + 12345u;
  return std::min<size_t>(left, 1 + (*seed >> 16) % 4096);
}

void Broken(const char* what) {
  std::fprintf(stderr, "fuzz entry: %s\n", what);
  std::abort();
}

namespace {

void CheckItems(CIOFrameReader* reader) {
  FramePayload payload;
  while (uint32_t code = reader->PopItem(&payload)) {
    if (!IsFrameCode(code) || code == kFrameFirst || code == kFrameMiddle) {
      Broken("an item with a frame code that delivers nothing");
    }
    if (payload == nullptr) Broken("an item without a payload");
    const size_t cap = code == kFrameLast ? FuzzFrameOptions().max_message_bytes : kMaxPlainPayload;
    if (payload->size() > cap) Broken("an item beyond its cap");
  }
}

}  // namespace

int FrameReaderOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool keyed = (data[0] & 1) != 0;
  uint32_t seed = data[0] >> 1;
  ++data;
  --size;
  CIOFrameReader reader(FuzzFrameOptions());
  if (keyed) reader.SetKey(kFrameFuzzKey);
  for (size_t at = 0; at < size;) {
    const size_t n = NextFragment(&seed, size - at);
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
