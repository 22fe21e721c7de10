// The logon family: PRELOGON announces the logon key and the repository's
// channel settings, LOGON opens the sealed digest under that key, checks
// it, and hands the client the channel key (commands.h tells the rules).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "crypto/crypto.h"
#include "protocol/logon_command.h"
#include "servers/twserver/command_fields.h"
#include "servers/twserver/commands.h"
#include "servers/twserver/names.h"

namespace tw::twserver {

namespace {

// Slice of the waits of a throttled logon.
constexpr std::chrono::milliseconds kPauseSlice{50};

std::string RandomHex(size_t bytes) {
  std::vector<uint8_t> raw(bytes);
  if (CRLDATcrypto::RandomBytes(raw.data(), raw.size()) != 0) return std::string();
  std::string hex = CRLDATcrypto::HexEncode(raw.data(), raw.size());
  std::memset(raw.data(), 0, raw.size());
  return hex;
}

}  // namespace

void CommandHandler::Pause(std::chrono::milliseconds delay) const {
  const auto end = std::chrono::steady_clock::now() + delay;
  for (;;) {
    if (stopping_ != nullptr && stopping_->load()) return;
    const auto left = end - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kPauseSlice));
  }
}

int CommandHandler::PreLogon(const CRLMSGmessage&, CommandOutcome* out) {
  RepositorySettings settings;
  const int result = storage_.GetSettings(&settings);
  if (result != kOk) return Checked(result, out);
  std::string public_key;
  keys_.Current(&key_generation_, &public_key);
  if (public_key.empty()) {
    out->failure = "no logon key";
    return kServerFailure;
  }
  key_announced_ = true;
  settings_ = settings;
  announced_ = true;
  out->reply->SetString(prelogon::kReplyServerKey, public_key);
  out->reply->SetInt(prelogon::kReplySelector, settings.selector);
  out->reply->SetInt(prelogon::kReplyCompression, settings.compression);
  out->reply->SetInt(prelogon::kReplyLockPolicy, settings.lock_policy);
  return kOk;
}

int CommandHandler::Logon(const CRLMSGmessage& request, CommandOutcome* out) {
  std::string name, sealed_digest, client_key;
  if (!GetText(request, logon::kFieldUserName, &name) ||
      !GetText(request, logon::kFieldDigest, &sealed_digest) ||
      !GetText(request, logon::kFieldClientKey, &client_key)) {
    return kMalformed;
  }
  if (!announced_) {
    // A client that skipped PRELOGON gets the settings as they are now.
    const int result = storage_.GetSettings(&settings_);
    if (result != kOk) return Checked(result, out);
    announced_ = true;
  }
  if (!key_announced_) {
    // A client that skipped PRELOGON may have the current key from another
    // connection.
    std::string ignored;
    keys_.Current(&key_generation_, &ignored);
  }
  // Names the rules refuse share one throttle record, so that nobody fills
  // the throttle's memory with long junk names.
  const std::string throttled = IsValidUserName(name) ? name : std::string("\x01");
  Pause(throttle_.WaitFor(throttled, peer_address_, std::chrono::steady_clock::now()));

  SecureBytes plain;
  // Kept for the rechecks once the logon succeeds; wiped on every way out.
  std::string digest;
  struct WipeOnExit {
    std::string* text;
    ~WipeOnExit() { CRLDATcrypto::Wipe(text); }
  } wipe{&digest};
  const LogonKeys::Result opened = keys_.Open(key_generation_, sealed_digest, &plain);
  int checked = kLogonRefused;
  const char* why = opened == LogonKeys::kReplayed ? "a sealed digest opened before (a replay)"
                                                   : "a sealed digest that does not open";
  if (opened == LogonKeys::kOpened) {
    digest.assign(reinterpret_cast<const char*>(plain.data()), plain.size());
    checked = storage_.CheckLogon(name, digest);
    why = "unknown user or wrong password";
  }
  if (checked != kOk && checked != kLogonRefused) return Checked(checked, out);
  if (checked == kLogonRefused) {
    const LogonThrottle::Refusal refusal = throttle_.Refused(
        throttled, peer_address_, ++refused_logons_, std::chrono::steady_clock::now());
    out->note = std::string("logon refused for ") + Printable(name.substr(0, kMaxNameBytes)) +
                ": " + why + "; refusal " + std::to_string(refused_logons_) +
                " on this connection, " + std::to_string(refusal.pair_failures) +
                " for the name from this address, " + std::to_string(refusal.name_addresses) +
                " addresses refused for it; answered after " +
                std::to_string(refusal.delay.count()) + " ms";
    Pause(refusal.delay);
    return kLogonRefused;
  }
  throttle_.Succeeded(throttled, peer_address_, std::chrono::steady_clock::now());

  // The channel key: 64 upper-case hex characters, used as they are (their
  // ASCII bytes), so it holds no zero byte and serves as a pass phrase too.
  std::string key = RandomHex(32);
  const std::string token = RandomHex(16);
  if (key.empty() || token.empty()) {
    out->failure = "no random bytes for the channel key";
    return kServerFailure;
  }
  std::string sealed_key;
  if (!CRLDATcrypto::RsaEncryptToHex(client_key, key.data(), key.size(), &sealed_key)) {
    CRLDATcrypto::Wipe(&key);
    return kMalformed;  // the client's public key is unusable
  }
  out->reply->SetString(logon::kReplyToken, token);
  out->reply->SetString(logon::kReplyChannelKey, sealed_key);
  out->switch_cipher = true;
  out->cipher.selector = static_cast<uint32_t>(settings_.selector);
  out->cipher.compress = settings_.compression != 0 || settings_.selector != 0;
  out->cipher.key = std::move(key);
  user_ = name;
  CRLDATcrypto::Wipe(&logon_digest_);
  logon_digest_.swap(digest);
  user_checked_at_ = std::chrono::steady_clock::now();
  return kOk;
}

int CommandHandler::RecheckUser(CommandOutcome* out) {
  const auto now = std::chrono::steady_clock::now();
  if (now - user_checked_at_ < limits_.user_recheck) return kOk;
  const int checked = storage_.CheckLogon(user_, logon_digest_);
  if (checked == kOk) {
    user_checked_at_ = now;
    return kOk;
  }
  if (checked != kLogonRefused) return Checked(checked, out);
  out->note =
      "logon of " + Printable(user_) + " ended: the user was removed or his password changed";
  user_.clear();
  CRLDATcrypto::Wipe(&logon_digest_);
  return kServerNotLoggedOn;
}

}  // namespace tw::twserver
