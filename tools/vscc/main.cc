// vscc: a command-line host of the Veltrane source-control provider. See
// "vscc --help" (tools/vscc/options.cc) for what it does and
// tools/vscc/host_ui.h for how the provider's dialogs are answered.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/native_text.h"
#include "tools/vscc/commands.h"
#include "tools/vscc/console.h"
#include "tools/vscc/options.h"
#include "tools/vscc/system.h"

int main(int argc, char** argv) {
  vscc::IgnoreBrokenPipe();
  vscc::RemoveScratchFilesOnInterrupt();
  vscc::Console& console = vscc::TheConsole();

  std::vector<std::string> args(argv + 1, argv + argc);
  vscc::Options options;
  std::string error;
  const int parsed = vscc::ParseCommandLine(args, &options, &error);
  console.set_colour(vscc::ColourWanted(options.colour, STDOUT_FILENO),
                     vscc::ColourWanted(options.colour, STDERR_FILENO));
  if (parsed != 0) {
    console.Error(error);
    return vscc::kExitUsage;
  }
  if (options.version) {
    console.Out(vscc::VersionText());
    return vscc::kExitOk;
  }
  if (options.help || options.command.empty() || options.command == "help") {
    const std::string topic =
        options.command == "help" ? (options.args.empty() ? "" : options.args[0]) : options.command;
    console.Out(topic.empty() ? vscc::GeneralHelp() : vscc::CommandHelp(topic));
    return vscc::kExitOk;
  }
  console.set_quiet(options.quiet);
  console.set_progress_forced(options.progress);

  std::error_code ec;
  if (!options.directory.empty()) {
    std::filesystem::current_path(tw::FsPath(options.directory), ec);
    if (ec) {
      console.Error("cannot change to " + options.directory + ": " + ec.message());
      return vscc::kExitUsage;
    }
  }
  const std::string cwd = tw::FsText(std::filesystem::current_path(ec));
  if (ec) {
    console.Error("cannot tell the current folder: " + ec.message());
    return vscc::kExitFailed;
  }

  // The password travels no further than the logon answer: the programs
  // the provider starts do not inherit it.
  std::string password;
  const char* from_environment = std::getenv("VELTRANE_PASSWORD");
  const bool have_password = from_environment != nullptr;
  if (have_password) password = from_environment;
  vscc::UnsetEnvironment("VELTRANE_PASSWORD");

  return vscc::RunCommand(options, cwd, have_password ? &password : nullptr, &console);
}
