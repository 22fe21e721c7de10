// The recipient table on Windows: each registered recipient is a named
// shared block "Veltrane.Recipient.<encoded name>" holding its mailslot
// name. The registering process holds the block, so the entry goes away
// with that process even when it dies; a lookup still counts a recipient
// only while its mailslot has a live reader. With $VELTRANE_RUNTIME_DIR set
// (every test fixture sets its own), the folder's name is part of the
// block's name, so that fixtures side by side each find their own
// recipients. See platform/recipient_table.h.
#include "platform/recipient_table.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/mailslot.h"
#include "platform/runtime_dir.h"
#include "platform/shared_block.h"

namespace tw {
namespace {

// An entry holds one mailslot name and a terminating zero.
constexpr uint32_t kMaxEntry = 4096;
constexpr uint32_t kLockWaitMs = 10000;

std::string BlockName(const std::string& recipient) {
  std::string name = "Veltrane.Recipient." + EncodeFileName(recipient);
  const char* scope = std::getenv("VELTRANE_RUNTIME_DIR");
  if (scope != nullptr && *scope != '\0') {
    // FNV-1a of the folder's name: short, and distinct for distinct folders
    // in practice.
    uint64_t hash = 1469598103934665603ULL;
    for (const char* p = scope; *p != '\0'; ++p) {
      hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211ULL;
    }
    char text[24];
    std::snprintf(text, sizeof text, ".%016llX", static_cast<unsigned long long>(hash));
    name += text;
  }
  return name;
}

// The blocks this process holds, by block name.
struct Held {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<SharedBlock>> blocks;  // guarded by mutex
};
Held& HeldBlocks() {
  static Held* held = new Held;  // never destroyed: registrations may end late
  return *held;
}

bool ReadBlock(SharedBlock* block, std::string* mailslot) {
  if (!block->IsValid() || block->Size() < kMaxEntry) return false;
  char* data = static_cast<char*>(block->Lock(kLockWaitMs));
  if (data == nullptr) return false;
  const size_t length = strnlen(data, kMaxEntry);
  std::string name(data, length);
  block->Unlock();
  if (length == 0 || length == kMaxEntry) return false;
  *mailslot = name;
  return true;
}

}  // namespace

bool RegisterRecipient(const std::string& recipient, const std::string& mailslot,
                       std::string* error) {
  if (recipient.empty()) {
    *error = "A recipient needs a name";
    return false;
  }
  if (mailslot.empty() || mailslot.size() >= kMaxEntry ||
      mailslot.find('\0') != std::string::npos) {
    *error = "Not a mailslot name that can be registered";
    return false;
  }
  const std::string name = BlockName(recipient);
  Held& held = HeldBlocks();
  std::lock_guard<std::mutex> lock(held.mutex);
  std::unique_ptr<SharedBlock>& block = held.blocks[name];
  if (!block) block = std::make_unique<SharedBlock>(name, kMaxEntry);
  char* data = block->IsValid() && block->Size() >= kMaxEntry
                   ? static_cast<char*>(block->Lock(kLockWaitMs))
                   : nullptr;
  if (data == nullptr) {
    held.blocks.erase(name);
    *error = "Cannot publish the recipient " + recipient;
    return false;
  }
  std::memset(data, 0, kMaxEntry);
  std::memcpy(data, mailslot.data(), mailslot.size());
  block->Unlock();
  return true;
}

void UnregisterRecipient(const std::string& recipient, const std::string& mailslot) {
  if (recipient.empty()) return;
  const std::string name = BlockName(recipient);
  Held& held = HeldBlocks();
  std::lock_guard<std::mutex> lock(held.mutex);
  auto it = held.blocks.find(name);
  if (it == held.blocks.end()) return;
  SharedBlock* block = it->second.get();
  if (char* data = static_cast<char*>(block->Lock(kLockWaitMs))) {
    // A newer registration by someone else stays.
    if (strnlen(data, kMaxEntry) == mailslot.size() &&
        std::memcmp(data, mailslot.data(), mailslot.size()) == 0) {
      std::memset(data, 0, kMaxEntry);
    }
    block->Unlock();
  }
  held.blocks.erase(it);
}

bool LookupRecipient(const std::string& recipient, std::string* mailslot) {
  if (recipient.empty()) return false;
  SharedBlock block(BlockName(recipient), 0);
  std::string name;
  if (!ReadBlock(&block, &name) || !MailslotIsAlive(name)) return false;
  *mailslot = name;
  return true;
}

bool RecipientRegistration::Register(const std::string& recipient, const std::string& mailslot,
                                     std::string* error) {
  Unregister();
  if (!RegisterRecipient(recipient, mailslot, error)) return false;
  recipient_ = recipient;
  mailslot_ = mailslot;
  return true;
}

void RecipientRegistration::Unregister() {
  if (recipient_.empty()) return;
  UnregisterRecipient(recipient_, mailslot_);
  recipient_.clear();
  mailslot_.clear();
}

}  // namespace tw
