// TWUpdate: replaces files of an installation that the programs using them
// cannot replace themselves. The module queues the files in update.ini and
// starts this program with that file's path (StartUpdater); it waits until
// the files are no longer in use, replaces them, starts the queued programs
// and removes update.ini. Every step goes to update.log beside update.ini
// and to the diagnostic output; when a step fails the installation is left
// as it was and update.ini stays for a later try.
//
//   TWUpdate [--wait SECONDS] <update.ini>
//
// Exit status: 0 the update is done; 1 it failed (the installation is as
// it was), or it was done but update.ini could not be removed; 2 a usage
// error.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/small_file.h"
#include "platform/system_factory.h"
#include "platform/terminal_text.h"
#include "tools/twupdate/install_files.h"
#include "tools/twupdate/update_queue.h"
#include "tools/twupdate/updater.h"

namespace tw {
namespace {

constexpr char kUsage[] = "Usage: TWUpdate [--wait SECONDS] <update.ini>\n";
constexpr char kLogName[] = "update.log";
// Held while an update runs (install_files.h: UpdateLock).
constexpr char kLockName[] = "update.lock";
// Names the files an update makes beside the installation's (updater.h).
constexpr char kJournalName[] = "update.journal";
// How long the files may stay in use before the update gives up: long
// enough for a host to close after starting the update.
constexpr int kDefaultWaitSeconds = 120;
constexpr int kMaxWaitSeconds = 24 * 60 * 60;
// How often a queue that changed while its files were waited for is read
// again before the update gives up.
constexpr int kMaxQueueReads = 5;

// One line of update.log: the local time, then the text.
class UpdateLog {
 public:
  explicit UpdateLog(std::string path) : path_(std::move(path)) {}

  void Write(const std::string& text) {
    // Names come from the queue: shown escaped, one can neither end the
    // line nor pass for another.
    const std::string line = TerminalSafeName(text);
    DebugOutput("TWUpdate: " + line);
    const std::time_t now = std::time(nullptr);
    char stamp[32] = "";
    if (const std::tm* local = std::localtime(&now)) {
      std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", local);
    }
    std::string error;
    if (!AppendToFile(path_, stamp + line + "\n", &error, /*follow_links=*/false) && !warned_) {
      warned_ = true;
      std::fprintf(stderr, "TWUpdate: %s\n", error.c_str());
    }
  }

 private:
  const std::string path_;
  bool warned_ = false;
};

bool ParseSeconds(const std::string& text, int* seconds) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
      text.size() > 6) {
    return false;
  }
  *seconds = std::atoi(text.c_str());
  return *seconds <= kMaxWaitSeconds;
}

int Main(int argc, char** argv) {
  int wait_seconds = kDefaultWaitSeconds;
  std::string ini;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("TWUpdate %s\n", TW_VERSION);
      return 0;
    }
    if (arg == "--wait" && i + 1 < argc) {
      if (!ParseSeconds(argv[++i], &wait_seconds)) {
        std::fprintf(stderr, "TWUpdate: --wait takes a number of seconds\n%s", kUsage);
        return 2;
      }
    } else if (ini.empty() && !arg.empty() && arg[0] != '-') {
      ini = arg;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (ini.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  ini = AbsolutePath(ini, std::string());
  const std::string module_dir = GetSystemFactory().ModuleDirectory();
  if (ini.empty() || module_dir.empty()) {
    std::fputs("TWUpdate: cannot find the folders of the installation\n", stderr);
    return 1;
  }
  UpdateLog log(NativeJoin(NativeParent(ini), kLogName));
  log.Write("Update from " + ini + " into " + module_dir);
  const UpdateLogger logger = [&log](const std::string& line) { log.Write(line); };
  std::string error;
  UpdateLock lock;
  if (!lock.Take(NativeJoin(NativeParent(ini), kLockName), &error)) {
    log.Write("Error: " + error + "; nothing was replaced");
    return 1;
  }
  // The module goes on queueing (and withdrawing) while its files are in
  // use, so the queue that counts is the one read once they are free. Each
  // round reads the file once: the bytes compared are the bytes the queue
  // was taken from, whatever the module writes meanwhile.
  std::string text;
  UpdateQueue queue;
  for (int round = 0;; ++round) {
    std::string now;
    if (!ReadUpdateQueue(ini, &queue, &now, &error)) {
      log.Write("Error: " + error);
      return 1;
    }
    if (round > 0 && now == text) break;
    if (round == kMaxQueueReads) {
      log.Write("Error: " + ini + " keeps changing; nothing was replaced");
      return 1;
    }
    text = std::move(now);
    if (!WaitForQueuedFiles(queue, module_dir, wait_seconds, logger)) {
      log.Write("The update failed; the installation is as it was, and " + ini + " stays");
      return 1;
    }
  }
  const std::string journal = NativeJoin(NativeParent(ini), kJournalName);
  const std::vector<std::string> own_files = {ini, NativeJoin(NativeParent(ini), kLogName),
                                              NativeJoin(NativeParent(ini), kLockName), journal};
  if (!ApplyUpdate(queue, module_dir, journal, own_files, logger)) {
    log.Write("The update failed; the installation is as it was, and " + ini + " stays");
    return 1;
  }
  // The queue is done: a later start must not do it again. A queue changed
  // meanwhile holds entries this update did not see; it stays for the next
  // start, which does again what is done (each new file is copied, not
  // moved, so that costs only time).
  std::string after;
  if (!ReadSmallFile(ini, kMaxUpdateQueueBytes, &after, &error) || after != text) {
    log.Write("The update is done; " + ini + " changed meanwhile and stays for the next start");
    return 0;
  }
  if (!RemoveFile(ini)) {
    log.Write("Error: the update is done, but " + ini + " cannot be removed");
    return 1;
  }
  log.Write("The update is done");
  return 0;
}

}  // namespace
}  // namespace tw

int main(int argc, char** argv) {
  try {
    return tw::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TWUpdate: %s\n", e.what());
  } catch (...) {
    std::fputs("TWUpdate: unexpected failure\n", stderr);
  }
  return 1;
}
