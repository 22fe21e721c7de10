// Reading update.ini on POSIX systems, through wxFileConfig as the module
// writes it (platform/system_factory.cc): the same quoting of values and the
// same "%XX" form of names in keys.
#include "tools/twupdate/update_queue.h"

#include <wx/fileconf.h>
#include <wx/log.h>
#include <wx/mstream.h>

#include <algorithm>
#include <mutex>
#include <sstream>

#include "platform/small_file.h"
#include "platform/system_factory.h"
#include "platform/wx_lock.h"

namespace tw {
namespace {

// The names of the entries of `section` in the order of the lines of
// `text`, as wxFileConfig reads them: blanks around a name dropped, a
// backslash taking the character after it as it is.
std::vector<std::string> NamesInFileOrder(const std::string& text, const std::string& section) {
  std::vector<std::string> names;
  bool inside = false;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    if (line[first] == '[') {
      const size_t close = line.find(']', first);
      inside = close != std::string::npos && line.substr(first + 1, close - first - 1) == section;
      continue;
    }
    if (!inside || line[first] == ';' || line[first] == '#') continue;
    std::string name;
    bool escaped = false;
    size_t i = first;
    for (; i < line.size(); ++i) {
      if (escaped) {
        name += line[i];
        escaped = false;
      } else if (line[i] == '\\') {
        escaped = true;
      } else if (line[i] == '=') {
        break;
      } else {
        name += line[i];
      }
    }
    if (i == line.size()) continue;  // no value: no entry
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    names.push_back(name);
  }
  return names;
}

// The entries of one section, in the order of the file: wxFileConfig
// lists them by name, so they are put back in the order of `text`.
std::vector<std::pair<std::string, std::string>> Section(wxFileConfig* config,
                                                         const std::string& text,
                                                         const char* section) {
  const std::vector<std::string> order = NamesInFileOrder(text, section);
  std::vector<std::pair<size_t, std::pair<std::string, std::string>>> entries;
  config->SetPath(wxString("/") + section);
  wxString key;
  long cookie = 0;
  for (bool more = config->GetFirstEntry(key, cookie); more;
       more = config->GetNextEntry(key, cookie)) {
    const std::string raw = key.utf8_string();
    const size_t at = std::find(order.begin(), order.end(), raw) - order.begin();
    entries.push_back({at, {UpdateNameFromKey(raw), config->Read(key).utf8_string()}});
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::pair<std::string, std::string>> ordered;
  for (auto& entry : entries) ordered.push_back(std::move(entry.second));
  return ordered;
}

}  // namespace

bool ReadUpdateQueue(const std::string& path, UpdateQueue* queue, std::string* text_out,
                     std::string* error) {
  // wxFileConfig takes a file it cannot read for an empty one: an update
  // that cannot be read must not look like an empty queue.
  std::string text;
  std::string reason;
  if (!ReadSmallFile(path, kMaxUpdateQueueBytes, &text, &reason)) {
    *error = "Cannot read " + path + ": " + reason;
    return false;
  }
  std::lock_guard<std::mutex> wx_lock(WxStateLock());
  wxLogNull quiet;
  // The bytes read above, not the file again: what is applied is what was
  // checked. Values are taken as written; "$NAME" in a path is a name.
  wxMemoryInputStream stream(text.data(), text.size());
  wxFileConfig config(stream);
  config.SetExpandEnvVars(false);
  *queue = UpdateQueue();
  for (auto& [name, source] : Section(&config, text, "UpdateFiles")) {
    if (source == kWithdrawnEntry) {
      queue->withdrawn.push_back(name);
    } else {
      queue->files.push_back({name, source});
    }
  }
  for (auto& [name, value] : Section(&config, text, "Run")) {
    (value == "1" ? queue->runs : queue->not_run).push_back(name);
  }
  *text_out = std::move(text);
  return true;
}

}  // namespace tw
