// The fuzz entry of TWPMSvr's request path, shared by the libFuzzer target
// and the corpus replay test of every build: requests as they come from the
// mailslot, handed to a fresh RequestHandler per input, its replies caught.
//
// Aborts (so that the fuzzer reports it) when, beside a crash:
//   - a request that waits for a reply (PN, GD, GL with a reply name) gets
//     none, or more than one, or one too large for a mailslot;
//   - a database that is not a property store was changed;
//   - the store file stops being a store that opens.
#ifndef TW_TESTS_FUZZ_PROPERTY_SERVER_ENTRY_H_
#define TW_TESTS_FUZZ_PROPERTY_SERVER_ENTRY_H_

#include <cstddef>
#include <cstdint>

namespace tw::fuzz {

// Runs one input: requests, each a u16 big-endian length and that many
// bytes (fewer when the input ends). A request's second line (the store
// name) "*" stands for the harness's store file, "@" for a database of
// something else, "#" for this process's "[SD]" store. Returns 0.
int PropertyServerOneInput(const uint8_t* data, size_t size);

}  // namespace tw::fuzz

#endif  // TW_TESTS_FUZZ_PROPERTY_SERVER_ENTRY_H_
