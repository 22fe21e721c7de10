#include "tests/fuzz/server_text_entry.h"

#include <cstdlib>
#include <string>
#include <string_view>

#include "crypto/crypto.h"
#include "protocol/name_table.h"
#include "settings/property_tree.h"
#include "settings/stamp.h"

namespace tw::fuzz {

namespace {

std::string_view View(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

}  // namespace

int FuzzNameTable(const uint8_t* data, size_t size) {
  const std::string_view text = View(data, size);
  NameTable table;
  std::string error;
  if (NameTable::Parse(text, &table, &error)) {
    NameTable again;
    if (!NameTable::Parse(table.ToText(), &again) || again.ToText() != table.ToText()) {
      std::abort();
    }
  }
  PropertyTree tree;
  if (tree.Parse(text)) {
    PropertyTree again;
    if (!again.Parse(tree.ToText()) || again.ToText() != tree.ToText()) std::abort();
  }
  return 0;
}

int FuzzStamp(const uint8_t* data, size_t size) {
  const std::string text(View(data, size));
  DateTimeStamp stamp;
  if (ParseStamp(text, stamp)) {
    DateTimeStamp again;
    if (!ParseStamp(FormatStamp(stamp, true), again)) std::abort();
  }
  ServerStampToUtc(text);
  ServerStampToLocal(text);
  ParseIsoStamp(text);
  return 0;
}

int FuzzPeerKey(const uint8_t* data, size_t size) {
  const std::string text(View(data, size));
  SecureBytes bytes;
  if (CRLDATcrypto::HexDecode(text, &bytes)) {
    const std::string hex = CRLDATcrypto::HexEncode(bytes.data(), bytes.size());
    SecureBytes again;
    if (!CRLDATcrypto::HexDecode(hex, &again) || again != bytes) std::abort();
  }
  // The digest the logon seals under the server's key.
  static const char kDigest[] = "0123456789ABCDEF0123456789ABCDEF";
  std::string sealed;
  CRLDATcrypto::RsaEncryptToHex(text, kDigest, sizeof kDigest - 1, &sealed);
  return 0;
}

}  // namespace tw::fuzz
