// Our transfers and many-file commands beside Subversion's, in one run.
//
// Ours go through the provider's own ClientSession (the process's message
// hub and connection, the user's property store) against a real TWServer on
// loopback; Subversion's through `svn` against a local `svnserve`, when
// svn, svnadmin and svnserve are on PATH (otherwise those rows say "svn not
// installed"). The figures:
//   - check-in (lock, then DOCUMENTCMD 2, until the server has stored the
//     content and answered) and get (DOCUMENTCMD 4 into a local file) of a
//     text-like and of a random file, with selector 1 and compression: a
//     check-in against the bare gzip-6 + AES-256-CBC sealing on one thread
//     measured in this run, a get against the same (the server seals what
//     it sends, the slower half of the work; the bare opening, decrypt and
//     gunzip, is shown beside it), each also times the frame worker count,
//     and svn import /
//     svn checkout of the same file, each the median of kTransferRounds
//     rounds that run both sides in turn; then of both files with selector 0 and
//     no compression (the server's settings, changed with `TWServer set`
//     between logons, decide the channel) against raw loopback TCP of the
//     same size; both channels also as ours / svn's rate;
//   - many small files in 100 folders: add (Productions, then one add) and
//     svn add + svn commit; status (the tree's name table and one document
//     information request for every file, as `vscc status` asks; and the
//     same asked folder by folder) and svn status -u; lock and svn lock of
//     a part of them;
//   - one-shot commands, each a new process, the median of 20 runs: `vscc
//     status` of one file beside `svn status -u` of it, `vscc get` of one
//     small file beside `svn export` of it, and `vscc checkin --keep` of a
//     changed small file (checked out once before) beside `svn commit` of
//     it; every `vscc` starts the module, logs on and ends its session, as
//     a user's command does;
//   - the peak resident growth of the sending and of the receiving process
//     during a check-in and a get of a large random file: the client side is
//     this program run again as a child (--memory-child), the server side is
//     TWServer, whose peak is reset and read through /proc.
// svnserve serves svn:// without encryption and with its default
// compression, and keeps a pristine copy beside each file it checks out;
// its repository asks for a user (it allows no anonymous lock), as ours
// does. The load average before and after is printed: on a shared machine
// the figures are indicative.
// Prints a table; --json prints the same figures as one JSON object.
//
//   bench_compare [MiB, default 256] [--files N, default 10000]
//                 [--locks N, default 1000] [--memory-mb MiB, default 4 x
//                 the first] [--json]
//
// Sizes are in MiB (2^20 bytes) and rates in MiB/s.
//
// Threads: the program's own work is on its main thread; the raw TCP
// anchor's reader is one more thread, joined before the figure is taken.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/common/bench_data.h"
#include "platform/decimal.h"
#include "protocol/name_table.h"
#include "session/client_session.h"
#include "session/document_requests.h"
#include "session/lock_requests.h"
#include "session/production_requests.h"
#include "tests/support/property_server.h"
#include "tests/support/test_env.h"
#include "tests/support/wire_client.h"
#include "transport/frame_format.h"
#include "transport/frame_pipeline.h"
#include "transport/message_hub.h"
#include "transport/socket.h"

extern char** environ;

namespace tw {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kUser[] = "bench";
constexpr char kPassword[] = "bench pw";
constexpr int kFolders = 100;
constexpr int kProgramSeconds = 3600;  // the longest any svn command may take
// Each large-transfer figure is the median of this many rounds. A round
// runs ours and Subversion's one after the other, so a minute in which a
// shared machine runs slow weighs on both sides alike, not on whichever
// side happened to run in it.
constexpr int kTransferRounds = 3;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what);
}

LocalFile Local(const std::string& path) {
  const size_t slash = path.rfind('/');
  return {path, path.substr(0, slash), path.substr(slash + 1)};
}

// ---- The table

struct Ratio {
  std::string anchor;
  double value;
};

struct Row {
  std::string name;
  double value;  // NaN: not measured, `note` says why
  std::string unit;
  std::vector<Ratio> ratios;
  std::string note;
};
std::vector<Row> g_rows;

// `anchors` holds (name, anchor value) pairs; a missing or zero anchor gives
// no ratio.
void Add(const std::string& name, double value, const char* unit,
         const std::vector<std::pair<std::string, double>>& anchors = {}) {
  Row row{name, value, unit, {}, ""};
  for (const auto& [anchor, anchor_value] : anchors) {
    if (anchor_value > 0 && !std::isnan(anchor_value)) {
      row.ratios.push_back({anchor, value / anchor_value});
    }
  }
  g_rows.push_back(row);
}

void AddMissing(const std::string& name, const char* unit, const std::string& note) {
  g_rows.push_back(Row{name, std::nan(""), unit, {}, note});
}

