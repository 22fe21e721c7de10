// The logon keys on their own: a sealed digest opens once, in any spelling
// and as any number congruent to it; a retired key opens nothing.
#include "servers/twserver/logon_keys.h"

#include <cryptopp/hex.h>
#include <cryptopp/integer.h>
#include <cryptopp/rsa.h>
#include <gtest/gtest.h>

#include "platform/letter_case.h"

namespace tw::twserver {
namespace {

std::string Seal(const std::string& public_key, const std::string& plain) {
  std::string sealed;
  EXPECT_TRUE(CRLDATcrypto::RsaEncryptToHex(public_key, plain.data(), plain.size(), &sealed));
  return sealed;
}

// The cipher text plus the modulus, in the same number of bytes when it
// fits; empty when it does not.
std::string PlusModulus(const std::string& public_key, const std::string& sealed) {
  std::string der;
  CryptoPP::StringSource(public_key, true, new CryptoPP::HexDecoder(new CryptoPP::StringSink(der)));
  CryptoPP::RSAFunction key;
  CryptoPP::StringSource source(der, true);
  key.BERDecodePublicKey(source, false, der.size());
  std::string raw;
  CryptoPP::StringSource(sealed, true, new CryptoPP::HexDecoder(new CryptoPP::StringSink(raw)));
  const CryptoPP::Integer c(reinterpret_cast<const CryptoPP::byte*>(raw.data()), raw.size());
  const CryptoPP::Integer bigger = c + key.GetModulus();
  if (bigger.ByteCount() > raw.size()) return std::string();
  std::string out(raw.size(), '\0');
  bigger.Encode(reinterpret_cast<CryptoPP::byte*>(&out[0]), out.size());
  return CRLDATcrypto::HexEncode(out.data(), out.size());
}

TEST(LogonKeysTest, ASealedDigestOpensOnceUnderItsKeyUntilTheKeyRetires) {
  LogonKeys::Options options;
  options.bits = 1024;
  options.rotation = std::chrono::seconds(0);  // every Rotate makes a new key
  LogonKeys keys(options);
  std::string error;
  ASSERT_TRUE(keys.Start(&error)) << error;
  uint64_t generation = 0;
  std::string public_key;
  keys.Current(&generation, &public_key);

  SecureBytes plain;
  // Sealed until a variant comes that is the modulus larger yet fits.
  std::string sealed, variant;
  for (int i = 0; i < 64 && variant.empty(); ++i) {
    sealed = Seal(public_key, "0123456789ABCDEF0123456789ABCDEF");
    variant = PlusModulus(public_key, sealed);
  }
  ASSERT_EQ(LogonKeys::kOpened, keys.Open(generation, sealed, &plain));
  EXPECT_EQ("0123456789ABCDEF0123456789ABCDEF", std::string(plain.begin(), plain.end()));
  EXPECT_EQ(LogonKeys::kReplayed, keys.Open(generation, sealed, &plain));
  EXPECT_EQ(LogonKeys::kReplayed, keys.Open(generation, LowerCase(sealed), &plain));
  if (!variant.empty()) {
    EXPECT_EQ(LogonKeys::kUnusable, keys.Open(generation, variant, &plain));
  }
  EXPECT_EQ(LogonKeys::kUnusable, keys.Open(generation + 1, Seal(public_key, "x"), &plain));

  // After one rotation the key still opens new digests; after two it is gone.
  const std::string later = Seal(public_key, "later");
  keys.Rotate(std::chrono::steady_clock::now());
  uint64_t next = 0;
  std::string next_key;
  keys.Current(&next, &next_key);
  EXPECT_NE(generation, next);
  EXPECT_EQ(LogonKeys::kOpened, keys.Open(generation, later, &plain));
  keys.Rotate(std::chrono::steady_clock::now());
  EXPECT_EQ(LogonKeys::kUnusable, keys.Open(generation, Seal(public_key, "gone"), &plain));
  EXPECT_EQ(LogonKeys::kOpened, keys.Open(next, Seal(next_key, "next"), &plain));
}

}  // namespace
}  // namespace tw::twserver
