// Random bytes from the CryptoAPI provider; see platform/random.h.
#include "platform/random.h"

// clang-format off
#include "platform/win32/win32_util.h"  // <windows.h> first
#include <wincrypt.h>
// clang-format on

namespace tw {

bool SystemRandomBytes(void* buffer, size_t count) {
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL,
                            CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
    return false;
  }
  auto* out = static_cast<BYTE*>(buffer);
  bool ok = true;
  while (count > 0 && ok) {
    const DWORD piece = count > 0x10000000u ? 0x10000000u : static_cast<DWORD>(count);
    ok = CryptGenRandom(provider, piece, out) != FALSE;
    out += piece;
    count -= piece;
  }
  CryptReleaseContext(provider, 0);
  return ok;
}

}  // namespace tw
