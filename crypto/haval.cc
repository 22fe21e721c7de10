#include "crypto/haval.h"

#include <cryptopp/misc.h>

#include <cstring>

namespace tw {

namespace {

using Word = uint32_t;

constexpr size_t kBlockBytes = 128;
constexpr size_t kLengthOffset = 118;  // where the 10-byte tail of the padding starts
constexpr int kPasses = 3;
constexpr int kFingerprintBits = 256;
constexpr int kVersion = 1;

// The first 32 bits of the fractional part of pi and its continuation: the
// initial chaining words, then the constants of passes 2 and 3.
constexpr Word kInitial[8] = {0x243F6A88, 0x85A308D3, 0x13198A2E, 0x03707344,
                              0xA4093822, 0x299F31D0, 0x082EFA98, 0xEC4E6C89};

constexpr Word kConstants[kPasses][32] = {
    {},  // pass 1 adds no constant
    {0x452821E6, 0x38D01377, 0xBE5466CF, 0x34E90C6C, 0xC0AC29B7, 0xC97C50DD, 0x3F84D5B5,
     0xB5470917, 0x9216D5D9, 0x8979FB1B, 0xD1310BA6, 0x98DFB5AC, 0x2FFD72DB, 0xD01ADFB7,
     0xB8E1AFED, 0x6A267E96, 0xBA7C9045, 0xF12C7F99, 0x24A19947, 0xB3916CF7, 0x0801F2E2,
     0x858EFC16, 0x636920D8, 0x71574E69, 0xA458FEA3, 0xF4933D7E, 0x0D95748F, 0x728EB658,
     0x718BCD58, 0x82154AEE, 0x7B54A41D, 0xC25A59B5},
    {0x9C30D539, 0x2AF26013, 0xC5D1B023, 0x286085F0, 0xCA417918, 0xB8DB38EF, 0x8E79DCB0,
     0x603A180E, 0x6C9E0E8B, 0xB01E8A3E, 0xD71577C1, 0xBD314B27, 0x78AF2FDA, 0x55605C60,
     0xE65525F3, 0xAA55AB94, 0x57489862, 0x63E81440, 0x55CA396A, 0x2AAB10B6, 0xB4CC5C34,
     0x1141E8CE, 0xA15486AF, 0x7C72E993, 0xB3EE1411, 0x636FBC2A, 0x2BA9C55D, 0x741831F6,
     0xCE5C3E16, 0x9B87931E, 0xAFD6BA33, 0x6C24CF5C},
};

// The order in which each pass reads the 32 message words.
constexpr uint8_t kWordOrder[kPasses][32] = {
    {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
     16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31},
    {5,  14, 26, 18, 11, 28, 7,  16, 0,  23, 20, 22, 1, 10, 4,  8,
     30, 3,  21, 9,  17, 24, 29, 6,  19, 12, 15, 13, 2, 25, 31, 27},
    {19, 9,  4, 20, 28, 17, 8,  22, 29, 14, 25, 12, 24, 30, 16, 26,
     31, 15, 7, 3,  1,  0,  18, 27, 13, 6,  21, 10, 23, 11, 5,  2},
};

inline Word Rotr(Word x, int n) {
  return (x >> n) | (x << (32 - n));
}

// The boolean functions, each with its arguments named x6..x0 as in the
// algorithm's description.
inline Word F1(Word x6, Word x5, Word x4, Word x3, Word x2, Word x1, Word x0) {
  return (x1 & (x0 ^ x4)) ^ (x2 & x5) ^ (x3 & x6) ^ x0;
}
inline Word F2(Word x6, Word x5, Word x4, Word x3, Word x2, Word x1, Word x0) {
  return (x2 & ((x1 & ~x3) ^ (x4 & x5) ^ x6 ^ x0)) ^ (x4 & (x1 ^ x5)) ^ (x3 & x5) ^ x0;
}
inline Word F3(Word x6, Word x5, Word x4, Word x3, Word x2, Word x1, Word x0) {
  return (x3 & ((x1 & x2) ^ x6 ^ x0)) ^ (x1 & x4) ^ (x2 & x5) ^ x0;
}

// One pass-p boolean function applied through the permutation phi_{3,p}.
inline Word Phi(int pass, const Word* x) {
  switch (pass) {
    case 0:
      return F1(x[1], x[0], x[3], x[5], x[6], x[2], x[4]);
    case 1:
      return F2(x[4], x[2], x[1], x[0], x[5], x[3], x[6]);
    default:
      return F3(x[6], x[1], x[2], x[3], x[4], x[5], x[0]);
  }
}

void HashBlock(Word state[8], const uint8_t* block) {
  Word w[32];
  for (int i = 0; i < 32; ++i) {
    const uint8_t* p = block + 4 * i;
    w[i] = Word(p[0]) | Word(p[1]) << 8 | Word(p[2]) << 16 | Word(p[3]) << 24;
  }
  Word t[8];
  std::memcpy(t, state, sizeof t);
  for (int pass = 0; pass < kPasses; ++pass) {
    for (int step = 0; step < 32; ++step) {
      // The registers rotate by one position per step: x7 is the one
      // updated, x6..x0 the seven that feed the boolean function.
      const int r = step % 8;
      Word x[8];
      for (int k = 0; k < 8; ++k) x[k] = t[(k - r + 8) % 8];
      const Word temp = Phi(pass, x);
      t[(7 - r + 8) % 8] =
          Rotr(temp, 7) + Rotr(x[7], 11) + w[kWordOrder[pass][step]] + kConstants[pass][step];
    }
  }
  for (int i = 0; i < 8; ++i) state[i] += t[i];
  CryptoPP::SecureWipeBuffer(w, 32);
  CryptoPP::SecureWipeBuffer(t, 8);
}

}  // namespace

void Haval256Pass3(const void* data, size_t length, uint8_t digest[kHavalDigestSize]) {
  Word state[8];
  std::memcpy(state, kInitial, sizeof state);
  const uint8_t* in = static_cast<const uint8_t*>(data);

  const size_t whole = length / kBlockBytes * kBlockBytes;
  for (size_t off = 0; off < whole; off += kBlockBytes) HashBlock(state, in + off);

  // The remainder, the padding and the tail fill one or two final blocks.
  uint8_t last[2 * kBlockBytes] = {};
  const size_t rest = length - whole;
  if (rest > 0) std::memcpy(last, in + whole, rest);
  last[rest] = 0x01;
  const size_t tail = rest < kLengthOffset ? kLengthOffset : kLengthOffset + kBlockBytes;
  last[tail] = uint8_t((kFingerprintBits & 0x3) << 6 | (kPasses & 0x7) << 3 | (kVersion & 0x7));
  last[tail + 1] = uint8_t((kFingerprintBits >> 2) & 0xFF);
  const uint64_t bits = uint64_t(length) << 3;
  for (int i = 0; i < 8; ++i) last[tail + 2 + i] = uint8_t(bits >> (8 * i));
  HashBlock(state, last);
  if (tail > kLengthOffset) HashBlock(state, last + kBlockBytes);

  for (int i = 0; i < 8; ++i) {
    for (int b = 0; b < 4; ++b) digest[4 * i + b] = uint8_t(state[i] >> (8 * b));
  }
  CryptoPP::SecureWipeBuffer(last, sizeof last);
  CryptoPP::SecureWipeBuffer(state, 8);
}

}  // namespace tw
