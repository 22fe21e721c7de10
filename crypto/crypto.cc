#include "crypto/crypto.h"

// MD2 and MD5 live in the library's namespace of weak algorithms; the system
// needs both (MD5 for the logon digest).
#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1

#include <cryptopp/aes.h>
#include <cryptopp/base64.h>
#include <cryptopp/default.h>
#include <cryptopp/filters.h>
#include <cryptopp/md2.h>
#include <cryptopp/md5.h>
#include <cryptopp/misc.h>
#include <cryptopp/modes.h>
#include <cryptopp/queue.h>
#include <cryptopp/randpool.h>
#include <cryptopp/ripemd.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>
#include <cryptopp/tiger.h>
#include <libdeflate.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>

#include "crypto/haval.h"
#include "platform/hex.h"
#include "platform/random.h"

namespace tw {

namespace {

using CryptoPP::byte;

constexpr size_t kSeedBytes = 64;
constexpr size_t kAesBlock = CryptoPP::AES::BLOCKSIZE;

// The 8 bytes both ends of a connection derive the selector-1 IV from.
constexpr char kIvSource[8] = {'V', 'e', 'l', 't', 'r', 'a', 'n', 'e'};

// Room for what the ciphers add to a payload: the pass-phrase encryptor's
// salt, key check and padding.
constexpr size_t kCipherSlack = 256;

const byte* Bytes(const void* p) {
  return static_cast<const byte*>(p);
}

// A random pool seeded with 64 bytes from RandomBytes. When the source
// fails the seed stays the zeros it was cleared to; the pool still mixes in
// the clock when it generates.
void SeedPool(CryptoPP::RandomPool* pool) {
  SecureBytes seed;
  seed.CleanNew(kSeedBytes);
  CRLDATcrypto::RandomBytes(seed.data(), seed.size());
  pool->IncorporateEntropy(seed.data(), seed.size());
}

// The selector-1 IV: SHA-256 of the fixed source, byte i XOR byte i + 16.
// Built on every call, never stored.
void ChannelIv(byte iv[kAesBlock]) {
  byte digest[CryptoPP::SHA256::DIGESTSIZE];
  CryptoPP::SHA256().CalculateDigest(digest, Bytes(kIvSource), sizeof kIvSource);
  for (size_t i = 0; i < kAesBlock; ++i) iv[i] = digest[i] ^ digest[i + kAesBlock];
  CryptoPP::SecureWipeBuffer(digest, sizeof digest);
}

// The pass phrase of selector 9: the key bytes up to the first zero byte.
std::string_view PassPhrase(std::string_view key) {
  return key.substr(0, key.find('\0'));
}

struct OutputLimitExceeded {};

// A sink that appends to secure bytes and refuses, by throwing, to hold more
// than its limit, so that a decompression bomb or a lying length cannot make
// it allocate without bound. Finish() trims the buffer to what was written.
// Its users' outputs come close to their limit, which the caller derives
// from bytes it already holds, so the whole limit is taken at once rather
// than grown (and wiped) step by step.
class BoundedSink : public CryptoPP::Bufferless<CryptoPP::Sink> {
 public:
  BoundedSink(SecureBytes* buffer, size_t limit) : buffer_(buffer), limit_(limit) {
    buffer_->New(limit);
  }

  size_t Put2(const byte* input, size_t length, int /*message_end*/, bool /*blocking*/) override {
    if (length == 0) return 0;
    if (length > limit_ - used_) throw OutputLimitExceeded();
    std::memcpy(buffer_->data() + used_, input, length);
    used_ += length;
    return 0;
  }

  void Finish() { buffer_->resize(used_); }
  size_t used() const { return used_; }

