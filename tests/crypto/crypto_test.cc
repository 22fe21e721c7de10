// The crypto helper: the digest selectors and HAVAL; the RSA-OAEP texts, the AES
// payload cipher, the gzip members and a whole frame payload checked against
// independent programs (openssl, gzip); hostile cipher texts and gzip data
// fail cleanly; the helper on several threads at once.
#include "crypto/crypto.h"

#include <cryptopp/gzip.h>
#include <cryptopp/queue.h>
#include <cryptopp/rsa.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_env.h"
#include "transport/buffer.h"
#include "transport/frame_format.h"
#include "transport/frame_reader.h"
#include "transport/frame_writer.h"

namespace tw {
namespace {

// A 64-character channel key of the form the server hands out.
const std::string kChannelKey = "0123456789ABCDEF0123456789ABCDEF89ABCDEF0123456789ABCDEF01234567";

std::string Str(const SecureBytes& b) {
  return std::string(b.begin(), b.end());
}
SecureBytes Sec(const std::string& s) {
  return SecureBytes(reinterpret_cast<const CryptoPP::byte*>(s.data()), s.size());
}

std::string RandomText(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

std::string Digest(int selector, const std::string& bytes) {
  std::string out;
  return CRLDATcrypto::DigestToHex(out, selector, bytes);
}

// ---------------------------------------------------------------- digests

// The algorithms are Crypto++'s (their published vectors are its own
// tests); what is ours is the dispatch on the selector, the HAVAL code and
// the hex form. MD5 is the logon digest.
TEST(Digest, SelectorsHavalAndTheLogonDigest) {
  EXPECT_EQ("900150983CD24FB0D6963F7D28E17F72", Digest(kDigestMd5, "abc"));
  EXPECT_EQ("4F6938531F0BC8991F62DA7BBD6F7DE3FAD44562B8C6F4EBF146D5B4E46F7C17",
            Digest(kDigestHaval, ""));
  EXPECT_EQ("8699F1E3384D05B2A84B032693E2B6F46DF85A13A50D93808D6874BB8FB9E86C",
            Digest(kDigestHaval, "abc"));
  EXPECT_EQ("72FAD4BDE1DA8C8332FB60561A780E7F504F21547B98686824FC33FC796AFA76",
            Digest(kDigestHaval, "abcdefghijklmnopqrstuvwxyz"));
  for (int selector : {0, 10}) {  // unknown: the text stays
    std::string out = "previous";
    EXPECT_EQ("previous", CRLDATcrypto::DigestToHex(out, selector, "abc", 3));
  }
}

TEST(Digest, HavalSpansManyBlocks) {
  // One million "a": 7813 blocks plus a remainder, checked against the
  // reference implementation's buffering.
  EXPECT_EQ("4DEEABD6891D95E5B740BE70531CE1CB70866D12602C0656644AFB0003B69062",
            Digest(kDigestHaval, std::string(1000000, 'a')));
}

TEST(Digest, TigerPrintsItsThreeWordsWithAtLeastEightDigits) {
  // Published digest bytes of "abc": 2AAB1484E8C158F2 BFB8C5FF41B57A52
  // 5129131C957B5F93; each little-endian word prints as a number.
  EXPECT_EQ("F258C1E88414AB2A527AB541FFC5B8BF935F7B951C132951", Digest(kDigestTiger, "abc"));
  // Digest bytes AE48063A07A55102 E0590715D7F6F615 8C00422032435F02 (from an
  // independent implementation): the first and last words have a leading
  // zero digit, which the format drops.
  EXPECT_EQ("251A5073A0648AE15F6F6D7150759E025F43322042008C", Digest(kDigestTiger, "Veltrane 25"));
}

// ---------------------------------------------------------------- hex, base64

TEST(TextForms, HexIsStrictAndBase64HasNoLineBreaks) {
  EXPECT_EQ("00FFA5", CRLDATcrypto::HexEncode("\x00\xff\xa5", 3));
  SecureBytes out = Sec("keep");
  EXPECT_FALSE(CRLDATcrypto::HexDecode("ABC", &out));
  EXPECT_FALSE(CRLDATcrypto::HexDecode("0G", &out));
  EXPECT_EQ("keep", Str(out));
  ASSERT_TRUE(CRLDATcrypto::HexDecode("00ffA5", &out));
  EXPECT_EQ(std::string("\x00\xff\xa5", 3), Str(out));

  const std::string data = RandomText(1000, 1);
  const std::string b64 = CRLDATcrypto::Base64Encode(data.data(), data.size());
  EXPECT_EQ(std::string::npos, b64.find('\n'));
  CRLDATcrypto::Base64Decode(b64.substr(0, 100) + "\r\n" + b64.substr(100), &out);
  EXPECT_EQ(data, Str(out));
}

// ---------------------------------------------------------------- payload ciphers

TEST(Payload, EmptyKeyAndUnknownSelectorLeaveOutputAlone) {
  SecureBytes out = Sec("untouched");
  for (uint32_t selector : {0u, 1u, 9u}) {
    EXPECT_EQ(kPayloadKeyEmpty, CRLDATcrypto::EncryptPayload(&out, selector, "abc", 3, ""));
    EXPECT_EQ(kPayloadKeyEmpty, CRLDATcrypto::DecryptPayload(&out, selector, "abc", 3, ""));
  }
  for (uint32_t selector : {0u, 2u, 10u}) {
    EXPECT_EQ(kPayloadSelectorNotSupported,
              CRLDATcrypto::EncryptPayload(&out, selector, "abc", 3, kChannelKey));
    EXPECT_EQ(kPayloadSelectorNotSupported,
              CRLDATcrypto::DecryptPayload(&out, selector, "abc", 3, kChannelKey));
  }
  EXPECT_EQ("untouched", Str(out));
}

TEST(Payload, AesPadsToWholeBlocksRoundTripsAndRejectsBadLengthsAndPadding) {
  for (size_t n : {0u, 15u, 16u, 131072u}) {
    const std::string plain = RandomText(n, static_cast<unsigned>(n));
    SecureBytes cipher, back;
    ASSERT_EQ(kPayloadOk,
              CRLDATcrypto::EncryptPayload(&cipher, kCipherAes, plain.data(), n, kChannelKey));
    EXPECT_EQ(n / 16 * 16 + 16, cipher.size()) << n;
    ASSERT_EQ(kPayloadOk, CRLDATcrypto::DecryptPayload(&back, kCipherAes, cipher.data(),
                                                       cipher.size(), kChannelKey));
    EXPECT_EQ(plain, Str(back));
  }

  const std::string plain(32, 'p');  // ends with a whole block of padding bytes 0x10
  SecureBytes cipher, out = Sec("untouched");
  ASSERT_EQ(kPayloadOk,
            CRLDATcrypto::EncryptPayload(&cipher, kCipherAes, plain.data(), 32, kChannelKey));
  ASSERT_EQ(48u, cipher.size());
  EXPECT_EQ(kPayloadFailed,
            CRLDATcrypto::DecryptPayload(&out, kCipherAes, cipher.data(), 0, kChannelKey));
  EXPECT_EQ(kPayloadFailed,
            CRLDATcrypto::DecryptPayload(&out, kCipherAes, cipher.data(), 47, kChannelKey));
  // In CBC the last plain block is XORed with the previous cipher block:
  // this turns the last padding byte from 0x10 into 0x30, never valid.
  SecureBytes bad = cipher;
  bad[31] ^= 0x20;
  EXPECT_EQ(kPayloadFailed,
            CRLDATcrypto::DecryptPayload(&out, kCipherAes, bad.data(), bad.size(), kChannelKey));
  EXPECT_EQ("untouched", Str(out));
}

TEST(Payload, PassPhraseRoundTripsAndChecksTheKey) {
  const std::string plain = RandomText(131072, 9);
  SecureBytes cipher, back, out = Sec("untouched");
  ASSERT_EQ(kPayloadOk, CRLDATcrypto::EncryptPayload(&cipher, kCipherPassPhrase, plain.data(),
                                                     plain.size(), kChannelKey));
  // A full frame still fits the 131200-byte frame buffer with its header.
  EXPECT_LE(cipher.size() + 16, 131200u);
  ASSERT_EQ(kPayloadOk, CRLDATcrypto::DecryptPayload(&back, kCipherPassPhrase, cipher.data(),
                                                     cipher.size(), kChannelKey));
  EXPECT_EQ(plain, Str(back));

  std::string other = kChannelKey;
  other[63] = '8';
  EXPECT_EQ(kPayloadFailed, CRLDATcrypto::DecryptPayload(&out, kCipherPassPhrase, cipher.data(),
                                                         cipher.size(), other));
  SecureBytes salted = cipher;
  salted[0] ^= 1;  // the salt feeds the key check
  EXPECT_EQ(kPayloadFailed, CRLDATcrypto::DecryptPayload(&out, kCipherPassPhrase, salted.data(),
                                                         salted.size(), kChannelKey));
  for (size_t cut : {size_t{10}, cipher.size() - 1}) {
    EXPECT_EQ(kPayloadFailed, CRLDATcrypto::DecryptPayload(&out, kCipherPassPhrase, cipher.data(),
                                                           cut, kChannelKey))
        << cut;
  }
  EXPECT_EQ("untouched", Str(out));

  // The pass phrase ends at the first zero byte of the key.
  const std::string zeroed("abc\0def", 7);
  ASSERT_EQ(kPayloadOk,
            CRLDATcrypto::EncryptPayload(&cipher, kCipherPassPhrase, "hello", 5, zeroed));
  ASSERT_EQ(kPayloadOk, CRLDATcrypto::DecryptPayload(&back, kCipherPassPhrase, cipher.data(),
                                                     cipher.size(), "abc"));
  EXPECT_EQ("hello", Str(back));
}

// ---------------------------------------------------------------- gzip

std::string Gzip(const std::string& data) {
  SecureBytes out;
  EXPECT_EQ(0, CRLDATcrypto::GzipPayload(data.data(), data.size(), &out, kFrameDeflateLevel));
  return Str(out);
}

TEST(Gzip, RoundTripsAndDetectsUncompressibleInput) {
  const std::string text = [] {
    std::string s;
    while (s.size() < 131072) s += "Document states of Production 0123456789abcdef; ";
    s.resize(131072);  // one whole frame
    return s;
  }();
  const std::string noise = RandomText(131072, 5);
  for (const std::string* data : {&text, &noise}) {
    SecureBytes z = Sec(Gzip(*data));
    ASSERT_EQ(0, CRLDATcrypto::GunzipPayload(&z, 131072));
    EXPECT_EQ(*data, Str(z));
  }
  EXPECT_LT(Gzip(text).size(), text.size() / 20);
  // Random bytes go out as stored blocks: gzip's 18 bytes of header and
  // trailer plus 5 per block of at least 8 KiB.
  EXPECT_LE(Gzip(noise).size(), noise.size() + 18 + 5 * 16);
  SecureBytes empty = Sec(Gzip(""));
  ASSERT_EQ(0, CRLDATcrypto::GunzipPayload(&empty, 16));
  EXPECT_EQ(0u, empty.size());
  SecureBytes out = Sec("untouched");
  EXPECT_EQ(-1, CRLDATcrypto::GzipPayload("abc", 3, &out, 10));
  EXPECT_EQ(-1, CRLDATcrypto::GzipPayload("abc", 3, &out, -1));
  EXPECT_EQ("untouched", Str(out));
}

// A kept member stands in for compressing only when it is one member that
// makes exactly the bytes at hand: a member of other bytes of the same size
// (its trailer may even claim theirs), a cut or altered one, or one with
// anything after it never does.
TEST(Gzip, AMemberHoldsOnlyExactlyItsOwnBytes) {
  std::string text;
  while (text.size() < 131072) text += "Document states of Production 0123456789abcdef; ";
  text.resize(131072);
  std::string other = text;
  other[70000] = '#';
  const std::string member = Gzip(text);
  auto holds = [](const std::string& m, const std::string& data) {
    return CRLDATcrypto::GzipMemberHolds(m.data(), m.size(), data.data(), data.size());
  };
  EXPECT_TRUE(holds(member, text));
  SecureBytes fast;
  ASSERT_EQ(0, CRLDATcrypto::GzipPayload(text.data(), text.size(), &fast, 1));
  EXPECT_TRUE(holds(Str(fast), text));  // any level makes a valid member
  EXPECT_TRUE(holds(Gzip(""), ""));

  EXPECT_FALSE(holds(member, other));
  // Other bytes under this text's trailer: the library refuses the CRC.
  std::string forged = Gzip(other);
  forged.replace(forged.size() - 8, 8, member.substr(member.size() - 8));
  EXPECT_FALSE(holds(forged, text));
  EXPECT_FALSE(holds(member + '\0', text));
  EXPECT_FALSE(holds(member + Gzip(""), text));
  EXPECT_FALSE(holds(member.substr(0, member.size() - 1), text));
  std::string flipped = member;
  flipped[member.size() / 2] ^= 0x10;
  EXPECT_FALSE(holds(flipped, text));
  EXPECT_FALSE(holds(std::string(), ""));
  // A valid member with a file name in its header is still not sent on.
  std::string named = member;
  named[3] = 0x08;  // FNAME: the name follows the fixed ten bytes
  named.insert(10, std::string("name\0", 5));
  EXPECT_FALSE(holds(named, text));
  EXPECT_FALSE(holds(member.substr(0, 17), text));
}

// Noise is stored without a search for matches; a payload whose text sits
// beside noise (an asset with a text header, a log with binary blocks) is
// still compressed, and both come back whole.
TEST(Gzip, TextBesideNoiseIsStillCompressed) {
  std::string text;
  while (text.size() < 131072) text += "Production Games, Document map.dat, version 12; ";
  for (const size_t noise_bytes : {size_t{0}, size_t{8192}, size_t{60000}, size_t{122880}}) {
    SCOPED_TRACE(noise_bytes);
    std::string data = RandomText(noise_bytes, 7) + text.substr(0, 131072 - noise_bytes);
    SecureBytes z = Sec(Gzip(data));
    if (noise_bytes < 100000) {
      EXPECT_LT(z.size(), noise_bytes + 131072 / 8);
    }
    ASSERT_EQ(0, CRLDATcrypto::GunzipPayload(&z, 131072));
    EXPECT_EQ(data, Str(z));
  }
  const std::string noise = RandomText(1 << 20, 9);
  SecureBytes z = Sec(Gzip(noise));
  EXPECT_LE(z.size(), noise.size() + 18 + 5 * 128);
  ASSERT_EQ(0, CRLDATcrypto::GunzipPayload(&z, 1 << 20));
  EXPECT_EQ(noise, Str(z));
}

TEST(Gzip, CorruptTruncatedAndTrailingDataFail) {
  const std::string data = "a payload of some length, a payload of some length";
  const std::string z = Gzip(data);
  auto fails = [](std::string bytes) {
    SecureBytes b = Sec(bytes);
    const SecureBytes before = b;
    bool failed = CRLDATcrypto::GunzipPayload(&b, 1 << 20) == -1;
    return failed && b == before;
  };
  for (size_t cut : {size_t{0}, size_t{10}, z.size() - 1}) EXPECT_TRUE(fails(z.substr(0, cut)));
  std::string bad = z;
  bad[0] = 0x1e;  // magic
  EXPECT_TRUE(fails(bad));
  bad = z;
  bad[z.size() - 8] ^= 1;  // CRC
  EXPECT_TRUE(fails(bad));
  EXPECT_TRUE(fails(z + "junk"));
  EXPECT_TRUE(fails(z + z));  // a payload is one member
}

TEST(Gzip, OutputCapStopsDecompressionBombs) {
  const std::string zeros(4 << 20, '\0');
  const std::string z = Gzip(zeros);
  ASSERT_LT(z.size(), 16384u);
  SecureBytes b = Sec(z);
  EXPECT_EQ(-1, CRLDATcrypto::GunzipPayload(&b, 131072));
  EXPECT_EQ(z, Str(b));
  EXPECT_EQ(-1, CRLDATcrypto::GunzipPayload(&b, zeros.size() - 1));
  ASSERT_EQ(0, CRLDATcrypto::GunzipPayload(&b, zeros.size()));
  EXPECT_EQ(zeros.size(), b.size());
}

// The trailer's size (the last four bytes, little-endian) is the sender's
// word: it is held against the cap and against what deflate can make of
// the payload before anything is allocated, and against what the data
// really gives.
TEST(Gzip, TrailerSizeIsCheckedBeforeTheOutputIsMade) {
  const std::string data(1000, 'a');
  const std::string z = Gzip(data);
  auto with_size = [&z](uint32_t size) {
    std::string patched = z;
    for (int i = 0; i < 4; ++i) patched[z.size() - 4 + i] = static_cast<char>(size >> (8 * i));
    return patched;
  };
  auto opens = [](const std::string& bytes, size_t cap) {
    SecureBytes b = Sec(bytes);
    const SecureBytes before = b;
    const int result = CRLDATcrypto::GunzipPayload(&b, cap);
    if (result != 0) {
      EXPECT_TRUE(b == before) << "a failed gunzip changed its input";
    }
    return result == 0;
  };
  EXPECT_TRUE(opens(z, data.size()));
  EXPECT_FALSE(opens(z, data.size() - 1));  // the cap holds for an honest trailer too
  EXPECT_FALSE(opens(with_size(1001), 1 << 20));
  EXPECT_FALSE(opens(with_size(999), 1 << 20));
  EXPECT_FALSE(opens(with_size(0), 1 << 20));
  // Far more than deflate can make of these few bytes: refused before a
  // 4 GiB buffer is asked for, whatever the cap.
  EXPECT_FALSE(opens(with_size(0xFFFFFFFFu), SIZE_MAX));
  EXPECT_FALSE(opens(with_size(static_cast<uint32_t>(z.size() * 1032 + 1)), SIZE_MAX));
}

// The old form of the payloads, Crypto++'s Gzip and Gunzip, against ours
// both ways: level 1, 6 and 9 members (the one with a file name and a
// comment in its header) open here, and ours open there, for text, bytes
// that do not shrink (stored blocks), long runs and nothing at all.
TEST(Gzip, OpensAndIsOpenedByTheCryptoppForm) {
  std::string text;
  while (text.size() < 131072) text += "int Document::Stamp() const { return stamp_; }\n";
  text.resize(131072);
  const std::vector<std::string> inputs = {text, RandomText(131072, 7), std::string(200000, 'z'),
                                           RandomText(300, 8) + text.substr(0, 5000), ""};
  for (const std::string& data : inputs) {
    for (unsigned level : {1u, 6u, 9u}) {
      std::string theirs;
      CryptoPP::Gzip gzip(new CryptoPP::StringSink(theirs), level);
      if (level == 9) {
        gzip.SetFilename("payload.bin");
        gzip.SetComment("made by the old form");
      }
      gzip.Put(reinterpret_cast<const CryptoPP::byte*>(data.data()), data.size());
      gzip.MessageEnd();
      SecureBytes z = Sec(theirs);
      ASSERT_EQ(0, CRLDATcrypto::GunzipPayload(&z, data.size()))
          << "level " << level << ", " << data.size() << " bytes";
      EXPECT_EQ(data, Str(z));
    }
    for (int level : {0, kFrameDeflateLevel, 9}) {
      SecureBytes ours;
      ASSERT_EQ(0, CRLDATcrypto::GzipPayload(data.data(), data.size(), &ours, level));
      std::string back;
      CryptoPP::Gunzip gunzip(new CryptoPP::StringSink(back));
      gunzip.Put(ours.data(), ours.size());
      gunzip.MessageEnd();
      EXPECT_EQ(data, back) << "level " << level << ", " << data.size() << " bytes";
    }
  }
}

// Whole frames: a compressed frame we write has a payload that Crypto++'s
// Gunzip opens, and a frame whose payload Crypto++'s Gzip made is opened by
// the frame reader.
TEST(Gzip, FramesInterworkWithTheCryptoppForm) {
  std::string message;
  while (message.size() < 20000) message += "Production " + std::to_string(message.size()) + "?";
  BufferRef buffer = CIOBufferSimple::Create(kFrameBufferCapacity);
  std::string frame;
  ASSERT_TRUE(WriteMessageFrames(message.data(), message.size(), kCipherClear, true, "",
                                 buffer.get(), [&](const uint8_t* bytes, size_t count) {
                                   frame.assign(reinterpret_cast<const char*>(bytes), count);
                                   return true;
                                 }));
  ASSERT_EQ(1u, DecodeFrameHeader(reinterpret_cast<const uint8_t*>(frame.data())).compressed);
  std::string back;
  CryptoPP::StringSource(frame.substr(kFrameHeaderBytes), true,
                         new CryptoPP::Gunzip(new CryptoPP::StringSink(back)));
  EXPECT_EQ(message, back);

  std::string theirs;
  CryptoPP::StringSource(message, true,
                         new CryptoPP::Gzip(new CryptoPP::StringSink(theirs), kFrameDeflateLevel));
  FrameHeader header;
  header.code = kFrameWhole;
  header.compressed = 1;
  header.length = static_cast<uint32_t>(theirs.size());
  uint8_t head[kFrameHeaderBytes];
  EncodeFrameHeader(header, head);
  CIOFrameReader reader;
  reader.AddBytes(head, sizeof head);
  reader.AddBytes(reinterpret_cast<const uint8_t*>(theirs.data()), theirs.size());
  ASSERT_TRUE(reader.Parse());
  FramePayload payload;
  ASSERT_EQ(kFrameWhole, reader.PopItem(&payload));
  EXPECT_EQ(message, std::string(payload->begin(), payload->end()));
}

// ---------------------------------------------------------------- interoperability

// Tests against independent programs from the system (openssl, gzip),
// started directly, never through a shell, with files in the test folder.
class Interop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Run({"openssl", "version"}, "/dev/null") != 0 ||
        Run({"gzip", "--version"}, "/dev/null") != 0) {
      GTEST_SKIP() << "openssl or gzip is not installed";
    }
  }

