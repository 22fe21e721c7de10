// libFuzzer target: the message reader on chunk lists (format in
// message_reader_entry.h).
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/message_reader_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tw::fuzz::FuzzMessageReader(data, size);
}
