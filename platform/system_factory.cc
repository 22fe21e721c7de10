// The POSIX system factory: folders from the environment and the loader,
// scratch names from mkostemp, launching through platform/process.h, the
// update queue through wxFileConfig.
//
// wxFileConfig runs here in processes that never initialised wxWidgets (no
// wxTheApp): it is always given an absolute local file name and told not to
// resolve it, so it never asks the application for a name or a folder, and
// its log messages are suppressed, so nothing is written to the host's
// standard error.
// wxFileConfig objects are not shared between threads, and update.ini is
// read and rewritten whole, so one process-wide mutex serialises the queue
// operations.
#include "platform/system_factory.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wx/fileconf.h>
#include <wx/log.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/random.h"
#include "platform/wx_lock.h"

namespace tw {

namespace {

constexpr char kUpdateFileName[] = "update.ini";
constexpr char kUpdaterName[] = "TWUpdate";
constexpr char kUpdateFilesSection[] = "UpdateFiles";
constexpr char kRunSection[] = "Run";
constexpr char kWithdrawn[] = "NULL";
constexpr size_t kLogBufferSize = 4096;
// The user database entry of one user never needs more.
constexpr size_t kMaxPasswdBuffer = 1 << 20;

// A folder from the environment without trailing "/"; empty when unset.
std::string DirectoryFromEnv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::string();
  return DropTrailingSeparator(value, kNativeSeparator);
}

std::string Canonical(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return path;
  return resolved;
}

// The address dladdr is asked about: a function of this very object, so
// that the answer names the shared object (or program) this code is in.
void ModuleAnchor() {}

// The file of the shared object holding this code; empty when the code is
// part of the main program (its link-map entry has no name) or the loader
// does not know the address.
std::string SharedObjectFile() {
  Dl_info info;
  struct link_map* map = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&ModuleAnchor), &info, reinterpret_cast<void**>(&map),
              RTLD_DL_LINKMAP) == 0 ||
      map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0') {
    return std::string();
  }
  return map->l_name;
}

std::string ExecutableFile() {
  char buffer[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(length));
}

// One field of the effective user's entry in the user database; empty
// when there is none.
std::string PasswdField(char* passwd::*field) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  size_t size = hint > 0 ? static_cast<size_t>(hint) : 4096;
  for (;;) {
    std::vector<char> buffer(size);
    passwd entry;
    passwd* found = nullptr;
    int rc = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && size < kMaxPasswdBuffer) {
      size *= 2;
      continue;
    }
    if (rc != 0 || found == nullptr || found->*field == nullptr) return std::string();
    return found->*field;
  }
}

// Guards every use of update.ini within the process.
std::mutex& UpdateFileMutex() {
  static std::mutex mutex;
  return mutex;
}

// The folder of the scratch files, without a trailing "/" ("" for the root).
std::string TempFolder() {
  std::string dir = DirectoryFromEnv("TMPDIR");
  if (dir.empty()) dir = "/tmp";
  return dir == "/" ? std::string() : dir;
}

constexpr char kTempPrefix[] = "CRL";
constexpr size_t kTempUniqueLength = 6;  // the "XXXXXX" of mkostemp
// Fresh names tried before giving up (each is one in 62 to the sixth).
constexpr int kTempNameAttempts = 100;

// This process's pid namespace (the number of its /proc/self/ns/pid link),
// 0 when it cannot be read: a pid means a process only within its
// namespace, and two namespaces may share a scratch folder.
unsigned long long OwnPidNamespace() {
  char link[64];
  const ssize_t n = ::readlink("/proc/self/ns/pid", link, sizeof link - 1);
  if (n <= 0) return 0;
  link[n] = '\0';
  const char* open = std::strchr(link, '[');
  return open != nullptr ? std::strtoull(open + 1, nullptr, 10) : 0;
}

// The owner part of this process's scratch names: "<pid namespace>-<pid>-
// <start time>-". Empty when the start time cannot be read.
std::string OwnTempTag() {
  const int pid = static_cast<int>(::getpid());
  unsigned long long start = 0;
  if (!ProcessStartTime(pid, &start)) return std::string();
  return std::to_string(OwnPidNamespace()) + "-" + std::to_string(pid) + "-" +
         std::to_string(start) + "-";
}

// The owner of a scratch name as TempFileName makes it.
struct TempOwner {
  unsigned long long pid_namespace = 0;
  int pid = 0;
  unsigned long long start = 0;
};

