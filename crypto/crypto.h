// CRLDATcrypto: the system's cryptographic helper.
//
// It holds the random source, the numbered digest algorithms, the RSA key
// pairs and RSA-OAEP operations through which the logon moves the channel
// key, the two frame ciphers (selector 1: AES-256-CBC; selector 9: the
// library's pass-phrase encryptor) and the gzip form of frame payloads;
// beside it, Sha256Stream, a SHA-256 of bytes given in pieces. All
// algorithms come from Crypto++ except HAVAL (crypto/haval.h) and the gzip
// form, which libdeflate makes and reads (the same gzip members: any gzip
// reader opens ours, and ours opens any single gzip member).
//
// Text forms: RSA keys travel as upper-case hex of their DER encoding,
// PKCS #1 RSAPrivateKey and RSAPublicKey (modulus, public exponent) without
// an algorithm identifier; RSA cipher texts and digests as upper-case hex
// (Sha256Stream's as lower-case hex, the form contents are named by).
//
// Threads: every operation of CRLDATcrypto is free of state between calls
// (a Sha256Stream keeps its bytes' state and has one owner at a time). Each
// builds its own random pool, hash, cipher and filters and wipes what held
// key material or plain text before it is freed, so the sending thread and
// the receiving loop may use the helper at once. (The gzip form keeps one
// compressor and one decompressor per thread, which hold no payload bytes
// between calls.) Callers serialise their own key work with CryptoLock()
// (below). Nothing here throws: failures come back as results.
#ifndef TW_CRYPTO_CRYPTO_H_
#define TW_CRYPTO_CRYPTO_H_

#include <cryptopp/secblock.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace CryptoPP {
class SHA256;
}

namespace tw {

// Bytes that are overwritten with zeros when they are freed or reallocated.
// Plain text, key material and whatever was derived from them are kept in it.
using SecureBytes = CryptoPP::SecByteBlock;

// Frame encryption selectors (the 32-bit selector word of a frame header).
constexpr uint32_t kCipherClear = 0;
constexpr uint32_t kCipherAes = 1;
constexpr uint32_t kCipherPassPhrase = 9;

// Digest selectors of DigestToHex.
enum DigestSelector : int {
  kDigestSha1 = 1,
  kDigestMd2 = 2,
  kDigestMd5 = 3,  // the logon digest
  kDigestHaval = 4,
  kDigestRipemd160 = 5,
  kDigestTiger = 6,
  kDigestSha256 = 7,
  kDigestSha384 = 8,
  kDigestSha512 = 9,
};

// Results of EncryptPayload and DecryptPayload.
enum PayloadResult : int {
  kPayloadOk = 0,
  kPayloadFailed = 1,  // wrong key, corrupt or truncated cipher text, bad padding
  kPayloadSelectorNotSupported = 2,
  kPayloadKeyEmpty = 3,
};

// The deflate level that frames are compressed with.
constexpr int kFrameDeflateLevel = 6;

// The process-wide crypto lock. It is recursive, like the critical section
// it stands for. Taken, briefly and inside the per-process slot mutex, by:
//   - the logon (ClientSession) around key-pair generation, the encryption of
//     the logon digest and the decryption of the channel key;
//   - the server connection (CULMSGSCPserverInterface) while "SSK" installs
//     the channel key in it and its frame reader;
//   - the property client (PropertyFileClient) around the encryption and
//     decryption of names and values.
// The operations of CRLDATcrypto never take it themselves.
std::recursive_mutex& CryptoLock();

class CRLDATcrypto {
 public:
  CRLDATcrypto() = delete;

  // Fills `count` bytes from the system's random source (platform/random.h).
  // Returns 0 on success, -1 on failure (buffer null with a nonzero count,
  // or the source failed). A count of 0 succeeds.
  static int RandomBytes(void* buffer, size_t count);

  // The digest of `count` bytes under the numbered algorithm (DigestSelector)
  // as upper-case hex, stored in `out`; returns `out`. Selector 6 (Tiger)
  // prints its three 64-bit words with "%08llX" each (at least 8 digits, not
  // a fixed 16). An unknown selector leaves `out` untouched.
  static const std::string& DigestToHex(std::string& out, int selector, const void* bytes,
                                        size_t count);
  static const std::string& DigestToHex(std::string& out, int selector, std::string_view bytes) {
    return DigestToHex(out, selector, bytes.data(), bytes.size());
  }

  // Generates an RSA key pair with a modulus of `bits` bits and public
  // exponent 17 and writes both keys in their text forms. Returns false (and
  // leaves the outputs untouched) when the size is unusable or generation
  // fails. The private key text is key material: wipe it with Wipe().
  static bool GenerateKeyPair(unsigned bits, std::string* private_key, std::string* public_key);

