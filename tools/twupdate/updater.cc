// See updater.h. The order of the steps keeps the installation whole: the
// new files are complete beside the old ones before any old one is
// touched, each old file keeps a second name until the whole update has
// succeeded, and the replacing itself is one rename per file.
#include "tools/twupdate/updater.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/letter_case.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/small_file.h"
#include "tools/twupdate/install_files.h"

namespace tw {
namespace {

constexpr char kStagedSuffix[] = ".twnew";
constexpr char kBackupSuffix[] = ".twold";
// How often the files in use are looked at again while waiting.
constexpr auto kWaitStep = std::chrono::milliseconds(200);
// How long a program the update started is given to end when the update
// fails, before it is killed (and as long again to be gone).
constexpr auto kStopGrace = std::chrono::seconds(5);
// How many other names beside a file are tried for its copy or its kept
// old file when the first is taken by a file of the installation.
constexpr int kMaxNameTries = 100;
// The largest journal read: one line per file an update makes.
constexpr size_t kMaxJournalBytes = 4 << 20;

struct Replacement {
  std::string target;  // the file of the installation
  std::string source;  // its new file
  std::string staged;  // the copy of the new file beside it
  std::string backup;  // the old file's second name while the update runs
  bool had_old = false;
  bool was_read_only = false;  // the old file, on Windows
  bool replaced = false;
};

namespace fs = std::filesystem;

// `path` as compared with other paths of the installation: on Windows
// without regard to letter case.
std::string Comparable(const fs::path& path) {
#ifdef _WIN32
  return LowerCase(path.string());
#else
  return path.string();
#endif
}

// Whether anything (a link too) has the name `path`; when that cannot be
// told, it is taken to.
bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() != fs::file_type::not_found;
}

// Whether `path` lies in the folder `base` or is that folder; both
// resolved.
bool IsWithin(const fs::path& path, const fs::path& base) {
  const fs::path relative = fs::path(Comparable(path)).lexically_relative(Comparable(base));
  return !relative.empty() && *relative.begin() != "..";
}

// Why the queued name `name` does not stay in the module folder `base`
// (resolved), or empty when it does: it must be relative to the folder or
// a full name of this system, without a ".." step or a control character,
// never relative to a drive or a root, and its folder, links followed,
// must lie in `base`; with `itself`, so must what the name itself leads
// to, when it is there.
std::string LeadsOut(const std::string& name, const fs::path& base, bool itself) {
  if (name.empty()) return "it is empty";
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return "it holds a control character";
  }
  if (!IsFullNativePath(name)) {
    if (name[0] == '/' || name[0] == '\\') return "it is absolute";
    if (name.size() >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
      return "it names a drive";
    }
  }
  // Either separator, on either system: a queue means the same everywhere.
  std::string step;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/' || name[i] == '\\') {
      if (step == "..") return "it climbs out with \"..\"";
      step.clear();
    } else {
      step += name[i];
    }
  }
  std::error_code ec;
  const fs::path folder = fs::weakly_canonical((base / name).parent_path(), ec);
  if (ec || !IsWithin(folder, base)) return "its folder lies outside it";
  if (itself) {
    const fs::path program = fs::weakly_canonical(base / name, ec);
    if (ec || !IsWithin(program, base)) return "it is a link that leads out";
  }
  return std::string();
}

// A name beside `path` with `suffix` that nothing has (not even a link)
// and that no other file of the update takes (`taken`); empty when none
// of the tries is free.
std::string FreeName(const std::string& path, const char* suffix, std::set<std::string>* taken) {
  for (int i = 0; i < kMaxNameTries; ++i) {
    const std::string name = path + (i == 0 ? std::string() : "." + std::to_string(i)) + suffix;
    if (!Exists(name) && taken->insert(Comparable(name)).second) return name;
  }
  return std::string();
}

// A line of the journal after which its kept old files are only to be
// removed: the update they belong to had succeeded.
constexpr char kJournalDone[] = "done";

// The files an update makes beside the installation's, named before they
// are made, one full name a line: what a cut-short update left there is
// known by its name here, never by its suffix. A kept old file, once
// complete and before its file is replaced, gets a second line,
// "<kept old file><tab><file>": an update cut short before it succeeded is
// undone by renaming it back.
class Journal {
 public:
  Journal(std::string path, fs::path base) : path_(std::move(path)), base_(std::move(base)) {}