  std::string F(const std::string& name) { return env_.Path(name); }
  void Put(const std::string& name, const std::string& bytes) { test::WriteFile(F(name), bytes); }
  std::string Get(const std::string& name) { return test::ReadFile(F(name)); }

  // Runs a program found on PATH (through env, never a shell) with its
  // standard output into `out` and standard input from `in` when given.
  static int Run(const std::vector<std::string>& args, const std::string& out = "",
                 const std::string& in = "") {
    const pid_t pid = test::SpawnRedirected("/usr/bin/env", args, in, out, "");
    return pid < 0 ? -1 : test::WaitExit(pid);
  }

  // SHA-256 of the bytes, computed by openssl.
  std::string OpensslSha256(const std::string& bytes) {
    Put("digest.in", bytes);
    EXPECT_EQ(
        0, Run({"openssl", "dgst", "-sha256", "-binary", "-out", F("digest.out"), F("digest.in")}));
    return Get("digest.out");
  }

  // The -K and -iv arguments of "openssl enc" for the selector-1 cipher,
  // derived here without the helper.
  void AesArguments(std::string* key_hex, std::string* iv_hex) {
    *key_hex = CRLDATcrypto::HexEncode(OpensslSha256(kChannelKey).data(), 32);
    const std::string d = OpensslSha256("Veltrane");
    std::string iv(16, '\0');
    for (int i = 0; i < 16; ++i) iv[i] = static_cast<char>(d[i] ^ d[i + 16]);
    *iv_hex = CRLDATcrypto::HexEncode(iv.data(), 16);
  }

