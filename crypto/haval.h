// HAVAL with three passes and a 256-bit fingerprint (digest selector 4 of
// the crypto helper).
//
// The crypto library we build on no longer ships HAVAL, so the one variant
// the system names lives here: 1024-bit blocks of 32 little-endian words,
// eight 32-bit chaining words, three passes of 32 steps each, the padding of
// the original reference (0x01, zeros to 118 mod 128, then the version, pass
// count and fingerprint length in two bytes and the 64-bit bit count), and
// the fingerprint written little-endian. Pure functions; thread-safe.
#ifndef TW_CRYPTO_HAVAL_H_
#define TW_CRYPTO_HAVAL_H_

#include <cstddef>
#include <cstdint>

namespace tw {

constexpr size_t kHavalDigestSize = 32;

// Writes the 32-byte HAVAL-256/3 fingerprint of `length` bytes at `data`
// into `digest`. `data` may be null when `length` is 0. Intermediate state is
// wiped before returning.
void Haval256Pass3(const void* data, size_t length, uint8_t digest[kHavalDigestSize]);

}  // namespace tw

#endif  // TW_CRYPTO_HAVAL_H_