void PrintTable(const std::string& header) {
  std::printf("%s\n\n%-66s %10s %-5s  %s\n", header.c_str(), "figure", "value", "unit",
              "ratios (value / anchor)");
  for (const Row& r : g_rows) {
    if (std::isnan(r.value)) {
      std::printf("%-66s %10s %-5s  %s\n", r.name.c_str(), "-", r.unit.c_str(), r.note.c_str());
      continue;
    }
    std::string ratios;
    for (const Ratio& ratio : r.ratios) {
      char text[96];
      std::snprintf(text, sizeof text, "%s%s %.2f", ratios.empty() ? "" : ", ",
                    ratio.anchor.c_str(), ratio.value);
      ratios += text;
    }
    std::printf("%-66s %10.2f %-5s  %s\n", r.name.c_str(), r.value, r.unit.c_str(), ratios.c_str());
  }
}

void PrintJson(const std::string& header_fields) {
  std::printf("{%s, \"figures\": [", header_fields.c_str());
  for (size_t i = 0; i < g_rows.size(); ++i) {
    const Row& r = g_rows[i];
    std::printf("%s\n  {\"name\": \"%s\", \"unit\": \"%s\", ", i == 0 ? "" : ",", r.name.c_str(),
                r.unit.c_str());
    if (std::isnan(r.value)) {
      std::printf("\"value\": null, \"note\": \"%s\"}", r.note.c_str());
      continue;
    }
    std::printf("\"value\": %.3f, \"ratios\": {", r.value);
    for (size_t j = 0; j < r.ratios.size(); ++j) {
      std::printf("%s\"%s\": %.3f", j == 0 ? "" : ", ", r.ratios[j].anchor.c_str(),
                  r.ratios[j].value);
    }
    std::printf("}}");
  }
  std::printf("\n]}\n");
}

// ---- Processes

// The full path of `name` on PATH; empty when it is not there.
std::string Which(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string rest = path != nullptr ? path : "";
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    const std::string dir = rest.substr(0, colon);
    rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// Starts `argv` with standard input from /dev/null and both outputs
// appended to `log`, in this process's environment with `extra_env`
// ("NAME=value") added; its pid, or -1.
pid_t Start(const std::vector<std::string>& argv, const std::string& log,
            const std::vector<std::string>& extra_env = {}) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  for (const std::string& e : extra_env) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Waits at most `seconds` for `pid`, then kills it; its exit status, -1
// when it was killed or did not exit normally.
int Wait(pid_t pid, int seconds) {
  const auto start = Clock::now();
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0) return -1;
    if (Since(start) > seconds) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Runs `argv` to its end; fails the run when it does not succeed.
void Run(const std::vector<std::string>& argv, const std::string& log,
         const std::vector<std::string>& extra_env = {}) {
  const pid_t pid = Start(argv, log, extra_env);
  if (pid < 0 || Wait(pid, kProgramSeconds) != 0) {
    std::string tail;
    std::ifstream in(log);
    tail.assign(std::istreambuf_iterator<char>(in), {});
    if (tail.size() > 1500) tail = tail.substr(tail.size() - 1500);
    Fail(argv[0] + " " + (argv.size() > 1 ? argv[1] : "") + " failed:\n" + tail);
  }
}

// Seconds `argv` takes.
double Timed(const std::vector<std::string>& argv, const std::string& log,
             const std::vector<std::string>& extra_env = {}) {
  const auto start = Clock::now();
  Run(argv, log, extra_env);
  return Since(start);
}

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  return n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

bool ResetProcessPeak(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/clear_refs";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool reset = ::write(fd, "5", 1) == 1;
  ::close(fd);
  return reset;
}

// ---- Files

// Writes `path` of `size` bytes of the kind and stamps its first bytes with
// `tag`, so that no two transfers carry the same content. The file is on
// disk before this returns: otherwise the kernel writes it back during
// whichever transfer comes next, which then pays for it alone.
void WriteTagged(const std::string& path, uint64_t size, bool random, const std::string& tag) {
  if (!bench::WriteLargeFile(path, size, random)) Fail("cannot write " + path);
  const size_t n = static_cast<size_t>(std::min<uint64_t>(tag.size(), size));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  const bool tagged =
      fd >= 0 && ::pwrite(fd, tag.data(), n, 0) == static_cast<ssize_t>(n) && ::fdatasync(fd) == 0;
  if (fd >= 0) ::close(fd);
  if (!tagged) Fail("cannot tag " + path);
}

// ---- Anchors

// The receiving half of the bare pipeline on one thread, per frame piece:
// each piece is sealed first, outside the clock, then only its opening
// (decrypt, gunzip) is timed. A get does this work, not the sealing.
double BareOpenSeconds(const std::string& path) {
  bench::BarePipeline pipeline;
  std::string back;
  double seconds = 0;
  const bool opened = bench::ForEachPiece(path, [&](const char* data, size_t n) {
    if (pipeline.Seal(data, n) == 0) return false;
    const auto start = Clock::now();
    const bool done = pipeline.OpenSealed(&back);
    seconds += Since(start);
    return done && back.size() == n && std::memcmp(back.data(), data, n) == 0;
  });
  if (!opened) Fail("bare open");
  return seconds;
}

// Raw blocking TCP over loopback, `size` bytes one way.
double RawTcpSeconds(uint64_t size) {
  auto listener = CreateSocket();
  NetAddress bound;
  if (listener->Listen(2, 0, kSocketStream) != kSocketOk ||
      listener->LocalAddress(&bound) != kSocketOk) {
    Fail("listen");
  }
  auto client = CreateSocket();
  std::unique_ptr<CIOSocket> server;
  if (client->Connect(CreateAddress(127, 0, 0, 1, bound.Port()), kSocketStream) != kSocketOk ||
      listener->Accept(&server, 5000) != kSocketOk) {
    Fail("connect");
  }
  std::string block(1 << 20, 'x');
  std::thread peer([&] {
    std::vector<uint8_t> in(1 << 20);
    uint64_t got = 0;
    while (got < size && server->WaitReadable(10000) == kSocketOk) {
      size_t n = 0;
      if (server->Receive(in.data(), in.size(), &n) == kSocketOk) got += n;
    }
  });
  const auto start = Clock::now();
  bool sent = true;
  for (uint64_t at = 0; at < size && sent; at += block.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - at));
    sent = client->Send(block.data(), n) == kSocketOk;
  }
  peer.join();
  if (!sent) Fail("raw send");
  return Since(start);
}