  static std::string Unhex(const std::string& hex) {
    SecureBytes b;
    EXPECT_TRUE(CRLDATcrypto::HexDecode(hex, &b));
    return Str(b);
  }

  test::TestEnv env_;
};

TEST_F(Interop, RsaOaepBothWaysWithOurKeys) {
  std::string priv, pub;
  ASSERT_TRUE(CRLDATcrypto::GenerateKeyPair(1024, &priv, &pub));
  EXPECT_EQ(std::string::npos, (priv + pub).find_first_not_of("0123456789ABCDEF"));
  Put("priv.der", Unhex(priv));
  Put("pub.der", Unhex(pub));
  // PKCS #1 DER both, exponent 17.
  ASSERT_EQ(0, Run({"openssl", "rsa", "-RSAPublicKey_in", "-inform", "DER", "-in", F("pub.der"),
                    "-text", "-noout"},
                   F("pub.txt")));
  EXPECT_NE(std::string::npos, Get("pub.txt").find("Public-Key: (1024 bit)"));
  EXPECT_NE(std::string::npos, Get("pub.txt").find("Exponent: 17 (0x11)"));
  ASSERT_EQ(0, Run({"openssl", "rsa", "-inform", "DER", "-in", F("priv.der"), "-check", "-noout"},
                   F("check.txt")));
  EXPECT_NE(std::string::npos, Get("check.txt").find("RSA key ok"));
  ASSERT_EQ(0, Run({"openssl", "rsa", "-RSAPublicKey_in", "-inform", "DER", "-in", F("pub.der"),
                    "-pubout", "-out", F("pub.pem")}));

  // Ours to openssl: the largest plain text that fits a 1024-bit block.
  const std::string secret = RandomText(86, 31);
  std::string cipher_hex;
  ASSERT_TRUE(CRLDATcrypto::RsaEncryptToHex(pub, secret.data(), secret.size(), &cipher_hex));
  EXPECT_EQ(256u, cipher_hex.size());
  Put("c.bin", Unhex(cipher_hex));
  ASSERT_EQ(0, Run({"openssl", "pkeyutl", "-decrypt", "-inkey", F("priv.der"), "-keyform", "DER",
                    "-pkeyopt", "rsa_padding_mode:oaep", "-pkeyopt", "rsa_oaep_md:sha1", "-in",
                    F("c.bin"), "-out", F("p.bin")}));
  EXPECT_EQ(secret, Get("p.bin"));
  EXPECT_FALSE(CRLDATcrypto::RsaEncryptToHex(pub, secret.data(), 87, &cipher_hex));

  // Openssl to ours: the channel key as the logon reply carries it.
  Put("key.bin", kChannelKey);
  ASSERT_EQ(0, Run({"openssl", "pkeyutl", "-encrypt", "-pubin", "-inkey", F("pub.pem"), "-pkeyopt",
                    "rsa_padding_mode:oaep", "-pkeyopt", "rsa_oaep_md:sha1", "-in", F("key.bin"),
                    "-out", F("key.enc")}));
  const std::string enc = Get("key.enc");
  SecureBytes plain;
  ASSERT_TRUE(CRLDATcrypto::RsaDecryptFromHex(priv, CRLDATcrypto::HexEncode(enc.data(), enc.size()),
                                              &plain));
  EXPECT_EQ(kChannelKey, Str(plain));
}

