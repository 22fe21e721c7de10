// libFuzzer target: TWPMSvr's request path (input form in
// property_server_entry.h).
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/fuzz/message_reader_entry.h"
#include "tests/fuzz/property_server_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tw::fuzz::PrepareEnvironment(std::string());
  return tw::fuzz::PropertyServerOneInput(data, size);
}
