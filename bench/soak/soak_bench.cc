// A soak of TWServer: many clients at once, for minutes, each logged on as a
// user of its own and running a mix of the commands a provider sends:
//   - add (10%): one to three new Documents of 1 to 64 KiB in its own
//     Production;
//   - lock, check-in, release (25%): of its own Documents or of twenty
//     shared ones that all clients contend for (a lock conflict on a shared
//     Document is an answer, not an error);
//   - get (30%): the current version of one of its own Documents, checked
//     byte for byte against what it last stored, or of a shared one;
//   - status (35%): the document information of up to fifty of its names,
//     now and then a Document's history.
// It prints commands per second, the median and 99th percentile latency,
// the errors (anything but success and those lock conflicts; there must be
// none), the server's peak resident memory, and at the end the consistency
// of the database and the content store, checked with the server stopped.
// The repository is SQLite's, or with "postgres" kept in a private
// PostgreSQL cluster, or with "postgres2" kept there and served by two
// servers, the clients spread over both; "all" runs the three one after the
// other and prints their figures side by side.
//
//   bench_soak [seconds, default 600] [clients, default 100]
//              [sqlite|postgres|postgres2|all, default sqlite]
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/bench_data.h"
#include "crypto/crypto.h"
#include "messaging/field_ids.h"
#include "protocol/document_command.h"
#include "protocol/lock_command.h"
#include "protocol/name_list_command.h"
#include "protocol/production_command.h"
#include "protocol/server_errors.h"
#include "servers/twserver/repository.h"
#include "tests/support/postgres_cluster.h"
#include "tests/support/test_env.h"
#include "tests/support/wire_client.h"

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;
using test::WireClient;

constexpr int kShared = 20;

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "?" : "") + items[i];
  return out;
}

std::string Field(const MessagePtr& m, uint32_t id) {
  std::string value;
  if (m) m->GetString(id, &value);
  return value;
}

std::string Sha(const std::string& bytes) {
  std::string hex;
  CRLDATcrypto::DigestToHex(hex, kDigestSha256, bytes);
  return hex;
}

// What all clients report.
struct Tally {
  std::mutex mutex;
  std::vector<uint32_t> micros;  // guarded by mutex
  std::map<std::string, long> errors;
  std::atomic<long> conflicts{0};
  std::atomic<long> commands{0};

  void Error(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    ++errors[what];
  }
};

class SoakClient {
 public:
  SoakClient(int index, uint16_t port, std::string dir, std::string root,
             std::vector<std::string> shared, Tally* tally)
      : index_(index),
        port_(port),
        dir_(std::move(dir)),
        root_(std::move(root)),
        shared_(std::move(shared)),
        tally_(tally),
        random_(static_cast<unsigned>(index) * 7919u + 1) {}

  void Run(Clock::time_point end) {
    const std::string user = "user" + std::to_string(index_);
    if (!client_.Connect(port_) || client_.Logon(user, "pw") != 0) {
      tally_->Error("logon");
      return;
    }
    MessagePtr create = WireClient::Request(kProductionCommand, create_production::kSubCommand);
    create->SetString(create_production::kFieldParentId, root_);
    create->SetString(create_production::kFieldName, "client" + std::to_string(index_));
    MessagePtr made = Call(create, "create Production");
    production_ = Field(made, create_production::kReplyProductionId);
    if (production_.empty()) return;
    Add();
    while (Clock::now() < end) {
      const int roll = static_cast<int>(random_() % 100);
      if (roll < 10) {
        Add();
      } else if (roll < 35) {
        LockCheckInRelease();
      } else if (roll < 65) {
        Get();
      } else {
        Status();
      }
    }
  }