// What gzip packs at levels 1, 6 and 9, with or without the file's name in
// the header, the helper unpacks; what the helper packs (text, bytes that do
// not shrink, nothing at all) gzip unpacks. The frame payload test below
// does the same through the cipher.
TEST_F(Interop, GzipMembersBothWaysWithGzip) {
  const std::string data = RandomText(5000, 50) + std::string(100000, 'v') + "end";
  Put("data", data);
  for (const char* level : {"-1", "-6", "-9"}) {
    for (bool name : {false, true}) {
      std::vector<std::string> args = {"gzip", level, "-c", F("data")};
      if (!name) args.insert(args.begin() + 2, "-n");
      ASSERT_EQ(0, Run(args, F("theirs.gz")));
      SecureBytes z = Sec(Get("theirs.gz"));
      ASSERT_EQ(0, CRLDATcrypto::GunzipPayload(&z, data.size())) << level << " name " << name;
      EXPECT_EQ(data, Str(z));
    }
  }
  for (const std::string& plain : {data, RandomText(131072, 51), std::string()}) {
    SecureBytes ours;
    ASSERT_EQ(0, CRLDATcrypto::GzipPayload(plain.data(), plain.size(), &ours, kFrameDeflateLevel));
    Put("ours.gz", Str(ours));
    ASSERT_EQ(0, Run({"gzip", "-dc", F("ours.gz")}, F("back")));
    EXPECT_EQ(plain, Get("back"));
  }
}