// Reads a decimal number ended by "-"; false for anything else.
bool ParseTagNumber(const char** text, unsigned long long* value) {
  const char* p = *text;
  if (*p < '0' || *p > '9') return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtoull(p, &end, 10);
  if (errno != 0 || *end != '-') return false;
  *text = end + 1;
  return true;
}

// The owner a scratch name carries: "CRL", the owner's tag and the six
// characters of mkostemp. False for any other name.
bool ParseTempName(const char* name, TempOwner* owner) {
  if (std::strncmp(name, kTempPrefix, sizeof kTempPrefix - 1) != 0) return false;
  const char* p = name + sizeof kTempPrefix - 1;
  unsigned long long pid = 0;
  if (!ParseTagNumber(&p, &owner->pid_namespace) || !ParseTagNumber(&p, &pid) ||
      !ParseTagNumber(&p, &owner->start) || pid == 0 || pid > INT_MAX ||
      std::strlen(p) != kTempUniqueLength) {
    return false;
  }
  for (; *p != '\0'; ++p) {
    const char c = *p;
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum) return false;
  }
  owner->pid = static_cast<int>(pid);
  return true;
}

// What RemoveOwnTempFiles needs, made before any signal can come: the
// scratch folder and this process's name prefix, in fixed buffers.
char g_own_temp_folder[PATH_MAX];
char g_own_temp_prefix[64];
std::atomic<bool> g_own_temp_prepared{false};

class PosixSystemFactory final : public CRLsystemFactory {
 public:
  std::string TempFileName(bool keep) override {
    // The owner in the name, so that a later run can tell a file of a
    // process that is gone from one that is being received right now.
    const std::string tag = OwnTempTag();
    if (tag.empty()) return std::string();
    const std::string folder = TempFolder();
    if (keep) {
      std::string name = folder + "/" + kTempPrefix + tag + std::string(kTempUniqueLength, 'X');
      const int fd = mkostemp(&name[0], O_CLOEXEC);
      if (fd < 0) return std::string();
      close(fd);
      return name;
    }
    // A name only: nothing appears in the folder, so nobody watching it can
    // learn the name before its file is made.
    struct stat st;
    if (::stat(folder.empty() ? "/" : folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return std::string();
    }
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
      unsigned char random[kTempUniqueLength];
      if (!SystemRandomBytes(random, sizeof random)) return std::string();
      std::string name = folder + "/" + kTempPrefix + tag;
      for (unsigned char byte : random) name += kLetters[byte % (sizeof kLetters - 1)];
      if (::lstat(name.c_str(), &st) != 0 && errno == ENOENT) return name;
    }
    return std::string();
  }

  std::string ModuleDirectory() override {
    std::string dir = DirectoryFromEnv("VELTRANE_MODULE_DIR");
    if (!dir.empty()) return AbsolutePath(dir, std::string());
    return CodeDirectory();
  }

  std::string GlobalDirectory() override {
    std::string dir = DirectoryFromEnv("VELTRANE_GLOBAL_DIR");
    if (!dir.empty()) return AbsolutePath(dir, std::string());
    return ModuleDirectory();
  }

  std::string AppDataDirectory() override {
    std::string base = DirectoryFromEnv("XDG_CONFIG_HOME");
    if (base.empty()) {
      const std::string home = UserHomeDirectory();
      if (home.empty()) return std::string();
      base = (home == "/" ? std::string() : home) + "/.config";
    }
    return base + "/Halvorn";
  }

  std::string UserName() override {
    std::string name = PasswdField(&passwd::pw_name);
    if (!name.empty()) return name;
    const char* user = std::getenv("USER");
    return user != nullptr ? user : std::string();
  }

