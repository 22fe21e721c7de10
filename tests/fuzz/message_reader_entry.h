// The fuzz entry of the message reader, shared by the libFuzzer target and
// the corpus replay test of every build, and the pieces of it that the
// chained entry (frame_message_entry.h) reuses. Every received file is
// removed again; a scratch file left behind once the reader is gone is a
// fault (the process aborts, so the fuzzer reports it).
#ifndef TW_TESTS_FUZZ_MESSAGE_READER_ENTRY_H_
#define TW_TESTS_FUZZ_MESSAGE_READER_ENTRY_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "messaging/message_reader.h"

namespace tw::fuzz {

// Where received files go. With an empty `scratch_folder` (the fuzz target):
// once per process, a private folder under /tmp with its own scratch
// ($TMPDIR) and runtime folders, diagnostics to /dev/null, removed at exit.
// Otherwise (a test in its own folder) $TMPDIR becomes `scratch_folder`.
void PrepareEnvironment(const std::string& scratch_folder);

// Removes the scratch files that any string field of `message` names.
void RemoveNamedFiles(const CRLMSGmessage& message);

// Feeds `bytes` and takes messages, as the connection's receive loop does,
// until the reader has none; a bad object header resets the reader.
void Drain(CULMSGmessageReader* reader, const uint8_t* bytes, size_t count);

// Aborts when the scratch folder is not empty.
void CheckNoScratchFiles();

// Runs one input through a message reader with progress enabled. The input
// is a list of chunks, each one selector byte (modulo 10: one of the nine
// chunk kinds, 9 a framing failure), a 16-bit big-endian length and that
// many bytes (fewer when the input ends). Returns 0.
int FuzzMessageReader(const uint8_t* data, size_t size);

}  // namespace tw::fuzz

#endif  // TW_TESTS_FUZZ_MESSAGE_READER_ENTRY_H_
