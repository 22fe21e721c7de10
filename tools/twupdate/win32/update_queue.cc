// Reading update.ini on Windows, as the profile functions the module writes
// it with (platform/win32/system_factory.cc) read it: names are the keys
// themselves. The file is read once and its bytes parsed here, not through
// the profile functions, which open the file again for every section.
#include "tools/twupdate/update_queue.h"

#include <utility>

#include "platform/small_file.h"
#include "platform/win32/win32_util.h"

namespace tw {
namespace {

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\v' || c == L'\f';
}

std::wstring Trimmed(const std::wstring& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// The text of update.ini as the profile functions take it: UTF-16 after its
// byte-order mark (a file the module made Unicode), UTF-8 after its mark,
// otherwise the ANSI code page, in which WritePrivateProfileStringW creates
// a new file.
std::wstring TextOfFile(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::wstring text((bytes.size() - 2) / 2, L'\0');
    for (size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 + 2 * i]) |
                                     (static_cast<unsigned char>(bytes[3 + 2 * i]) << 8));
    }
    return text;
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    return win32::WideFromUtf8(bytes.substr(3));
  }
  return win32::Wide(bytes);
}

// The "key=value" lines of the first section named `section` (letter case
// aside), in the order of the file, each cut at its first "=" with the
// blanks around key and value dropped; a line without "=" is a key with an
// empty value. Blank lines and ";" comments are no entries.
std::vector<std::pair<std::string, std::string>> Section(const std::wstring& text,
                                                         const wchar_t* section) {
  std::vector<std::pair<std::string, std::string>> entries;
  bool inside = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of(L"\r\n", pos);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring line = Trimmed(text.substr(pos, end - pos));
    pos = end;
    if (pos < text.size() && text[pos] == L'\r') ++pos;
    if (pos < text.size() && text[pos] == L'\n') ++pos;
    if (line.empty() || line[0] == L';') continue;
    if (line[0] == L'[') {
      const size_t close = line.rfind(L']');
      if (close != std::wstring::npos) {
        if (inside) break;  // the first section of that name is the one read
        inside = lstrcmpiW(Trimmed(line.substr(1, close - 1)).c_str(), section) == 0;
        continue;
      }
      // A header without its "]" is read as a key, as the profile functions
      // read it.
    }
    if (!inside) continue;
    const size_t equals = line.find(L'=');
    if (equals == 0) continue;
    if (equals == std::wstring::npos) {
      entries.emplace_back(win32::Narrow(line), std::string());
    } else {
      entries.emplace_back(win32::Narrow(Trimmed(line.substr(0, equals))),
                           win32::Narrow(Trimmed(line.substr(equals + 1))));
    }
  }
  return entries;
}

}  // namespace

bool ReadUpdateQueue(const std::string& path, UpdateQueue* queue, std::string* text_out,
                     std::string* error) {
  // The profile functions take a file they cannot read for an empty one: an
  // update that cannot be read must not look like an empty queue.
  std::string bytes;
  std::string reason;
  if (!ReadSmallFile(path, kMaxUpdateQueueBytes, &bytes, &reason)) {
    *error = "Cannot read " + path + ": " + reason;
    return false;
  }
  const std::wstring text = TextOfFile(bytes);
  *queue = UpdateQueue();
  for (auto& [name, source] : Section(text, L"UpdateFiles")) {
    if (source == kWithdrawnEntry) {
      queue->withdrawn.push_back(name);
    } else {
      queue->files.push_back({name, source});
    }
  }
  for (auto& [name, value] : Section(text, L"Run")) {
    (value == "1" ? queue->runs : queue->not_run).push_back(name);
  }
  *text_out = std::move(bytes);
  return true;
}

}  // namespace tw