  void Log(const char* format, ...) override {
    if (format == nullptr) return;
    char buffer[kLogBufferSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    DebugOutput(buffer);
  }

  bool Open(const std::string& file, const std::string& directory) override {
    std::string dir;
    if (!directory.empty()) {
      dir = AbsolutePath(directory, std::string());
      if (dir.empty()) return false;
    }
    LaunchRequest request;
    if (!TargetArguments(file, dir, std::string(), &request.argv)) return false;
    request.directory = dir;
    return LaunchDetached(request);
  }

  bool Run(const std::string& file, const std::string& parameters, bool wait) override {
    LaunchRequest request;
    if (!TargetArguments(file, std::string(), parameters, &request.argv)) return false;
    return wait ? LaunchAndWait(request) : LaunchDetached(request);
  }

  bool Edit(const std::string& file, const std::string& parameters, bool wait) override {
    if (file.empty()) return false;
    const std::vector<std::string> editor = UserEditorCommand();
    if (editor.empty()) return false;
    LaunchRequest request;
    request.argv.push_back(FindProgram(editor[0], std::string()));
    if (request.argv[0].empty()) return false;
    request.argv.insert(request.argv.end(), editor.begin() + 1, editor.end());
    request.argv.push_back(file);
    for (auto& p : SplitCommandLine(parameters)) request.argv.push_back(std::move(p));
    return wait ? LaunchAndWait(request) : LaunchDetached(request);
  }

  bool RunOnUserDesktop(const std::string& program, const std::string& arguments) override {
    // There is one desktop session per user here, the caller's; the outcome
    // of the start is not reported, as no caller can act on it.
    LaunchRequest request;
    request.argv.push_back(FindProgram(program, std::string()));
    if (request.argv[0].empty()) return true;
    for (auto& a : SplitCommandLine(arguments)) request.argv.push_back(std::move(a));
    request.directory = "/";
    LaunchDetached(request);
    return true;
  }

  bool QueueFileUpdate(const std::string& name, const std::string& source) override {
    return WriteUpdateEntry(kUpdateFilesSection, name, source);
  }

  bool QueueRun(const std::string& name) override {
    return WriteUpdateEntry(kRunSection, name, "1");
  }

  bool UnqueueFileUpdate(const std::string& name) override {
    return WriteUpdateEntry(kUpdateFilesSection, name, kWithdrawn);
  }

  bool StartUpdater() override {
    std::string module = ModuleDirectory();
    std::string update_file = UpdateFilePath();
    if (module.empty() || update_file.empty()) return false;
    return Run(module + "/" + kUpdaterName, QuoteCommandLineArgument(update_file), false);
  }

  std::string UpdateFilePath() override {
    std::string dir = GlobalDirectory();
    if (dir.empty()) return std::string();
    return (dir == "/" ? std::string() : dir) + "/" + kUpdateFileName;
  }

  Guid NewIdentifier() override { return Guid::New(); }

  bool IdentifierFromText(const std::string& text, Guid* out) override {
    return out != nullptr && Guid::FromText(text, out);
  }

  std::unique_ptr<FileObject> NewFile() override { return NewLocalFile(); }
  std::unique_ptr<MailslotReader> NewMailslotReader() override { return ::tw::NewMailslotReader(); }
  std::unique_ptr<MailslotWriter> NewMailslotWriter() override { return ::tw::NewMailslotWriter(); }

 private:
  // The argument vector for starting `file` with `parameters`: the program
  // itself when it is executable, else `xdg-open` with the file. A relative
  // name is taken from `base` (the current directory when empty); a bare name
  // that does not exist there is looked up on $PATH. False when there is
  // nothing to start.
  static bool TargetArguments(const std::string& file, const std::string& base,
                              const std::string& parameters, std::vector<std::string>* argv) {
    if (file.empty()) return false;
    std::string path = AbsolutePath(file, base);
    struct stat st;
    bool exists = !path.empty() && stat(path.c_str(), &st) == 0;
    if (!exists && file.find('/') == std::string::npos) {
      path = FindProgram(file, base);
      exists = !path.empty();
    }
    if (!exists) return false;
    std::string program = FindProgram(path, std::string());
    if (!program.empty()) {
      argv->push_back(program);
      for (auto& p : SplitCommandLine(parameters)) argv->push_back(std::move(p));
      return true;
    }
    std::string opener = FindProgram("xdg-open", std::string());
    if (opener.empty()) return false;
    argv->push_back(opener);
    argv->push_back(path);
    return true;
  }

  // Writes [section] key=value into update.ini and flushes it to disk.
  bool WriteUpdateEntry(const char* section, const std::string& name, const std::string& value) {
    if (name.empty() || !IsValidUtf8(value)) return false;
    std::string path = UpdateFilePath();
    if (path.empty() || !IsValidUtf8(path)) return false;
    std::lock_guard<std::mutex> lock(UpdateFileMutex());
    // An existing file that cannot be read would be replaced by one holding
    // only the new entry: refuse instead.
    if (access(path.c_str(), F_OK) == 0 && access(path.c_str(), R_OK) != 0) return false;
    std::lock_guard<std::mutex> wx_lock(WxStateLock());
    wxLogNull quiet;
    // The path is absolute already; wxCONFIG_USE_RELATIVE_PATH keeps
    // wxFileConfig from asking wxStandardPaths for a base folder, which
    // needs a wxApp.
    wxFileConfig config(wxEmptyString, wxEmptyString, wxString::FromUTF8(path), wxEmptyString,
                        wxCONFIG_USE_LOCAL_FILE | wxCONFIG_USE_RELATIVE_PATH);
    wxString key = wxString::FromUTF8(std::string("/") + section + "/" + UpdateKeyFromName(name));
    if (!config.Write(key, wxString::FromUTF8(value))) return false;
    return config.Flush();
  }
};

}  // namespace

