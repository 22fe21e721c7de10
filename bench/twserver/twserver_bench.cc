// TWServer on loopback, with the default channel (selector 1, compression
// on), one client:
//   - commands per second of "PRODUCTIONCMD" 25 (document information) for
//     1, 100 and 10,000 names, in a Production of 10,000 Documents;
//   - upload ("DOCUMENTCMD" 1, until the server has stored the content and
//     answered) and download ("DOCUMENTCMD" 4, until the file has arrived
//     whole) of a large random file (the usual large file is already
//     compressed), then of a compressible one a quarter that size (gzip
//     works hard on it, so the full size would take minutes), each printed
//     beside the bare library pipeline (gzip, AES-256-CBC and back) over the
//     same file;
//   - the stall one large request causes others: while one client adds
//     30,000 Documents in one request, a second one reads (document
//     information) and writes (a lock taken and given back) in a loop; the
//     longest and the average wait of each are printed;
//   - the same for the largest lock request the server takes (as many
//     Documents as its items-per-request limit, 100,000): one client locks
//     them all in one "ACQUIRELOCK" and gives them back in one
//     "RELEASELOCK", each one write transaction, while another takes and
//     gives back a lock on another Document in a loop.
// The server's repository, the files and the received copies live in a
// scratch folder under $TMPDIR, removed at the end.
//
//   bench_twserver [megabytes of the random file, default 256]
//   bench_twserver locks [documents, default 100000]   (only the lock stall)
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/bench_data.h"
#include "messaging/field_ids.h"
#include "platform/decimal.h"
#include "protocol/document_command.h"
#include "protocol/lock_command.h"
#include "protocol/production_command.h"
#include "servers/twserver/commands.h"
#include "tests/support/wire_client.h"

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;
using test::WireClient;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Ends the run; the server and the scratch folder are cleaned up on the way.
[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what);
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "?" : "") + items[i];
  return out;
}

MessagePtr Call(WireClient& c, const MessagePtr& request, const char* what) {
  MessagePtr reply = c.Call(*request, 600000);
  if (!reply) Fail(std::string(what) + " failed: no reply");
  if (reply->GetErrorCode() != 0) {
    Fail(std::string(what) + " failed with error " + std::to_string(reply->GetErrorCode()));
  }
  return reply;
}

// Adds Documents below `production`, one per name, with the files at
// `paths`; their identifiers.
std::vector<std::string> Add(WireClient& c, const std::string& production,
                             const std::vector<std::string>& names,
                             const std::vector<std::string>& paths) {
  namespace add = add_documents;
  MessagePtr r = WireClient::Request(kDocumentCommand, add::kSubCommand);
  r->SetString(add::kFieldProductionIds, Join(std::vector<std::string>(names.size(), production)));
  r->SetString(add::kFieldNames, Join(names));
  const std::string files = Join(paths);
  r->SetRawField(add::kFieldFiles, FIELD_FILELIST, files.data(), files.size());
  r->SetString(add::kFieldLocalPaths, files);
  return test::SplitField(*Call(c, r, "adding Documents"), add::kReplyDocumentIds);
}

void DocumentInfoRate(WireClient& c, const std::string& production,
                      const std::vector<std::string>& names, size_t count) {
  MessagePtr r = WireClient::Request(kProductionCommand, document_info::kSubCommand);
  r->SetString(document_info::kFieldProductionId, production);
  r->SetString(document_info::kFieldNames,
               Join(std::vector<std::string>(names.begin(), names.begin() + count)));
  int calls = 0;
  const auto start = Clock::now();
  while (calls < 3 || Since(start) < 1.5) {
    Call(c, r, "PRODUCTIONCMD 25");
    ++calls;
  }
  std::printf("PRODUCTIONCMD 25 with %5zu names: %8.1f commands/s\n", count, calls / Since(start));
}

