// libFuzzer target: the session's handling of fetch replies on chunk lists
// (format in message_reader_entry.h; invariant in session_reply_entry.h).
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/session_reply_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tw::fuzz::FuzzSessionReply(data, size);
}