// A free loopback port, for svnserve (which cannot be told to pick one).
uint16_t FreePort() {
  auto s = CreateSocket();
  NetAddress bound;
  if (s->Listen(1, 0, kSocketStream) != kSocketOk || s->LocalAddress(&bound) != kSocketOk) {
    Fail("no free port");
  }
  return bound.Port();
}

bool Accepts(uint16_t port) {
  auto s = CreateSocket();
  return s->Connect(CreateAddress(127, 0, 0, 1, port), kSocketStream) == kSocketOk;
}

// ---- Our side: the provider's session

class Client {
 public:
  explicit Client(uint16_t port) {
    SetServerEndpoint("127.0.0.1", port);
    session_ = std::make_unique<ClientSession>();
    if (!GetMessageHub()->IsConnected()) GetMessageHub()->Connect();
    if (!GetMessageHub()->IsConnected() || session_->Logon(kUser, kPassword) != kSessionOk) {
      Fail("cannot log on to TWServer");
    }
  }
  ~Client() {
    session_.reset();
    ReleaseMessageHub();
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  ClientSession* get() { return session_.get(); }
  ClientSession& operator*() { return *session_; }
  ClientSession* operator->() { return session_.get(); }

 private:
  std::unique_ptr<ClientSession> session_;
};

void Check(SessionResult result, const char* what) {
  if (result != kSessionOk) Fail(std::string(what) + " failed with " + std::to_string(result));
}

std::string MakeProduction(Client& c, const std::string& parent, const std::string& name) {
  std::string id;
  Check(CreateProduction(c.get(), parent, name, &id), "creating a Production");
  return id;
}

// A Document holding a small first version of `name`, for check-ins.
std::string AddPlaceholder(Client& c, const std::string& production, const std::string& dir,
                           const std::string& name) {
  const std::string path = dir + "/" + name;
  test::WriteFile(path, "placeholder\n");
  std::vector<std::string> ids;
  Check(AddDocuments(c.get(), {production}, {Local(path)}, "placeholder", &ids),
        "adding a Document");
  if (ids.size() != 1) Fail("the add gave no identifier");
  return ids[0];
}

// Lock, then check in `path` as a new version of `id`; the check-in's
// seconds.
double CheckInSeconds(Client& c, const std::string& id, const std::string& path) {
  Check(AcquireLocks(c.get(), {id}, {path}, {}, false), "locking");
  const auto start = Clock::now();
  Check(CheckInDocuments(c.get(), {id}, {Local(path)}, "bench", false), "checking in");
  return Since(start);
}

double GetSeconds(Client& c, const std::string& id, const std::string& sent,
                  const std::string& into) {
  const auto start = Clock::now();
  Check(FetchDocumentToFile(c.get(), id, 0, into), "getting");
  const double seconds = Since(start);
  const bool whole = bench::SameFile(sent, into);
  ::unlink(into.c_str());
  if (!whole) Fail("the file got differs from the one checked in");
  return seconds;
}

// ---- Subversion's side

class Svn {
 public:
  // Empty when svn, svnadmin or svnserve is missing.
  static std::unique_ptr<Svn> Find(const std::string& dir) {
    std::unique_ptr<Svn> svn(new Svn(dir));
    if (svn->svn_.empty() || svn->admin_.empty() || svn->serve_.empty()) return nullptr;
    return svn;
  }
  ~Svn() {
    if (server_ > 0) {
      ::kill(server_, SIGTERM);
      if (Wait(server_, 10) != 0) ::kill(server_, SIGKILL);
    }
  }
  Svn(const Svn&) = delete;
  Svn& operator=(const Svn&) = delete;

