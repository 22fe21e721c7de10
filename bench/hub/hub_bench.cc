// The message hub and its server connection on loopback, in one run:
//   (a) round-trip time of small synchronous requests through the hub to a
//       loopback peer, beside a raw TCP ping-pong of the same sizes on
//       blocking sockets (p50 and p99, and the hub's p50 over the raw p50
//       plus 100 us; the aim is at most 3);
//   (b) throughput of a file sent through the connection (selector 1,
//       compression on) until the peer's reply, beside the bare gzip + AES
//       pipeline over the same bytes (the aim is at least 0.8);
//   (c) in a child process, how far the peak resident size grows while a
//       file four times as large is sent (the aim: independent of the file
//       size, under 32 MiB).
//
//   bench_hub [megabytes, default 256]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/bench_data.h"
#include "messaging/request_sender.h"
#include "messaging/synchronous_message.h"
#include "tests/support/loopback_peer.h"
#include "transport/message_hub.h"
#include "transport/server_connection.h"

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;
using test::LoopbackPeer;

constexpr int kPings = 2000;
constexpr int kWaitSeconds = 600;
const size_t kSizes[] = {64, 256, 1024, 8192};
// Requests up to this size count as small: the round-trip aim is for them.
// Larger ones are bound by compressing and encrypting the payload, which the
// raw ping-pong does not do.
constexpr size_t kSmallRequest = 1024;

double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

struct Percentiles {
  double p50 = 0;
  double p99 = 0;
};

Percentiles Summarise(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

// Answers every request with its parameter 1; removes received files.
void Echo(LoopbackPeer::Connection& connection, MessagePtr request) {
  MessagePtr reply = test::MakeReply(*request);
  std::string text;
  request->GetString(ParameterId(1), &text);
  reply->SetString(ParameterId(2), text);
  std::vector<std::string> paths;
  request->GetStringList(ParameterId(3), &paths, "?");
  for (const std::string& p : paths) ::unlink(p.c_str());
  connection.Send(*reply);
}

void InstallKey(MessageHub* hub) {
  MessagePtr ssk = NewMessage();
  ssk->SetString(COMMAND, kSetChannelKeyCommand);
  ssk->SetInt(TARGETRECIPIENT, kRecipientServer);
  ssk->SetString(kSskFieldKey, bench::kBenchKey);
  ssk->SetInt(kSskFieldSelector, 1);
  ssk->SetInt(kSskFieldCompression, 1);
  hub->Send(ssk.get());
}

MessagePtr Request(const std::string& command) {
  MessagePtr request = NewMessage();
  request->SetString(COMMAND, command);
  request->SetInt(TARGETRECIPIENT, kRecipientServer);
  return request;
}

bool RoundTrip(RequestSender* sender, MessagePtr request) {
  SynchronousMessagePtr reply;
  return sender->SendAndWait(request.get(), &reply, kWaitSeconds) && reply->HasReply() &&
         reply->GetErrorCode() == 0;
}

// Blocking loopback TCP ping-pong of `size` bytes: the floor the hub's
// round trip is compared with.
Percentiles RawPingPong(size_t size) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("bench_hub: listen");
    std::exit(1);
  }
  auto exchange = [size](int fd, bool first) {
    std::string buffer(size, 'x');
    auto all = [&](bool sending) {
      for (size_t done = 0; done < size;) {
        const ssize_t n = sending ? ::send(fd, buffer.data() + done, size - done, MSG_NOSIGNAL)
                                  : ::recv(fd, &buffer[done], size - done, 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
      }
      return true;
    };
    return first ? all(true) && all(false) : all(false) && all(true);
  };
  std::thread echo([&] {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    while (exchange(fd, false)) {
    }
    ::close(fd);
  });
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("bench_hub: connect");
    std::exit(1);
  }
  std::vector<double> samples;
  for (int i = 0; i < kPings; ++i) {
    const auto start = Clock::now();
    exchange(fd, true);
    samples.push_back(Micros(Clock::now() - start));
  }
  ::close(fd);
  echo.join();
  ::close(listener);
  return Summarise(samples);
}

Percentiles HubRoundTrip(RequestSender* sender, size_t size) {
  const std::string payload(size, 'x');
  std::vector<double> samples;
  for (int i = 0; i < kPings; ++i) {
    MessagePtr request = Request("PING");
    request->SetString(ParameterId(1), payload);
    const auto start = Clock::now();
    if (!RoundTrip(sender, request)) {
      std::fprintf(stderr, "bench_hub: a request got no reply\n");
      std::exit(1);
    }
    samples.push_back(Micros(Clock::now() - start));
  }
  return Summarise(samples);
}

