// Random bytes from getrandom(2); see random.h.
#include "platform/random.h"

#include <errno.h>
#include <sys/random.h>

namespace tw {

bool SystemRandomBytes(void* buffer, size_t count) {
  auto* out = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t got = getrandom(out + done, count - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace tw
