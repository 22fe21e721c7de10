// Shared by the benchmarks: test data of two kinds, memory readings,
// scratch paths, and the bare library pipeline that every frame of the wire
// goes through, without the frame layer: gzip at level 6 (the wire's own
// GzipPayload and GunzipPayload), AES-256-CBC under the channel key and the
// channel's IV, and back (decrypt, gunzip), whole or either half alone. The
// wire figures are printed beside these.
//
// Not thread-safe: one BarePipeline per thread.
#ifndef TW_BENCH_COMMON_BENCH_DATA_H_
#define TW_BENCH_COMMON_BENCH_DATA_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tw::bench {

// A channel key of the form the server hands out.
extern const char kBenchKey[];

// Text with the repetitiveness of message fields and source files.
std::string Compressible(size_t n);
// Bytes gzip cannot shrink.
std::string Random(size_t n);

// Writes a file of `size` bytes: a 4 MiB block of the kind repeated (far
// beyond gzip's 32 KiB window, so random stays incompressible), never the
// whole in memory. False when it cannot be written.
bool WriteLargeFile(const std::string& path, uint64_t size, bool random);

class BarePipeline {
 public:
  BarePipeline();
  // Carries `n` bytes there and back; the restored bytes replace `*out`.
  // False when the library failed.
  bool RoundTrip(const char* data, size_t n, std::string* out);
  // The sending half alone: gzip, then AES-256-CBC; the cipher text's
  // length, 0 when the library failed.
  size_t Seal(const char* data, size_t n);
  // The receiving half alone: AES-256-CBC decryption, then gunzip, of the
  // cipher text the last Seal made; the restored bytes replace `*out`.
  // False when the library failed.
  bool OpenSealed(std::string* out);

 private:
  uint8_t key_[32];
  uint8_t iv_[16];
  std::string cipher_;
};

// Hands the file at `path` to `piece` in frame pieces (131072 bytes, the
// last one shorter), in order. False when the file cannot be read or
// `piece` returns false.
bool ForEachPiece(const std::string& path,
                  const std::function<bool(const char* data, size_t n)>& piece);

// Seconds for the bare pipeline to carry the file at `path` in frame pieces
// there and back; negative when the bytes did not come back unchanged or the
// file could not be read.
double BarePipelineSeconds(const std::string& path);
// Seconds for the sending half alone (gzip, AES) on one thread, per frame
// piece; negative when the library failed or the file could not be read.
double BareSealSeconds(const std::string& path);

// True when the files at `a` and `b` can be read and hold the same bytes.
bool SameFile(const std::string& a, const std::string& b);

// A kB figure from /proc/<pid>/status ("VmHWM", "VmRSS"); -1 when missing.
long ProcessKilobytes(int pid, const char* field);
// The same figure of this process.
long StatusKilobytes(const char* field);

// A number given on the command line: plain decimal digits, 0 to INT_MAX;
// -1 for anything else, which every caller's range check refuses.
int ArgNumber(const char* text);
// Starts the peak resident size afresh from the current size; false when
// the system does not allow it.
bool ResetPeakResident();

// A scratch path under $TMPDIR (/tmp when unset) named after the program,
// this process and `name`.
std::string ScratchPath(const std::string& program, const std::string& name);

}  // namespace tw::bench

#endif  // TW_BENCH_COMMON_BENCH_DATA_H_