  // A repository with user access for writing and locking (svnserve allows
  // no anonymous lock), served on a free loopback port.
  void Serve() {
    fs::create_directories(dir_ + "/root");
    Run({admin_, "create", dir_ + "/root/repo"}, log_);
    std::ofstream(dir_ + "/root/repo/conf/svnserve.conf")
        << "[general]\nanon-access = none\nauth-access = write\npassword-db = passwd\n";
    std::ofstream(dir_ + "/root/repo/conf/passwd") << "[users]\n"
                                                   << kUser << " = " << Password() << "\n";
    port_ = FreePort();
    server_ = tw::Start({serve_, "-d", "--foreground", "--listen-host", "127.0.0.1",
                         "--listen-port", std::to_string(port_), "-r", dir_ + "/root"},
                        log_);
    if (server_ < 0) Fail("cannot start svnserve");
    const auto start = Clock::now();
    while (!Accepts(port_)) {
      if (Since(start) > 10) Fail("svnserve does not listen");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  std::string Url(const std::string& path) const {
    return "svn://127.0.0.1:" + std::to_string(port_) + "/repo/" + path;
  }

  // Seconds of `svn <args>` with the user and no stored credentials.
  double Time(std::vector<std::string> args) {
    std::vector<std::string> argv = {svn_};
    argv.insert(argv.end(), args.begin(), args.end());
    for (const char* a : {"--non-interactive", "--no-auth-cache", "-q", "--username", kUser}) {
      argv.push_back(a);
    }
    argv.push_back("--password");
    argv.push_back(Password());
    argv.push_back("--config-dir");
    argv.push_back(dir_ + "/config");
    return Timed(argv, log_);
  }

 private:
  explicit Svn(const std::string& dir)
      : dir_(dir),
        log_(dir + "/svn.log"),
        svn_(Which("svn")),
        admin_(Which("svnadmin")),
        serve_(Which("svnserve")) {
    fs::create_directories(dir_);
  }
  // svnserve's password file takes a value up to the line's end, so one
  // without spaces.
  static std::string Password() { return "benchpw"; }

  const std::string dir_, log_, svn_, admin_, serve_;
  uint16_t port_ = 0;
  pid_t server_ = -1;
};

// ---- The memory child

// The child's half of the memory figure: logs on, then checks `path` in
// ("up") or gets it ("down"), and prints the peak resident growth during
// the transfer and the resident size before it, in kB.
int MemoryChild(const std::string& direction, uint16_t port, const std::string& id,
                const std::string& path) {
  try {
    Client c(port);
    if (direction == "up") Check(AcquireLocks(c.get(), {id}, {path}, {}, false), "locking");
    const bool reset = bench::ResetPeakResident();
    const long before = bench::StatusKilobytes("VmRSS");
    if (direction == "up") {
      Check(CheckInDocuments(c.get(), {id}, {Local(path)}, "memory", false), "checking in");
    } else {
      Check(FetchDocumentToFile(c.get(), id, 0, path), "getting");
    }
    const long growth = reset ? bench::StatusKilobytes("VmHWM") - before : -1;
    std::printf("%ld %ld\n", growth, before);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_compare memory child: %s\n", e.what());
    return 1;
  }
}

struct Growth {
  double client_mib;
  double server_mib;
  double client_idle_mib;  // resident before the transfer
  double server_idle_mib;
};

// Runs the child for one direction while watching the server's peak.
Growth MemoryRun(const test::TestServer& server, const std::string& direction,
                 const std::string& id, const std::string& path, const std::string& dir) {
  const std::string out = dir + "/memory-" + direction + ".out";
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  if (!ResetProcessPeak(server.pid())) Fail("cannot reset the server's peak resident size");
  const long server_idle = bench::ProcessKilobytes(server.pid(), "VmRSS");
  const pid_t child =
      Start({self, "--memory-child", direction, std::to_string(server.port()), id, path}, out);
  if (child < 0 || Wait(child, kProgramSeconds) != 0) Fail("the memory child failed");
  const long server_peak = bench::ProcessKilobytes(server.pid(), "VmHWM");
  long growth = -1, before = -1;
  std::ifstream in(out);
  if (!(in >> growth >> before) || growth < 0) Fail("the memory child measured nothing");
  return {growth / 1024.0, (server_peak - server_idle) / 1024.0, before / 1024.0,
          server_idle / 1024.0};
}

// ---- The run

struct Options {
  long mib = 256;  // the transfers' file size
  int files = 10000;
  int locks = 1000;
  long memory_mib = 0;  // 0: four times `mib`
  bool json = false;
};

void SetChannel(test::TestServer& server, int selector, int compression) {
  std::string out;
  if (server.Run({"set", "--data", server.dir(), "selector", std::to_string(selector)}, "", &out) !=
          0 ||
      server.Run({"set", "--data", server.dir(), "compression", std::to_string(compression)}, "",
                 &out) != 0) {
    Fail("cannot change the server's channel settings");
  }
}

void Transfers(test::TestServer& server, Svn* svn, const std::string& dir, const Options& o,
               int workers) {
  const uint64_t size = static_cast<uint64_t>(o.mib) << 20;
  const double mib = static_cast<double>(o.mib);
  const std::string n = std::to_string(workers);
  const std::string files = dir + "/files";
  fs::create_directories(files);

  // Subversion's figures by kind, from the sealed pass; the clear pass is
  // held against the same ones.
  std::map<std::string, std::pair<double, double>> svn_rates;
  for (const bool sealed : {true, false}) {
    SetChannel(server, sealed ? 1 : 0, sealed ? 1 : 0);
    Client c(server.port());
    const std::string production =
        MakeProduction(c, c->root_id(), sealed ? "transfers-sealed" : "transfers-clear");
    double raw = 0;
    if (!sealed) {
      raw = mib / RawTcpSeconds(size);
      Add("raw loopback TCP, " + std::to_string(o.mib) + " MiB", raw, "MiB/s");
    }
    for (const bool random : {false, true}) {
      const std::string kind = random ? "random" : "text";
      const std::string path = files + "/" + kind;
      const std::string id = AddPlaceholder(c, production, files, kind);
      std::vector<double> ups, downs, seals, opens, svn_ups, svn_downs;
      for (int round = 0; round < kTransferRounds; ++round) {
        WriteTagged(path, size, random,
                    kind + (sealed ? " sealed " : " clear ") + std::to_string(round));
        ups.push_back(mib / CheckInSeconds(c, id, path));
        downs.push_back(mib / GetSeconds(c, id, path, dir + "/got"));
        if (!sealed) continue;
        const double seal_seconds = bench::BareSealSeconds(path);
        if (seal_seconds < 0) Fail("bare seal");
        seals.push_back(mib / seal_seconds);
        opens.push_back(mib / BareOpenSeconds(path));
        if (svn != nullptr) {
          const std::string folder = "big/" + kind + "-" + std::to_string(round);
          svn_ups.push_back(mib / svn->Time({"import", path, svn->Url(folder + "/" + kind), "-m",
                                             "import " + kind}));
          const std::string wc = dir + "/svn-" + kind;
          svn_downs.push_back(mib / svn->Time({"checkout", svn->Url(folder), wc}));
          if (!bench::SameFile(path, wc + "/" + kind)) Fail("svn's checkout differs");
          fs::remove_all(wc);
        }
      }
      const double up = Median(ups);
      const double down = Median(downs);
      const std::string name =
          kind + " " + std::to_string(o.mib) + " MiB " + (sealed ? "sel 1 gzip" : "sel 0 plain");
      if (sealed) {
        const double seal = Median(seals);
        const double open = Median(opens);
        const double svn_up = svn != nullptr ? Median(svn_ups) : std::nan("");
        const double svn_down = svn != nullptr ? Median(svn_downs) : std::nan("");
        svn_rates[kind] = {svn_up, svn_down};
        Add(name + ": bare gzip+AES seal, 1 thread", seal, "MiB/s");
        Add(name + ": bare AES+gunzip open, 1 thread", open, "MiB/s");
        Add(name + ": check-in", up, "MiB/s",
            {{"bare seal", seal}, {n + "x bare seal", seal * workers}});
        // A get is sealed by the server and opened here; the sealing is
        // the slower half, so it is the anchor of both directions, the
        // opening shown beside it.
        Add(name + ": get", down, "MiB/s",
            {{"bare seal", seal}, {n + "x bare seal", seal * workers}, {"bare open", open}});
        if (svn != nullptr) {
          Add(name + ": svn import", svn_up, "MiB/s");
          Add(name + ": svn checkout", svn_down, "MiB/s");
        } else {
          AddMissing(name + ": svn import", "MiB/s", "svn not installed");
          AddMissing(name + ": svn checkout", "MiB/s", "svn not installed");
        }
      } else {
        Add(name + ": check-in", up, "MiB/s", {{"raw TCP", raw}});
        Add(name + ": get", down, "MiB/s", {{"raw TCP", raw}});
      }
      if (svn != nullptr) {
        const auto& [svn_up, svn_down] = svn_rates[kind];
        Add(name + ": check-in / svn import (MiB/s)", up / svn_up, "x");
        Add(name + ": get / svn checkout (MiB/s)", down / svn_down, "x");
      }
      ::unlink(path.c_str());
    }
  }
  SetChannel(server, 1, 1);
}

// Writes `count` small files, spread over kFolders folders below `root`;
// their paths, folder by folder.
std::vector<std::string> WriteSmallFiles(const std::string& root, int count) {
  std::vector<std::string> paths;
  const std::string text = bench::Compressible(600);
  for (int i = 0; i < count; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "d%03d/f%05d.txt", i % kFolders, i);
    paths.push_back(root + "/" + name);
  }
  std::sort(paths.begin(), paths.end());
  for (const std::string& p : paths) {
    fs::create_directories(p.substr(0, p.rfind('/')));
    test::WriteFile(p, p + "\n" + text);
  }
  return paths;
}

void SmallFiles(test::TestServer& server, Svn* svn, const std::string& dir, const Options& o) {
  const std::string count = std::to_string(o.files);
  const std::string locks = std::to_string(o.locks);
  double add = 0, status = 0, per_folder = 0, lock = 0;
  {
    Client c(server.port());
    const std::string top = MakeProduction(c, c->root_id(), "small");
    const std::string work = dir + "/small-ours";
    const std::vector<std::string> paths = WriteSmallFiles(work, o.files);

    // Add: the folders' Productions, then every file in one add.
    const auto start = Clock::now();
    std::vector<std::string> folder_ids;
    std::vector<std::string> productions;
    std::vector<LocalFile> files;
    std::string folder;
    for (const std::string& p : paths) {
      const LocalFile f = Local(p);
      if (f.directory != folder) {
        folder = f.directory;
        folder_ids.push_back(MakeProduction(c, top, folder.substr(folder.rfind('/') + 1)));
      }
      productions.push_back(folder_ids.back());
      files.push_back(f);
    }
    std::vector<std::string> ids;
    Check(AddDocuments(c.get(), productions, files, "small files", &ids), "adding the small files");
    add = Since(start);
    if (ids.size() != paths.size()) Fail("the add gave too few identifiers");

    // Status as `vscc status` of the tree asks it: the tree's name table,
    // then one document information request for every file, whatever
    // folder it lies in.
    const auto status_start = Clock::now();
    std::string table;
    Check(GetNameList(c.get(), "status", top, kNameListDocuments, true, &table),
          "the tree's names");
    std::vector<std::string> names;
    for (const LocalFile& f : files) names.push_back(f.path);
    std::vector<DocumentInfo> infos;
    Check(FetchDocumentInfo(c.get(), top, names, work, work, &infos), "document information");
    status = Since(status_start);
    size_t known = 0;
    for (const DocumentInfo& info : infos) known += !info.document_id.empty();
    if (known != paths.size()) Fail("the status missed files");

    // The same, asked folder by folder: what a host that asks once per
    // folder would wait for.
    const auto per_folder_start = Clock::now();
    size_t at = 0;
    known = 0;
    for (const std::string& production : folder_ids) {
      std::vector<std::string> here_names;
      const std::string here = files[at].directory;
      while (at < files.size() && files[at].directory == here) {
        here_names.push_back(files[at++].path);
      }
      Check(FetchDocumentInfo(c.get(), production, here_names, here, here, &infos),
            "document information");
      for (const DocumentInfo& info : infos) known += !info.document_id.empty();
    }
    per_folder = Since(per_folder_start);
    if (known != paths.size()) Fail("the status missed files");

    // Lock: the first files, in one lock command.
    const std::vector<std::string> lock_ids(ids.begin(), ids.begin() + o.locks);
    const std::vector<std::string> lock_paths(paths.begin(), paths.begin() + o.locks);
    const auto lock_start = Clock::now();
    Check(AcquireLocks(c.get(), lock_ids, lock_paths, {}, false), "locking the small files");
    lock = Since(lock_start);
  }
  double svn_add = std::nan(""), svn_status = std::nan(""), svn_lock = std::nan("");
  if (svn != nullptr) {
    const std::string wc = dir + "/small-svn";
    svn->Time({"mkdir", "--parents", svn->Url("small"), "-m", "small"});
    svn->Time({"checkout", svn->Url("small"), wc});
    const std::vector<std::string> paths = WriteSmallFiles(wc, o.files);
    std::vector<std::string> add_args = {"add"};
    for (int i = 0; i < kFolders && i < o.files; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "/d%03d", i);
      add_args.push_back(wc + name);
    }
    svn_add = svn->Time(add_args) + svn->Time({"commit", wc, "-m", "small files"});
    svn_status = svn->Time({"status", "-u", wc});
    const std::string targets = dir + "/svn-lock-targets";
    {
      std::ofstream out(targets);
      for (int i = 0; i < o.locks; ++i) out << paths[static_cast<size_t>(i)] << "\n";
    }
    svn_lock = svn->Time({"lock", "--targets", targets, "-m", "locked by the benchmark"});
  }
  const std::string files =
      count + " files in " + std::to_string(std::min(kFolders, o.files)) + " folders";
  auto row = [&](const std::string& what, double ours, double theirs) {
    Add(what + ": ours", ours, "s");
    if (svn == nullptr) {
      AddMissing(what + ": svn", "s", "svn not installed");
      return;
    }
    Add(what + ": svn", theirs, "s");
    Add(what + ": ours / svn (time)", ours / theirs, "x");
  };
  row("add + check-in of " + files, add, svn_add);
  row("status of " + files, status, svn_status);
  Add("status of " + files + ", one request per folder: ours", per_folder, "s");
  row("lock of " + locks + " files", lock, svn_lock);
}

// `vscc` as a user runs it: the built program beside the module, in
// `folder`, logging on with the benchmark's user where a command needs it.
class Vscc {
 public:
  Vscc(const test::TestServer& server, const std::string& dir)
      : program_(fs::read_symlink("/proc/self/exe").parent_path().string() + "/vscc"),
        log_(dir + "/vscc.log"),
        port_(std::to_string(server.port())) {}

