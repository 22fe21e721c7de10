#include "servers/twserver/serve.h"

namespace tw::twserver {

int RunServer(const ServeOptions& options, Storage& storage, std::string* error) {
  // The listener, the key exchange and the command handlers plug in here.
  *error = "serving clients is not available yet in this build";
  return 1;
}

}  // namespace tw::twserver
