// The sending pipeline with one worker and with the process's worker count
// (VELTRANE_WORKERS or the hardware threads, at most 8), in one run, each
// figure beside its own anchor measured in the same run:
//   - seal: a file's frames built into a sink that only counts them
//     (selector 1, compression on), against the bare library pipeline on
//     one thread (gzip level 6, then AES-256-CBC, per 131072-byte piece)
//     and that anchor times the worker count;
//   - wire: the file through a MessageChannel over loopback into a second
//     MessageChannel on another thread, which opens the frames and writes
//     the file (selector 1 with compression; selector 0 without, against
//     raw loopback TCP of the same bytes);
//   - small: the round trip of a 300-byte request to an echoing channel,
//     p50 and p99, against a raw TCP ping-pong of the same size; one
//     worker is the sending path as it was before the pipeline;
//   - memory: in a child process, how far the peak resident size grows
//     while the workers seal a file four times as large.
// Prints a table; --json prints the same figures as one JSON object.
//
//   bench_pipeline [megabytes, default 64] [--json]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/bench_data.h"
#include "crypto/crypto.h"
#include "messaging/field_ids.h"
#include "messaging/message.h"
#include "messaging/message_writer.h"
#include "transport/frame_format.h"
#include "transport/frame_pipeline.h"
#include "transport/message_channel.h"
#include "transport/socket.h"

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 2;  // the best of these counts
constexpr int kPings = 1000;
constexpr size_t kSmallRequest = 300;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "bench_pipeline: %s\n", what);
  std::exit(1);
}

template <typename Run>
double Best(const Run& run) {
  double best = run();
  for (int i = 1; i < kRounds; ++i) best = std::min(best, run());
  return best;
}

// One line of the table and of the JSON.
struct Row {
  std::string name;
  double value;
  std::string unit;
  std::string anchor;  // what the ratio is taken against; "" for none
  double ratio;
};
std::vector<Row> g_rows;

void Add(const std::string& name, double value, const char* unit, const std::string& anchor = "",
         double anchor_value = 0) {
  g_rows.push_back(Row{name, value, unit, anchor, anchor_value > 0 ? value / anchor_value : 0.0});
}

ChannelCipher Sealed() {
  return ChannelCipher{bench::kBenchKey, kCipherAes, true};
}

MessageObject FileMessage(const std::string& path) {
  MessagePtr m = NewMessage();
  m->SetString(COMMAND, "DOCUMENTCMD");
  m->SetInt(ParameterId(1), 1);
  m->SetRawField(ParameterId(6), FIELD_FILELIST, path.data(), path.size());
  MessageObject object;
  if (!WriteMessageObject(*m, nullptr, &object)) Fail("the message could not be written");
  return object;
}

// --- Sealing into a counting sink ---

double SealSeconds(const std::string& path, int workers) {
  MessageFrameSender sender(workers);
  const auto start = Clock::now();
  uint64_t bytes = 0;
  const bool sent = sender.Send(
      FileMessage(path), Sealed(), nullptr,
      [&](const uint8_t*, size_t count) {
        bytes += count;
        return true;
      },
      nullptr, nullptr);
  const double seconds = Since(start);
  if (!sent || bytes == 0) Fail("the sender failed");
  return seconds;
}

// --- Over loopback ---

struct Pair {
  std::unique_ptr<CIOSocket> client;
  std::unique_ptr<CIOSocket> server;
};

Pair Connect() {
  auto listener = CreateSocket();
  NetAddress bound;
  if (listener->Listen(2, 0, kSocketStream) != kSocketOk ||
      listener->LocalAddress(&bound) != kSocketOk) {
    Fail("listen");
  }
  Pair pair{CreateSocket(), nullptr};
  if (pair.client->Connect(CreateAddress(127, 0, 0, 1, bound.Port()), kSocketStream) != kSocketOk ||
      listener->Accept(&pair.server, 5000) != kSocketOk) {
    Fail("connect");
  }
  return pair;
}

// Channels on both ends of a loopback connection; the client's sender has
// `workers` workers.
struct Channels {
  std::unique_ptr<MessageChannel> client;
  std::unique_ptr<MessageChannel> server;
};

Channels OpenChannels(int workers, const ChannelCipher& cipher) {
  setenv("VELTRANE_WORKERS", std::to_string(workers).c_str(), 1);
  Pair pair = Connect();
  Channels c{std::make_unique<MessageChannel>(std::move(pair.client)),
             std::make_unique<MessageChannel>(std::move(pair.server))};
  for (MessageChannel* channel : {c.client.get(), c.server.get()}) {
    channel->SetSendCipher(cipher);
    channel->SetReceiveKey(cipher.key);
  }
  return c;
}