  // RSAES-OAEP with SHA-1 and MGF1 under the public key text. The plain text
  // must fit one block (at most 86 bytes for a 1024-bit key). On success
  // writes the cipher text as upper-case hex and returns true; on failure
  // (bad key text, key larger than kMaxRsaBits, plain text too long) returns
  // false and leaves `cipher_hex` untouched.
  static bool RsaEncryptToHex(const std::string& public_key, const void* plain, size_t length,
                              std::string* cipher_hex);
  // The inverse under the private key text. Returns false and leaves `plain`
  // untouched when the key or the cipher text is unusable or the OAEP
  // decoding fails.
  static bool RsaDecryptFromHex(const std::string& private_key, const std::string& cipher_hex,
                                SecureBytes* plain);

  // Encrypts a frame payload under `key` with the given selector:
  //   1: AES-256-CBC with PKCS #7 padding, key = SHA-256 of all key bytes, the
  //      fixed IV of the channel; the output is the input rounded up to the
  //      next whole block (a whole block of padding when already aligned);
  //   9: the library's DefaultEncryptor with the key bytes up to the first
  //      zero byte as pass phrase.
  // Returns kPayloadKeyEmpty for an empty key (checked first),
  // kPayloadSelectorNotSupported for any other selector, kPayloadFailed if
  // the library fails. `out` is replaced only on kPayloadOk.
  static int EncryptPayload(SecureBytes* out, uint32_t selector, const void* input, size_t length,
                            std::string_view key);
  // The inverse of EncryptPayload, with the same results; a wrong key (the
  // pass-phrase key check), a cipher text that is not a whole number of
  // blocks, truncated or badly padded gives kPayloadFailed. `out` is replaced
  // only on kPayloadOk and never grows beyond `length` bytes.
  static int DecryptPayload(SecureBytes* out, uint32_t selector, const void* input, size_t length,
                            std::string_view key);

  // Compresses `length` bytes into one gzip member (deflate at `level`,
  // 0..9, a 32 KiB window, blocks that would not shrink stored). Returns 0
  // and replaces `out`, or -1 (bad level, out of memory) leaving `out`
  // untouched.
  static int GzipPayload(const void* input, size_t length, SecureBytes* out, int level);
  // Decompresses one gzip member in place. A bad header, a bad block, a CRC
  // mismatch, truncation, a second member or any byte after the member is a
  // failure; so is a trailer whose size is above `max_output`, more than
  // deflate can make of the payload's length, or not the size the data
  // decompresses to. Returns 0 on success, -1 on failure with `bytes`
  // unchanged. The result is allocated once, at the size the trailer gives
  // after those checks: never more than `max_output` bytes.
  static int GunzipPayload(SecureBytes* bytes, size_t max_output);
  // Whether `member` starts like a gzip member with the plain header
  // GzipPayload writes: no name, comment, extra field or header CRC, and no
  // time. Says nothing of the rest.
  static bool IsPlainGzipMember(const void* member, size_t member_length);
  // Whether `member` is one gzip member with the plain header GzipPayload
  // writes, and nothing more, that decompresses to exactly the `length`
  // bytes at `input`: a member kept from an earlier
  // transfer may then be sent in place of compressing those bytes again.
  // Decompressing costs a fraction of compressing, and proves the member
  // whatever happened to it on the disk.
  static bool GzipMemberHolds(const void* member, size_t member_length, const void* input,
                              size_t length);

  // Upper-case hex of `count` bytes.
  static std::string HexEncode(const void* bytes, size_t count);
  // Decodes hex text (either letter case). Returns false, leaving `out`
  // untouched, when the length is odd or a character is not a hex digit.
  static bool HexDecode(std::string_view text, SecureBytes* out);
  // Base64 of `count` bytes without line breaks.
  static std::string Base64Encode(const void* bytes, size_t count);
  // Decodes Base64 text as the library does: characters outside the
  // alphabet (line breaks, blanks) are skipped. Always succeeds.
  static void Base64Decode(std::string_view text, SecureBytes* out);

  // Overwrites the characters of `text` with zeros, then empties it.
  static void Wipe(std::string* text);

  // RSA keys read from text larger than this are refused, so that a hostile
  // key cannot make one operation run for minutes.
  static constexpr unsigned kMaxRsaBits = 16384;
};

// The SHA-256 of bytes given in pieces, as 64 lower-case hex digits. One
// owner at a time.
class Sha256Stream {
 public:
  Sha256Stream();
  ~Sha256Stream();
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;

  void Update(const void* bytes, size_t count);
  // The digest of everything given since construction or the last call;
  // the stream then starts afresh.
  std::string FinalLowerHex();

 private:
  std::unique_ptr<CryptoPP::SHA256> hash_;
};

}  // namespace tw

#endif  // TW_CRYPTO_CRYPTO_H_
