// The fuzz entry of the receiving chain: frame reader, frame chunk source and
// message reader together, as the connection runs them. Shared by the
// libFuzzer target (tests/fuzz/frame_message_fuzz.cc, built only with
// TW_FUZZ) and the test that replays the seed corpus in every build
// (tests/transport/frame_message_corpus_test.cc).
#ifndef TW_TESTS_FUZZ_FRAME_MESSAGE_ENTRY_H_
#define TW_TESTS_FUZZ_FRAME_MESSAGE_ENTRY_H_

#include <cstddef>
#include <cstdint>

namespace tw::fuzz {

// Runs one input through a CIOFrameReader whose items a CIOFrameChunkSource
// hands to a CULMSGmessageReader (progress enabled), taking every message out
// and removing the files it names. The first byte steers the run as for
// FrameReaderOneInput (tests/fuzz/frame_reader_entry.h): bit 0 set installs
// kFrameFuzzKey first (clear: encrypted frames meet no key), bits 1-7 seed
// the fragment lengths (0: all at once). Files go to the scratch folder of
// PrepareEnvironment (the default one when none was prepared). Aborts on an
// unexpected exception, a parse that makes no progress or a scratch file left
// behind once the readers are gone. Returns the number of messages taken out.
size_t RunFrameMessage(const uint8_t* data, size_t size);

// The libFuzzer form of RunFrameMessage. Returns 0.
int FrameMessageOneInput(const uint8_t* data, size_t size);

}  // namespace tw::fuzz

#endif  // TW_TESTS_FUZZ_FRAME_MESSAGE_ENTRY_H_