// Seconds from the first frame of the file until the peer holds it whole.
double WireSeconds(const std::string& path, uint64_t size, int workers,
                   const ChannelCipher& cipher) {
  Channels c = OpenChannels(workers, cipher);
  MessageObject object = FileMessage(path);
  std::atomic<bool> received{false};
  std::thread peer([&] {
    MessagePtr m;
    if (c.server->Receive(&m, 600000) != kChannelMessage) return;
    std::vector<std::string> paths;
    m->GetStringList(ParameterId(6), &paths, "?");
    std::ifstream in(paths.empty() ? std::string() : paths[0], std::ios::binary | std::ios::ate);
    received = m->GetErrorCode() == 0 && static_cast<uint64_t>(in.tellg()) == size;
    for (const std::string& p : paths) ::unlink(p.c_str());
  });
  const auto start = Clock::now();
  const bool sent = c.client->SendObject(std::move(object));
  peer.join();
  const double seconds = Since(start);
  if (!sent || !received) Fail("the file did not arrive over loopback");
  return seconds;
}

// Raw blocking TCP over loopback, `size` bytes one way.
double RawTcpSeconds(uint64_t size) {
  Pair pair = Connect();
  std::string block(1 << 20, 'x');
  std::thread peer([&] {
    std::vector<uint8_t> in(1 << 20);
    uint64_t got = 0;
    while (got < size && pair.server->WaitReadable(10000) == kSocketOk) {
      size_t n = 0;
      if (pair.server->Receive(in.data(), in.size(), &n) == kSocketOk) got += n;
    }
  });
  const auto start = Clock::now();
  for (uint64_t at = 0; at < size; at += block.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - at));
    if (pair.client->Send(block.data(), n) != kSocketOk) Fail("raw send");
  }
  peer.join();
  return Since(start);
}

struct Percentiles {
  double p50 = 0;
  double p99 = 0;
};

Percentiles Summarise(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

Percentiles SmallRoundTrip(int workers) {
  Channels c = OpenChannels(workers, Sealed());
  std::thread echo([&] {
    MessagePtr m;
    while (c.server->Receive(&m, 10000) == kChannelMessage) {
      if (!c.server->Send(*m)) break;
    }
  });
  MessagePtr request = NewMessage();
  request->SetString(COMMAND, "PING");
  request->SetString(ParameterId(1), bench::Compressible(kSmallRequest));
  std::vector<double> samples;
  for (int i = 0; i < kPings; ++i) {
    const auto start = Clock::now();
    MessagePtr reply;
    if (!c.client->Send(*request) || c.client->Receive(&reply, 10000) != kChannelMessage) {
      Fail("a small request got no reply");
    }
    samples.push_back(Micros(Clock::now() - start));
  }
  c.client->Close();
  echo.join();
  return Summarise(samples);
}

Percentiles RawPingPong(size_t size) {
  Pair pair = Connect();
  std::string out(size, 'x'), in(size, '\0');
  auto exchange = [&](CIOSocket& socket, bool first) {
    auto receive = [&] {
      for (size_t done = 0; done < size;) {
        if (socket.WaitReadable(10000) != kSocketOk) return false;
        size_t n = 0;
        const int r = socket.Receive(&in[done], size - done, &n);
        if (r == kSocketOk) done += n;
        if (r != kSocketOk && r != kSocketWouldBlock) return false;
      }
      return true;
    };
    if (first) return socket.Send(out.data(), size) == kSocketOk && receive();
    return receive() && socket.Send(out.data(), size) == kSocketOk;
  };
  std::thread echo([&] {
    while (exchange(*pair.server, false)) {
    }
  });
  std::vector<double> samples;
  for (int i = 0; i < kPings; ++i) {
    const auto start = Clock::now();
    if (!exchange(*pair.client, true)) Fail("raw ping-pong");
    samples.push_back(Micros(Clock::now() - start));
  }
  pair.client->Close();
  echo.join();
  return Summarise(samples);
}

// In a child: the peak resident growth while `workers` seal the file.
double SealGrowthMiB(const std::string& path, int workers) {
  std::fflush(stdout);
  int fds[2];
  if (::pipe(fds) != 0) Fail("pipe");
  const pid_t child = ::fork();
  if (child < 0) Fail("fork");
  if (child == 0) {
    ::close(fds[0]);
    const bool reset = bench::ResetPeakResident();
    const long before = bench::StatusKilobytes("VmRSS");
    SealSeconds(path, workers);
    const double growth = reset ? (bench::StatusKilobytes("VmHWM") - before) / 1024.0 : -1;
    if (::write(fds[1], &growth, sizeof growth) != sizeof growth) std::_Exit(1);
    std::_Exit(0);
  }
  ::close(fds[1]);
  double growth = -1;
  const bool read = ::read(fds[0], &growth, sizeof growth) == sizeof growth;
  ::close(fds[0]);
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !read) Fail("the memory measurement failed");
  return growth;
}

std::string WriteLarge(const char* name, uint64_t size, bool random) {
  const std::string path = bench::ScratchPath("bench_pipeline", name);
  if (!bench::WriteLargeFile(path, size, random)) Fail("cannot write a scratch file");
  return path;
}

