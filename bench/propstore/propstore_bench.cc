// Throughput of the property store against a real TWPMSvr started in a
// private runtime folder: round-trip reads ("GD"), one-way writes ("SD")
// and state-cache-style lookups (open a client, two reads, close); then
// the round-trip reads again beside 50 stalled clients, each with a full
// reply queue and the most replies the server keeps for it (what stalled
// clients cost the others).
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/bench_data.h"
#include "platform/mailslot.h"
#include "platform/recipient_table.h"
#include "settings/property_file_client.h"
#include "settings/property_protocol.h"

extern char** environ;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void Report(const char* what, int count, double seconds) {
  std::printf("%-36s %8d ops %9.3f s %12.0f ops/s %9.2f us/op\n", what, count, seconds,
              count / seconds, seconds * 1e6 / count);
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const int count = argc > 1 ? tw::bench::ArgNumber(argv[1]) : 10000;
  if (count <= 0) return 64;
  char folder_template[] = "/tmp/bench_propstoreXXXXXX";
  if (mkdtemp(folder_template) == nullptr) return 1;
  const std::string folder = folder_template;
  const std::string bin = fs::read_symlink("/proc/self/exe").parent_path().string();
  setenv("VELTRANE_RUNTIME_DIR", (folder + "/runtime").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (folder + "/config").c_str(), 1);
  setenv("VELTRANE_GLOBAL_DIR", folder.c_str(), 1);
  setenv("VELTRANE_MODULE_DIR", bin.c_str(), 1);
  setenv("VELTRANE_DEBUG_OUTPUT", (folder + "/debug.log").c_str(), 1);

  const std::string program = bin + "/" + tw::kPropertyServerProgram;
  char* server_argv[] = {const_cast<char*>(program.c_str()), nullptr};
  pid_t server = -1;
  if (posix_spawn(&server, program.c_str(), nullptr, nullptr, server_argv, environ) != 0) {
    std::fprintf(stderr, "cannot start %s\n", program.c_str());
    return 1;
  }
  std::string mailslot;
  for (int i = 0; i < 500 && !tw::LookupRecipient(tw::kPropertyServerRecipient, &mailslot); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  const std::string store = folder + "/states.dat";
  {
    tw::PropertyFileClient client(store, tw::kStoreFile);
    client.Connect();
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
      client.WriteString(nullptr, "Docs/" + std::to_string(i) + "/StoredLocalDT", "1234567", false);
    }
    std::string value;
    client.ReadString(nullptr, "Docs/0/StoredLocalDT", &value, false);  // drains the queue
    Report("one-way writes (SD)", count, Seconds(start));

    start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
      client.ReadString(nullptr, "Docs/" + std::to_string(i) + "/StoredLocalDT", &value, false);
    }
    Report("round-trip reads (GD)", count, Seconds(start));

    // Stalled clients: reply mailslots nobody reads, each sent more reads
    // than its queue and the server's keeping hold. Measured well within
    // the ten seconds for which the server keeps their replies.
    std::string server_slot;
    tw::LookupRecipient(tw::kPropertyServerRecipient, &server_slot);
    auto requests = tw::NewMailslotWriter();
    std::vector<std::unique_ptr<tw::MailslotReader>> stalled;
    if (requests->Open(".", server_slot)) {
      for (int c = 0; c < 50; ++c) {
        auto reader = tw::NewMailslotReader();
        const std::string name = "stalled" + std::to_string(c);
        if (!reader->Create(name, 65535, 0)) break;
        stalled.push_back(std::move(reader));
        for (int i = 0; i < 100; ++i) {
          const std::string request =
              tw::BuildPropertyRequest(tw::kRequestGetData, store, "Docs/0/StoredLocalDT", name);
          requests->Write(request.data(), static_cast<uint32_t>(request.size()), nullptr);
        }
      }
    }
    client.ReadString(nullptr, "Docs/0/StoredLocalDT", &value, false);  // all queued are done
    const int beside = std::min(count, 5000);
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < beside; ++i) {
      client.ReadString(nullptr, "Docs/" + std::to_string(i) + "/StoredLocalDT", &value, false);
    }
    const std::string what =
        "round-trip reads beside " + std::to_string(stalled.size()) + " stalled";
    Report(what.c_str(), beside, Seconds(start));
  }
  {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
      tw::PropertyFileClient client(store, tw::kStoreFile);
      std::string value;
      client.ReadString(nullptr, "Docs/" + std::to_string(i) + "/StoredLocalDT", &value, false);
      client.ReadString(nullptr, "Docs/" + std::to_string(i) + "/Missing", &value, false);
    }
    Report("state-cache lookups (open, 2 reads)", count, Seconds(start));
  }
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  fs::remove_all(folder);
  return 0;
}
