// libFuzzer target: TWServer's command handler on whole messages, before
// and after logon (input form in twserver_commands_entry.h).
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/message_reader_entry.h"
#include "tests/fuzz/twserver_commands_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tw::fuzz::PrepareEnvironment(std::string());
  return tw::fuzz::TwServerCommandsOneInput(data, size);
}