// Writes `megabytes` of compressible data to `path`.
void WriteFile(const std::string& path, size_t megabytes) {
  if (!bench::WriteLargeFile(path, uint64_t{megabytes} << 20, false)) {
    std::fprintf(stderr, "bench_hub: cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

double Upload(RequestSender* sender, const std::string& path) {
  MessagePtr request = Request("UPLOAD");
  request->SetRawField(ParameterId(3), FIELD_FILELIST, path.data(), path.size());
  const auto start = Clock::now();
  if (!RoundTrip(sender, request)) {
    std::fprintf(stderr, "bench_hub: the upload failed\n");
    std::exit(1);
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A hub connected to `peer`, keyed with selector 1 and compression.
RequestSender* StartHub(const LoopbackPeer& peer) {
  SetServerEndpoint("127.0.0.1", peer.port());
  MessageHub* hub = GetMessageHub();
  InstallKey(hub);
  static RequestSender sender(hub);
  return &sender;
}

// (c): in a child, so that its peak resident size is its own; the peer
// runs in the parent.
void MeasureMemory(size_t megabytes) {
  const std::string path = bench::ScratchPath("bench_hub", "memory.bin");
  WriteFile(path, megabytes);
  ChannelCipher cipher;
  cipher.key = bench::kBenchKey;
  cipher.selector = 1;
  cipher.compress = true;
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    // A peer of its own keeps the child single-purpose; it runs on a thread
    // of the child, so the figure includes the receiving side's chunks.
    LoopbackPeer peer(Echo);
    peer.SetCipher(cipher);
    RequestSender* sender = StartHub(peer);
    // Warm up threads, buffers and the key with a small file, so that the
    // figure is what the large transfer adds.
    const std::string small = bench::ScratchPath("bench_hub", "warm.bin");
    WriteFile(small, 1);
    Upload(sender, small);
    ::unlink(small.c_str());
    const bool reset = bench::ResetPeakResident();
    const long before = bench::StatusKilobytes("VmRSS");
    Upload(sender, path);
    const long peak = bench::StatusKilobytes("VmHWM");
    std::printf(
        "(c) memory: sending %zu MiB grew the peak resident size by %.1f MiB %s"
        "(aim: under 32 MiB)\n",
        megabytes, (peak - before) / 1024.0, reset ? "" : "(peak not reset) ");
    std::fflush(stdout);
    ReleaseMessageHub();
    std::_Exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ::unlink(path.c_str());
}

int Main(int argc, char** argv) {
  const int given = argc > 1 ? tw::bench::ArgNumber(argv[1]) : 256;
  if (given <= 0 || given > 4096) {
    std::fprintf(stderr, "usage: bench_hub [megabytes, 1-4096]\n");
    return 2;
  }
  const size_t megabytes = static_cast<size_t>(given);
  ChannelCipher cipher;
  cipher.key = bench::kBenchKey;
  cipher.selector = 1;
  cipher.compress = true;

  // (c) first: the child must be forked before this process has threads.
  MeasureMemory(megabytes * 4);

  LoopbackPeer peer(Echo);
  peer.SetCipher(cipher);
  RequestSender* sender = StartHub(peer);

  std::printf("(a) round trip, %d requests each (microseconds)\n", kPings);
  for (size_t size : kSizes) {
    const Percentiles raw = RawPingPong(size);
    const Percentiles hub = HubRoundTrip(sender, size);
    std::printf(
        "    %5zu bytes  raw p50 %7.1f p99 %7.1f   hub p50 %7.1f p99 %7.1f   "
        "hub/(raw+100us) p50 %.2f p99 %.2f %s\n",
        size, raw.p50, raw.p99, hub.p50, hub.p99, hub.p50 / (raw.p50 + 100),
        hub.p99 / (raw.p99 + 100),
        size <= kSmallRequest ? "(aim: at most 3)" : "(payload-bound, no aim)");
  }

  const std::string path = bench::ScratchPath("bench_hub", "upload.bin");
  WriteFile(path, megabytes);
  const double upload = Upload(sender, path);
  const double bare = bench::BarePipelineSeconds(path);
  ::unlink(path.c_str());
  if (bare < 0) {
    std::fprintf(stderr, "bench_hub: the bare pipeline lost the data\n");
    return 1;
  }
  std::printf(
      "(b) throughput, %zu MiB: hub %.1f MB/s  bare pipeline %.1f MB/s  "
      "ratio %.2f (aim: at least 0.8)\n",
      megabytes, megabytes * 1.048576 / upload, megabytes * 1.048576 / bare, bare / upload);
  ReleaseMessageHub();
  return 0;
}

}  // namespace
}  // namespace tw

int main(int argc, char** argv) {
  return tw::Main(argc, argv);
}