  // Removes what the journal names (only files of the update's own kinds
  // in the module folder), then the journal. False when one is still there.
  bool RemoveLeftovers(const UpdateLogger& log) {
    std::string text;
    std::string error;
    if (!Exists(path_)) return true;
    if (!ReadSmallFile(path_, kMaxJournalBytes, &text, &error)) {
      log("Error: cannot read " + path_ + ": " + error);
      return false;
    }
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    bool all_gone = true;
    // Undone first, the last file first, unless the update had succeeded.
    if (std::find(lines.begin(), lines.end(), kJournalDone) == lines.end()) {
      for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        std::string backup;
        std::string target;
        if (!KeptOldFile(*line, &backup, &target) || !Exists(backup)) continue;
        if (RenameOver(backup, target, &error)) {
          log("Restored " + target + ", left by an update that was cut short");
        } else {
          log("Error: " + error);
          all_gone = false;
        }
      }
    }
    for (const std::string& line : lines) {
      if (!IsOurs(line)) continue;
      if (!Exists(line)) continue;
      if (RemoveFile(line)) {
        log("Removed " + line + ", left by an update that was cut short");
      } else {
        log("Error: cannot remove " + line + ", left by an update that was cut short");
        all_gone = false;
      }
    }
    if (all_gone && !RemoveFile(path_)) {
      log("Error: cannot remove " + path_);
      return false;
    }
    return all_gone;
  }

  // Names `file` before it is made. False, having said so, when it cannot.
  bool Record(const std::string& file, const UpdateLogger& log) {
    if (!Append(file + "\n", log)) return false;
    recorded_.push_back(file);
    return true;
  }

  // Notes that `backup` holds the old `target` whole, before `target` is
  // replaced. False, having said so, when it cannot.
  bool RecordKept(const std::string& backup, const std::string& target, const UpdateLogger& log) {
    return Append(backup + "\t" + target + "\n", log);
  }

  // Notes that the update succeeded: from now on its kept old files are
  // only removed.
  bool RecordDone(const UpdateLogger& log) { return Append(std::string(kJournalDone) + "\n", log); }

  // The update is over: the journal goes when nothing it names is left,
  // but for the files in `kept`, which stay as the only copy of an old
  // file; else it keeps naming what is left.
  void Close(const std::set<std::string>& kept, const UpdateLogger& log) {
    std::string left;
    for (const std::string& file : recorded_) {
      if (kept.count(file) == 0 && Exists(file)) left += file + "\n";
    }
    RemoveFile(path_);
    std::string error;
    if (!left.empty() && !AppendToFile(path_, left, &error, /*follow_links=*/false))
      log("Error: " + error);
  }

 private:
  // A file this updater would have made: one of its own kinds, beside a
  // file of the module folder.
  bool IsOurs(const std::string& file) const {
    const auto ends_with = [&file](const std::string& suffix) {
      return file.size() > suffix.size() &&
             file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (!ends_with(kStagedSuffix) && !ends_with(kBackupSuffix)) return false;
    std::error_code ec;
    const fs::path folder = fs::weakly_canonical(fs::path(file).parent_path(), ec);
    return !ec && fs::path(file).is_absolute() && IsWithin(folder, base_);
  }

  bool Append(const std::string& line, const UpdateLogger& log) {
    std::string error;
    if (AppendToFile(path_, line, &error, /*follow_links=*/false)) return true;
    log("Error: " + error);
    return false;
  }

  // Whether `line` says that one of our kept old files holds the old file
  // beside it: "<file>[.N].twold<tab><file>", with its parts.
  bool KeptOldFile(const std::string& line, std::string* backup, std::string* target) const {
    for (size_t tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', tab + 1)) {
      *backup = line.substr(0, tab);
      *target = line.substr(tab + 1);
      if (!IsOurs(*backup) || backup->size() <= target->size() ||
          backup->compare(0, target->size(), *target) != 0) {
        continue;
      }
      // What lies between: ".twold", or ".N.twold" (FreeName).
      std::string between = backup->substr(target->size());
      between.resize(between.size() - (sizeof kBackupSuffix - 1));
      if (between.empty() || (between.size() > 1 && between[0] == '.' &&
                              between.find_first_not_of("0123456789", 1) == std::string::npos)) {
        return true;
      }
    }
    return false;
  }

  const std::string path_;
  const fs::path base_;
  std::vector<std::string> recorded_;
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
// file that was new goes), the copies beside them gone. An old file that
// cannot be put back stays under its second name, in `kept`.
void Restore(std::vector<Replacement>* files, std::set<std::string>* kept,
             const UpdateLogger& log) {
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
        kept->insert(it->backup);
        continue;
      }
      it->replaced = false;
    }
    // The kept old file goes before the read-only attribute comes back:
    // as a second name of the same file (Windows), removing it read-only
    // would clear the attribute the file shares.
    if (it->had_old) RemoveFile(it->backup);
    if (it->had_old && it->was_read_only) RestoreReadOnly(it->target);
    RemoveFile(it->staged);
  }
}

