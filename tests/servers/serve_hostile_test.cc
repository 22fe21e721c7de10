// `TWServer serve` against clients that try to make others wait or to
// exhaust it: a tree deep enough that every reply naming its paths grows
// with the square of its depth, heavy readers beside another user's small
// requests and logons, a read past its time budget, a flood of connections
// that never log on, password guessing aimed at locking a user out, and
// the partial uploads of a server that was killed. Real server processes on
// real loopback sockets; clients that must look like other machines connect
// from other loopback addresses (127.0.0.2 and up). The cases whose outcome
// lies in the storage run on SQLite and, when PostgreSQL is installed, on a
// database of the test run's cluster; the socket limits on SQLite only.
//
// Timings are never compared with fixed figures: an honest client's wait
// is compared with what the heavy load it meets takes, and is printed.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crypto/crypto.h"
#include "messaging/field_ids.h"
#include "tests/support/serve_fixture.h"

namespace tw::twserver {
namespace {

using test::Backend;
using test::Error;
using test::SplitField;
using test::WireClient;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// The peak resident memory of process `pid` in bytes (VmHWM), or 0.
uint64_t PeakMemory(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

class ServeHostileTest : public test::ServeFixture {
 protected:
  // Waits (up to a minute) until the server's log holds `text`. The log of
  // a flooded server grows fast: it is read every 50 ms only.
  bool LogShows(const std::string& text) const {
    for (int i = 0; i < 1200; ++i) {
      if (server_->Log().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  static MessagePtr CreateProduction(WireClient& c, const std::string& parent,
                                     const std::string& name) {
    MessagePtr r = WireClient::Request("PRODUCTIONCMD", 4);
    r->SetString(101, parent);
    r->SetString(102, name);
    return c.Call(*r);
  }

  static MessagePtr Fetch(WireClient& c, const std::vector<std::string>& ids) {
    MessagePtr r = WireClient::Request("DOCUMENTCMD", 4);
    r->SetString(101, test::Join(ids));
    r->SetIntList(102, std::vector<int>(ids.size(), 0));
    return c.Call(*r, 600000);
  }

  static MessagePtr DocumentInfo(WireClient& c, const std::string& production,
                                 const std::vector<std::string>& names) {
    MessagePtr r = WireClient::Request("PRODUCTIONCMD", 25);
    r->SetString(101, production);
    r->SetString(102, test::Join(names));
    return c.Call(*r, 600000);
  }

  static MessagePtr NameList(WireClient& c, const std::string& subject, int kind, bool recursive) {
    MessagePtr r = WireClient::Request("GETNAMELIST");
    r->SetString(13, "test");
    r->SetString(100, subject);
    r->SetInt(101, kind);
    r->SetInt(102, recursive ? 1 : 0);
    return c.Call(*r, 600000);
  }

  // Removes the files a fetch reply brought.
  static void DropFetched(const MessagePtr& reply) {
    if (!reply) return;
    for (const std::string& path : SplitField(*reply, 106)) {
      if (!path.empty()) unlink(path.c_str());
    }
  }
};

class ServeStorageHostileTest : public ServeHostileTest,
                                public ::testing::WithParamInterface<Backend> {
 protected:
  void SetUp() override { UseBackend(GetParam()); }
};

// ---------------------------------------------------------------- the tree

TEST_P(ServeStorageHostileTest, DeepTreesAreRefusedAndRepliesStayWithinTheObjectLimit) {
  StartServer();
  auto alice = Client();
  const std::string root = Root(*alice);
  // 64 levels of 60-byte names: 3,903 bytes of path below the root.
  std::vector<std::string> chain{root};
  for (int level = 1; level <= 64; ++level) {
    std::string name = "level" + std::to_string(level) + "_";
    name.resize(60, 'x');
    MessagePtr created = CreateProduction(*alice, chain.back(), name);
    ASSERT_EQ(0, Error(created)) << "level " << level << "\n" << server_->Log();
    std::string id;
    created->GetString(103, &id);
    chain.push_back(id);
  }
  // One level more is refused, and so is a name that makes the path too
  // long at a level that is allowed.
  ASSERT_EQ(210, Error(CreateProduction(*alice, chain.back(), "level65")));
  ASSERT_EQ(210, Error(CreateProduction(*alice, chain[60], std::string(1000, 'y'))));
  EXPECT_EQ(0, Error(CreateProduction(*alice, chain[60], std::string(100, 'y'))));
  // A Document's path counts its name: 3,903 + 1 + 150 fits, + 1,000 not.
  const std::string bottom = chain.back();
  EXPECT_EQ(
      215,
      Error(alice->Call(*AddRequest(bottom, {std::string(1000, 'd')}, {LocalFile("too far")}))));
  MessagePtr added =
      alice->Call(*AddRequest(bottom, {std::string(150, 'd')}, {LocalFile("at the bottom")}));
  ASSERT_EQ(0, Error(added)) << server_->Log();
  const std::string id = SplitField(*added, 103)[0];

  // The bottom Document fetched 20,000 times in one small request would
  // name its 4 kB path 20,000 times: 80 MB, past the 64 MiB a message may
  // hold. The request is refused cleanly, and the server never holds much
  // more than the limit for it.
  const uint64_t before = PeakMemory(server_->pid());
  MessagePtr refused = Fetch(*alice, std::vector<std::string>(20000, id));
  ASSERT_TRUE(refused) << "no reply: the connection was dropped\n" << server_->Log();
  EXPECT_EQ(4, Error(refused));
  const uint64_t growth = PeakMemory(server_->pid()) - before;
  std::printf("server peak memory grew by %.1f MiB for the refused fetch\n",
              static_cast<double>(growth) / (1 << 20));
  // A sanitizer's shadow memory grows with what the server touches; the
  // reply built whole would still pass even the wider limit many times.
  EXPECT_LT(growth, uint64_t{kSanitized ? 1024 : 256} << 20);
  EXPECT_TRUE(LogShows("the reply would pass")) << server_->Log();

  // The connection goes on; a reply within the limit is sent, the path
  // read once for all its items.
  MessagePtr fetched = Fetch(*alice, std::vector<std::string>(1000, id));
  ASSERT_EQ(0, Error(fetched));
  const std::vector<std::string> paths = SplitField(*fetched, 108);
  ASSERT_EQ(1000u, paths.size());
  EXPECT_EQ(std::string("Veltrane\\level1_"), paths[0].substr(0, 16));
  EXPECT_EQ(std::string(150, 'd'), paths[999].substr(paths[999].size() - 150));
  DropFetched(fetched);

  // The recursive name list of the whole tree names the Document by its
  // path below the root.
  MessagePtr listed = NameList(*alice, root, 2, true);
  ASSERT_EQ(0, Error(listed));
  std::string table;
  listed->GetString(102, &table);
  const auto rows = test::ParseNameTable(table);
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ(id, rows[0].at("Id"));
  EXPECT_EQ(paths[0].substr(sizeof "Veltrane"), rows[0].at("Name"));
}

// ---------------------------------------------------------------- readers

// The heavy request of the reader cases: the document information of one
// name asked for again and again, each a handful of reads; about a second
// of reading on an idle machine. PostgreSQL answers each read in a round
// trip of its own.
std::vector<std::string> HeavyNames(Backend backend, bool scale_down) {
  size_t count = backend == Backend::kSqlite ? 40000 : 1500;
  if (scale_down) count /= 4;
  return std::vector<std::string>(count, "a.txt");
}

TEST_P(ServeStorageHostileTest, HeavyReadersLeaveAnotherUsersRequestsAndLogonsServed) {
  StartServer();
  auto alice = Client();
  const std::string root = Root(*alice);
  ASSERT_EQ(0, Error(alice->Call(*AddRequest(root, {"a.txt"}, {LocalFile("a")}))));
  const std::vector<std::string> heavy = HeavyNames(backend_, kSanitized);

  // Bob reads heavily on sixteen connections at once, twice as many as
  // there are readers.
  constexpr int kHeavy = 16;
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::vector<double> heavy_seconds;  // guarded by mutex
  std::vector<std::thread> heavies;
  std::atomic<int> started{0};
  for (int i = 0; i < kHeavy; ++i) {
    heavies.emplace_back([&] {
      auto bob = Client("bob", "hunter2");
      started.fetch_add(1);
      while (!stop.load()) {
        const auto start = Clock::now();
        MessagePtr reply = DocumentInfo(*bob, root, heavy);
        const double took = Seconds(Clock::now() - start);
        if (!reply) break;
        std::lock_guard<std::mutex> lock(mutex);
        heavy_seconds.push_back(took);
      }
    });
  }
  while (started.load() < kHeavy) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  // Until every reader is taken and requests wait.
  for (int i = 0; i < 3000; ++i) {
    std::lock_guard<std::mutex> lock(mutex);
    if (heavy_seconds.size() >= static_cast<size_t>(kHeavy)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  // Meanwhile Alice asks small things, and new connections log on.
  std::vector<double> small, logons;
  for (int i = 0; i < 6; ++i) {
    auto start = Clock::now();
    EXPECT_EQ(0, Error(DocumentInfo(*alice, root, {"a.txt"})));
    small.push_back(Seconds(Clock::now() - start));
    if (i % 2 == 0) {
      start = Clock::now();
      WireClient fresh;
      ASSERT_TRUE(fresh.Connect(server_->port()));
      EXPECT_EQ(0, fresh.Logon("alice", "secret"));
      logons.push_back(Seconds(Clock::now() - start));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  stop = true;
  for (std::thread& t : heavies) t.join();

  std::sort(heavy_seconds.begin(), heavy_seconds.end());
  ASSERT_FALSE(heavy_seconds.empty());
  const double typical = heavy_seconds[heavy_seconds.size() / 2];
  const double worst_small = *std::max_element(small.begin(), small.end());
  const double worst_logon = *std::max_element(logons.begin(), logons.end());
  std::printf(
      "heavy request (%zu names) typically %.3f s over %zu requests; another user's small "
      "request at worst %.3f s, a logon at worst %.3f s\n",
      heavy.size(), typical, heavy_seconds.size(), worst_small, worst_logon);
  // Neither waits for a reader behind the heavy load: both take a small
  // part of one heavy request, however fast the machine.
  EXPECT_LT(worst_small, typical / 3) << server_->Log();
  EXPECT_LT(worst_logon, typical / 3) << server_->Log();
}

TEST_P(ServeStorageHostileTest, AReadPastItsBudgetIsRefusedAndTheConnectionGoesOn) {
  StartServer({"--read-budget", "100"});
  auto alice = Client();
  const std::string root = Root(*alice);
  ASSERT_EQ(0, Error(alice->Call(*AddRequest(root, {"a.txt"}, {LocalFile("a")}))));
  // Many times what 100 ms can read, on any machine.
  const std::vector<std::string> heavy = HeavyNames(backend_, false);
  MessagePtr refused = DocumentInfo(*alice, root, heavy);
  ASSERT_TRUE(refused);
  EXPECT_EQ(4, Error(refused));
  EXPECT_TRUE(LogShows("the read ran past its time budget of 100 ms")) << server_->Log();
  // Small requests go on being answered (a moment of a loaded machine may
  // cost one of them its budget too).
  int answered = -1;
  for (int i = 0; i < 5 && answered != 0; ++i) {
    answered = Error(DocumentInfo(*alice, root, {"a.txt"}));
  }
  EXPECT_EQ(0, answered);
}

// ---------------------------------------------------------------- flood

// Plain connections that never log on, from `addresses`, `per_address`
// each, each reopened soon after the server closed it (not sooner than
// 200 ms after it was opened), until Stop.
class Flood {
 public:
  Flood(uint16_t port, std::vector<std::string> addresses, int per_address)
      : thread_([this, port, addresses, per_address] { Run(port, addresses, per_address); }) {}
  ~Flood() { Stop(); }

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int reopened() const { return reopened_.load(); }

 private:
  void Run(uint16_t port, const std::vector<std::string>& addresses, int per_address) {
    struct Open {
      int fd;
      std::string from;
      Clock::time_point opened;
    };
    std::vector<Open> open;
    for (const std::string& from : addresses) {
      for (int i = 0; i < per_address; ++i) {
        open.push_back({test::ConnectFrom(port, from, false), from, Clock::now()});
      }
    }
    while (!stop_.load()) {
      std::vector<pollfd> fds;
      for (const Open& o : open) fds.push_back({o.fd, POLLIN, 0});
      poll(fds.data(), fds.size(), 20);
      for (size_t i = 0; i < open.size(); ++i) {
        if (open[i].fd >= 0 && fds[i].revents == 0) continue;
        if (Clock::now() - open[i].opened < std::chrono::milliseconds(200)) continue;
        // Closed by the server (or never opened): the attacker comes back.
        if (open[i].fd >= 0) close(open[i].fd);
        open[i].fd = test::ConnectFrom(port, open[i].from, false);
        open[i].opened = Clock::now();
        reopened_.fetch_add(1);
      }
    }
    for (const Open& o : open) {
      if (o.fd >= 0) close(o.fd);
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<int> reopened_{0};
  std::thread thread_;
};

TEST_F(ServeHostileTest, ConnectionsThatNeverLogOnLeaveRoomForHonestLogons) {
  StartServer({"--max-connections", "40", "--max-unauthenticated-per-address", "8"});
  // Two machines open 30 connections each and never log on: more than
  // one address may hold and more than all together may.
  Flood flood(server_->port(), {"127.0.0.2", "127.0.0.3"}, 30);
  EXPECT_TRUE(LogShows("the limit per address")) << server_->Log();
  // Honest clients from a third address keep logging on and stay served.
  std::vector<std::unique_ptr<WireClient>> honest;
  for (int i = 0; i < 12; ++i) {
    auto c = std::make_unique<WireClient>();
    ASSERT_TRUE(c->Connect(server_->port()));
    ASSERT_EQ(0, c->Logon(i % 2 ? "alice" : "bob", i % 2 ? "secret" : "hunter2"))
        << "logon " << i << "\n"
        << server_->Log();
    EXPECT_FALSE(Root(*c).empty());
    honest.push_back(std::move(c));
  }
  // A third flooding machine pushes the total past the share of those not
  // logged on; the busiest address gives way, the logged-on stay.
  Flood more(server_->port(), {"127.0.0.4"}, 30);
  EXPECT_TRUE(LogShows("connections are not logged on, the limit")) << server_->Log();
  for (int i = 0; i < 4; ++i) {
    WireClient c;
    ASSERT_TRUE(c.Connect(server_->port(), "127.0.0.5"));
    EXPECT_EQ(0, c.Logon("alice", "secret")) << server_->Log();
  }
  for (auto& c : honest) EXPECT_FALSE(Root(*c).empty()) << server_->Log();
  std::printf("the floods reopened %d connections the server closed\n",
              flood.reopened() + more.reopened());
}

// ---------------------------------------------------------------- guessing

TEST_F(ServeHostileTest, GuessingFromOtherAddressesNeverDelaysTheRightPassword) {
  StartServer({"--logon-delay", "200", "--logon-delay-max", "1600"});
  // Twelve guessers: four on one machine, eight on machines of their own.
  std::atomic<bool> stop{false};
  std::atomic<int> guesses{0};
  std::mutex mutex;
  std::vector<double> answers;  // guarded by mutex: how late refusals came
  std::vector<std::thread> guessers;
  std::vector<std::unique_ptr<WireClient>> clients(12);
  for (int i = 0; i < 12; ++i) {
    const std::string from = i < 4 ? "127.0.0.2" : "127.0.0.1" + std::to_string(i);
    clients[i] = std::make_unique<WireClient>();
    ASSERT_TRUE(clients[i]->Connect(server_->port(), from));
    guessers.emplace_back([&, i] {
      WireClient& c = *clients[i];
      for (int n = 0; !stop.load(); ++n) {
        const auto start = Clock::now();
        const int result = c.Logon("alice", "guess" + std::to_string(i) + "-" + std::to_string(n));
        if (result != 1) break;
        guesses.fetch_add(1);
        std::lock_guard<std::mutex> lock(mutex);
        answers.push_back(Seconds(Clock::now() - start));
      }
    });
  }
  const auto attack = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(4));

  // Alice, from her own machine, logs on at once, again and again.
  std::vector<double> alice;
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    WireClient c;
    ASSERT_TRUE(c.Connect(server_->port()));
    EXPECT_EQ(0, c.Logon("alice", "secret"));
    alice.push_back(Seconds(Clock::now() - start));
  }
  // She mistypes once on the machine she logged on from, then types it
  // right: she waits for her own address's turn, not behind the guessers'.
  double after_typo = 0;
  {
    WireClient c;
    ASSERT_TRUE(c.Connect(server_->port()));
    EXPECT_EQ(1, c.Logon("alice", "secret typo"));
    const auto start = Clock::now();
    WireClient again;
    ASSERT_TRUE(again.Connect(server_->port()));
    EXPECT_EQ(0, again.Logon("alice", "secret"));
    after_typo = Seconds(Clock::now() - start);
  }
  const int checked = guesses.load();
  const double attacked = Seconds(Clock::now() - attack);
  stop = true;
  // The guessers give up the answers they wait for.
  for (auto& c : clients) c->channel().Interrupt();
  for (std::thread& t : guessers) t.join();

  ASSERT_FALSE(answers.empty());
  const double slowest = *std::max_element(answers.begin(), answers.end());
  const double worst = *std::max_element(alice.begin(), alice.end());
  std::printf(
      "%d guesses answered in %.1f s, the slowest refusal after %.3f s; the right password "
      "logged on after %.3f s at worst, %.3f s after a typo\n",
      checked, attacked, slowest, worst, after_typo);
  // The guessers wait their turns (1.6 s and more); Alice waits for none,
  // and after her own typo for her address's turn only.
  EXPECT_LT(worst, slowest / 2) << server_->Log();
  EXPECT_LT(after_typo, slowest / 2) << server_->Log();
  // Nine guessing addresses: each gets its first guess at once, and then
  // the name is checked for any of them once per 1.6 s at most (about a
  // dozen in all here); without the name-wide turns the guesses of each
  // address only slow down on their own (about 36).
  EXPECT_LT(checked, 24) << server_->Log();
}

// ---------------------------------------------------------------- uploads

// A check-in that stops after its first frame, until released: the server
// then holds a partial upload.
class StalledCheckIn {
 public:
  StalledCheckIn(WireClient& client, const std::string& id, const std::string& local)
      : thread_([this, &client, id, local] {
          MessagePtr r = WireClient::Request("DOCUMENTCMD", 2);
          r->SetString(101, id);
          r->SetRawField(102, FIELD_FILELIST, local.data(), local.size());
          r->SetString(104, local);
          r->SetIntList(106, {0});
          client.channel().Send(*r, [this](int, uint64_t, uint64_t) {
            std::unique_lock<std::mutex> lock(mutex_);
            released_cv_.wait(lock, [this] { return released_; });
          });
        }) {}
  ~StalledCheckIn() { Release(); }

  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    released_cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_cv_;
  bool released_ = false;  // guarded by mutex_
  std::thread thread_;
};

// Random bytes (they do not compress, so the upload takes many frames).
std::string RandomBytes(size_t count) {
  std::string bytes(count, '\0');
  CRLDATcrypto::RandomBytes(reinterpret_cast<uint8_t*>(&bytes[0]), bytes.size());
  return bytes;
}

TEST_P(ServeStorageHostileTest, PartialUploadsOfAKilledServerAreRemovedAndLiveOnesKept) {
  StartServer();
  const std::string dir = server_->dir();
  // A second server on the same repository, reached by another path as
  // from another machine.
  fs::create_directory_symlink(dir, env_.Path("mounted"));
  auto second = std::make_unique<test::TestServer>(env_.Path("mounted"));
  const std::string local = LocalFile(RandomBytes(8 << 20));

  auto alice = Client();
  const std::string root = Root(*alice);
  MessagePtr added = alice->Call(*AddRequest(root, {"big.bin"}, {LocalFile("v1")}));
  ASSERT_EQ(0, Error(added));
  const std::string id = SplitField(*added, 103)[0];
  MessagePtr lock = WireClient::Request("ACQUIRELOCK");
  lock->SetString(100, id);
  lock->SetInt(103, 72);
  ASSERT_EQ(0, Error(alice->Call(*lock)));

  const auto partial = [&] {
    for (int i = 0; i < 6000; ++i) {
      for (const std::string& file : TemporaryFiles(dir)) {
        if (fs::file_size(file) > 0) return file;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::string();
  };
  std::string first;
  {
    StalledCheckIn stalled(*alice, id, local);
    first = partial();
    ASSERT_FALSE(first.empty()) << server_->Log();

    // Neither another server's start nor a collection with no minimum age
    // touches an upload under way.
    ASSERT_TRUE(second->Start()) << second->Log();
    std::string out;
    ASSERT_EQ(0, server_->Run({"gc", "--data", dir, "--min-age", "0"}, "", &out));
    EXPECT_TRUE(fs::exists(first)) << out;

    // Killed in the middle of it, the server leaves the partial upload.
    kill(server_->pid(), SIGKILL);
    server_->Stop();
  }
  ASSERT_TRUE(fs::exists(first));
  std::string out;
  ASSERT_EQ(0, server_->Run({"gc", "--data", dir, "--min-age", "0"}, "", &out));
  EXPECT_NE(std::string::npos, out.find("1 files of abandoned uploads")) << out;
  EXPECT_FALSE(fs::exists(first));

  // A server killed in the middle of an upload has it removed by the next
  // server that starts.
  WireClient via_second;
  ASSERT_TRUE(via_second.Connect(second->port()));
  ASSERT_EQ(0, via_second.Logon("alice", "secret"));
  std::string second_partial;
  {
    StalledCheckIn stalled(via_second, id, local);
    second_partial = partial();
    ASSERT_FALSE(second_partial.empty()) << second->Log();
    kill(second->pid(), SIGKILL);
    second->Stop();
  }
  ASSERT_TRUE(fs::exists(second_partial));
  ASSERT_TRUE(server_->Start()) << server_->Log();
  EXPECT_FALSE(fs::exists(second_partial));
  EXPECT_TRUE(LogShows("1 files of abandoned uploads removed")) << server_->Log();
  EXPECT_TRUE(TemporaryFiles().empty());
  // The repository lost nothing: the Document is as it was.
  alice = Client();
  MessagePtr history = NameList(*alice, id, 4, false);
  std::string table;
  history->GetString(102, &table);
  EXPECT_EQ(1u, test::ParseNameTable(table).size());
}

INSTANTIATE_TEST_SUITE_P(Backends, ServeStorageHostileTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         test::BackendName);

}  // namespace
}  // namespace tw::twserver