void Transfer(WireClient& c, const std::string& production, const std::string& dir,
              const char* kind, uint64_t size) {
  const std::string path = dir + "/" + kind;
  if (!bench::WriteLargeFile(path, size, std::strcmp(kind, "random") == 0)) Fail("cannot write");
  const double mb = static_cast<double>(size) / (1 << 20);

  auto start = Clock::now();
  const std::string id = Add(c, production, {kind}, {path}).at(0);
  const double upload = mb / Since(start);

  MessagePtr r = WireClient::Request(kDocumentCommand, fetch::kSubCommand);
  r->SetString(fetch::kFieldDocumentIds, id);
  r->SetIntList(fetch::kFieldVersions, {0});
  r->SetInt(fetch::kFieldAlwaysZero, 0);
  start = Clock::now();
  MessagePtr reply = Call(c, r, "fetch");
  const double download = mb / Since(start);
  std::string received;
  reply->GetString(fetch::kReplyFiles, &received);
  const bool whole = bench::SameFile(path, received);
  unlink(received.c_str());
  if (!whole) Fail("the fetched file differs");

  const double bare_seconds = bench::BarePipelineSeconds(path);
  unlink(path.c_str());
  if (bare_seconds <= 0) Fail("the bare pipeline lost the data");
  const double bare = mb / bare_seconds;
  std::printf(
      "%-12s %4.0f MB: upload %7.1f MB/s  download %7.1f MB/s  bare pipeline %7.1f MB/s"
      "  (upload/bare %.2f, download/bare %.2f)\n",
      kind, mb, upload, download, bare, upload / bare, download / bare);
}

// The milliseconds the server's log gives for the last command whose line
// holds `what`; -1 when none.
long LoggedMilliseconds(const test::TestServer& server, const std::string& what) {
  const std::string log = server.Log();
  const size_t line = log.rfind(what);
  if (line == std::string::npos) return -1;
  const size_t ms = log.find(" ms=", line);
  return ms == std::string::npos ? -1 : DecimalToInt(std::string_view(log).substr(ms + 4));
}

void AddStall(const test::TestServer& server, const std::string& root, const std::string& dir,
              const std::string& locked_id) {
  const uint16_t port = server.port();
  constexpr int kNames = 30000;
  WireClient adder, other;
  if (!adder.Connect(port) || adder.Logon("bench", "pw") != 0 || !other.Connect(port) ||
      other.Logon("bench2", "pw") != 0) {
    Fail("cannot log on for the stall");
  }
  MessagePtr folder = WireClient::Request(kProductionCommand, create_production::kSubCommand);
  folder->SetString(create_production::kFieldParentId, root);
  folder->SetString(create_production::kFieldName, "Stall");
  std::string production;
  Call(adder, folder, "creating a Production")
      ->GetString(create_production::kReplyProductionId, &production);
  const std::string small = dir + "/stall";
  std::ofstream(small) << "stall";
  std::vector<std::string> names;
  for (int i = 0; i < kNames; ++i) names.push_back("s" + std::to_string(i));

  std::atomic<bool> adding{true};
  double add_seconds = 0;
  std::thread add([&] {
    const auto start = Clock::now();
    Add(adder, production, names, std::vector<std::string>(names.size(), small));
    add_seconds = Since(start);
    adding = false;
  });
  MessagePtr info = WireClient::Request(kProductionCommand, document_info::kSubCommand);
  info->SetString(document_info::kFieldProductionId, root);
  info->SetString(document_info::kFieldNames, "doc1.txt?doc2.txt");
  MessagePtr lock = WireClient::Request(acquire_lock::kCommand);
  lock->SetString(acquire_lock::kFieldDocumentIds, locked_id);
  lock->SetInt(acquire_lock::kFieldLockType, kLockShared);
  MessagePtr release = WireClient::Request(release_lock::kCommand);
  release->SetString(release_lock::kFieldDocumentIds, locked_id);
  double read_max = 0, read_sum = 0, write_max = 0, write_sum = 0;
  int reads = 0, writes = 0;
  while (adding.load()) {
    auto start = Clock::now();
    Call(other, info, "PRODUCTIONCMD 25 beside the add");
    const double read = Since(start);
    read_max = std::max(read_max, read);
    read_sum += read;
    ++reads;
    start = Clock::now();
    Call(other, lock, "ACQUIRELOCK beside the add");
    Call(other, release, "RELEASELOCK beside the add");
    const double write = Since(start) / 2;
    write_max = std::max(write_max, write);
    write_sum += write;
    ++writes;
  }
  add.join();
  std::printf(
      "add of %d Documents (a file each) in one request: %.2f s, of which the server's "
      "handling %ld ms; meanwhile another client's reads waited at most %.1f ms "
      "(%.1f ms on average, %d reads), its writes at most %.1f ms (%.1f ms on average, "
      "%d writes)\n",
      kNames, add_seconds, LoggedMilliseconds(server, "command=DOCUMENTCMD sub=1"), read_max * 1000,
      read_sum * 1000 / std::max(reads, 1), reads, write_max * 1000,
      write_sum * 1000 / std::max(writes, 1), writes);
}

