// The registry in an INI file, through wxFileConfig.
//
// Each operation reads the whole file afresh, so that it sees what another
// process wrote; a change is made to that fresh copy and written back whole
// (platform/file_replace.h) while "<file>.lock" is held. wxFileConfig is
// lenient with lines it cannot parse (it drops them with a log message), so
// the text is checked first by the same rules and a file that breaks them is
// refused: rewriting it would lose what those lines held.
//
// Names: a key path is split at "\" into group names; in group and entry
// names "%", "/" and control characters are written as "%XX" (wxFileConfig
// reads "/" as a group separator), as are a leading "!" of an entry (which
// wxFileConfig reserves), a leading "@" of an entry (the default value is
// stored as "@") and the first "." of a group named "." or "..". Everything
// else wxFileConfig quotes itself. Environment variables in values are never
// expanded.
//
// wxFileConfig runs here in processes that never initialised wxWidgets: it
// is given the text as a stream, never a file name, so it never asks for an
// application name or folder, and its log messages are suppressed.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wx/fileconf.h>
#include <wx/log.h>
#include <wx/mstream.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/debug_output.h"
#include "platform/errno_text.h"
#include "platform/file_replace.h"
#include "platform/hex.h"
#include "platform/letter_case.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/system_factory.h"
#include "platform/wx_lock.h"

