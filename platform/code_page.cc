// Which Windows code pages keep every byte below 0x80 the character it is
// (platform/native_text.h). Shared by both systems, so that the list can be
// tested anywhere.
//
// Pure function; any thread.
#include "platform/native_text.h"

namespace tw {

bool CodePageIsByteSafe(unsigned code_page) {
  // UTF-8 never uses a byte below 0x80 inside a character. Of the others,
  // those whose characters take more than one byte may: the double-byte
  // code pages of East Asia, GB18030, and the ISO-2022 and EBCDIC forms.
  constexpr unsigned kMultiByte[] = {932,   936,   949,   950,   1361,  20000, 20001, 20002, 20003,
                                     20004, 20005, 20261, 20932, 20936, 20949, 50220, 50221, 50222,
                                     50225, 50227, 50229, 51932, 51936, 51949, 52936, 54936, 65000};
  for (unsigned cp : kMultiByte) {
    if (cp == code_page) return false;
  }
  return true;
}

}  // namespace tw
