// vscc's commands: each finds the working folder, loads the provider,
// opens the bound project and calls the exports that do the work, then
// reports what the provider said and showed.
//
// Threads: one command per process, on the main thread.
#ifndef TW_TOOLS_VSCC_COMMANDS_H_
#define TW_TOOLS_VSCC_COMMANDS_H_

#include <string>

#include "tools/vscc/console.h"
#include "tools/vscc/options.h"

namespace vscc {

enum ExitStatus : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

// Runs the command of `options` from the folder `cwd` (absolute). The
// password for the logon, when the caller has one, is `password` (null
// when none was given).
int RunCommand(const Options& options, const std::string& cwd, const std::string* password,
               Console* console);

}  // namespace vscc

#endif  // TW_TOOLS_VSCC_COMMANDS_H_
