// See updater.h. The order of the steps keeps the installation whole: the
// new files are complete beside the old ones before any old one is
// touched, each old file keeps a second name until the whole update has
// succeeded, and the replacing itself is one rename per file.
#include "tools/twupdate/updater.h"

#include <chrono>
#include <filesystem>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/letter_case.h"
#include "platform/process.h"
#include "tools/twupdate/install_files.h"

namespace tw {
namespace {

constexpr char kStagedSuffix[] = ".twnew";
constexpr char kBackupSuffix[] = ".twold";
// How often the files in use are looked at again while waiting.
constexpr auto kWaitStep = std::chrono::milliseconds(200);

struct Replacement {
  std::string target;  // the file of the installation
  std::string source;  // its new file
  std::string staged;  // the copy of the new file beside it
  std::string backup;  // the old file's second name while the update runs
  bool had_old = false;
  bool replaced = false;
};

// The file `path` names, whatever the spelling: its folders' links and
// "." and ".." resolved, and on Windows without regard to letter case. Two
// queue entries naming one file would each take the other's kept old file.
std::string FileIdentity(const std::string& path) {
  std::error_code ec;
  std::string identity = std::filesystem::weakly_canonical(path, ec).string();
  if (ec || identity.empty()) identity = path;
#ifdef _WIN32
  identity = LowerCase(identity);
#endif
  return identity;
}

// Whether `path` names something other than a regular file: a link (even
// one to a regular file), a folder, a device. Such an entry is not the
// update's to replace, nor, when the update fails, to remove.
bool IsOtherThanAFile(const std::string& path) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::symlink_status(path, ec);
  if (ec) return status.type() != std::filesystem::file_type::not_found;
  return status.type() != std::filesystem::file_type::not_found &&
         status.type() != std::filesystem::file_type::regular;
}

// Waits until none of `targets` is in use; false when one still is after
// `wait_seconds`.
bool WaitUntilFree(const std::vector<std::string>& targets, int wait_seconds,
                   const UpdateLogger& log) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds);
  std::string busy = FirstFileInUse(targets);
  if (busy.empty()) return true;
  log("Waiting until " + busy + " is no longer in use");
  while (!busy.empty()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      log("Error: " + busy + " is still in use after " + std::to_string(wait_seconds) +
          " seconds; nothing was replaced");
      return false;
    }
    std::this_thread::sleep_for(kWaitStep);
    busy = FirstFileInUse(targets);
  }
  return true;
}

// Puts back what the update changed: the old files under their names (a
// file that was new goes), the copies beside them gone.
void Restore(std::vector<Replacement>* files, const UpdateLogger& log) {
  for (auto it = files->rbegin(); it != files->rend(); ++it) {
    if (it->replaced) {
      std::string error;
      if (!it->had_old) {
        if (RemoveFile(it->target)) {
          log("Removed " + it->target + ", which the update had added");
        } else {
          log("Error: cannot remove " + it->target + ", which the update had added");
        }
      } else if (RenameOver(it->backup, it->target, &error)) {
        log("Restored " + it->target);
      } else {
        log("Error: " + error + "; the old file is kept as " + it->backup);
        continue;
      }
      it->replaced = false;
    }
    if (it->had_old) RemoveFile(it->backup);
    RemoveFile(it->staged);
  }
}

}  // namespace

bool WaitForQueuedFiles(const UpdateQueue& queue, const std::string& module_dir, int wait_seconds,
                        const UpdateLogger& log) {
  std::vector<std::string> targets;
  for (const UpdateQueue::File& entry : queue.files) {
    const std::string target = AbsolutePath(entry.name, module_dir);
    if (!target.empty()) targets.push_back(target);
  }
  return WaitUntilFree(targets, wait_seconds, log);
}

bool ApplyUpdate(const UpdateQueue& queue, const std::string& module_dir, const UpdateLogger& log) {
  for (const std::string& name : queue.withdrawn) {
    log("Skipped " + name + ": the entry was withdrawn");
  }
  for (const std::string& name : queue.not_run) {
    log("Skipped running " + name + ": the entry was withdrawn");
  }
  std::vector<Replacement> files;
  std::set<std::string> seen;
  for (const UpdateQueue::File& entry : queue.files) {
    Replacement file;
    file.target = AbsolutePath(entry.name, module_dir);
    file.source = AbsolutePath(entry.source, module_dir);
    if (file.target.empty() || file.source.empty()) {
      log("Error: cannot find the full name of " + entry.name + "; nothing was replaced");
      return false;
    }
    if (!seen.insert(FileIdentity(file.target)).second) {
      log("Error: " + file.target + " is queued twice; nothing was replaced");
      return false;
    }
    if (IsOtherThanAFile(file.target)) {
      log("Error: " + file.target + " is not a file (a link or a folder?); nothing was replaced");
      return false;
    }
    file.staged = file.target + kStagedSuffix;
    file.backup = file.target + kBackupSuffix;
    files.push_back(std::move(file));
  }

  // Every new file complete beside the old one before any old one changes.
  std::string error;
  for (Replacement& file : files) {
    if (!RemoveFile(file.staged) || !StageCopy(file.source, file.staged, file.target, &error)) {
      if (error.empty()) error = "Cannot remove the leftover " + file.staged;
      log("Error: " + error + "; nothing was replaced");
      Restore(&files, log);
      return false;
    }
  }
  for (Replacement& file : files) {
    file.had_old = IsRegularFile(file.target);
    if (file.had_old &&
        (!RemoveFile(file.backup) || !KeepBackup(file.target, file.backup, &error))) {
      if (error.empty()) error = "Cannot remove the leftover " + file.backup;
      file.had_old = false;
      log("Error: " + error);
      Restore(&files, log);
      return false;
    }
    if (!RenameOver(file.staged, file.target, &error)) {
      log("Error: " + error);
      Restore(&files, log);
      return false;
    }
    file.replaced = true;
    log("Replaced " + file.target + " with " + file.source);
  }

  // The programs are found before any is started, so that a missing one
  // undoes the update before anything runs on the new files.
  std::vector<LaunchRequest> programs;
  for (const std::string& name : queue.runs) {
    LaunchRequest request;
    request.argv.push_back(FindProgram(AbsolutePath(name, module_dir), std::string()));
    request.directory = module_dir;
    if (request.argv[0].empty()) {
      log("Error: there is no program " + name + " in " + module_dir);
      Restore(&files, log);
      return false;
    }
    programs.push_back(std::move(request));
  }
  for (const LaunchRequest& program : programs) {
    if (!LaunchDetached(program)) {
      log("Error: cannot start " + program.argv[0]);
      Restore(&files, log);
      return false;
    }
    log("Started " + program.argv[0]);
  }
  for (const Replacement& file : files) {
    if (file.had_old && !RemoveFile(file.backup)) {
      log("Cannot remove the old file " + file.backup);
    }
  }
  return true;
}

}  // namespace tw
