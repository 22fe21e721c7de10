// The server's logon keys: RSA key pairs kept in memory only, a new one
// made every few minutes, and the memory of every sealed logon digest
// already opened under each.
//
// A LOGON carries the password digest sealed (RSA-OAEP) to the key that the
// connection's PRELOGON announced. Someone who captured that field could
// send it again with a client key of his own and be handed the channel key;
// so a sealed digest opens only once: under the same key a second time it
// is refused (cipher texts are compared in their canonical form, below the
// modulus, so another spelling of the same number counts as the same one),
// and a key is retired, taking its memory with it, two rotations after it
// was first announced. A client whose PRELOGON came long before its LOGON
// (over two rotations) is refused and simply logs on again.
//
// Threads: every operation may be called from any thread; `mutex_` guards
// the keys, and key generation (slow) runs outside it.
#ifndef TW_SERVERS_TWSERVER_LOGON_KEYS_H_
#define TW_SERVERS_TWSERVER_LOGON_KEYS_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "crypto/crypto.h"

namespace tw::twserver {

class LogonKeys {
 public:
  struct Options {
    unsigned bits = 2048;
    // How long a key is announced; it opens digests for twice as long.
    std::chrono::seconds rotation{300};
    // Sealed digests remembered per key; a key whose memory is full is
    // replaced at once.
    size_t max_opened = 100000;
  };

  // The outcome of Open.
  enum Result { kOpened, kReplayed, kUnusable };

  explicit LogonKeys(Options options);
  ~LogonKeys();
  LogonKeys(const LogonKeys&) = delete;
  LogonKeys& operator=(const LogonKeys&) = delete;

  // Makes the first key. False, with `error`, when no key can be made.
  bool Start(std::string* error);

  // The key to announce now: its public text and its number.
  void Current(uint64_t* generation, std::string* public_key);

  // Opens a digest sealed to the key `generation` (its hex cipher text):
  // kOpened with `plain`; kReplayed when this cipher text was opened under
  // that key before; kUnusable when the key is retired or unknown, or the
  // text does not open.
  Result Open(uint64_t generation, const std::string& sealed_hex, SecureBytes* plain);

  // Replaces the current key when it has been announced for a rotation (or
  // its memory is full) and retires the one before. Called now and then by
  // the server's maintenance; makes the new key before taking the lock.
  void Rotate(std::chrono::steady_clock::time_point now);

 private:
  struct Key;
  std::unique_ptr<Key> MakeKey(uint64_t generation, std::string* error);

  const Options options_;
  std::mutex mutex_;
  std::unique_ptr<Key> current_;   // guarded by mutex_
  std::unique_ptr<Key> previous_;  // guarded by mutex_
  uint64_t next_generation_ = 1;   // guarded by mutex_
};

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_LOGON_KEYS_H_
