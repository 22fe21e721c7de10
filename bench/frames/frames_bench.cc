// Throughput of the frame layer: a large buffer goes through
// WriteMessageFrames (selector 1, compression on) into a CIOFrameReader in
// memory and comes out as one item; beside it the bare library pipeline over
// the same 131072-byte pieces (gzip at level 6, AES-256-CBC, and back),
// without headers, buffers or queues. Prints both throughputs, their ratio
// (frame layer / bare pipeline; the aim is at least 0.8) and the peak
// resident size, for a compressible buffer and a random one.
//
// The message object is not part of this yet: once the stream writer and
// reader exist, a message carrying the buffer as a binary field belongs in
// front of the writer and behind the reader here.
//
//   bench_frames [megabytes per buffer, default 32]
#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/gzip.h>
#include <cryptopp/modes.h>
#include <cryptopp/sha.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "transport/buffer.h"
#include "transport/frame_format.h"
#include "transport/frame_reader.h"
#include "transport/frame_writer.h"

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;
using CryptoPP::byte;

const std::string kKey = "0123456789ABCDEF0123456789ABCDEF89ABCDEF0123456789ABCDEF01234567";
constexpr int kRounds = 3;  // the best of these counts

std::string Compressible(size_t n) {
  // Text with the repetitiveness of message fields and source files.
  std::mt19937 gen(1);
  static const char* const kWords[] = {"Document", "Production", "identifier", "stamp", "=",
                                       "version",  "\n",         "lock",       "user",  "0"};
  std::string s;
  s.reserve(n + 32);
  while (s.size() < n) {
    s += kWords[gen() % 10];
    s += std::to_string(gen() % 1000);
    s += ' ';
  }
  s.resize(n);
  return s;
}

std::string Random(size_t n) {
  std::mt19937_64 gen(2);
  std::string s(n, '\0');
  for (size_t i = 0; i + 8 <= n; i += 8) {
    const uint64_t v = gen();
    std::copy_n(reinterpret_cast<const char*>(&v), 8, &s[i]);
  }
  return s;
}

// Seconds for the frame layer to carry `data` once; checks what arrives.
double FrameLayer(const std::string& data) {
  const auto start = Clock::now();
  BufferRef buffer = CIOBufferSimple::Create(kFrameBufferCapacity);
  CIOFrameReader reader;
  reader.SetKey(kKey);
  bool ok = true;
  const bool sent = WriteMessageFrames(data.data(), data.size(), kCipherAes, true, kKey,
                                       buffer.get(), [&](const uint8_t* bytes, size_t count) {
                                         reader.AddBytes(bytes, count);
                                         ok = reader.Parse() && ok;
                                         return true;
                                       });
  FramePayload payload;
  const uint32_t code = reader.PopItem(&payload);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!sent || !ok || code == 0 || payload->size() != data.size() ||
      std::memcmp(payload->data(), data.data(), data.size()) != 0) {
    std::fprintf(stderr, "bench_frames: the frame layer lost the data\n");
    std::exit(1);
  }
  return seconds;
}

// Seconds for the bare pipeline over the same pieces.
double BarePipeline(const std::string& data) {
  const auto start = Clock::now();
  byte key[32], digest[32], iv[16];
  CryptoPP::SHA256().CalculateDigest(key, reinterpret_cast<const byte*>(kKey.data()), kKey.size());
  CryptoPP::SHA256().CalculateDigest(digest, reinterpret_cast<const byte*>("Veltrane"), 8);
  for (int i = 0; i < 16; ++i) iv[i] = digest[i] ^ digest[i + 16];
  std::string out;
  out.reserve(data.size());
  std::string zipped, cipher, plain;
  for (size_t at = 0; at < data.size(); at += kFramePieceBytes) {
    const size_t n = std::min(kFramePieceBytes, data.size() - at);
    zipped.clear(), cipher.clear(), plain.clear();
    CryptoPP::Gzip gzip(new CryptoPP::StringSink(zipped), 6);
    gzip.Put(reinterpret_cast<const byte*>(data.data() + at), n);
    gzip.MessageEnd();
    CryptoPP::CBC_Mode<CryptoPP::AES>::Encryption enc(key, sizeof key, iv);
    CryptoPP::StringSource(
        zipped, true,
        new CryptoPP::StreamTransformationFilter(enc, new CryptoPP::StringSink(cipher)));
    CryptoPP::CBC_Mode<CryptoPP::AES>::Decryption dec(key, sizeof key, iv);
    CryptoPP::StringSource(cipher, true,
                           new CryptoPP::StreamTransformationFilter(
                               dec, new CryptoPP::Gunzip(new CryptoPP::StringSink(plain))));
    out += plain;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (out != data) {
    std::fprintf(stderr, "bench_frames: the bare pipeline lost the data\n");
    std::exit(1);
  }
  return seconds;
}

double Best(double (*run)(const std::string&), const std::string& data) {
  double best = run(data);
  for (int i = 1; i < kRounds; ++i) best = std::min(best, run(data));
  return best;
}

void Report(const char* name, const std::string& data) {
  const double mb = static_cast<double>(data.size()) / (1 << 20);
  const double frames = mb / Best(FrameLayer, data);
  const double bare = mb / Best(BarePipeline, data);
  std::printf("%-13s %8.1f MB/s frames  %8.1f MB/s bare  ratio %.2f\n", name, frames, bare,
              frames / bare);
}

}  // namespace
}  // namespace tw

int main(int argc, char** argv) {
  const long megabytes = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 32;
  if (megabytes <= 0 || megabytes > 4096) {
    std::fprintf(stderr, "usage: bench_frames [megabytes per buffer, 1-4096]\n");
    return 2;
  }
  const size_t size = static_cast<size_t>(megabytes) << 20;
  std::printf("%ld MB per buffer, selector 1 with compression, best of %d\n", megabytes,
              tw::kRounds);
  tw::Report("compressible", tw::Compressible(size));
  tw::Report("random", tw::Random(size));
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak RSS %.1f MB\n", static_cast<double>(usage.ru_maxrss) / 1024);
  return 0;
}