// The default items-per-request limit of the server.
const int kMaxLockDocuments = static_cast<int>(twserver::HandlerLimits().max_items);

void LockStall(const test::TestServer& server, const std::string& root, const std::string& dir,
               const std::string& other_id, int documents) {
  const uint16_t port = server.port();
  constexpr int kPerAdd = 25000;
  WireClient locker, other;
  if (!locker.Connect(port) || locker.Logon("bench", "pw") != 0 || !other.Connect(port) ||
      other.Logon("bench2", "pw") != 0) {
    Fail("cannot log on for the lock stall");
  }
  MessagePtr folder = WireClient::Request(kProductionCommand, create_production::kSubCommand);
  folder->SetString(create_production::kFieldParentId, root);
  folder->SetString(create_production::kFieldName, "Locks");
  std::string production;
  Call(locker, folder, "creating a Production")
      ->GetString(create_production::kReplyProductionId, &production);
  const std::string small = dir + "/lockable";
  std::ofstream(small) << "lockable";
  std::vector<std::string> ids;
  const auto add_start = Clock::now();
  for (int first = 0; first < documents; first += kPerAdd) {
    std::vector<std::string> names;
    for (int i = first; i < std::min(first + kPerAdd, documents); ++i) {
      names.push_back("l" + std::to_string(i));
    }
    const std::vector<std::string> added =
        Add(locker, production, names, std::vector<std::string>(names.size(), small));
    ids.insert(ids.end(), added.begin(), added.end());
  }
  std::printf("(%d Documents to lock added in %.1f s)\n", documents, Since(add_start));
  if (ids.size() != static_cast<size_t>(documents)) Fail("the Documents to lock are missing");

  for (const char* command : {acquire_lock::kCommand, release_lock::kCommand}) {
    MessagePtr big = WireClient::Request(command);
    const bool acquire = std::strcmp(command, acquire_lock::kCommand) == 0;
    // Both commands carry the identifiers in the same field.
    static_assert(acquire_lock::kFieldDocumentIds == release_lock::kFieldDocumentIds);
    big->SetString(acquire_lock::kFieldDocumentIds, Join(ids));
    if (acquire) big->SetInt(acquire_lock::kFieldLockType, kLockExclusive);
    std::atomic<bool> running{true};
    double big_seconds = 0;
    std::thread t([&] {
      const auto start = Clock::now();
      Call(locker, big, command);
      big_seconds = Since(start);
      running = false;
    });
    MessagePtr lock = WireClient::Request(acquire_lock::kCommand);
    lock->SetString(acquire_lock::kFieldDocumentIds, other_id);
    lock->SetInt(acquire_lock::kFieldLockType, kLockShared);
    MessagePtr release = WireClient::Request(release_lock::kCommand);
    release->SetString(release_lock::kFieldDocumentIds, other_id);
    double write_max = 0, write_sum = 0;
    int writes = 0;
    while (running.load()) {
      const auto start = Clock::now();
      Call(other, lock, "ACQUIRELOCK beside the large one");
      Call(other, release, "RELEASELOCK beside the large one");
      const double write = Since(start) / 2;
      write_max = std::max(write_max, write);
      write_sum += write;
      ++writes;
    }
    t.join();
    std::printf(
        "%s of %d Documents in one request: %.2f s, of which the server's handling %ld ms; "
        "meanwhile another client's lock writes waited at most %.1f ms (%.1f ms on average, "
        "%d writes)\n",
        command, documents, big_seconds,
        LoggedMilliseconds(server, std::string("user=bench command=") + command), write_max * 1000,
        write_sum * 1000 / std::max(writes, 1), writes);
  }
}

