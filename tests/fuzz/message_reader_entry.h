// The fuzz entry of the message reader, shared by the libFuzzer target
// (tests/fuzz/message_reader_fuzz.cc, built only with TW_FUZZ) and the test
// that replays the seed corpus in every build (tests/messaging/
// message_reader_corpus_test.cc). Drain() runs a CULMSGmessageReader the way
// the connection's receive loop does, so a target that chains the frame
// reader can feed it that reader's chunks. Every received file is removed again, and a scratch file
// left behind after the reader is gone counts as a fault (the process
// aborts, so the fuzzer reports it).
#ifndef TW_TESTS_FUZZ_MESSAGE_READER_ENTRY_H_
#define TW_TESTS_FUZZ_MESSAGE_READER_ENTRY_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "messaging/message_reader.h"

namespace tw::fuzz {

// Where received files go. With an empty `scratch_folder` (the fuzz
// target): once per process, a private folder under /tmp with its own
// scratch ($TMPDIR) and runtime folders, diagnostics to /dev/null, removed at
// exit. Otherwise (a test inside its own test folder): $TMPDIR becomes
// `scratch_folder`, which must exist; the rest of the environment stays.
// An empty `scratch_folder` after an earlier call keeps what that call chose.
void PrepareEnvironment(const std::string& scratch_folder);

// Removes the files in the scratch folder that any string field of `message`
// names (the files the reader received for it).
void RemoveNamedFiles(const CRLMSGmessage& message);

// Feeds `bytes` (none when `count` is 0) and takes messages until the reader
// has none; a bad object header resets the reader, as a broken stream would.
// Removes the files every returned message names.
void Drain(CULMSGmessageReader* reader, const uint8_t* bytes, size_t count);

// Aborts when the scratch folder is not empty.
void CheckNoScratchFiles();

// Runs one input through a message reader with progress enabled, in the
// environment PrepareEnvironment made (the default one when none was). The input
// is a list of chunks, each one selector byte (its value modulo 10 picks one
// of the nine chunk kinds, 9 stands for a framing failure), a 16-bit
// big-endian length and that many bytes (fewer when the input ends). Aborts
// on a scratch file left behind. Returns 0.
int FuzzMessageReader(const uint8_t* data, size_t size);

}  // namespace tw::fuzz

#endif  // TW_TESTS_FUZZ_MESSAGE_READER_ENTRY_H_
