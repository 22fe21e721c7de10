// The client configuration block "ClientConfig<pid>": three bytes that this
// process publishes to the other local processes of the product. Byte 0 is
// cleared at session start, byte 1 says the server demands exclusive locks,
// byte 2 that it demands shared locks. Read and written under the block's
// own lock.
#ifndef TW_SESSION_CLIENT_CONFIG_H_
#define TW_SESSION_CLIENT_CONFIG_H_

#include <memory>
#include <string>

#include "platform/shared_block.h"
#include "protocol/logon_command.h"

namespace tw {

// The block's name for this process.
std::string ClientConfigName();

// This process's block, created when no component of the process has it
// yet, with its three bytes cleared. The block lives as long as the
// returned handle (or another one) does.
std::unique_ptr<SharedBlock> CreateClientConfig();

// Sets bytes 1 and 2 from the lock policy of a PRELOGON reply; nothing
// when the block does not exist.
void PublishLockPolicy(int policy);

// Byte 1 / byte 2 of this process's block; false when the block does not
// exist or cannot be locked.
bool ServerDemandsExclusiveLock();
bool ServerDemandsSharedLock();

// The lock policy the two bytes describe.
int CurrentLockPolicy();

}  // namespace tw

#endif  // TW_SESSION_CLIENT_CONFIG_H_
