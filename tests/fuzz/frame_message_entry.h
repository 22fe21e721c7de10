// The fuzz entry of the receiving chain: frame reader, frame chunk source and
// message reader together, as the connection runs them. Shared by the
// libFuzzer target and the corpus replay test of every build.
#ifndef TW_TESTS_FUZZ_FRAME_MESSAGE_ENTRY_H_
#define TW_TESTS_FUZZ_FRAME_MESSAGE_ENTRY_H_

#include <cstddef>
#include <cstdint>

namespace tw::fuzz {

// Runs one input through the chain (progress enabled), taking every message
// out and removing the files it names. The first byte steers the run as for
// FrameReaderOneInput. Files go to the scratch folder of PrepareEnvironment.
// Aborts on an unexpected exception, a parse that makes no progress or a
// scratch file left behind once the readers are gone. Returns the number of
// messages taken out.
size_t RunFrameMessage(const uint8_t* data, size_t size);

// The libFuzzer form of RunFrameMessage. Returns 0.
int FrameMessageOneInput(const uint8_t* data, size_t size);

}  // namespace tw::fuzz

#endif  // TW_TESTS_FUZZ_FRAME_MESSAGE_ENTRY_H_
