// A second client process for the property store tests; exit 0 on success.
//   write <store file> <prefix> <count>  writes <prefix>/<i> = v<i>, reads the
//                                        last one back
//   scratch <value>                      finds no "Key" in its own scratch
//                                        store; writes and reads it back
//   connect <marker file>                registers, creates the marker file,
//                                        waits to be killed
//   start                                registers (starting the server when
//                                        none runs) and exits
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "settings/property_file_client.h"

int main(int argc, char** argv) {
  if (argc < 2) return 64;
  const std::string mode = argv[1];
  if (mode == "write" && argc == 5) {
    tw::PropertyFileClient client(argv[2], tw::kStoreFile);
    const int count = std::atoi(argv[4]);
    const std::string prefix = argv[3];
    std::string last;
    for (int i = 0; i < count; ++i) {
      last = std::to_string(i);
      if (!client.WriteString(nullptr, prefix + "/" + last, "v" + last, false)) return 1;
    }
    std::string value;
    if (!client.ReadString(nullptr, prefix + "/" + last, &value, false)) return 2;
    return value == "v" + last ? 0 : 3;
  }
  if (mode == "scratch" && argc == 3) {
    tw::PropertyFileClient client("", tw::kStoreScratch);
    std::string value;
    if (client.ReadString(nullptr, "Key", &value, false)) return 4;
    if (!client.WriteString(nullptr, "Key", argv[2], false)) return 1;
    if (!client.ReadString(nullptr, "Key", &value, false)) return 2;
    return value == argv[2] ? 0 : 3;
  }
  if (mode == "start" && argc == 2) {
    tw::PropertyFileClient client("", tw::kStoreScratch);
    return client.Connect() ? 0 : 1;
  }
  if (mode == "connect" && argc == 3) {
    tw::PropertyFileClient client("", tw::kStoreScratch);
    if (!client.Connect()) return 1;
    std::FILE* marker = std::fopen(argv[2], "we");
    if (marker == nullptr) return 2;
    std::fclose(marker);
    ::sleep(60);
    return 0;
  }
  return 64;
}
