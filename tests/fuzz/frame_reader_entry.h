// The fuzz entry of the frame reader, and what the chained entry
// (frame_message_entry.h) shares with it. Shared by the libFuzzer target and
// the corpus replay test of every build.
#ifndef TW_TESTS_FUZZ_FRAME_READER_ENTRY_H_
#define TW_TESTS_FUZZ_FRAME_READER_ENTRY_H_

#include <cstddef>
#include <cstdint>

#include "transport/frame_reader.h"

namespace tw::fuzz {

// The channel key under which the encrypted frames of the seed corpus were
// made (64 upper-case hex characters, as a server hands them out).
extern const char kFrameFuzzKey[];

// Reader options for fuzzing: no wait for a key, and joined messages capped
// small enough for a fuzzer to reach the cap, large enough for the corpus.
CIOFrameReader::Options FuzzFrameOptions();

// The length of the next fragment of `left` bytes: all of them for a zero
// seed, otherwise a pseudo-random length from the seed, which advances.
size_t NextFragment(uint32_t* seed, size_t left);

// Reports a broken promise and aborts, so that the fuzzer records the input.
[[noreturn]] void Broken(const char* what);

// Runs one input through a frame reader. The first byte steers the run: bit 0
// set installs kFrameFuzzKey before the bytes arrive (clear: encrypted frames
// meet no key), bits 1-7 seed the fragment lengths. Every item that comes out
// must have a delivering frame code and a payload within the caps; a broken
// promise or any exception other than "Symmetric key not set" aborts.
// Returns 0.
int FrameReaderOneInput(const uint8_t* data, size_t size);

}  // namespace tw::fuzz

#endif  // TW_TESTS_FUZZ_FRAME_READER_ENTRY_H_
