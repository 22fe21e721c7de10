// The command line of TWSccSetup, the provider's installation program:
//   register     record the module as the machine's source-code-control
//                provider
//   unregister   withdraw that
//   status       what is registered, which module this installation holds,
//                the Photoshop found and where its plug-in belongs
//   plugin install|remove
//                place or remove the Photoshop plug-in
// Messages go to the error stream; results to the output stream. Exit codes:
// 0 success, 1 failure, 2 usage error. "--help" after a command (or alone)
// prints its usage to the output stream and exits 0.
#ifndef TW_TOOLS_TWSCCSETUP_CLI_H_
#define TW_TOOLS_TWSCCSETUP_CLI_H_

#include <iosfwd>
#include <string>
#include <vector>

namespace tw::twsccsetup {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The folders where this installation's module may lie, in the order they
// are tried: $VELTRANE_MODULE_DIR alone when set; else the module folder of
// the installed layout (relative to this program's folder), then this
// program's own folder (as in the build tree).
std::vector<std::string> ModuleDirectoryCandidates();

// Runs the command line `argv[1..argc-1]`.
int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace tw::twsccsetup

#endif  // TW_TOOLS_TWSCCSETUP_CLI_H_
