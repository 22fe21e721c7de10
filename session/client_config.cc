#include "session/client_config.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tw {
namespace {

constexpr uint32_t kClientConfigSize = 3;
constexpr uint32_t kLockWaitMs = 5000;

// Reads one byte of an existing block; false when it is absent or too small.
bool ReadConfigByte(uint32_t index) {
  SharedBlock block(ClientConfigName(), 0);
  if (!block.IsValid() || block.Size() <= index) return false;
  auto* data = static_cast<const unsigned char*>(block.Lock(kLockWaitMs));
  if (data == nullptr) return false;
  bool set = data[index] != 0;
  block.Unlock();
  return set;
}

}  // namespace

std::string ClientConfigName() {
  char name[32];
  std::snprintf(name, sizeof name, "ClientConfig%d", static_cast<int>(getpid()));
  return name;
}

std::unique_ptr<SharedBlock> CreateClientConfig() {
  auto block = std::make_unique<SharedBlock>(ClientConfigName(), kClientConfigSize);
  if (block->IsValid()) {
    if (auto* bytes = static_cast<unsigned char*>(block->Lock(kLockWaitMs))) {
      std::memset(bytes, 0, std::min<uint32_t>(block->Size(), kClientConfigSize));
      block->Unlock();
    }
  }
  return block;
}

void PublishLockPolicy(int policy) {
  SharedBlock block(ClientConfigName(), 0);
  if (!block.IsValid() || block.Size() < kClientConfigSize) return;
  if (auto* bytes = static_cast<unsigned char*>(block.Lock(kLockWaitMs))) {
    bytes[1] = policy == kLockPolicyExclusive ? 1 : 0;
    bytes[2] = policy == kLockPolicyShared ? 1 : 0;
    block.Unlock();
  }
}

bool ServerDemandsExclusiveLock() {
  return ReadConfigByte(1);
}

bool ServerDemandsSharedLock() {
  return ReadConfigByte(2);
}

int CurrentLockPolicy() {
  if (ServerDemandsExclusiveLock()) return kLockPolicyExclusive;
  if (ServerDemandsSharedLock()) return kLockPolicyShared;
  return kLockPolicyNone;
}

}  // namespace tw
