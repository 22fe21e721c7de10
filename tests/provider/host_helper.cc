// A second host process for the provider tests: another user on another
// host, whose module instance is its own (the module is one per process).
//
//   provider_host_helper SCRIPT PROJECT AUX LOCAL COMMAND [FILE...]
//
// Answers its dialogs from the script file SCRIPT (the logon first), opens
// the binding PROJECT / AUX on the working folder LOCAL and runs COMMAND on
// the files: get, checkout, checkout-shared (the check-out options dialog
// asks for a shared lock), uncheckout, checkin, status, local (the local
// states) or tree (the Documents below the folder FILE, or the whole tree
// without one). Prints "result <code>" and then, for status, one
// "status <hex word>" line per file, for local one "state <n>" line per
// file, for tree one "path <path>" line per Document.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/scc_host.h"

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s SCRIPT PROJECT AUX LOCAL COMMAND [FILE...]\n", argv[0]);
    return 2;
  }
  setenv("VELTRANE_UI", (std::string("script:") + argv[1]).c_str(), 1);
  unsetenv("VELTRANE_UI_RECORD");
  tw::test::SccHost host;
  if (!host.ok()) {
    std::fprintf(stderr, "cannot load the module: %s\n", host.error().c_str());
    return 2;
  }
  LPVOID context = host.Initialize("HelperHost");
  if (context == nullptr) return 2;
  const tw::test::SccHost::Binding binding{argv[2], argv[4], argv[3]};
  const std::string command = argv[5];
  const std::vector<std::string> files(argv + 6, argv + argc);

  SCCRTN result = host.Open(context, binding);
  std::vector<LONG> status, states;
  std::vector<std::string> paths;
  if (result == SCC_OK) {
    if (command == "get") {
      result = host.Get(context, files);
    } else if (command == "checkout") {
      result = host.Checkout(context, files);
    } else if (command == "checkout-shared") {
      LPCMDOPTS options = nullptr;
      host.get_command_options(context, nullptr, SCC_COMMAND_CHECKOUT, &options);
      result = host.Checkout(context, files, options);
    } else if (command == "uncheckout") {
      result = host.Uncheckout(context, files);
    } else if (command == "checkin") {
      result = host.Checkin(context, files, "from the helper");
    } else if (command == "status") {
      result = host.QueryInfo(context, files, &status);
    } else if (command == "local") {
      result = host.QueryLocalStatus(context, files, &states);
    } else if (command == "tree") {
      result = host.PopulateTree(context, files.empty() ? nullptr : files[0].c_str(), &paths);
    } else {
      std::fprintf(stderr, "unknown command %s\n", command.c_str());
      result = SCC_E_OPNOTSUPPORTED;
    }
  }
  std::printf("result %d\n", static_cast<int>(result));
  for (LONG word : status) std::printf("status %04x\n", static_cast<unsigned>(word));
  for (LONG state : states) std::printf("state %ld\n", static_cast<long>(state));
  for (const std::string& path : paths) std::printf("path %s\n", path.c_str());
  for (const std::string& notice : tw::test::SccHost::Notices()) {
    std::fprintf(stderr, "%s\n", notice.c_str());
  }
  host.uninitialize(context);
  return 0;
}