// A compressed selector-1 frame carries AES-256-CBC over one gzip member:
// openssl decrypts it and gzip unpacks it. (The reverse direction of the
// cipher needs no program: CBC under a fixed key and IV is one-to-one, and
// the round trips above invert it.)
TEST_F(Interop, FramePayloadDecodesWithOpensslAndGzip) {
  std::string key_hex, iv_hex;
  AesArguments(&key_hex, &iv_hex);
  std::string message;
  while (message.size() < 50000) message += "field " + std::to_string(message.size()) + ";";
  BufferRef buffer = CIOBufferSimple::Create(kFrameBufferCapacity);
  std::string frame;
  ASSERT_TRUE(WriteMessageFrames(message.data(), message.size(), kCipherAes, true, kChannelKey,
                                 buffer.get(), [&](const uint8_t* bytes, size_t count) {
                                   frame.assign(reinterpret_cast<const char*>(bytes), count);
                                   return true;
                                 }));
  ASSERT_EQ(1u, DecodeFrameHeader(reinterpret_cast<const uint8_t*>(frame.data())).compressed);
  Put("payload", frame.substr(kFrameHeaderBytes));
  ASSERT_EQ(0, Run({"openssl", "enc", "-d", "-aes-256-cbc", "-K", key_hex, "-iv", iv_hex, "-in",
                    F("payload")},
                   F("payload.gz")));
  ASSERT_EQ(0, Run({"gzip", "-dc", F("payload.gz")}, F("plain")));
  EXPECT_EQ(message, Get("plain"));
}

