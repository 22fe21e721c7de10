// The gzip form of frame payloads on its own, per 131072-byte frame piece,
// for three kinds of data: the project's own C++ sources, the message-like
// text of the other benchmarks, and random bytes (which deflate stores).
// For each it prints the deflate and inflate rates and the compressed size
// over the input of
//   - wire:    CRLDATcrypto::GzipPayload at the frame level and
//              GunzipPayload, as every frame goes;
//   - library: Crypto++'s streaming Gzip at the same level and its Gunzip;
// and the wire's rates over the library's.
//
//   bench_gzip [megabytes per kind, default 32]
#include <cryptopp/filters.h>
#include <cryptopp/gzip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/common/bench_data.h"
#include "crypto/crypto.h"
#include "transport/frame_format.h"

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 3;  // the best of these counts

// The project's sources, repeated up to `n` bytes.
std::string SourceText(size_t n) {
  std::string all;
  for (const char* folder :
       {"crypto", "messaging", "transport", "session", "servers", "provider"}) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(
             std::filesystem::path(TW_SOURCE_DIR) / folder, ec)) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".cc" && ext != ".h") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      all += text.str();
    }
  }
  if (all.empty()) all = bench::Compressible(1 << 20);
  std::string out;
  out.reserve(n);
  while (out.size() < n) out += all.substr(0, n - out.size());
  return out;
}

struct Figures {
  double deflate_mbs = 0;
  double inflate_mbs = 0;
  double ratio = 0;
};

// Best of kRounds: the seconds `work` takes over every piece of `data`.
double BestSeconds(const std::string& data,
                   const std::function<bool(const char*, size_t, size_t)>& work) {
  double best = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = Clock::now();
    size_t index = 0;
    for (size_t at = 0; at < data.size(); at += kFramePieceBytes, ++index) {
      if (!work(data.data() + at, std::min(kFramePieceBytes, data.size() - at), index)) {
        std::fprintf(stderr, "bench_gzip: a piece did not come back unchanged\n");
        std::exit(1);
      }
    }
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

Figures Wire(const std::string& data) {
  std::vector<SecureBytes> packed((data.size() + kFramePieceBytes - 1) / kFramePieceBytes);
  size_t compressed = 0;
  Figures f;
  const double deflate = BestSeconds(data, [&](const char* p, size_t n, size_t i) {
    return CRLDATcrypto::GzipPayload(p, n, &packed[i], kFrameDeflateLevel) == 0;
  });
  for (const SecureBytes& z : packed) compressed += z.size();
  const double inflate = BestSeconds(data, [&](const char* p, size_t n, size_t i) {
    SecureBytes z = packed[i];
    return CRLDATcrypto::GunzipPayload(&z, kMaxPlainPayload) == 0 && z.size() == n &&
           std::memcmp(z.data(), p, n) == 0;
  });
  f.deflate_mbs = data.size() / 1e6 / deflate;
  f.inflate_mbs = data.size() / 1e6 / inflate;
  f.ratio = static_cast<double>(compressed) / data.size();
  return f;
}

Figures Library(const std::string& data) {
  std::vector<std::string> packed((data.size() + kFramePieceBytes - 1) / kFramePieceBytes);
  size_t compressed = 0;
  Figures f;
  const double deflate = BestSeconds(data, [&](const char* p, size_t n, size_t i) {
    packed[i].clear();
    CryptoPP::Gzip gzip(new CryptoPP::StringSink(packed[i]), kFrameDeflateLevel);
    gzip.Put(reinterpret_cast<const CryptoPP::byte*>(p), n);
    gzip.MessageEnd();
    return true;
  });
  for (const std::string& z : packed) compressed += z.size();
  std::string back;
  const double inflate = BestSeconds(data, [&](const char* p, size_t n, size_t i) {
    back.clear();
    CryptoPP::StringSource(packed[i], true, new CryptoPP::Gunzip(new CryptoPP::StringSink(back)));
    return back.size() == n && std::memcmp(back.data(), p, n) == 0;
  });
  f.deflate_mbs = data.size() / 1e6 / deflate;
  f.inflate_mbs = data.size() / 1e6 / inflate;
  f.ratio = static_cast<double>(compressed) / data.size();
  return f;
}

int Main(int argc, char** argv) {
  const int given = argc > 1 ? bench::ArgNumber(argv[1]) : 32;
  if (given <= 0 || given > 1024) {
    std::fprintf(stderr, "usage: bench_gzip [megabytes per kind, 1-1024]\n");
    return 2;
  }
  const size_t n = static_cast<size_t>(given) << 20;
  std::printf("gzip level %d per %zu-byte piece, %d MiB per kind, best of %d (MB/s)\n",
              kFrameDeflateLevel, kFramePieceBytes, given, kRounds);
  const struct {
    const char* name;
    std::string data;
  } kinds[] = {{"C++ source", SourceText(n)},
               {"message text", bench::Compressible(n)},
               {"random", bench::Random(n)}};
  for (const auto& kind : kinds) {
    const Figures wire = Wire(kind.data);
    const Figures library = Library(kind.data);
    std::printf(
        "%-13s wire: deflate %7.1f inflate %7.1f size %.3f   library: deflate %7.1f inflate "
        "%7.1f size %.3f   wire/library: deflate %.2f inflate %.2f\n",
        kind.name, wire.deflate_mbs, wire.inflate_mbs, wire.ratio, library.deflate_mbs,
        library.inflate_mbs, library.ratio, wire.deflate_mbs / library.deflate_mbs,
        wire.inflate_mbs / library.inflate_mbs);
  }
  return 0;
}

}  // namespace
}  // namespace tw

int main(int argc, char** argv) {
  return tw::Main(argc, argv);
}
