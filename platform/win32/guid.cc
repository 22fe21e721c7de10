// Identifiers on Windows: new ones from CoCreateGuid, the text form from
// UuidToStringA and UuidFromStringA. A GUID in memory already has the
// layout the wire carries (see platform/guid.h).
#include "platform/guid.h"

#include <cctype>
#include <cstring>

#include "platform/hex.h"
#include "platform/letter_case.h"

// clang-format off
#include "platform/win32/win32_util.h"  // <windows.h> first
#include <objbase.h>
#include <rpc.h>
// clang-format on

namespace tw {

static_assert(sizeof(GUID) == 16, "a GUID is 16 bytes");

Guid Guid::New() {
  GUID raw;
  if (FAILED(CoCreateGuid(&raw))) {
    UuidCreate(&raw);  // the same generator without COM's wrapper
  }
  Guid g;
  std::memcpy(g.bytes.data(), &raw, 16);
  return g;
}

Guid Guid::FromBytes(const uint8_t* sixteen_bytes) {
  Guid g;
  std::memcpy(g.bytes.data(), sixteen_bytes, 16);
  return g;
}

bool Guid::FromText(const std::string& text, Guid* out) {
  // UuidFromStringA also takes forms this system does not write; only the
  // 36-character form with its four dashes is a GUID here.
  if (out == nullptr || text.size() != 36) return false;
  for (size_t i = 0; i < 36; ++i) {
    const char c = text[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  UUID raw;
  if (UuidFromStringA(reinterpret_cast<RPC_CSTR>(const_cast<char*>(text.c_str())), &raw) !=
      RPC_S_OK) {
    return false;
  }
  std::memcpy(out->bytes.data(), &raw, 16);
  return true;
}

std::string Guid::ToText() const {
  UUID raw;
  std::memcpy(&raw, bytes.data(), 16);
  RPC_CSTR text = nullptr;
  std::string result;
  if (UuidToStringA(&raw, &text) == RPC_S_OK && text != nullptr) {
    result = reinterpret_cast<const char*>(text);
    RpcStringFreeA(&text);
  }
  return LowerCase(result);
}

std::string Guid::ToHexName() const {
  return HexText(bytes.data(), bytes.size());
}

}  // namespace tw
