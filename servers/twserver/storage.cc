#include "servers/twserver/storage.h"

#include <chrono>

#include "crypto/crypto.h"
#include "protocol/logon_command.h"
#include "servers/twserver/names.h"

namespace tw::twserver {

int64_t SystemClockMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

namespace {

// A whole decimal number among `allowed`.
bool ParseChoice(const std::string& text, std::initializer_list<int> allowed, int* out) {
  for (int choice : allowed) {
    if (text == std::to_string(choice)) {
      *out = choice;
      return true;
    }
  }
  return false;
}

}  // namespace

bool ApplySetting(const std::string& key, const std::string& value, RepositorySettings* settings) {
  if (key == "root-name") {
    if (!IsValidName(value)) return false;
    settings->root_name = value;
    return true;
  }
  if (key == "selector") {
    constexpr int kNone = 0;
    return ParseChoice(value, {kNone, kCipherAes, kCipherPassPhrase}, &settings->selector);
  }
  if (key == "compression") return ParseChoice(value, {0, 1}, &settings->compression);
  if (key == "lock-policy") {
    return ParseChoice(value, {kLockPolicyNone, kLockPolicyExclusive, kLockPolicyShared},
                       &settings->lock_policy);
  }
  return false;
}

bool IsValidUserName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameBytes) return false;
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

std::string LogonDigest(const std::string& name, const std::string& password) {
  std::string joined = password + name;
  std::string digest;
  CRLDATcrypto::DigestToHex(digest, kDigestMd5, joined);
  CRLDATcrypto::Wipe(&joined);
  return digest;
}

}  // namespace tw::twserver