  bool Found() const { return ::access(program_.c_str(), X_OK) == 0; }

  // Seconds of `vscc -C folder <args>`; fails the run when it fails.
  double Time(const std::string& folder, std::vector<std::string> args) {
    args.insert(args.begin(), {program_, "-C", folder});
    return Timed(args, log_, {"VELTRANE_PASSWORD=" + std::string(kPassword)});
  }
  // The logon flags, for the binding commands.
  std::vector<std::string> Logon() const {
    return {"--user", kUser, "--server", "127.0.0.1", "--port", port_};
  }

 private:
  const std::string program_;
  const std::string log_;
  const std::string port_;
};

constexpr int kOneShotRuns = 20;

// One-shot commands, each a new process, the median of kOneShotRuns:
// status of one file, get of one small file, check-in of one small file.
void OneShot(const test::TestServer& server, Svn* svn, const std::string& dir) {
  Vscc vscc(server, dir);
  const std::string runs = std::to_string(kOneShotRuns);
  const std::vector<std::string> what = {"status of 1 file", "get of 1 small file",
                                         "check-in of 1 small file"};
  if (!vscc.Found()) {
    for (const std::string& w : what) {
      AddMissing("one-shot " + w + ": vscc", "ms", "vscc not built");
    }
    return;
  }
  const std::string text = bench::Compressible(2000);
  // Ours: a Production with one file, bound in two working folders.
  const std::string mine = dir + "/oneshot-ours";
  const std::string other = dir + "/oneshot-ours-2";
  fs::create_directories(mine);
  fs::create_directories(other);
  std::vector<std::string> bind = {"bind", "--new", "OneShot"};
  for (const std::string& a : vscc.Logon()) bind.push_back(a);
  vscc.Time(mine, bind);
  test::WriteFile(mine + "/one.txt", "0\n" + text);
  vscc.Time(mine, {"add", "-m", "one", "one.txt"});
  bind = {"bind", "--production", "OneShot"};
  for (const std::string& a : vscc.Logon()) bind.push_back(a);
  vscc.Time(other, bind);
  vscc.Time(mine, {"checkout", "--no-get", "one.txt"});

  std::vector<double> status, get, checkin;
  for (int i = 0; i < kOneShotRuns; ++i) {
    status.push_back(vscc.Time(mine, {"status", "one.txt"}));
    get.push_back(vscc.Time(other, {"get", "--yes", "one.txt"}));
    test::WriteFile(mine + "/one.txt", std::to_string(i + 1) + "\n" + text);
    checkin.push_back(vscc.Time(mine, {"checkin", "--keep", "-m", "one", "one.txt"}));
  }
  const double ours[] = {Median(status), Median(get), Median(checkin)};

  double theirs[] = {std::nan(""), std::nan(""), std::nan("")};
  if (svn != nullptr) {
    const std::string wc = dir + "/oneshot-svn";
    const std::string exported = dir + "/oneshot-svn-export";
    fs::create_directories(exported);
    svn->Time({"mkdir", "--parents", svn->Url("oneshot"), "-m", "oneshot"});
    svn->Time({"checkout", svn->Url("oneshot"), wc});
    test::WriteFile(wc + "/one.txt", "0\n" + text);
    svn->Time({"add", wc + "/one.txt"});
    svn->Time({"commit", wc, "-m", "one"});
    std::vector<double> svn_status, svn_get, svn_commit;
    for (int i = 0; i < kOneShotRuns; ++i) {
      svn_status.push_back(svn->Time({"status", "-u", wc + "/one.txt"}));
      svn_get.push_back(
          svn->Time({"export", "--force", svn->Url("oneshot/one.txt"), exported + "/one.txt"}));
      test::WriteFile(wc + "/one.txt", std::to_string(i + 1) + "\n" + text);
      svn_commit.push_back(svn->Time({"commit", wc + "/one.txt", "-m", "one"}));
    }
    theirs[0] = Median(svn_status);
    theirs[1] = Median(svn_get);
    theirs[2] = Median(svn_commit);
  }
  const char* svn_names[] = {"svn status -u", "svn export", "svn commit"};
  for (size_t k = 0; k < what.size(); ++k) {
    const std::string name = "one-shot " + what[k] + ", median of " + runs;
    Add(name + ": vscc", ours[k] * 1000, "ms");
    if (svn == nullptr) {
      AddMissing(name + ": " + svn_names[k], "ms", "svn not installed");
      continue;
    }
    Add(name + ": " + svn_names[k], theirs[k] * 1000, "ms");
    Add(name + ": vscc / svn (time)", ours[k] / theirs[k], "x");
  }
}

void Memory(test::TestServer& server, const std::string& dir, const Options& o) {
  const long memory_mib = o.memory_mib > 0 ? o.memory_mib : o.mib * 4;
  const std::string path = dir + "/files/memory";
  std::string id;
  {
    Client c(server.port());
    const std::string production = MakeProduction(c, c->root_id(), "memory");
    id = AddPlaceholder(c, production, dir + "/files", "memory");
  }
  WriteTagged(path, static_cast<uint64_t>(memory_mib) << 20, true, "memory");
  const std::string name = "peak growth, random " + std::to_string(memory_mib) + " MiB ";
  const Growth up = MemoryRun(server, "up", id, path, dir);
  const std::string got = dir + "/got-memory";
  const Growth down = MemoryRun(server, "down", id, got, dir);
  const bool whole = bench::SameFile(path, got);
  ::unlink(got.c_str());
  ::unlink(path.c_str());
  if (!whole) Fail("the memory transfer's file differs");
  Add(name + "check-in: sender (client)", up.client_mib, "MiB");
  Add(name + "check-in: receiver (TWServer)", up.server_mib, "MiB");
  Add(name + "get: sender (TWServer)", down.server_mib, "MiB");
  Add(name + "get: receiver (client)", down.client_mib, "MiB");
  Add("resident when idle: client (logged on)", up.client_idle_mib, "MiB");
  Add("resident when idle: TWServer", up.server_idle_mib, "MiB");
}

double LoadAverage() {
  double load = -1;
  std::ifstream("/proc/loadavg") >> load;
  return load;
}

int RunAll(const Options& o) {
  test::TestEnv env;  // first made, last removed
  const std::string dir = env.Path("bench");
  fs::create_directories(dir + "/files");
  const int workers = FrameWorkerCount();
  const double load_before = LoadAverage();
  test::UsePropertyServerFromBuild();
  test::PropertyServer property_server;
  test::TestServer server(env.Path("repo"));
  try {
    if (!property_server.Start()) Fail("cannot start TWPMSvr");
    if (!server.Init({"--selector", "1", "--compression", "1"}) ||
        !server.AddUser(kUser, kPassword) || !server.Start()) {
      Fail("cannot start TWServer");
    }
    std::unique_ptr<Svn> svn = Svn::Find(env.Path("svn"));
    if (svn) svn->Serve();

    Memory(server, dir, o);
    Transfers(server, svn.get(), dir, o, workers);
    SmallFiles(server, svn.get(), dir, o);
    OneShot(server, svn.get(), dir);
    server.Stop();
  } catch (const std::exception& e) {
    std::string log = server.Log();
    if (log.size() > 3000) log = log.substr(log.size() - 3000);
    std::fprintf(stderr, "bench_compare: %s\nthe end of TWServer's log:\n%s\n", e.what(),
                 log.c_str());
    return 1;
  }
  // The client's frame workers and TWServer's run on the same cores here:
  // with fewer than both sets need, a transfer against the worker count
  // times the bare pipeline cannot get much above one half.
  const unsigned threads = std::thread::hardware_concurrency();
  const bool shared = threads < 2u * static_cast<unsigned>(workers);
  char header[384];
  if (o.json) {
    std::snprintf(header, sizeof header,
                  "\"hardware_threads\": %u, \"workers\": %d, \"file_mib\": %ld, "
                  "\"memory_mib\": %ld, \"files\": %d, \"locks\": %d, \"load_before\": %.2f, "
                  "\"load_after\": %.2f, \"cores_shared_with_server\": %s",
                  threads, workers, o.mib, o.memory_mib > 0 ? o.memory_mib : o.mib * 4, o.files,
                  o.locks, load_before, LoadAverage(), shared ? "true" : "false");
    PrintJson(header);
  } else {
    std::snprintf(header, sizeof header,
                  "%u hardware threads, %d workers, %ld MiB files, %d small files, %d locks; "
                  "load average %.2f before, %.2f after",
                  threads, workers, o.mib, o.files, o.locks, load_before, LoadAverage());
    PrintTable(header);
    if (shared) {
      std::printf(
          "\nclient and TWServer share %u hardware threads (fewer than 2 x %d workers): "
          "check-in and get against \"%dx bare\" cannot get much above 0.5 here\n",
          threads, workers, workers);
    }
  }
  return 0;
}

}  // namespace
}  // namespace tw

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "--memory-child") == 0) {
    uint16_t port = 0;
    if (!tw::ParsePort(argv[3], &port)) return 2;
    return tw::MemoryChild(argv[2], port, argv[4], argv[5]);
  }
  tw::Options o;
  bool locks_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&] { return i + 1 < argc ? tw::bench::ArgNumber(argv[++i]) : -1; };
    if (a == "--json") {
      o.json = true;
    } else if (a == "--files") {
      o.files = static_cast<int>(next());
    } else if (a == "--locks") {
      o.locks = static_cast<int>(next());
      locks_given = true;
    } else if (a == "--memory-mb") {
      o.memory_mib = next();
    } else {
      o.mib = tw::bench::ArgNumber(argv[i]);
    }
  }
  if (!locks_given) o.locks = std::min(o.locks, o.files / 10);
  if (o.mib <= 0 || o.mib > 4096 || o.files <= 0 || o.files > 100000 || o.locks <= 0 ||
      o.locks > o.files || o.memory_mib < 0 || o.memory_mib > 8192) {
    std::fprintf(stderr,
                 "usage: bench_compare [MiB, 1-4096, default 256] [--files N, default 10000] "
                 "[--locks N, default files/10 up to 1000] [--memory-mb MiB, default 4 x the "
                 "first] [--json]\n");
    return 2;
  }
  return tw::RunAll(o);
}
