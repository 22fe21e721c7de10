// Fuzz entries for the texts a server hands the client that are parsed
// apart from the message stream: name tables and property trees
// ("GETNAMELIST" field 102), server stamps, and the server's RSA public key
// with the hex texts of the key exchange. Shared by the libFuzzer targets
// and the corpus replay test of every build. Each aborts when a parse that
// succeeded does not survive a round trip through its own text form.
#ifndef TW_TESTS_FUZZ_SERVER_TEXT_ENTRY_H_
#define TW_TESTS_FUZZ_SERVER_TEXT_ENTRY_H_

#include <cstddef>
#include <cstdint>

namespace tw::fuzz {

// The input as a name table's text, and as a property tree's. Returns 0.
int FuzzNameTable(const uint8_t* data, size_t size);
// The input as a server stamp text (and as an ISO 8601 one). Returns 0.
int FuzzStamp(const uint8_t* data, size_t size);
// The input as the server's public key (hex DER) to seal a logon digest
// under, and as hex text to decode. Returns 0.
int FuzzPeerKey(const uint8_t* data, size_t size);

}  // namespace tw::fuzz

#endif  // TW_TESTS_FUZZ_SERVER_TEXT_ENTRY_H_