// The end of the server's log, for a failure.
std::string Tail(const std::string& dir) {
  std::string text;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.path().extension() == ".log") {
      std::ifstream in(entry.path());
      text.assign(std::istreambuf_iterator<char>(in), {});
    }
  }
  return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

int Run(uint64_t size, int locks_only) {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/bench_twserver.XXXXXX";
  if (mkdtemp(&templ[0]) == nullptr) {
    std::fprintf(stderr, "bench_twserver: cannot make a scratch folder\n");
    return 1;
  }
  const std::string dir = templ;
  setenv("TMPDIR", dir.c_str(), 1);  // fetched files land here too
  int status = 0;
  try {
    test::TestServer server(dir + "/repo");
    if (!server.Init({"--selector", "1", "--compression", "1"}) || !server.AddUser("bench", "pw") ||
        !server.AddUser("bench2", "pw") || !server.Start()) {
      Fail("cannot start TWServer");
    }
    WireClient c;
    if (!c.Connect(server.port()) || c.Logon("bench", "pw") != 0) Fail("cannot log on");
    MessagePtr lookup = WireClient::Request(kProductionCommand, lookup_production::kSubCommand);
    lookup->SetString(lookup_production::kFieldPath, "");
    const std::string root = [&] {
      std::string id;
      Call(c, lookup, "lookup")->GetString(lookup_production::kReplyProductionId, &id);
      return id;
    }();

    // 10,000 Documents, one small local file sent for each.
    const std::string small = dir + "/small";
    std::ofstream(small) << "small";
    std::vector<std::string> names;
    for (int i = 0; i < 10000; ++i) names.push_back("doc" + std::to_string(i) + ".txt");
    const std::vector<std::string> ids =
        Add(c, root, names, std::vector<std::string>(names.size(), small));
    if (locks_only) {
      LockStall(server, root, dir, ids.at(0), locks_only);
      server.Stop();
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
      return 0;
    }
    for (size_t count : {size_t{1}, size_t{100}, size_t{10000}}) {
      DocumentInfoRate(c, root, names, count);
    }
    AddStall(server, root, dir, ids.at(0));
    LockStall(server, root, dir, ids.at(0), kMaxLockDocuments);

    Transfer(c, root, dir, "random", size);
    Transfer(c, root, dir, "compressible", std::max<uint64_t>(size / 4, 1 << 20));
    server.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_twserver: %s\n", e.what());
    std::fprintf(stderr, "%s\n", Tail(dir).c_str());
    status = 1;
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return status;
}

}  // namespace
}  // namespace tw

int main(int argc, char** argv) {
  // "locks [documents]": only the lock stall, by default over as many
  // Documents as one request may name.
  int locks_only = 0;
  if (argc > 1 && std::strcmp(argv[1], "locks") == 0) {
    locks_only = argc > 2 ? tw::bench::ArgNumber(argv[2]) : tw::kMaxLockDocuments;
    if (locks_only <= 0 || locks_only > tw::kMaxLockDocuments) return 2;
  }
  const long megabytes = argc > 1 && !locks_only ? tw::bench::ArgNumber(argv[1]) : 256;
  if (megabytes <= 0 || megabytes > 4096) {
    std::fprintf(stderr, "usage: bench_twserver [megabytes of the random file, 1-4096 | locks]\n");
    return 2;
  }
  return tw::Run(static_cast<uint64_t>(megabytes) << 20, locks_only);
}
