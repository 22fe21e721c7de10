// Replays a seed corpus (tests/fuzz/corpus/<name>/) through its fuzz entry
// function in an ordinary test, so that an input that once mattered keeps
// passing in every build, without a fuzzer at hand.
#ifndef TW_TESTS_SUPPORT_CORPUS_REPLAY_H_
#define TW_TESTS_SUPPORT_CORPUS_REPLAY_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace tw::test {

using FuzzEntry = int (*)(const uint8_t* data, size_t size);

// Runs `entry` on every input of the corpus `name` inside a private test
// folder whose "tmp" is the entry's scratch folder. A fault aborts the test
// program; a received file left behind after an input fails the test.
// Returns the number of inputs replayed.
int ReplayCorpus(const std::string& name, FuzzEntry entry);

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_CORPUS_REPLAY_H_