 private:
  // Sends and times one request; null (and an error counted) when no reply
  // came or the reply's code is neither 0 nor among `allowed`.
  MessagePtr Call(const MessagePtr& request, const char* what,
                  std::initializer_list<int> allowed = {}) {
    const auto start = Clock::now();
    MessagePtr reply = client_.Call(*request, 600000);
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    {
      std::lock_guard<std::mutex> lock(tally_->mutex);
      tally_->micros.push_back(static_cast<uint32_t>(std::min<int64_t>(micros, UINT32_MAX)));
    }
    ++tally_->commands;
    if (!reply) {
      tally_->Error(std::string(what) + ": no reply");
      return nullptr;
    }
    const int error = reply->GetErrorCode();
    if (error == 0) return reply;
    if (std::find(allowed.begin(), allowed.end(), error) == allowed.end()) {
      tally_->Error(std::string(what) + ": error " + std::to_string(error));
    }
    return reply;
  }

  std::string Content() {
    std::string bytes = bench::Compressible(1024 + random_() % (63 * 1024));
    bytes += std::to_string(index_) + ":" + std::to_string(++written_);
    return bytes;
  }

  std::string LocalFile(const std::string& bytes) {
    const std::string path = dir_ + "/c" + std::to_string(index_) + "_" + std::to_string(++files_);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  void Add() {
    const int count = 1 + static_cast<int>(random_() % 3);
    std::vector<std::string> names, paths, contents;
    for (int i = 0; i < count; ++i) {
      names.push_back("doc" + std::to_string(own_.size() + static_cast<size_t>(i)) + ".txt");
      contents.push_back(Content());
      paths.push_back(LocalFile(contents.back()));
    }
    namespace add = add_documents;
    MessagePtr r = WireClient::Request(kDocumentCommand, add::kSubCommand);
    r->SetString(add::kFieldProductionIds,
                 Join(std::vector<std::string>(names.size(), production_)));
    r->SetString(add::kFieldNames, Join(names));
    const std::string files = Join(paths);
    r->SetRawField(add::kFieldFiles, FIELD_FILELIST, files.data(), files.size());
    r->SetString(add::kFieldComment, "soak");
    r->SetString(add::kFieldLocalPaths, files);
    MessagePtr reply = Call(r, "add");
    for (const std::string& path : paths) unlink(path.c_str());
    if (!reply || reply->GetErrorCode() != 0) return;
    const std::vector<std::string> ids = test::SplitField(*reply, add::kReplyDocumentIds);
    if (ids.size() != names.size()) {
      tally_->Error("add: identifiers");
      return;
    }
    for (size_t i = 0; i < ids.size(); ++i) {
      own_.push_back(Own{ids[i], names[i], Sha(contents[i])});
    }
  }

  void LockCheckInRelease() {
    const bool shared = random_() % 2 == 0 || own_.empty();
    const size_t pick = shared ? random_() % shared_.size() : random_() % own_.size();
    const std::string id = shared ? shared_[pick] : own_[pick].id;
    MessagePtr lock = WireClient::Request(acquire_lock::kCommand);
    lock->SetString(acquire_lock::kFieldDocumentIds, id);
    lock->SetInt(acquire_lock::kFieldAlwaysOne, 1);
    lock->SetInt(acquire_lock::kFieldAlwaysZero, 0);
    lock->SetInt(acquire_lock::kFieldLockType, kLockExclusive);
    MessagePtr locked = shared
                            ? Call(lock, "lock", {kServerExclusiveConflict, kServerSharedConflict})
                            : Call(lock, "lock");
    if (!locked) return;
    if (locked->GetErrorCode() != 0) {
      ++tally_->conflicts;
      return;
    }
    const std::string content = Content();
    const std::string path = LocalFile(content);
    MessagePtr check_in = WireClient::Request(kDocumentCommand, check_in::kSubCommand);
    check_in->SetString(check_in::kFieldDocumentIds, id);
    check_in->SetRawField(check_in::kFieldFiles, FIELD_FILELIST, path.data(), path.size());
    check_in->SetInt(check_in::kFieldWorkInProgress, 0);
    check_in->SetString(check_in::kFieldLocalPaths, path);
    check_in->SetString(check_in::kFieldComment, "soak");
    check_in->SetIntList(check_in::kFieldFileFlags, {0});
    MessagePtr stored = Call(check_in, "check-in");
    unlink(path.c_str());
    if (stored && stored->GetErrorCode() == 0 && !shared) own_[pick].sha = Sha(content);
    MessagePtr release = WireClient::Request(release_lock::kCommand);
    release->SetString(release_lock::kFieldDocumentIds, id);
    release->SetInt(release_lock::kFieldAlwaysOne, 1);
    release->SetInt(release_lock::kFieldAlwaysZero, 0);
    release->SetInt(release_lock::kFieldRelease, 1);
    Call(release, "release");
  }

  void Get() {
    const bool shared = random_() % 4 == 0 || own_.empty();
    const size_t pick = shared ? random_() % shared_.size() : random_() % own_.size();
    MessagePtr r = WireClient::Request(kDocumentCommand, fetch::kSubCommand);
    r->SetString(fetch::kFieldDocumentIds, shared ? shared_[pick] : own_[pick].id);
    r->SetIntList(fetch::kFieldVersions, {0});
    r->SetInt(fetch::kFieldAlwaysZero, 0);
    MessagePtr reply = Call(r, "get");
    if (!reply || reply->GetErrorCode() != 0) return;
    const std::vector<std::string> received = test::SplitField(*reply, fetch::kReplyFiles);
    if (received.size() != 1) {
      tally_->Error("get: files");
      return;
    }
    if (!shared && Sha(test::ReadFile(received[0])) != own_[pick].sha) {
      tally_->Error("get: content differs from the last one stored");
    }
    unlink(received[0].c_str());
  }

  void Status() {
    if (!own_.empty() && random_() % 5 == 0) {
      MessagePtr r = WireClient::Request(name_list::kCommand);
      r->SetString(name_list::kFieldCaller, "soak");
      r->SetString(name_list::kFieldSubject, own_[random_() % own_.size()].id);
      r->SetInt(name_list::kFieldKind, kNameListVersions);
      Call(r, "history");
      return;
    }
    std::vector<std::string> names;
    for (size_t i = 0; i < own_.size() && names.size() < 50; ++i) names.push_back(own_[i].name);
    names.push_back("missing.txt");
    MessagePtr r = WireClient::Request(kProductionCommand, document_info::kSubCommand);
    r->SetString(document_info::kFieldProductionId, production_);
    r->SetString(document_info::kFieldNames, Join(names));
    Call(r, "status");
  }

  struct Own {
    std::string id;
    std::string name;
    std::string sha;  // of the content last stored
  };

  const int index_;
  const uint16_t port_;
  const std::string dir_;
  const std::string root_;
  const std::vector<std::string> shared_;
  Tally* const tally_;
  std::mt19937 random_;
  WireClient client_;
  std::string production_;
  std::vector<Own> own_;
  int written_ = 0;
  int files_ = 0;
};

// The figures of one run, for the side-by-side table.
struct Figures {
  double per_second = 0;
  double p50_ms = 0;
  double p99_ms = 0;
  long errors = 0;
  bool sound = false;
};

int Run(int seconds, int clients, const std::string& backend, Figures* figures) {
  const std::string dir = bench::ScratchPath("bench_soak", "run");
  std::filesystem::create_directories(dir);
  setenv("TMPDIR", dir.c_str(), 1);  // fetched files land here
  int status = 0;
  try {
    std::unique_ptr<test::PostgresCluster> cluster;
    std::vector<std::string> init_options;
    if (backend != "sqlite") {
      cluster = std::make_unique<test::PostgresCluster>(dir + "/pg");
      if (!cluster->running()) throw std::runtime_error(cluster->problem());
      const std::string database = cluster->NewDatabase("soak");
      if (database.empty()) throw std::runtime_error(cluster->problem());
      init_options = {"--database", database};
    }
    test::TestServer server(dir + "/repo");
    if (!server.Init(init_options) || !server.AddUser("setup", "pw")) {
      throw std::runtime_error("cannot init");
    }
    // The second server reaches the repository by a path of its own, as a
    // server on another machine reaches the shared folder.
    std::unique_ptr<test::TestServer> second;
    if (backend == "postgres2") {
      std::filesystem::create_directory_symlink(dir + "/repo", dir + "/mounted");
      second = std::make_unique<test::TestServer>(dir + "/mounted");
    }
    {
      int result = 0;
      std::string error;
      auto storage = twserver::OpenRepository(server.dir(), nullptr, &result, &error);
      if (!storage) throw std::runtime_error(error);
      for (int i = 0; i < clients; ++i) {
        const std::string name = "user" + std::to_string(i);
        storage->AddUser(name, twserver::LogonDigest(name, "pw"));
      }
    }
    if (!server.Start()) throw std::runtime_error("cannot start TWServer");
    if (second && !second->Start()) throw std::runtime_error("cannot start the second TWServer");
    WireClient setup;
    if (!setup.Connect(server.port()) || setup.Logon("setup", "pw") != 0) {
      throw std::runtime_error("cannot log on");
    }
    MessagePtr lookup = WireClient::Request(kProductionCommand, lookup_production::kSubCommand);
    lookup->SetString(lookup_production::kFieldPath, "");
    const std::string root = Field(setup.Call(*lookup), lookup_production::kReplyProductionId);
    const std::string small = dir + "/shared";
    std::ofstream(small) << "shared content";
    std::vector<std::string> names;
    for (int i = 0; i < kShared; ++i) names.push_back("shared" + std::to_string(i) + ".txt");
    MessagePtr add = WireClient::Request(kDocumentCommand, add_documents::kSubCommand);
    add->SetString(add_documents::kFieldProductionIds,
                   Join(std::vector<std::string>(names.size(), root)));
    add->SetString(add_documents::kFieldNames, Join(names));
    const std::string files = Join(std::vector<std::string>(names.size(), small));
    add->SetRawField(add_documents::kFieldFiles, FIELD_FILELIST, files.data(), files.size());
    MessagePtr added = setup.Call(*add);
    const std::vector<std::string> shared =
        test::SplitField(*added, add_documents::kReplyDocumentIds);
    if (shared.size() != static_cast<size_t>(kShared)) throw std::runtime_error("no shared files");

    std::printf("soak: %d clients for %d s against %s TWServer on %s (pid %d)\n", clients, seconds,
                second ? "two" : "one", backend == "sqlite" ? "SQLite" : "PostgreSQL",
                static_cast<int>(server.pid()));
    std::fflush(stdout);
    Tally tally;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    std::vector<std::unique_ptr<SoakClient>> soakers;
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
      const uint16_t port = second && i % 2 == 1 ? second->port() : server.port();
      soakers.push_back(std::make_unique<SoakClient>(i, port, dir, root, shared, &tally));
      threads.emplace_back([&, i] { soakers[static_cast<size_t>(i)]->Run(end); });
    }
    long peak_rss = 0;
    long last_report = 0;
    while (Clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      peak_rss = std::max(peak_rss, bench::ProcessKilobytes(server.pid(), "VmRSS"));
      const long elapsed =
          std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
      if (elapsed - last_report >= 60) {
        last_report = elapsed;
        std::printf("  %4ld s: %ld commands, server resident %ld kB\n", elapsed,
                    tally.commands.load(), bench::ProcessKilobytes(server.pid(), "VmRSS"));
        std::fflush(stdout);
      }
    }
    for (auto& thread : threads) thread.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const long peak = std::max(peak_rss, bench::ProcessKilobytes(server.pid(), "VmHWM"));
    if (second) second->Stop();
    server.Stop();

    std::vector<uint32_t>& micros = tally.micros;
    std::sort(micros.begin(), micros.end());
    const auto percentile = [&](double p) {
      return micros.empty()
                 ? 0.0
                 : micros[std::min(micros.size() - 1, static_cast<size_t>(p * micros.size()))] /
                       1000.0;
    };
    long errors = 0;
    for (const auto& [what, count] : tally.errors) errors += count;
    std::printf("commands: %ld in %.0f s, %.0f per second\n", tally.commands.load(), elapsed,
                tally.commands.load() / elapsed);
    std::printf("latency: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", percentile(0.5),
                percentile(0.99), micros.empty() ? 0.0 : micros.back() / 1000.0);
    std::printf("lock conflicts on shared Documents (answers, not errors): %ld\n",
                tally.conflicts.load());
    std::printf("errors: %ld\n", errors);
    for (const auto& [what, count] : tally.errors) std::printf("  %s: %ld\n", what.c_str(), count);
    std::printf("server peak resident memory: %ld kB\n", peak);

    int result = 0;
    std::string error;
    auto storage = twserver::OpenRepository(dir + "/repo", nullptr, &result, &error);
    if (!storage) throw std::runtime_error(error);
    std::vector<std::string> problems;
    if (storage->CheckConsistency(&problems) != twserver::kOk) {
      problems.push_back("the check failed: " + storage->FailureText());
    }
    std::unordered_set<std::string> referenced;
    storage->ReferencedContents(&referenced);
    const size_t stored = storage->Contents().ListOlderThan(0).size();
    size_t temporaries = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(storage->Contents().TempFolder())) {
      (void)entry;
      ++temporaries;
    }
    if (temporaries != 0) problems.push_back(std::to_string(temporaries) + " temporary files left");
    std::printf("consistency: %s (%zu contents stored, %zu referenced, %zu unreferenced)\n",
                problems.empty() ? "sound" : "PROBLEMS", stored, referenced.size(),
                stored - std::min(stored, referenced.size()));
    for (const std::string& problem : problems) std::printf("  %s\n", problem.c_str());
    if (errors != 0 || !problems.empty()) status = 1;
    *figures = Figures{tally.commands.load() / elapsed, percentile(0.5), percentile(0.99), errors,
                       problems.empty()};
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_soak: %s\n", e.what());
    status = 1;
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return status;
}

}  // namespace
}  // namespace tw

