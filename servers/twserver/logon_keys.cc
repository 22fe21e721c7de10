#include "servers/twserver/logon_keys.h"

#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/rsa.h>

#include <cstring>
#include <utility>

namespace tw::twserver {

struct LogonKeys::Key {
  uint64_t generation = 0;
  std::string private_key;  // key material: wiped when the key goes
  std::string public_key;
  std::string modulus;  // big-endian, one cipher text long
  std::chrono::steady_clock::time_point made;
  std::unordered_set<std::string> opened;  // SHA-256 of the cipher texts opened

  ~Key() { CRLDATcrypto::Wipe(&private_key); }
};

namespace {

// The modulus of a public key text (hex of the PKCS #1 DER), big-endian in
// as many bytes as it takes; empty when the text cannot be read.
std::string ModulusOf(const std::string& public_key) {
  try {
    std::string der;
    CryptoPP::StringSource(public_key, true,
                           new CryptoPP::HexDecoder(new CryptoPP::StringSink(der)));
    CryptoPP::RSAFunction key;
    CryptoPP::StringSource source(der, true);
    key.BERDecodePublicKey(source, false, der.size());
    const CryptoPP::Integer& n = key.GetModulus();
    std::string bytes(n.ByteCount(), '\0');
    n.Encode(reinterpret_cast<CryptoPP::byte*>(&bytes[0]), bytes.size());
    return bytes;
  } catch (...) {
    return std::string();
  }
}

}  // namespace

LogonKeys::LogonKeys(Options options) : options_(options) {}

LogonKeys::~LogonKeys() = default;

std::unique_ptr<LogonKeys::Key> LogonKeys::MakeKey(uint64_t generation, std::string* error) {
  auto key = std::make_unique<Key>();
  if (!CRLDATcrypto::GenerateKeyPair(options_.bits, &key->private_key, &key->public_key)) {
    *error = "cannot generate a logon key pair";
    return nullptr;
  }
  key->modulus = ModulusOf(key->public_key);
  if (key->modulus.empty()) {
    *error = "cannot read the new logon key";
    return nullptr;
  }
  key->generation = generation;
  key->made = std::chrono::steady_clock::now();
  return key;
}

bool LogonKeys::Start(std::string* error) {
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    generation = next_generation_++;
  }
  std::unique_ptr<Key> key = MakeKey(generation, error);
  if (!key) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  previous_ = std::move(current_);
  current_ = std::move(key);
  return true;
}

void LogonKeys::Current(uint64_t* generation, std::string* public_key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!current_) {
    *generation = 0;
    public_key->clear();
    return;
  }
  *generation = current_->generation;
  *public_key = current_->public_key;
}

LogonKeys::Result LogonKeys::Open(uint64_t generation, const std::string& sealed_hex,
                                  SecureBytes* plain) {
  SecureBytes cipher;
  if (!CRLDATcrypto::HexDecode(sealed_hex, &cipher)) return kUnusable;
  std::string fingerprint;
  CRLDATcrypto::DigestToHex(fingerprint, kDigestSha256, cipher.data(), cipher.size());
  std::string private_key;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Key* key = current_ && current_->generation == generation     ? current_.get()
               : previous_ && previous_->generation == generation ? previous_.get()
                                                                  : nullptr;
    if (key == nullptr) return kUnusable;
    // Only the canonical form, a number below the modulus, is taken: c and
    // c + n would otherwise open alike and count as two.
    if (cipher.size() != key->modulus.size() ||
        std::memcmp(cipher.data(), key->modulus.data(), cipher.size()) >= 0) {
      return kUnusable;
    }
    if (key->opened.count(fingerprint) != 0) return kReplayed;
    if (key->opened.size() >= options_.max_opened) return kUnusable;
    private_key = key->private_key;
  }
  // The private-key operation is the slow part: outside the lock.
  SecureBytes opened;
  const bool ok = CRLDATcrypto::RsaDecryptFromHex(private_key, sealed_hex, &opened);
  CRLDATcrypto::Wipe(&private_key);
  if (!ok) return kUnusable;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Key* key : {current_.get(), previous_.get()}) {
      // Two connections racing with one cipher text: the second is a replay.
      if (key != nullptr && key->generation == generation &&
          !key->opened.insert(fingerprint).second) {
        return kReplayed;
      }
    }
  }
  plain->swap(opened);
  return kOpened;
}

void LogonKeys::Rotate(std::chrono::steady_clock::time_point now) {
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_ && now - current_->made < options_.rotation &&
        current_->opened.size() < options_.max_opened) {
      return;
    }
    generation = next_generation_++;
  }
  std::string error;
  std::unique_ptr<Key> key = MakeKey(generation, &error);
  if (!key) return;  // the current key serves on; the next call tries again
  std::lock_guard<std::mutex> lock(mutex_);
  previous_ = std::move(current_);
  current_ = std::move(key);
}

}  // namespace tw::twserver