namespace tw {

namespace {

constexpr char kRegistryFileName[] = "registry.ini";
constexpr char kDefaultValueEntry[] = "@";
// A registry file is small; anything larger is not one.
constexpr size_t kMaxFileSize = 16u << 20;
// The shape wxFileConfig can hold: it builds a group for every element of
// a header's path and walks them recursively, and it keeps each group's
// children in sorted arrays it inserts into one by one. A file deeper or
// with more groups or values than a registry ever holds could exhaust the
// stack or stall the parse; it is refused before wxFileConfig sees it,
// and no key deeper than that is written.
constexpr size_t kMaxGroupDepth = 64;
constexpr size_t kMaxGroups = 10000;
constexpr size_t kMaxEntries = 100000;

// How long a writer waits for another process's writer.
constexpr auto kLockWait = std::chrono::seconds(10);
constexpr auto kLockPoll = std::chrono::milliseconds(10);

// Writers of this process queue here rather than polling the flock.
std::mutex& WriterMutex() {
  static std::mutex mutex;
  return mutex;
}

// A name or a value the file can hold: UTF-8 without a zero byte.
bool IsStorable(const std::string& text) {
  return text.find('\0') == std::string::npos && IsValidUtf8(text);
}

std::string Escaped(const std::string& name, bool entry) {
  std::string out;
  out.reserve(name.size());
  const bool dots = !entry && (name == "." || name == "..");
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool escape = c == '%' || c == '/' || c < 0x20 || c == 0x7F ||
                        (i == 0 && entry && (c == '!' || c == '@')) || (i == 0 && dots);
    if (escape) {
      out += '%';
      AppendHexByte(&out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Unescaped(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '%' && i + 2 < name.size() && HexDigitValue(name[i + 1]) >= 0 &&
        HexDigitValue(name[i + 2]) >= 0) {
      out += static_cast<char>(HexDigitValue(name[i + 1]) * 16 + HexDigitValue(name[i + 2]));
      i += 2;
    } else {
      out += name[i];
    }
  }
  return out;
}

// The group path of `key`: "/" for the root (an empty key), else "/" and
// the escaped elements joined by "/". False for an empty element (a leading,
// trailing or doubled "\") or a name the file cannot hold.
bool GroupPath(const std::string& key, std::string* group) {
  if (!IsStorable(key)) return false;
  *group = "/";
  if (key.empty()) return true;
  size_t start = 0;
  size_t depth = 0;
  for (;;) {
    const size_t end = key.find('\\', start);
    const std::string element = key.substr(start, end - start);
    if (element.empty() || ++depth > kMaxGroupDepth) return false;
    if (group->size() > 1) *group += '/';
    *group += Escaped(element, false);
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

std::string EntryName(const std::string& name) {
  return name.empty() ? std::string(kDefaultValueEntry) : Escaped(name, true);
}

std::string JoinEntry(const std::string& group, const std::string& name) {
  return (group == "/" ? group : group + "/") + EntryName(name);
}

wxString Wide(const std::string& utf8) {
  return wxString::FromUTF8(utf8.data(), utf8.size());
}

std::string Narrow(const wxString& text) {
  const wxScopedCharBuffer buffer = text.utf8_str();
  return std::string(buffer.data(), buffer.length());
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// The number of elements wxFileConfig makes of a group header's name (the
// text between the brackets): its non-empty parts between "/".
size_t GroupDepth(const std::string& name) {
  size_t depth = 0;
  bool in_part = false;
  for (char c : name) {
    if (c == '/') {
      in_part = false;
    } else if (!in_part) {
      in_part = true;
      ++depth;
    }
  }
  return depth;
}

// Checks `text` by the rules of wxFileConfig's reader: every line is blank,
// a comment (";" or "#"), a group header "[...]" (a "\" quotes the next
// character) followed by nothing but blanks and a comment, or "name=value"
// with a name. Lines end at "\n", "\r\n" or "\r". Groups and values stay
// within the limits above. False with the number and the fault of the first
// bad line.
bool CheckIniText(const std::string& text, std::string* problem) {
  size_t pos = 0;
  int line_number = 0;
  size_t groups = 0;
  size_t entries = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end;
    if (pos < text.size() && text[pos] == '\r') ++pos;
    if (pos < text.size() && text[pos] == '\n' && (pos == end || text[pos - 1] == '\r')) ++pos;
    ++line_number;

    size_t i = 0;
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size() || line[i] == ';' || line[i] == '#') continue;
    const std::string where = "line " + std::to_string(line_number) + ": ";
    if (line[i] == '[') {
      size_t close = std::string::npos;
      for (size_t k = i + 1; k < line.size(); ++k) {
        if (line[k] == '\\') {
          ++k;
        } else if (line[k] == ']') {
          close = k;
          break;
        }
      }
      if (close == std::string::npos) {
        *problem = where + "the group header has no closing \"]\"";
        return false;
      }
      size_t k = close + 1;
      while (k < line.size() && (line[k] == ' ' || line[k] == '\t')) ++k;
      if (k < line.size() && line[k] != ';' && line[k] != '#') {
        *problem = where + "text after the group header";
        return false;
      }
      const size_t depth = GroupDepth(line.substr(i + 1, close - i - 1));
      if (depth > kMaxGroupDepth) {
        *problem = where + "the group is nested " + std::to_string(depth) + " deep, more than " +
                   std::to_string(kMaxGroupDepth);
        return false;
      }
      // Every element of the path may be a new group.
      groups += std::max<size_t>(depth, 1);
      if (groups > kMaxGroups) {
        *problem = where + "more than " + std::to_string(kMaxGroups) + " groups";
        return false;
      }
      continue;
    }
    size_t k = i;
    while (k < line.size() && line[k] != '=') {
      if (line[k] == '\\') ++k;
      ++k;
    }
    if (k >= line.size()) {
      *problem = where + "\"=\" expected";
      return false;
    }
    size_t name_end = k;
    while (name_end > i && IsBlank(line[name_end - 1])) --name_end;
    if (name_end == i) {
      *problem = where + "a value without a name";
      return false;
    }
    if (++entries > kMaxEntries) {
      *problem = where + "more than " + std::to_string(kMaxEntries) + " values";
      return false;
    }
  }
  return true;
}

class IniRegistry final : public Registry {
 public:
  explicit IniRegistry(std::string path) : path_(std::move(path)) {}

  long QueryString(const std::string& key, const std::string& name, size_t buffer_size,
                   std::string* data) override {
    std::string group;
    if (data == nullptr || !GroupPath(key, &group) || !IsStorable(name))
      return Failed(kRegistryInvalidParameter, "invalid key or value name");
    std::unique_ptr<wxFileConfig> config;
    long result = Load(&config);
    if (result != kRegistryOk) return result;
    if (!config->HasGroup(Wide(group))) return Missing(key, nullptr);
    const wxString entry = Wide(JoinEntry(group, name));
    if (!config->HasEntry(entry)) return Missing(key, &name);
    wxString value;
    config->Read(entry, &value);
    std::string narrow = Narrow(value);
    if (narrow.size() + 1 > buffer_size) {
      return Failed(kRegistryMoreData, "the value " + Describe(key, name) + " is longer than " +
                                           std::to_string(buffer_size) + " bytes");
    }
    *data = std::move(narrow);
    return Succeeded();
  }

  long OpenKey(const std::string& key) override {
    std::string group;
    if (!GroupPath(key, &group)) return Failed(kRegistryInvalidParameter, "invalid key name");
    std::unique_ptr<wxFileConfig> config;
    long result = Load(&config);
    if (result != kRegistryOk) return result;
    if (!config->HasGroup(Wide(group))) return Missing(key, nullptr);
    return Succeeded();
  }

  long EnumKey(const std::string& key, uint32_t index, size_t buffer_size,
               std::string* name) override {
    std::string group;
    if (name == nullptr || !GroupPath(key, &group))
      return Failed(kRegistryInvalidParameter, "invalid key name");
    std::unique_ptr<wxFileConfig> config;
    long result = Load(&config);
    if (result != kRegistryOk) return result;
    if (!config->HasGroup(Wide(group))) return Missing(key, nullptr);
    config->SetPath(Wide(group));
    std::vector<std::string> names;
    wxString child;
    long cookie = 0;
    for (bool more = config->GetFirstGroup(child, cookie); more;
         more = config->GetNextGroup(child, cookie)) {
      names.push_back(Unescaped(Narrow(child)));
    }
    // The order of the upper-cased names, as the machine registry keeps them.
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      return UpperCase(a) < UpperCase(b);
    });
    if (index >= names.size()) {
      error_text_ = "no subkey " + std::to_string(index) + " in key " + key;
      return kRegistryNoMoreItems;
    }
    if (names[index].size() + 1 > buffer_size) {
      return Failed(kRegistryMoreData, "the name of subkey " + std::to_string(index) + " of " +
                                           key + " is longer than " + std::to_string(buffer_size) +
                                           " bytes");
    }
    *name = names[index];
    return Succeeded();
  }

  long SetStrings(const std::vector<RegistryValue>& values) override {
    std::vector<std::pair<std::string, std::string>> entries;  // entry path, data
    for (const RegistryValue& value : values) {
      std::string group;
      if (!GroupPath(value.key, &group) || !IsStorable(value.name))
        return Failed(kRegistryInvalidParameter, "invalid key or value name");
      if (!IsStorable(value.data)) {
        return Failed(kRegistryInvalidParameter,
                      "the data of " + Describe(value.key, value.name) + " is not text");
      }
      entries.emplace_back(JoinEntry(group, value.name), value.data);
    }
    return Change([&](wxFileConfig* config) {
      for (const auto& [entry, data] : entries) {
        if (!config->Write(Wide(entry), Wide(data)))
          return Failed(kRegistryIoFailed, "cannot write the entry " + entry);
      }
      return kRegistryOk;
    });
  }

  long DeleteValue(const std::string& key, const std::string& name) override {
    std::string group;
    if (!GroupPath(key, &group) || !IsStorable(name))
      return Failed(kRegistryInvalidParameter, "invalid key or value name");
    return Change([&](wxFileConfig* config) {
      if (!config->HasGroup(Wide(group))) return Missing(key, nullptr);
      const wxString entry = Wide(JoinEntry(group, name));
      if (!config->HasEntry(entry)) return Missing(key, &name);
      // The key stays when its last value goes, as a registry key does.
      if (!config->DeleteEntry(entry, false)) {
        return Failed(kRegistryIoFailed, "cannot delete " + Describe(key, name));
      }
      return kRegistryOk;
    });
  }

  long DeleteKey(const std::string& key) override {
    std::string group;
    if (!GroupPath(key, &group) || group == "/") {
      return Failed(kRegistryInvalidParameter, "invalid key name");
    }
    return Change([&](wxFileConfig* config) {
      if (!config->HasGroup(Wide(group))) return Missing(key, nullptr);
      config->SetPath(Wide(group));
      const bool empty =
          config->GetNumberOfEntries(false) == 0 && config->GetNumberOfGroups(false) == 0;
      config->SetPath(wxS("/"));
      if (!empty) return Failed(kRegistryKeyNotEmpty, "the key " + key + " is not empty");
      if (!config->DeleteGroup(Wide(group))) {
        return Failed(kRegistryIoFailed, "cannot delete the key " + key);
      }
      return kRegistryOk;
    });
  }

  const std::string& ErrorText() const override { return error_text_; }

  std::string Location() const override { return path_; }

 private:
  long Succeeded() {
    error_text_.clear();
    return kRegistryOk;
  }

  long Failed(long result, const std::string& text) {
    error_text_ = text;
    return result;
  }

  long Missing(const std::string& key, const std::string* name) {
    if (name == nullptr) return Failed(kRegistryNotFound, "no key " + key + " in " + path_);
    return Failed(kRegistryNotFound, "no value " + Describe(key, *name) + " in " + path_);
  }

  static std::string Describe(const std::string& key, const std::string& name) {
    return "\"" + (name.empty() ? std::string("(default)") : name) + "\" of key " + key;
  }

  long SystemFailure(long result, const std::string& what, int code) {
    return Failed(result, ErrnoText(what, path_, code));
  }

  long NoFile() {
    return Failed(kRegistryIoFailed,
                  "no registry file: set VELTRANE_REGISTRY_FILE to a file, "
                  "or XDG_CONFIG_HOME or HOME");
  }

  // Reads the file into a new wxFileConfig; a missing file is an empty
  // registry. `exists` and `mode` (when given) tell about the file.
  long Load(std::unique_ptr<wxFileConfig>* config, bool* exists = nullptr,
            struct stat* info = nullptr) {
    if (path_.empty() || path_[0] != '/') return NoFile();
    std::string text;
    struct stat st {};
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
      if (errno != ENOENT) {
        return SystemFailure(errno == EACCES ? kRegistryAccessDenied : kRegistryIoFailed,
                             "cannot read the registry file", errno);
      }
      if (exists != nullptr) *exists = false;
    } else {
      long result = ReadAll(fd, &text, &st);
      ::close(fd);
      if (result != kRegistryOk) return result;
      if (exists != nullptr) *exists = true;
      if (info != nullptr) *info = st;
    }
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    std::string problem;
    if (!IsValidUtf8(text) || text.find('\0') != std::string::npos) {
      problem = "the file is not UTF-8 text";
    } else {
      CheckIniText(text, &problem);
    }
    if (!problem.empty()) {
      // Refused whole: read as holding nothing, and never written back.
      DebugLog("Registry: %s is refused: %s", path_.c_str(), problem.c_str());
      return Failed(kRegistryCorrupt, "the registry file " + path_ + " is malformed: " + problem);
    }
    // Parsing and saving may log: one at a time (see wx_lock.h).
    std::lock_guard<std::mutex> lock(WxStateLock());
    wxLogNull quiet;
    wxMemoryInputStream stream(text.data(), text.size());
    *config = std::make_unique<wxFileConfig>(stream, wxConvUTF8);
    (*config)->SetExpandEnvVars(false);
    return kRegistryOk;
  }