// Stops the programs the update started, the last first.
void StopPrograms(std::vector<std::pair<std::string, StartedProgram>>* started,
                  const UpdateLogger& log) {
  for (auto it = started->rbegin(); it != started->rend(); ++it) {
    if (StopProgram(it->second, kStopGrace)) {
      log("Stopped " + it->first);
    } else {
      log("Error: cannot stop " + it->first);
    }
  }
  started->clear();
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

bool ApplyUpdate(const UpdateQueue& queue, const std::string& module_dir,
                 const std::string& journal_path, const std::vector<std::string>& own_files,
                 const UpdateLogger& log) {
  for (const std::string& name : queue.withdrawn) {
    log("Skipped " + name + ": the entry was withdrawn");
  }
  for (const std::string& name : queue.not_run) {
    log("Skipped running " + name + ": the entry does not ask for it");
  }
  std::error_code ec;
  const fs::path base = fs::canonical(module_dir, ec);
  if (ec) {
    log("Error: cannot find the module folder " + module_dir + ": " + ec.message() +
        "; nothing was replaced");
    return false;
  }
  const auto confined = [&](const std::string& name, bool itself) {
    const std::string why = LeadsOut(name, base, itself);
    if (why.empty()) return true;
    log("Error: " + name + " is no name in " + module_dir + " (" + why + "); nothing was replaced");
    return false;
  };
  Journal journal(journal_path, base);
  if (!journal.RemoveLeftovers(log)) {
    log("Error: what an earlier update left cannot be removed; nothing was replaced");
    return false;
  }

  std::set<std::string> own;
  for (const std::string& path : own_files) own.insert(FileIdentity(path));
  std::vector<Replacement> files;
  std::set<std::string> seen;
  for (const UpdateQueue::File& entry : queue.files) {
    if (!confined(entry.name, false)) return false;
    Replacement file;
    file.target = AbsolutePath(entry.name, module_dir);
    file.source = AbsolutePath(entry.source, module_dir);
    if (file.target.empty() || file.source.empty()) {
      log("Error: cannot find the full name of " + entry.name + "; nothing was replaced");
      return false;
    }
    if (own.count(FileIdentity(file.target)) != 0) {
      log("Error: " + entry.name + " is no name in " + module_dir +
          " (it is a file of the updater); nothing was replaced");
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
    files.push_back(std::move(file));
  }
  // The names beside the files, none taken by a file of the installation
  // or by another of the update's.
  std::set<std::string> taken;
  for (const Replacement& file : files) taken.insert(Comparable(file.target));
  for (Replacement& file : files) {
    file.staged = FreeName(file.target, kStagedSuffix, &taken);
    file.backup = FreeName(file.target, kBackupSuffix, &taken);
    if (file.staged.empty() || file.backup.empty()) {
      log("Error: no free name beside " + file.target + "; nothing was replaced");
      return false;
    }
  }
  for (const std::string& name : queue.runs) {
    if (!confined(name, true)) return false;
  }

  std::set<std::string> kept;
  const auto fail = [&] {
    Restore(&files, &kept, log);
    journal.Close(kept, log);
    return false;
  };
  // Every new file complete beside the old one before any old one changes.
  std::string error;
  for (Replacement& file : files) {
    if (!journal.Record(file.staged, log)) return fail();
    if (!StageCopy(file.source, file.staged, file.target, &error)) {
      log("Error: " + error + "; nothing was replaced");
      return fail();
    }
  }
  for (Replacement& file : files) {
    if (IsRegularFile(file.target)) {
      if (!journal.Record(file.backup, log)) return fail();
      if (!KeepBackup(file.target, file.backup, &error)) {
        log("Error: " + error);
        return fail();
      }
      file.had_old = true;
      if (!journal.RecordKept(file.backup, file.target, log)) return fail();
      // A read-only old file (Windows) could be neither replaced nor,
      // under its second name, removed afterwards.
      bool backup_read_only = false;
      bool target_read_only = false;
      const bool replaceable = MakeReplaceable(file.backup, &backup_read_only, &error) &&
                               MakeReplaceable(file.target, &target_read_only, &error);
      file.was_read_only = backup_read_only || target_read_only;
      if (!replaceable) {
        log("Error: " + error);
        return fail();
      }
    }
    if (!RenameOver(file.staged, file.target, &error)) {
      log("Error: " + error);
      return fail();
    }
    file.replaced = true;
    log("Replaced " + file.target + " with " + file.source);
  }

  // The programs are found (the update may have brought them) before any
  // is started, so that a missing one undoes the update before anything
  // runs on the new files.
  std::vector<LaunchRequest> programs;
  for (const std::string& name : queue.runs) {
    LaunchRequest request;
    request.argv.push_back(FindProgram(AbsolutePath(name, module_dir), std::string()));
    request.directory = module_dir;
    if (request.argv[0].empty()) {
      log("Error: there is no program " + name + " in " + module_dir);
      return fail();
    }
    programs.push_back(std::move(request));
  }
  std::vector<std::pair<std::string, StartedProgram>> started;
  for (const LaunchRequest& program : programs) {
    StartedProgram handle = 0;
    if (!StartProgram(program, &handle)) {
      log("Error: cannot start " + program.argv[0]);
      // Nothing may go on running on files that are about to be put back.
      StopPrograms(&started, log);
      return fail();
    }
    started.emplace_back(program.argv[0], handle);
    log("Started " + program.argv[0]);
  }
  if (!journal.RecordDone(log)) {
    StopPrograms(&started, log);
    return fail();
  }
  for (const auto& program : started) LetProgramGo(program.second);
  for (const Replacement& file : files) {
    if (file.had_old && !RemoveFile(file.backup)) {
      log("Cannot remove the old file " + file.backup);
    }
  }
  journal.Close(kept, log);
  return true;
}

}  // namespace tw
