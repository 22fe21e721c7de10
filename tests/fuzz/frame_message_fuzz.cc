// libFuzzer target: arbitrary bytes, cut into fragments, through the frame
// reader into the message reader (see tests/fuzz/frame_message_entry.h).
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/frame_message_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tw::fuzz::FrameMessageOneInput(data, size);
}
