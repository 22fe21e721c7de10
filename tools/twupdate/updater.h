// Working through an update queue: every queued file of the installation is
// replaced by its new file, then the queued programs are started, or, when
// any step fails, the installation is left as it was.
//
// Single-threaded: one update at a time.
#ifndef TW_TOOLS_TWUPDATE_UPDATER_H_
#define TW_TOOLS_TWUPDATE_UPDATER_H_

#include <functional>
#include <string>
#include <vector>

#include "tools/twupdate/update_queue.h"

namespace tw {

// Where the update reports each step, one line each.
using UpdateLogger = std::function<void(const std::string& line)>;

// Waits until no file `queue` replaces is in use (FirstFileInUse), for at
// most `wait_seconds`; false, having said so to `log`, when one still is.
bool WaitForQueuedFiles(const UpdateQueue& queue, const std::string& module_dir, int wait_seconds,
                        const UpdateLogger& log);

// Applies `queue` to the installation in `module_dir`. Names of files and
// programs are taken in `module_dir` and must stay there: a name that is
// absolute, names a drive, climbs out with "..", holds a control character
// or leads out through a linked folder changes nothing. Withdrawn entries
// are skipped. A queue that names one file twice (by any spelling) or
// names an entry that is no regular file (a link, a folder) changes
// nothing either. In order:
// 1. copies every new file beside the file it replaces ("<name>.twnew");
// 2. keeps each old file under a second name ("<name>.twold") and renames
//    its new file over it, one file after another;
// 3. starts each queued program, in the module folder, in the order of the
//    queue;
// 4. removes the kept old files.
// Every file the update makes beside the installation's files is named in
// the journal `journal` before it is made; what an earlier update that
// was cut short left there is removed first, and nothing else: a file of
// the installation that merely has such a name is never touched (the
// update picks other names beside it); an update cut short before it
// succeeded is undone first, its kept old files renamed back. No entry may
// name one of `own_files` (the updater's queue, log, lock and journal).
// A program must lie in `module_dir` itself, not merely its link. True when
// every step succeeded.
// When one fails, nothing is left of the update: the programs it started
// are stopped, the old files are renamed back (a file that was new is
// removed), the copies beside them are removed, and false is returned.
bool ApplyUpdate(const UpdateQueue& queue, const std::string& module_dir,
                 const std::string& journal, const std::vector<std::string>& own_files,
                 const UpdateLogger& log);

}  // namespace tw

#endif  // TW_TOOLS_TWUPDATE_UPDATER_H_