void PrintTable(int workers, long megabytes) {
  std::printf("%u hardware threads, %d workers, %ld MB files\n\n",
              std::thread::hardware_concurrency(), workers, megabytes);
  std::printf("%-38s %12s %-6s  %-28s %s\n", "figure", "value", "unit", "anchor", "ratio");
  for (const Row& r : g_rows) {
    if (r.anchor.empty()) {
      std::printf("%-38s %12.1f %-6s\n", r.name.c_str(), r.value, r.unit.c_str());
    } else {
      std::printf("%-38s %12.1f %-6s  %-28s %.2f\n", r.name.c_str(), r.value, r.unit.c_str(),
                  r.anchor.c_str(), r.ratio);
    }
  }
}

void PrintJson(int workers, long megabytes) {
  std::printf("{\"hardware_threads\": %u, \"workers\": %d, \"megabytes\": %ld, \"figures\": [",
              std::thread::hardware_concurrency(), workers, megabytes);
  for (size_t i = 0; i < g_rows.size(); ++i) {
    const Row& r = g_rows[i];
    std::printf("%s\n  {\"name\": \"%s\", \"value\": %.3f, \"unit\": \"%s\"", i == 0 ? "" : ",",
                r.name.c_str(), r.value, r.unit.c_str());
    if (!r.anchor.empty()) {
      std::printf(", \"anchor\": \"%s\", \"ratio\": %.3f", r.anchor.c_str(), r.ratio);
    }
    std::printf("}");
  }
  std::printf("\n]}\n");
}

}  // namespace
}  // namespace tw

int main(int argc, char** argv) {
  using namespace tw;
  long megabytes = 64;
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else {
      megabytes = bench::ArgNumber(argv[i]);
    }
  }
  if (megabytes <= 0 || megabytes > 4096) {
    std::fprintf(stderr, "usage: bench_pipeline [megabytes, 1-4096] [--json]\n");
    return 2;
  }
  const int workers = FrameWorkerCount();
  const uint64_t size = static_cast<uint64_t>(megabytes) << 20;
  const double mb = static_cast<double>(megabytes);
  const std::string n = std::to_string(workers);

  // Memory first, before this process holds anything large.
  {
    const std::string path = WriteLarge("memory", size * 4, false);
    Add("memory: peak growth sealing " + std::to_string(megabytes * 4) + " MB, " + n + " w",
        SealGrowthMiB(path, workers), "MiB");
    ::unlink(path.c_str());
  }

  for (const bool random : {false, true}) {
    const char* kind = random ? "random" : "text";
    const std::string path = WriteLarge(kind, size, random);
    const double bare = mb / Best([&] {
                          const double seconds = bench::BareSealSeconds(path);
                          if (seconds < 0) Fail("bare seal");
                          return seconds;
                        });
    const double one = mb / Best([&] { return SealSeconds(path, 1); });
    const double many = mb / Best([&] { return SealSeconds(path, workers); });
    const std::string k = kind;
    Add("seal " + k + ": bare gzip+AES, 1 thread", bare, "MB/s");
    Add("seal " + k + ": 1 worker", one, "MB/s", "bare", bare);
    Add("seal " + k + ": " + n + " workers", many, "MB/s", n + " x bare", bare * workers);
    Add("seal " + k + ": " + n + " workers / 1 worker", many / one, "x");
    const double wire_one = mb / Best([&] { return WireSeconds(path, size, 1, Sealed()); });
    const double wire_many = mb / Best([&] { return WireSeconds(path, size, workers, Sealed()); });
    Add("wire " + k + " sel 1 gzip: 1 worker", wire_one, "MB/s", "bare", bare);
    Add("wire " + k + " sel 1 gzip: " + n + " workers", wire_many, "MB/s", n + " x bare",
        bare * workers);
    if (random) {
      const double raw = mb / Best([&] { return RawTcpSeconds(size); });
      const ChannelCipher clear;
      const double clear_one = mb / Best([&] { return WireSeconds(path, size, 1, clear); });
      const double clear_many = mb / Best([&] { return WireSeconds(path, size, workers, clear); });
      Add("raw loopback TCP", raw, "MB/s");
      Add("wire clear: 1 worker", clear_one, "MB/s", "raw TCP", raw);
      Add("wire clear: " + n + " workers", clear_many, "MB/s", "raw TCP", raw);
    }
    ::unlink(path.c_str());
  }

  const Percentiles raw = RawPingPong(kSmallRequest);
  const Percentiles before = SmallRoundTrip(1);
  const Percentiles after = SmallRoundTrip(workers);
  Add("small 300 B: raw TCP p50", raw.p50, "us");
  Add("small 300 B: 1 worker (before) p50", before.p50, "us", "raw TCP p50", raw.p50);
  Add("small 300 B: 1 worker (before) p99", before.p99, "us");
  Add("small 300 B: " + n + " workers p50", after.p50, "us", "1 worker p50", before.p50);
  Add("small 300 B: " + n + " workers p99", after.p99, "us", "1 worker p99", before.p99);

  if (json) {
    PrintJson(workers, megabytes);
  } else {
    PrintTable(workers, megabytes);
  }
  return 0;
}
