#include "platform/terminal_text.h"

#include "platform/json_text.h"
#include "platform/native_text.h"

namespace tw {

namespace {

// Characters that change how the text around them shows without being seen
// themselves: the direction marks, embeddings, overrides and isolates, the
// zero-width characters, the line and paragraph separators and the byte
// order mark. A name holding them could show as another name.
bool IsInvisibleFormatting(const std::string& text, size_t i, size_t length) {
  if (length != 3) return false;
  const auto b0 = static_cast<unsigned char>(text[i]);
  const auto b1 = static_cast<unsigned char>(text[i + 1]);
  const auto b2 = static_cast<unsigned char>(text[i + 2]);
  if (b0 == 0xEF) return b1 == 0xBB && b2 == 0xBF;  // U+FEFF
  if (b0 != 0xE2) return false;
  if (b1 == 0x80) return (b2 >= 0x8B && b2 <= 0x8F) || (b2 >= 0xA8 && b2 <= 0xAE);
  return b1 == 0x81 && b2 >= 0xA6 && b2 <= 0xA9;  // U+2066..U+2069
}

// Judged character by character in UTF-8 (on Windows the text is in the
// ANSI code page, whose bytes above 0x7F are no UTF-8 sequences) and handed
// back in the encoding it came in. With `lines`, line feeds and tabs are
// kept as they are.
std::string SafeText(const std::string& native, bool lines) {
  const std::string text = Utf8FromNative(native);
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((lines && (c == '\n' || c == '\t')) || (c >= 0x20 && c < 0x7F)) {
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      out += '^';
      out += static_cast<char>(c ^ 0x40);
      ++i;
    } else {
      const size_t length = Utf8SequenceLength(text, i);
      const bool c1 = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
      if (length == 0 || c1 || IsInvisibleFormatting(text, i, length)) {
        out += '?';
        i += length == 0 ? 1 : length;
      } else {
        out.append(text, i, length);
        i += length;
      }
    }
  }
  return NativeFromUtf8(out);
}

}  // namespace

std::string TerminalSafeText(const std::string& text) {
  return SafeText(text, true);
}

std::string TerminalSafeName(const std::string& name) {
  return SafeText(name, false);
}

}  // namespace tw
