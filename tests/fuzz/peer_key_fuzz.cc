// libFuzzer target: FuzzPeerKey (server_text_entry.h).
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/server_text_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tw::fuzz::FuzzPeerKey(data, size);
}