std::string CodeDirectory() {
  std::string file = SharedObjectFile();
  if (file.empty()) file = ExecutableFile();
  if (file.empty()) return std::string();
  return NativeParent(Canonical(AbsolutePath(file, std::string())));
}

std::string UserHomeDirectory() {
  const std::string home = DirectoryFromEnv("HOME");
  if (!home.empty()) return home;
  return DropTrailingSeparator(PasswdField(&passwd::pw_dir), kNativeSeparator);
}

bool IsTempFileName(const std::string& path) {
  const std::string folder = TempFolder() + "/";
  if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0) return false;
  TempOwner owner;
  if (!ParseTempName(path.c_str() + folder.size(), &owner)) return false;
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
}

size_t RemoveAbandonedTempFiles() {
  const std::string folder = TempFolder();
  const int dir_fd =
      ::open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return 0;
  DIR* dir = ::fdopendir(dir_fd);
  if (dir == nullptr) {
    ::close(dir_fd);
    return 0;
  }
  const unsigned long long own_namespace = OwnPidNamespace();
  std::vector<std::string> abandoned;
  while (const struct dirent* entry = ::readdir(dir)) {
    TempOwner owner;
    // A name from another pid namespace says nothing about a process here:
    // a run in that namespace judges it.
    if (!ParseTempName(entry->d_name, &owner) || owner.pid_namespace != own_namespace) continue;
    struct stat st;
    // Only this user's own regular files, never through a link.
    if (::fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid()) {
      continue;
    }
    unsigned long long running = 0;
    if (ProcessStartTime(owner.pid, &running) && running == owner.start) continue;
    abandoned.emplace_back(entry->d_name);
  }
  size_t removed = 0;
  for (const std::string& name : abandoned) {
    if (::unlinkat(dir_fd, name.c_str(), 0) == 0) ++removed;
  }
  ::closedir(dir);
  if (removed > 0) DebugLog("Removed %zu scratch files of programs that are gone", removed);
  return removed;
}

void PrepareOwnTempFileRemoval() {
  const std::string folder = TempFolder();
  const std::string prefix = kTempPrefix + OwnTempTag();
  if (folder.size() + 1 >= sizeof g_own_temp_folder || prefix.size() >= sizeof g_own_temp_prefix ||
      prefix.size() == sizeof kTempPrefix - 1) {
    g_own_temp_prepared = false;
    return;
  }
  std::memcpy(g_own_temp_folder, folder.empty() ? "/" : folder.c_str(),
              (folder.empty() ? 1 : folder.size()) + 1);
  std::memcpy(g_own_temp_prefix, prefix.c_str(), prefix.size() + 1);
  g_own_temp_prepared = true;
}

void RemoveOwnTempFiles() {
  if (!g_own_temp_prepared) return;
  const int dir_fd = ::open(g_own_temp_folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return;
  const size_t prefix_length = std::strlen(g_own_temp_prefix);
  // getdents64 rather than readdir: no allocation, as a signal handler needs.
  alignas(struct dirent64) char buffer[8192];
  for (;;) {
    const ssize_t n = ::getdents64(dir_fd, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
      if (entry->d_reclen == 0) break;
      if (std::strncmp(entry->d_name, g_own_temp_prefix, prefix_length) == 0) {
        ::unlinkat(dir_fd, entry->d_name, 0);
      }
      at += entry->d_reclen;
    }
  }
  ::close(dir_fd);
}

CRLsystemFactory& GetDefaultSystemFactory() {
  // Built in static storage on the first call (thread-safe) and never
  // destroyed, so that it outlives every static object that may log late.
  alignas(PosixSystemFactory) static unsigned char storage[sizeof(PosixSystemFactory)];
  static CRLsystemFactory* const instance = ::new (storage) PosixSystemFactory();
  return *instance;
}

}  // namespace tw
