// The fuzz entry of the frame reader, shared by the libFuzzer target
// (tests/fuzz/frame_reader_fuzz.cc, built only with TW_FUZZ) and the test that
// replays the seed corpus in every build (tests/transport/
// frame_reader_corpus_test.cc).
#ifndef TW_TESTS_FUZZ_FRAME_READER_ENTRY_H_
#define TW_TESTS_FUZZ_FRAME_READER_ENTRY_H_

#include <cstddef>
#include <cstdint>

namespace tw::fuzz {

// The channel key under which the encrypted frames of the seed corpus were
// made (64 upper-case hex characters, as a server hands them out).
extern const char kFrameFuzzKey[];

// Runs one input through a frame reader. The first byte steers the run: bit 0
// set means the key is installed before the bytes arrive (clear: encrypted
// frames meet no key), bits 1-7 choose how the rest is cut into fragments
// (0: all at once, otherwise pseudo-random fragment lengths from that seed).
// Every item that comes out is checked against the reader's promises (a
// delivering frame code, a payload within the caps); a broken promise or any
// exception other than "Symmetric key not set" aborts. Returns 0.
int FrameReaderOneInput(const uint8_t* data, size_t size);

}  // namespace tw::fuzz

#endif  // TW_TESTS_FUZZ_FRAME_READER_ENTRY_H_