int main(int argc, char** argv) {
  const long seconds = argc > 1 ? tw::bench::ArgNumber(argv[1]) : 600;
  const long clients = argc > 2 ? tw::bench::ArgNumber(argv[2]) : 100;
  const std::string backend = argc > 3 ? argv[3] : "sqlite";
  if (seconds <= 0 || seconds > 86400 || clients <= 0 || clients > 1000 ||
      (backend != "sqlite" && backend != "postgres" && backend != "postgres2" &&
       backend != "all")) {
    std::fprintf(stderr,
                 "usage: bench_soak [seconds, default 600] [clients, default 100]\n"
                 "                  [sqlite|postgres|postgres2|all, default sqlite]\n");
    return 2;
  }
  if (backend != "all") {
    tw::Figures figures;
    return tw::Run(static_cast<int>(seconds), static_cast<int>(clients), backend, &figures);
  }
  struct Row {
    const char* backend;
    const char* label;
    tw::Figures figures;
  };
  Row rows[] = {{"sqlite", "one server, SQLite", {}},
                {"postgres", "one server, PostgreSQL", {}},
                {"postgres2", "two servers, PostgreSQL", {}}};
  int status = 0;
  for (Row& row : rows) {
    status |=
        tw::Run(static_cast<int>(seconds), static_cast<int>(clients), row.backend, &row.figures);
    std::printf("\n");
  }
  std::printf("%ld clients, %ld s each:\n", clients, seconds);
  std::printf("  %-26s %12s %10s %10s %7s %s\n", "", "commands/s", "p50 ms", "p99 ms", "errors",
              "database");
  for (const Row& row : rows) {
    std::printf("  %-26s %12.0f %10.2f %10.2f %7ld %s\n", row.label, row.figures.per_second,
                row.figures.p50_ms, row.figures.p99_ms, row.figures.errors,
                row.figures.sound ? "sound" : "PROBLEMS");
  }
  return status;
}
