// Random bytes from the operating system's cryptographic source: getrandom
// on Linux, the CryptoAPI provider on Windows.
//
// Stateless; any thread.
#ifndef TW_PLATFORM_RANDOM_H_
#define TW_PLATFORM_RANDOM_H_

#include <cstddef>

namespace tw {

// Fills `count` bytes; false when the source failed (the buffer is then of
// no use).
bool SystemRandomBytes(void* buffer, size_t count);

}  // namespace tw

#endif  // TW_PLATFORM_RANDOM_H_
