// The second process of the inter-process tests. It inherits the test's
// environment (and so its runtime folder) and runs one mode:
//   block-count <name> <ask size> <expect size> <iterations>
//       opens the existing block, checks its size, then adds 1 to its first
//       32-bit word under the lock <iterations> times.
//   block-hold <name> <size> <ready file>
//       locks the block, writes kHeldMarker into it, creates <ready file> and
//       waits to be killed.
//   mailslot-hold <name> <ready file>
//       creates a mailslot reader, creates <ready file>, waits to be killed.
//   mailslot-write <name> <count>
//       writes <count> numbered messages (see ipc_test_support.h).
// Exit status 0 means every check passed.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/mailslot.h"
#include "platform/shared_block.h"
#include "tests/platform/ipc_test_support.h"

namespace {

[[noreturn]] void MarkReadyAndWait(const char* path) {
  ::close(::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  for (;;) ::pause();
}

int BlockCount(const std::string& name, uint32_t ask, uint32_t expect, long iterations) {
  tw::SharedBlock block(name, ask);
  if (!block.IsValid() || !block.ExistedBefore() || block.Size() != expect) return 10;
  for (long i = 0; i < iterations; ++i) {
    auto* counter = static_cast<volatile uint32_t*>(block.Lock(tw::kInfiniteWait));
    if (counter == nullptr) return 13;
    const uint32_t seen = *counter;
    if (i % 16 == 0) sched_yield();  // widen the window a missing lock would open
    *counter = seen + 1;
    block.Unlock();
  }
  return 0;
}

int MailslotWrite(const std::string& name, uint32_t count) {
  auto writer = tw::NewMailslotWriter();
  if (!writer->Open(".", name)) return 40;
  for (uint32_t i = 0; i < count; ++i) {
    const std::string message = tw::test::NumberedMessage(i);
    uint32_t written = 0;
    if (!writer->Write(message.data(), static_cast<uint32_t>(message.size()), &written) ||
        written != message.size()) {
      return 41;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  auto number = [&](int i) { return std::strtoul(argv[i], nullptr, 10); };
  if (mode == "block-count" && argc == 6) {
    return BlockCount(argv[2], number(3), number(4), static_cast<long>(number(5)));
  }
  if (mode == "block-hold" && argc == 5) {
    tw::SharedBlock block(argv[2], number(3));
    void* data = block.Lock(tw::kInfiniteWait);
    if (data == nullptr) return 20;
    std::memcpy(data, &tw::test::kHeldMarker, sizeof tw::test::kHeldMarker);
    MarkReadyAndWait(argv[4]);
  }
  if (mode == "mailslot-hold" && argc == 4) {
    auto reader = tw::NewMailslotReader();
    if (!reader->Create(argv[2], 0, 0)) return 30;
    MarkReadyAndWait(argv[3]);
  }
  if (mode == "mailslot-write" && argc == 4) return MailslotWrite(argv[2], number(3));
  return 2;
}
