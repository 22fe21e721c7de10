#include "bench/common/bench_data.h"

#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>
#include <cryptopp/sha.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <random>

#include "crypto/crypto.h"
#include "platform/decimal.h"
#include "transport/frame_format.h"

namespace tw::bench {

using CryptoPP::byte;

const char kBenchKey[] = "0123456789ABCDEF0123456789ABCDEF89ABCDEF0123456789ABCDEF01234567";

std::string Compressible(size_t n) {
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

bool WriteLargeFile(const std::string& path, uint64_t size, bool random) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const std::string block = random ? Random(size_t{4} << 20) : Compressible(size_t{4} << 20);
  for (uint64_t at = 0; at < size; at += block.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - at));
    out.write(block.data(), static_cast<std::streamsize>(n));
  }
  return static_cast<bool>(out.flush());
}

BarePipeline::BarePipeline() {
  byte digest[32];
  CryptoPP::SHA256().CalculateDigest(key_, reinterpret_cast<const byte*>(kBenchKey),
                                     sizeof kBenchKey - 1);
  CryptoPP::SHA256().CalculateDigest(digest, reinterpret_cast<const byte*>("Veltrane"), 8);
  for (int i = 0; i < 16; ++i) iv_[i] = digest[i] ^ digest[i + 16];
}

bool BarePipeline::RoundTrip(const char* data, size_t n, std::string* out) {
  return Seal(data, n) != 0 && OpenSealed(out);
}

size_t BarePipeline::Seal(const char* data, size_t n) {
  try {
    cipher_.clear();
    SecureBytes zipped;
    if (CRLDATcrypto::GzipPayload(data, n, &zipped, kFrameDeflateLevel) != 0) return 0;
    CryptoPP::CBC_Mode<CryptoPP::AES>::Encryption enc(key_, sizeof key_, iv_);
    CryptoPP::ArraySource(
        zipped.data(), zipped.size(), true,
        new CryptoPP::StreamTransformationFilter(enc, new CryptoPP::StringSink(cipher_)));
    return cipher_.size();
  } catch (const std::exception&) {
    return 0;
  }
}

bool BarePipeline::OpenSealed(std::string* out) {
  try {
    out->clear();
    CryptoPP::CBC_Mode<CryptoPP::AES>::Decryption dec(key_, sizeof key_, iv_);
    std::string zipped;
    CryptoPP::StringSource(
        cipher_, true,
        new CryptoPP::StreamTransformationFilter(dec, new CryptoPP::StringSink(zipped)));
    SecureBytes plain(reinterpret_cast<const byte*>(zipped.data()), zipped.size());
    if (CRLDATcrypto::GunzipPayload(&plain, kMaxPlainPayload) != 0) return false;
    out->assign(plain.begin(), plain.end());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool ForEachPiece(const std::string& path,
                  const std::function<bool(const char* data, size_t n)>& piece) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string buffer(kFramePieceBytes, '\0');
  while (in.read(&buffer[0], static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
    if (!piece(buffer.data(), static_cast<size_t>(in.gcount()))) return false;
  }
  return in.eof();
}

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

double BarePipelineSeconds(const std::string& path) {
  const auto start = std::chrono::steady_clock::now();
  BarePipeline pipeline;
  std::string back;
  const bool carried = ForEachPiece(path, [&](const char* data, size_t n) {
    return pipeline.RoundTrip(data, n, &back) && back.size() == n &&
           std::memcmp(back.data(), data, n) == 0;
  });
  return carried ? SecondsSince(start) : -1;
}

double BareSealSeconds(const std::string& path) {
  const auto start = std::chrono::steady_clock::now();
  BarePipeline pipeline;
  const bool sealed =
      ForEachPiece(path, [&](const char* data, size_t n) { return pipeline.Seal(data, n) != 0; });
  return sealed ? SecondsSince(start) : -1;
}

bool SameFile(const std::string& a, const std::string& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa || !fb) return false;
  std::string ba(1 << 20, '\0'), bb(1 << 20, '\0');
  for (;;) {
    fa.read(&ba[0], static_cast<std::streamsize>(ba.size()));
    fb.read(&bb[0], static_cast<std::streamsize>(bb.size()));
    if (fa.gcount() != fb.gcount()) return false;
    if (fa.gcount() == 0) return fa.eof() && fb.eof();
    if (std::memcmp(ba.data(), bb.data(), static_cast<size_t>(fa.gcount())) != 0) return false;
  }
}

namespace {

long KilobytesIn(const std::string& status_path, const char* field) {
  std::ifstream in(status_path);
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) {
      return DecimalToInt(std::string_view(line).substr(prefix.size()));
    }
  }
  return -1;
}

}  // namespace

long ProcessKilobytes(int pid, const char* field) {
  return KilobytesIn("/proc/" + std::to_string(pid) + "/status", field);
}

long StatusKilobytes(const char* field) {
  return KilobytesIn("/proc/self/status", field);
}

int ArgNumber(const char* text) {
  uint64_t value = 0;
  if (text == nullptr || !ParseDigits(text, INT_MAX, &value)) return -1;
  return static_cast<int>(value);
}

bool ResetPeakResident() {
  const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool reset = ::write(fd, "5", 1) == 1;
  ::close(fd);
  return reset;
}

std::string ScratchPath(const std::string& program, const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  const std::string folder = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
  return folder + "/" + program + "." + std::to_string(::getpid()) + "." + name;
}

}  // namespace tw::bench
