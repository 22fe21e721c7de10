#include "bench/support/bench_support.h"

#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/gzip.h>
#include <cryptopp/modes.h>
#include <cryptopp/sha.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

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

double BarePipelineSeconds(const std::string& data) {
  const auto start = std::chrono::steady_clock::now();
  const std::string passphrase = kBenchKey;
  byte key[32], digest[32], iv[16];
  CryptoPP::SHA256().CalculateDigest(key, reinterpret_cast<const byte*>(passphrase.data()),
                                     passphrase.size());
  CryptoPP::SHA256().CalculateDigest(digest, reinterpret_cast<const byte*>("Veltrane"), 8);
  for (int i = 0; i < 16; ++i) iv[i] = digest[i] ^ digest[i + 16];
  bool same = true;
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
    same = same && plain.size() == n && data.compare(at, n, plain) == 0;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!same) {
    std::fprintf(stderr, "bench: the bare pipeline lost the data\n");
    std::exit(1);
  }
  return seconds;
}

long StatusKilobytes(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  }
  return -1;
}

bool ResetPeakResident() {
  const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool reset = ::write(fd, "5", 1) == 1;
  ::close(fd);
  return reset;
}

std::string ScratchPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  const std::string folder = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
  return folder + "/bench." + std::to_string(::getpid()) + "." + name;
}

}  // namespace tw::bench