  long ReadAll(int fd, std::string* text, struct stat* st) {
    if (::fstat(fd, st) != 0) return SystemFailure(kRegistryIoFailed, "cannot read", errno);
    if (!S_ISREG(st->st_mode)) {
      return Failed(kRegistryIoFailed, "the registry file " + path_ + " is not a regular file");
    }
    if (static_cast<uint64_t>(st->st_size) > kMaxFileSize) {
      return Failed(kRegistryCorrupt, "the registry file " + path_ + " is too large");
    }
    char buffer[1 << 14];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return SystemFailure(kRegistryIoFailed, "cannot read the registry file", errno);
      if (n == 0) return kRegistryOk;
      if (text->size() + static_cast<size_t>(n) > kMaxFileSize) {
        return Failed(kRegistryCorrupt, "the registry file " + path_ + " is too large");
      }
      text->append(buffer, static_cast<size_t>(n));
    }
  }

  // Creates the folders of the registry file that are missing, mode 0700.
  long MakeFolder(const std::string& folder) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
      const std::string part = folder.substr(0, slash);
      if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
        return Failed(errno == EACCES ? kRegistryAccessDenied : kRegistryIoFailed,
                      ErrnoText("cannot create the folder", part, errno));
      }
      if (slash == std::string::npos) return kRegistryOk;
    }
  }

  // Runs `edit` on the current registry under the writers' lock and, when
  // it succeeds, writes the result back whole.
  template <typename Edit>
  long Change(Edit edit) {
    if (path_.empty() || path_[0] != '/' || path_.back() == '/') return NoFile();
    std::lock_guard<std::mutex> process_lock(WriterMutex());
    // A registry file that is a symbolic link is changed where it points.
    std::string target = path_;
    char resolved[PATH_MAX];
    struct stat link_info {};
    if (::lstat(path_.c_str(), &link_info) == 0 && S_ISLNK(link_info.st_mode) &&
        ::realpath(path_.c_str(), resolved) != nullptr) {
      target = resolved;
    }
    const std::string folder = NativeParent(target);
    long result = MakeFolder(folder);
    if (result != kRegistryOk) return result;
    const std::string lock_path = target + ".lock";
    const int lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (lock_fd < 0) {
      return Failed(errno == EACCES || errno == EROFS ? kRegistryAccessDenied : kRegistryIoFailed,
                    "cannot write the registry file " + path_ + ": " +
                        ErrnoText("cannot open", lock_path, errno));
    }
    result = ChangeLocked(lock_fd, target, edit);
    ::close(lock_fd);  // releases the flock
    return result;
  }

  template <typename Edit>
  long ChangeLocked(int lock_fd, const std::string& target, Edit edit) {
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    while (::flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) {
        return SystemFailure(kRegistryIoFailed, "cannot lock the registry file", errno);
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        return Failed(kRegistryBusy,
                      "the registry file " + path_ + " stayed locked by another writer; try again");
      }
      std::this_thread::sleep_for(kLockPoll);
    }
    std::unique_ptr<wxFileConfig> config;
    bool exists = false;
    struct stat info {};
    long result = Load(&config, &exists, &info);
    if (result != kRegistryOk) return result;
    // A read-only file stays as it is, whoever asks (a privileged user
    // could replace it anyway).
    if (exists && ((info.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0)) {
      return Failed(kRegistryAccessDenied, "the registry file " + path_ + " is read-only");
    }
    result = edit(config.get());
    if (result != kRegistryOk) return result;
    std::string text;
    {
      // Parsing and saving may log: one at a time (see wx_lock.h).
      std::lock_guard<std::mutex> lock(WxStateLock());
      wxLogNull quiet;
      wxMemoryOutputStream stream;
      if (!config->Save(stream, wxConvUTF8)) {
        return Failed(kRegistryIoFailed, "cannot write the registry file " + path_);
      }
      text.resize(stream.GetSize());
      if (!text.empty()) stream.CopyTo(&text[0], text.size());
    }
    std::string error;
    const int code = ReplaceFileWhole(target, text,
                                      exists ? static_cast<int>(info.st_mode & 07777) : -1, &error);
    if (code != 0) {
      return Failed(code == EACCES || code == EROFS || code == EPERM ? kRegistryAccessDenied
                                                                     : kRegistryIoFailed,
                    "cannot write the registry file: " + error);
    }
    return Succeeded();
  }

  const std::string path_;
  std::string error_text_;
};

}  // namespace

std::mutex& WxStateLock() {
  static std::mutex mutex;
  return mutex;
}

std::string RegistryFilePath() {
  const char* file = std::getenv("VELTRANE_REGISTRY_FILE");
  if (file != nullptr && file[0] != '\0') return AbsolutePath(file, std::string());
  const std::string folder = GetSystemFactory().AppDataDirectory();
  if (folder.empty()) return std::string();
  return folder + "/" + kRegistryFileName;
}

std::unique_ptr<Registry> OpenMachineRegistry() {
  return std::make_unique<IniRegistry>(RegistryFilePath());
}

std::unique_ptr<Registry> OpenRegistryFile(const std::string& path) {
  return std::make_unique<IniRegistry>(path);
}

}  // namespace tw