// ---------------------------------------------------------------- hostile RSA texts

TEST(Rsa, HostileKeyAndCipherTextsFail) {
  std::string priv, pub;
  ASSERT_TRUE(CRLDATcrypto::GenerateKeyPair(1024, &priv, &pub));
  std::string cipher_hex = "unchanged";
  for (const std::string& bad : {std::string("XYZ"), pub.substr(0, pub.size() - 2), pub + "00"}) {
    EXPECT_FALSE(CRLDATcrypto::RsaEncryptToHex(bad, "k", 1, &cipher_hex));
  }
  EXPECT_EQ("unchanged", cipher_hex);

  // A public key beyond the size cap is refused before any arithmetic.
  CryptoPP::RSAFunction huge;
  huge.Initialize(CryptoPP::Integer::Power2(CRLDATcrypto::kMaxRsaBits + 8) + 1, 17);
  CryptoPP::ByteQueue der;
  huge.DEREncodePublicKey(der);
  std::string huge_der(static_cast<size_t>(der.MaxRetrievable()), '\0');
  der.Get(reinterpret_cast<CryptoPP::byte*>(&huge_der[0]), huge_der.size());
  EXPECT_FALSE(CRLDATcrypto::RsaEncryptToHex(
      CRLDATcrypto::HexEncode(huge_der.data(), huge_der.size()), "k", 1, &cipher_hex));

  ASSERT_TRUE(CRLDATcrypto::RsaEncryptToHex(pub, "key", 3, &cipher_hex));
  SecureBytes plain = Sec("untouched");
  std::string tampered = cipher_hex;
  tampered[10] = tampered[10] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(CRLDATcrypto::RsaDecryptFromHex(priv, tampered, &plain));
  EXPECT_FALSE(CRLDATcrypto::RsaDecryptFromHex(priv, cipher_hex.substr(2), &plain));
  EXPECT_FALSE(CRLDATcrypto::RsaDecryptFromHex(pub, cipher_hex, &plain));
  EXPECT_FALSE(CRLDATcrypto::RsaDecryptFromHex(priv.substr(0, 100), cipher_hex, &plain));
  EXPECT_EQ("untouched", Str(plain));
  ASSERT_TRUE(CRLDATcrypto::RsaDecryptFromHex(priv, cipher_hex, &plain));
  EXPECT_EQ("key", Str(plain));
}

// ---------------------------------------------------------------- threads

TEST(CryptoLock, HelperRunsOnSeveralThreadsAtOnce) {
  auto work = [](unsigned seed, bool* ok) {
    *ok = true;
    for (int i = 0; i < 20; ++i) {
      const std::string plain = RandomText(20000, seed + i);
      SecureBytes z, c, p;
      *ok &= CRLDATcrypto::GzipPayload(plain.data(), plain.size(), &z, kFrameDeflateLevel) == 0;
      *ok &= CRLDATcrypto::EncryptPayload(&c, kCipherAes, z.data(), z.size(), kChannelKey) ==
             kPayloadOk;
      *ok &= CRLDATcrypto::DecryptPayload(&p, kCipherAes, c.data(), c.size(), kChannelKey) ==
             kPayloadOk;
      *ok &= CRLDATcrypto::GunzipPayload(&p, plain.size()) == 0 && Str(p) == plain;
    }
  };
  bool ok_a = false, ok_b = false;
  std::thread a(work, 100u, &ok_a), b(work, 200u, &ok_b);
  a.join();
  b.join();
  EXPECT_TRUE(ok_a);
  EXPECT_TRUE(ok_b);
}

}  // namespace
}  // namespace tw
