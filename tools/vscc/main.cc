// vscc: a command-line host of the Veltrane source-control provider. See
// "vscc --help" (tools/vscc/options.cc) for what it does and
// tools/vscc/host_ui.h for how the provider's dialogs are answered.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/vscc/commands.h"
#include "tools/vscc/console.h"
#include "tools/vscc/options.h"

int main(int argc, char** argv) {
  // A reader that goes away (vscc status | head) must not end vscc in the
  // middle of an operation on the server.
  ::signal(SIGPIPE, SIG_IGN);
  vscc::Console& console = vscc::TheConsole();

  std::vector<std::string> args(argv + 1, argv + argc);
  vscc::Options options;
  std::string error;
  if (vscc::ParseCommandLine(args, &options, &error) != 0) {
    console.Error(error);
    return vscc::kExitUsage;
  }
  if (options.help || options.command.empty() || options.command == "help") {
    const std::string topic =
        options.command == "help" ? (options.args.empty() ? "" : options.args[0]) : options.command;
    console.Out(topic.empty() ? vscc::GeneralHelp() : vscc::CommandHelp(topic));
    return vscc::kExitOk;
  }
  console.set_quiet(options.quiet);
  console.set_progress_forced(options.progress);

  if (!options.directory.empty() && ::chdir(options.directory.c_str()) != 0) {
    console.Error("cannot change to " + options.directory + ": " + std::strerror(errno));
    return vscc::kExitUsage;
  }
  std::vector<char> cwd(4096);
  if (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    console.Error(std::string("cannot tell the current folder: ") + std::strerror(errno));
    return vscc::kExitFailed;
  }

  // The password travels no further than the logon answer: the programs
  // the provider starts do not inherit it.
  std::string password;
  const char* from_environment = std::getenv("VELTRANE_PASSWORD");
  const bool have_password = from_environment != nullptr;
  if (have_password) password = from_environment;
  ::unsetenv("VELTRANE_PASSWORD");

  return vscc::RunCommand(options, cwd.data(), have_password ? &password : nullptr, &console);
}
