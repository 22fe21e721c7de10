// Reading update.ini on POSIX systems, as wxFileConfig reads what the module
// writes through it (platform/system_factory.cc): the same lines, groups,
// quoting of values and letter case, and the "%XX" form of names in keys.
// One pass over the bytes gives the entries in the order of the file, which
// wxFileConfig does not keep; values are taken as written ("$NAME" in a path
// is a name, never the environment's).
#include "tools/twupdate/update_queue.h"

#include <algorithm>
#include <cwctype>
#include <map>
#include <utility>
#include <vector>

#include "platform/small_file.h"
#include "platform/system_factory.h"

namespace tw {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// A name as wxFileConfig compares names of groups and entries: letter case
// aside, character by character. `name` is UTF-8.
std::wstring Folded(const std::string& name) {
  std::wstring folded;
  for (size_t i = 0; i < name.size();) {
    const unsigned char lead = static_cast<unsigned char>(name[i]);
    const size_t extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    wchar_t code = extra == 0 ? lead : lead & (0x3F >> extra);
    for (size_t k = 1; k <= extra && i + k < name.size(); ++k) {
      code = (code << 6) | (static_cast<unsigned char>(name[i + k]) & 0x3F);
    }
    folded += static_cast<wchar_t>(std::towlower(static_cast<wint_t>(code)));
    i += extra + 1;
  }
  return folded;
}

// A name between "[" and "]" or before "=": a backslash takes the
// character after it as it is.
std::string Unescaped(const std::string& raw) {
  std::string name;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\' && ++i == raw.size()) break;
    name += raw[i];
  }
  return name;
}

// The group a header names: its parts between "/", where ".." drops the
// part before it.
std::string GroupPath(const std::string& name) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    const std::string part = name.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty()) {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string path;
  for (const std::string& part : parts) path += (path.empty() ? "" : "/") + part;
  return path;
}

// A value as written: between quotes when it starts with one, with "\n",
// "\r", "\t", "\\" and "\"" for the characters themselves.
std::string Unquoted(const std::string& raw) {
  std::string value;
  const bool quoted = !raw.empty() && raw[0] == '"';
  for (size_t i = quoted ? 1 : 0; i < raw.size(); ++i) {
    if (raw[i] == '\\') {
      if (++i == raw.size()) break;
      switch (raw[i]) {
        case 'n':
          value += '\n';
          break;
        case 'r':
          value += '\r';
          break;
        case 't':
          value += '\t';
          break;
        case '\\':
        case '"':
          value += raw[i];
          break;
        default:  // no character: the whole of the one escaped is dropped
          while (i + 1 < raw.size() && (static_cast<unsigned char>(raw[i + 1]) & 0xC0) == 0x80) ++i;
          break;
      }
    } else if (raw[i] != '"' || !quoted) {
      value += raw[i];
    }
  }
  return value;
}

using Entries = std::vector<std::pair<std::string, std::string>>;

// The entries of one group, in the order of the file. A name given twice
// is one entry, where it first stood, with the value it was given last. A
// leading "!" marks an entry wxFileConfig will not change; it is no part of
// the name (the module's keys escape one), and such a line is always an
// entry of its own.
class Group {
 public:
  void Add(std::string name, std::string value) {
    const bool fixed = !name.empty() && name[0] == '!';
    if (fixed) name.erase(0, 1);
    const auto [at, added] = index_.emplace(Folded(name), entries_.size());
    if (added || fixed) {
      entries_.emplace_back(std::move(name), std::move(value));
    } else {
      entries_[at->second].second = std::move(value);
    }
  }
  Entries& entries() { return entries_; }

 private:
  Entries entries_;
  std::map<std::wstring, size_t> index_;
};

// The groups [UpdateFiles] and [Run] of `text` (UTF-8), a group named twice
// being one group. Lines end at "\n", "\r\n" or "\r"; a line that is no
// header and no "name=value" is passed over.
void ParseQueue(const std::string& text, Group* files, Group* runs) {
  const std::wstring files_name = Folded("UpdateFiles");
  const std::wstring runs_name = Folded("Run");
  Group* group = nullptr;
  size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (pos < text.size()) {
    const size_t end = std::min(text.find_first_of("\r\n", pos), text.size());
    const std::string line = text.substr(pos, end - pos);
    pos = end;
    if (pos < text.size() && text[pos] == '\r') ++pos;
    if (pos < text.size() && text[pos] == '\n' && (pos == end || text[end] == '\r')) ++pos;

    size_t i = 0;
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size() || line[i] == ';' || line[i] == '#') continue;
    if (line[i] == '[') {
      size_t close = i + 1;
      while (close < line.size() && line[close] != ']') close += line[close] == '\\' ? 2 : 1;
      if (close >= line.size()) continue;  // no header: the group goes on
      const std::wstring name = Folded(GroupPath(Unescaped(line.substr(i + 1, close - i - 1))));
      group = name == files_name ? files : name == runs_name ? runs : nullptr;
      continue;
    }
    size_t equals = i;
    while (equals < line.size() && line[equals] != '=') equals += line[equals] == '\\' ? 2 : 1;
    if (equals >= line.size() || group == nullptr) continue;  // no entry, or another group's
    size_t name_end = equals;
    while (name_end > i && IsBlank(line[name_end - 1])) --name_end;
    size_t value_start = equals + 1;
    while (value_start < line.size() && IsBlank(line[value_start])) ++value_start;
    group->Add(Unescaped(line.substr(i, name_end - i)), Unquoted(line.substr(value_start)));
  }
}

std::string Latin1ToUtf8(const std::string& latin1) {
  std::string text;
  text.reserve(latin1.size() * 2);
  for (const char c : latin1) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      text += c;
    } else {
      text += static_cast<char>(0xC0 | byte >> 6);
      text += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return text;
}

}  // namespace

bool ReadUpdateQueue(const std::string& path, UpdateQueue* queue, std::string* text_out,
                     std::string* error) {
  // A file that cannot be read is no empty queue: the update fails.
  std::string text;
  std::string reason;
  if (!ReadSmallFile(path, kMaxUpdateQueueBytes, &text, &reason)) {
    *error = "Cannot read " + path + ": " + reason;
    return false;
  }
  Group files;
  Group runs;
  // The module writes UTF-8, unless the file already held other text (an
  // editor's Latin-1): then it reads the file as Latin-1 and goes on writing
  // it so, and the queue is read the same way.
  const std::string utf8 = IsValidUtf8(text) ? text : Latin1ToUtf8(text);
  // The text ends at a NUL character, as wxFileConfig reads it.
  ParseQueue(utf8.substr(0, utf8.find('\0')), &files, &runs);
  *queue = UpdateQueue();
  for (auto& [key, source] : files.entries()) {
    if (source == kWithdrawnEntry) {
      queue->withdrawn.push_back(UpdateNameFromKey(key));
    } else {
      queue->files.push_back({UpdateNameFromKey(key), source});
    }
  }
  for (auto& [key, value] : runs.entries()) {
    (value == "1" ? queue->runs : queue->not_run).push_back(UpdateNameFromKey(key));
  }
  *text_out = std::move(text);
  return true;
}

}  // namespace tw
