// The mount-point reparse buffer of a junction (declared in junction.h): a
// pure function with the exact byte layout the Windows file system takes.
// Any thread.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/junction.h"

namespace tw {
namespace {

// `text` in UTF-16 code units; false when it is not UTF-8.
bool ToUtf16(const std::string& text, std::u16string* out) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t extra;
    uint32_t code;
    if (c < 0x80) {
      extra = 0;
      code = c;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const unsigned char cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      code = (code << 6) | (cc & 0x3F);
    }
    static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return false;
    if (code >= 0x10000) {
      code -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(code));
    }
    i += extra + 1;
  }
  return true;
}

void Put16(std::vector<uint8_t>* buffer, size_t offset, uint32_t value) {
  (*buffer)[offset] = static_cast<uint8_t>(value);
  (*buffer)[offset + 1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

std::string MountPointSubstituteName(const std::string& full_target) {
  std::string name = "\\??\\" + full_target;
  const size_t n = name.size();
  if (n >= 2 && name[n - 1] == '\\' && name[n - 2] != ':') name.pop_back();
  return name;
}

bool MountPointReparseBuffer(const std::string& full_target, std::vector<uint8_t>* buffer) {
  std::u16string name;
  if (!ToUtf16(MountPointSubstituteName(full_target), &name)) return false;
  const size_t length = name.size() * 2;  // L
  if (length + 20 > kMaxReparseBufferSize) return false;
  std::vector<uint8_t> out(length + 20, 0);
  Put16(&out, 0, kMountPointReparseTag & 0xFFFF);
  Put16(&out, 2, kMountPointReparseTag >> 16);
  Put16(&out, 4, static_cast<uint32_t>(length + 12));
  Put16(&out, 6, 0);
  Put16(&out, 8, 0);
  Put16(&out, 10, static_cast<uint32_t>(length));
  Put16(&out, 12, static_cast<uint32_t>(length + 2));
  Put16(&out, 14, 0);
  for (size_t i = 0; i < name.size(); ++i) Put16(&out, 16 + 2 * i, name[i]);
  // The last four bytes stay zero: the name's end and the empty print name.
  *buffer = std::move(out);
  return true;
}

}  // namespace tw