 private:
  SecureBytes* const buffer_;
  const size_t limit_;
  size_t used_ = 0;
};

// The gzip form (RFC 1952) of frame payloads comes from libdeflate, which
// compresses and inflates whole buffers several times faster than a
// streaming deflater; its level 6 is deflate's level 6 with a 32 KiB window,
// and it stores a block that would not shrink. Compressors and
// decompressors are kept one per thread (a compressor's tables cost more to
// set up than a small payload costs to compress); they hold match positions
// and code tables, never payload bytes.

// A gzip member is at least a 10-byte header and an 8-byte trailer (CRC-32,
// then the size modulo 2^32, both little-endian) around its deflate data.
constexpr size_t kGzipFramingBytes = 18;
// No deflate data grows more than 1032-fold: the longest match (258
// bytes) costs at least two bits.
constexpr uint64_t kDeflateMaxRatio = 1032;
constexpr int kMinDeflateLevel = 0;
constexpr int kMaxDeflateLevel = 9;

uint32_t GzipTrailerSize(const byte* member, size_t length) {
  const byte* p = member + length - 4;
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

struct CompressorFree {
  void operator()(libdeflate_compressor* compressor) const {
    libdeflate_free_compressor(compressor);
  }
};
struct DecompressorFree {
  void operator()(libdeflate_decompressor* decompressor) const {
    libdeflate_free_decompressor(decompressor);
  }
};

// This thread's compressor for `level` (0 to 9); null when it cannot be
// allocated.
libdeflate_compressor* ThreadCompressor(int level) {
  thread_local std::unique_ptr<libdeflate_compressor, CompressorFree>
      compressors[kMaxDeflateLevel + 1];
  auto& compressor = compressors[level];
  if (compressor == nullptr) compressor.reset(libdeflate_alloc_compressor(level));
  return compressor.get();
}

// Uncompressible input (already compressed assets, media, archives) is
// detected before the search for matches, which costs as much on noise as on
// text and finds nothing there: a payload from kSampledPayloadBytes up is
// tried in kSamples samples spread over it at the fastest level, and when
// none of them shrinks below kShrinkPercent of its size the payload goes out
// in stored blocks. As with any such detection, a payload that is noise in
// every sample but holds compressible runs between them is stored whole.
constexpr size_t kSampledPayloadBytes = 16384;
constexpr size_t kSampleBytes = 4096;
constexpr size_t kSamples = 3;
constexpr size_t kShrinkPercent = 95;

bool LooksUncompressible(const byte* input, size_t length) {
  if (length < kSampledPayloadBytes) return false;
  libdeflate_compressor* fastest = ThreadCompressor(1);
  if (fastest == nullptr) return false;
  byte packed[kSampleBytes];
  for (size_t i = 0; i < kSamples; ++i) {
    const byte* sample = input + (length - kSampleBytes) * i / (kSamples - 1);
    // Zero: the output did not fit in the sample's own size.
    const size_t written =
        libdeflate_deflate_compress(fastest, sample, kSampleBytes, packed, sizeof packed);
    if (written != 0 && written * 100 < kSampleBytes * kShrinkPercent) return false;
  }
  return true;
}

// This thread's decompressor; null when it cannot be allocated.
libdeflate_decompressor* ThreadDecompressor() {
  thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> decompressor;
  if (decompressor == nullptr) decompressor.reset(libdeflate_alloc_decompressor());
  return decompressor.get();
}

// Runs `length` bytes through a filter and ends the message. Library
// exceptions (and OutputLimitExceeded) are the caller's to catch.
void Pump(CryptoPP::BufferedTransformation* filter, const void* input, size_t length) {
  if (length > 0) filter->Put(Bytes(input), length);
  filter->MessageEnd();
}

// The body of EncryptPayload and DecryptPayload: the checks both make, the
// key and IV of the selector, and one pass of its cipher in the direction
// asked. Encrypting adds at most a block of padding (selector 1) or the
// pass-phrase encryptor's salt and key check (selector 9); decrypting never
// grows the text, so the output is capped at its input.
int RunPayloadCipher(bool encrypt, SecureBytes* out, uint32_t selector, const void* input,
                     size_t length, std::string_view key) {
  if (key.empty()) return kPayloadKeyEmpty;
  if (selector != kCipherAes && selector != kCipherPassPhrase) return kPayloadSelectorNotSupported;
  if (out == nullptr || (input == nullptr && length != 0) ||
      (encrypt && length > std::numeric_limits<size_t>::max() - kCipherSlack)) {
    return kPayloadFailed;
  }
  try {
    SecureBytes result;
    if (selector == kCipherAes) {
      if (!encrypt && (length == 0 || length % kAesBlock != 0)) return kPayloadFailed;
      SecureBytes aes_key(CryptoPP::SHA256::DIGESTSIZE);
      CryptoPP::SHA256().CalculateDigest(aes_key.data(), Bytes(key.data()), key.size());
      byte iv[kAesBlock];
      ChannelIv(iv);
      std::unique_ptr<CryptoPP::StreamTransformation> cipher;
      if (encrypt) {
        cipher = std::make_unique<CryptoPP::CBC_Mode<CryptoPP::AES>::Encryption>(
            aes_key.data(), aes_key.size(), iv);
      } else {
        cipher = std::make_unique<CryptoPP::CBC_Mode<CryptoPP::AES>::Decryption>(
            aes_key.data(), aes_key.size(), iv);
      }
      auto* sink = new BoundedSink(&result, encrypt ? length + kAesBlock : length);
      CryptoPP::StreamTransformationFilter filter(*cipher, sink,
                                                  CryptoPP::BlockPaddingSchemeDef::PKCS_PADDING);
      Pump(&filter, input, length);
      sink->Finish();
    } else {
      const std::string_view phrase = PassPhrase(key);
      auto* sink = new BoundedSink(&result, encrypt ? length + kCipherSlack : length);
      std::unique_ptr<CryptoPP::BufferedTransformation> filter;
      if (encrypt) {
        filter =
            std::make_unique<CryptoPP::DefaultEncryptor>(Bytes(phrase.data()), phrase.size(), sink);
      } else {
        // Throws on a bad key check, a bad padding or a cut-off cipher text.
        filter = std::make_unique<CryptoPP::DefaultDecryptor>(Bytes(phrase.data()), phrase.size(),
                                                              sink, true);
      }
      Pump(filter.get(), input, length);
      sink->Finish();
    }
    out->swap(result);
    return kPayloadOk;
  } catch (...) {
    return kPayloadFailed;
  }
}

template <class Hash>
std::string HashToHex(const void* bytes, size_t count) {
  Hash hash;
  SecureBytes digest(Hash::DIGESTSIZE);
  hash.CalculateDigest(digest.data(), Bytes(bytes), count);
  return CRLDATcrypto::HexEncode(digest.data(), digest.size());
}

std::string TigerToHex(const void* bytes, size_t count) {
  SecureBytes digest(CryptoPP::Tiger::DIGESTSIZE);
  CryptoPP::Tiger().CalculateDigest(digest.data(), Bytes(bytes), count);
  uint64_t words[3];
  for (int i = 0; i < 3; ++i) {
    words[i] =
        CryptoPP::GetWord<uint64_t>(false, CryptoPP::LITTLE_ENDIAN_ORDER, digest.data() + 8 * i);
  }
  char text[3 * 16 + 1];
  std::snprintf(text, sizeof text, "%08" PRIX64 "%08" PRIX64 "%08" PRIX64, words[0], words[1],
                words[2]);
  CryptoPP::SecureWipeBuffer(words, 3);
  return text;
}

std::string HavalToHex(const void* bytes, size_t count) {
  SecureBytes digest(kHavalDigestSize);
  Haval256Pass3(bytes, count, digest.data());
  return CRLDATcrypto::HexEncode(digest.data(), digest.size());
}

bool DecodeDer(const std::string& text, SecureBytes* der) {
  return CRLDATcrypto::HexDecode(text, der) && der->size() > 0;
}

// Reads a public key text and checks that the key is usable and not larger
// than the cap. A key followed by stray bytes is refused.
bool ReadPublicKey(const std::string& text, CryptoPP::RandomNumberGenerator& rng,
                   CryptoPP::RSAFunction* key) {
  SecureBytes der;
  if (!DecodeDer(text, &der)) return false;
  CryptoPP::ArraySource source(der.data(), der.size(), true);
  key->BERDecodePublicKey(source, false, der.size());
  if (source.MaxRetrievable() != 0) return false;
  if (key->GetModulus().BitCount() > CRLDATcrypto::kMaxRsaBits) return false;
  return key->Validate(rng, 1);
}

bool ReadPrivateKey(const std::string& text, CryptoPP::RandomNumberGenerator& rng,
                    CryptoPP::InvertibleRSAFunction* key) {
  SecureBytes der;
  if (!DecodeDer(text, &der)) return false;
  CryptoPP::ArraySource source(der.data(), der.size(), true);
  key->BERDecodePrivateKey(source, false, der.size());
  if (source.MaxRetrievable() != 0) return false;
  if (key->GetModulus().BitCount() > CRLDATcrypto::kMaxRsaBits) return false;
  return key->Validate(rng, 1);
}

// Crypto++ makes the OAEP encoding object that every RSA-OAEP encryptor
// and decryptor shares on first use, behind a double check whose ordering
// rests on bare memory fences; several logons at one instant race there as
// far as the thread sanitizer can tell (and on a library build without
// C++11 atomics, in fact). So it is made once, under call_once, before any
// encryptor or decryptor touches it: every later use is ordered after it.
void PrepareOaep() {
  static std::once_flag once;
  std::call_once(once, [] {
    CryptoPP::Singleton<CryptoPP::RSAES_OAEP_SHA_Encryptor::SchemeOptions::MessageEncodingMethod>()
        .Ref();
  });
}

// The DER bytes an encoder wrote into a queue, as hex text.
std::string QueueToHex(CryptoPP::ByteQueue* queue) {
  SecureBytes der(static_cast<size_t>(queue->MaxRetrievable()));
  queue->Get(der.data(), der.size());
  return CRLDATcrypto::HexEncode(der.data(), der.size());
}

}  // namespace

std::recursive_mutex& CryptoLock() {
  static std::recursive_mutex lock;
  return lock;
}

int CRLDATcrypto::RandomBytes(void* buffer, size_t count) {
  if (count == 0) return 0;
  if (buffer == nullptr) return -1;
  return SystemRandomBytes(buffer, count) ? 0 : -1;
}

const std::string& CRLDATcrypto::DigestToHex(std::string& out, int selector, const void* bytes,
                                             size_t count) {
  if (bytes == nullptr && count != 0) return out;
  try {
    switch (selector) {
      case kDigestSha1:
        out = HashToHex<CryptoPP::SHA1>(bytes, count);
        break;
      case kDigestMd2:
        out = HashToHex<CryptoPP::Weak::MD2>(bytes, count);
        break;
      case kDigestMd5:
        out = HashToHex<CryptoPP::Weak::MD5>(bytes, count);
        break;
      case kDigestHaval:
        out = HavalToHex(bytes, count);
        break;
      case kDigestRipemd160:
        out = HashToHex<CryptoPP::RIPEMD160>(bytes, count);
        break;
      case kDigestTiger:
        out = TigerToHex(bytes, count);
        break;
      case kDigestSha256:
        out = HashToHex<CryptoPP::SHA256>(bytes, count);
        break;
      case kDigestSha384:
        out = HashToHex<CryptoPP::SHA384>(bytes, count);
        break;
      case kDigestSha512:
        out = HashToHex<CryptoPP::SHA512>(bytes, count);
        break;
      default:
        break;
    }
  } catch (...) {
    // Only an allocation can fail here; the text stays as it was.
  }
  return out;
}

bool CRLDATcrypto::GenerateKeyPair(unsigned bits, std::string* private_key,
                                   std::string* public_key) {
  if (private_key == nullptr || public_key == nullptr || bits > kMaxRsaBits) return false;
  try {
    CryptoPP::RandomPool pool;
    SeedPool(&pool);
    CryptoPP::InvertibleRSAFunction key;
    key.Initialize(pool, bits, 17);

    CryptoPP::ByteQueue private_der;
    key.DEREncodePrivateKey(private_der);
    std::string private_text = QueueToHex(&private_der);

    CryptoPP::RSAFunction public_part;
    public_part.Initialize(key.GetModulus(), key.GetPublicExponent());
    CryptoPP::ByteQueue public_der;
    public_part.DEREncodePublicKey(public_der);
    std::string public_text = QueueToHex(&public_der);

    Wipe(private_key);
    private_key->swap(private_text);
    *public_key = std::move(public_text);
    return true;
  } catch (...) {
    return false;
  }
}

bool CRLDATcrypto::RsaEncryptToHex(const std::string& public_key, const void* plain, size_t length,
                                   std::string* cipher_hex) {
  if (cipher_hex == nullptr || (plain == nullptr && length != 0)) return false;
  try {
    CryptoPP::RandomPool pool;
    SeedPool(&pool);
    CryptoPP::RSAFunction key;
    if (!ReadPublicKey(public_key, pool, &key)) return false;
    PrepareOaep();
    CryptoPP::RSAES_OAEP_SHA_Encryptor encryptor(key);
    if (length > encryptor.FixedMaxPlaintextLength()) return false;
    const byte empty = 0;
    SecureBytes cipher(encryptor.FixedCiphertextLength());
    encryptor.Encrypt(pool, plain ? Bytes(plain) : &empty, length, cipher.data());
    *cipher_hex = HexEncode(cipher.data(), cipher.size());
    return true;
  } catch (...) {
    return false;
  }
}

bool CRLDATcrypto::RsaDecryptFromHex(const std::string& private_key, const std::string& cipher_hex,
                                     SecureBytes* plain) {
  if (plain == nullptr) return false;
  try {
    CryptoPP::RandomPool pool;
    SeedPool(&pool);
    CryptoPP::InvertibleRSAFunction key;
    if (!ReadPrivateKey(private_key, pool, &key)) return false;
    PrepareOaep();
    CryptoPP::RSAES_OAEP_SHA_Decryptor decryptor(key);
    SecureBytes cipher;
    if (!HexDecode(cipher_hex, &cipher)) return false;
    // OAEP cipher texts are exactly one modulus long.
    if (cipher.size() != decryptor.FixedCiphertextLength()) return false;
    SecureBytes result(decryptor.MaxPlaintextLength(cipher.size()));
    CryptoPP::DecodingResult decoded =
        decryptor.Decrypt(pool, cipher.data(), cipher.size(), result.data());
    if (!decoded.isValidCoding || decoded.messageLength > result.size()) return false;
    result.resize(decoded.messageLength);
    plain->swap(result);
    return true;
  } catch (...) {
    return false;
  }
}

int CRLDATcrypto::EncryptPayload(SecureBytes* out, uint32_t selector, const void* input,
                                 size_t length, std::string_view key) {
  return RunPayloadCipher(true, out, selector, input, length, key);
}

int CRLDATcrypto::DecryptPayload(SecureBytes* out, uint32_t selector, const void* input,
                                 size_t length, std::string_view key) {
  return RunPayloadCipher(false, out, selector, input, length, key);
}

int CRLDATcrypto::GzipPayload(const void* input, size_t length, SecureBytes* out, int level) {
  if (out == nullptr || (input == nullptr && length != 0)) return -1;
  if (level < kMinDeflateLevel || level > kMaxDeflateLevel) return -1;
  try {
    const bool store = level > 0 && LooksUncompressible(Bytes(input), length);
    libdeflate_compressor* compressor = ThreadCompressor(store ? 0 : level);
    if (compressor == nullptr) return -1;
    // Stored blocks bound the output: a little over the input, never more.
    const size_t bound = libdeflate_gzip_compress_bound(compressor, length);
    if (bound < length) return -1;  // the bound overflowed
    SecureBytes result(bound);
    const size_t written =
        libdeflate_gzip_compress(compressor, input, length, result.data(), result.size());
    if (written == 0) return -1;
    result.resize(written);  // the longer block is wiped when freed
    out->swap(result);
    return 0;
  } catch (...) {
    return -1;
  }
}

int CRLDATcrypto::GunzipPayload(SecureBytes* bytes, size_t max_output) {
  if (bytes == nullptr || bytes->size() < kGzipFramingBytes) return -1;
  // The trailer's size is the sender's word, checked against the caller's
  // cap and against what deflate can make of this many bytes before the
  // output is allocated; the decompressor then holds the data to it exactly.
  const size_t length = bytes->size();
  const uint32_t told = GzipTrailerSize(bytes->data(), length);
  if (told > max_output || uint64_t{told} > uint64_t{length} * kDeflateMaxRatio) return -1;
  try {
    libdeflate_decompressor* decompressor = ThreadDecompressor();
    if (decompressor == nullptr) return -1;
    // One byte at least, so that an empty payload still has a place to go.
    SecureBytes result(told == 0 ? 1 : told);
    size_t read = 0;
    size_t made = 0;
    const libdeflate_result status = libdeflate_gzip_decompress_ex(
        decompressor, bytes->data(), length, result.data(), told, &read, &made);
    // Exactly one member, whose CRC and size the library has checked, and
    // nothing after it: a second member or trailing bytes are refused, as
    // a payload is one member.
    if (status != LIBDEFLATE_SUCCESS || read != length || made != told) return -1;
    result.resize(made);
    bytes->swap(result);
    return 0;
  } catch (...) {
    return -1;
  }
}

bool CRLDATcrypto::IsPlainGzipMember(const void* member, size_t member_length) {
  if (member == nullptr || member_length < kGzipFramingBytes) return false;
  const byte* p = Bytes(member);
  // Magic, deflate, no flags, a zero time; the extra flags and the system
  // byte are free.
  return p[0] == 0x1f && p[1] == 0x8b && p[2] == 8 && p[3] == 0 && p[4] == 0 && p[5] == 0 &&
         p[6] == 0 && p[7] == 0;
}

bool CRLDATcrypto::GzipMemberHolds(const void* member, size_t member_length, const void* input,
                                   size_t length) {
  // A member is sent on as it stands: an unusual header, valid as it may
  // be, is more than every receiver takes.
  if ((input == nullptr && length != 0) || !IsPlainGzipMember(member, member_length)) return false;
  // The trailer tells the size: a member of other bytes fails before any
  // work is done.
  if (GzipTrailerSize(Bytes(member), member_length) != static_cast<uint32_t>(length)) {
    return false;
  }
  try {
    libdeflate_decompressor* decompressor = ThreadDecompressor();
    if (decompressor == nullptr) return false;
    SecureBytes made_bytes(length == 0 ? 1 : length);
    size_t read = 0;
    size_t made = 0;
    const libdeflate_result status = libdeflate_gzip_decompress_ex(
        decompressor, member, member_length, made_bytes.data(), length, &read, &made);
    return status == LIBDEFLATE_SUCCESS && read == member_length && made == length &&
           (length == 0 || std::memcmp(made_bytes.data(), input, length) == 0);
  } catch (...) {
    return false;
  }
}

std::string CRLDATcrypto::HexEncode(const void* bytes, size_t count) {
  return HexText(bytes, count);
}

bool CRLDATcrypto::HexDecode(std::string_view text, SecureBytes* out) {
  if (out == nullptr || text.size() % 2 != 0) return false;
  SecureBytes result(text.size() / 2);
  for (size_t i = 0; i < result.size(); ++i) {
    const int hi = HexDigitValue(text[2 * i]);
    const int lo = HexDigitValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    result[i] = static_cast<byte>(hi << 4 | lo);
  }
  out->swap(result);
  return true;
}

std::string CRLDATcrypto::Base64Encode(const void* bytes, size_t count) {
  std::string text;
  CryptoPP::Base64Encoder encoder(new CryptoPP::StringSink(text), false);
  Pump(&encoder, bytes, count);
  return text;
}

void CRLDATcrypto::Base64Decode(std::string_view text, SecureBytes* out) {
  if (out == nullptr) return;
  SecureBytes result;
  // Decoding never yields more bytes than three per four characters.
  auto* sink = new BoundedSink(&result, text.size() / 4 * 3 + 3);
  CryptoPP::Base64Decoder decoder(sink);
  Pump(&decoder, text.data(), text.size());
  sink->Finish();
  out->swap(result);
}

void CRLDATcrypto::Wipe(std::string* text) {
  if (text == nullptr) return;
  text->resize(text->capacity());
  if (!text->empty())
    CryptoPP::SecureWipeBuffer(reinterpret_cast<byte*>(&(*text)[0]), text->size());
  text->clear();
}

Sha256Stream::Sha256Stream() : hash_(std::make_unique<CryptoPP::SHA256>()) {}

Sha256Stream::~Sha256Stream() = default;

void Sha256Stream::Update(const void* bytes, size_t count) {
  if (count > 0) hash_->Update(Bytes(bytes), count);
}

std::string Sha256Stream::FinalLowerHex() {
  byte digest[CryptoPP::SHA256::DIGESTSIZE];
  hash_->Final(digest);
  return HexText(digest, sizeof digest, HexCase::kLower);
}

}  // namespace tw
