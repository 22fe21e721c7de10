// What the benchmark programs share: test data of two kinds, the bare
// library pipeline (gzip level 6 and AES-256-CBC over 131072-byte pieces,
// and back) that every wire throughput is compared with, and readings of
// this process's resident memory.
#ifndef TW_BENCH_SUPPORT_BENCH_SUPPORT_H_
#define TW_BENCH_SUPPORT_BENCH_SUPPORT_H_

#include <cstddef>
#include <string>

namespace tw::bench {

// The channel key of the benchmarks (64 upper-case hex characters).
extern const char kBenchKey[];

// Text with the repetitiveness of message fields and source files.
std::string Compressible(size_t n);
// Bytes that do not compress.
std::string Random(size_t n);

// Seconds for the bare pipeline to carry `data` once; exits when it loses
// the data.
double BarePipelineSeconds(const std::string& data);

// A kB figure from /proc/self/status ("VmHWM", "VmRSS"); -1 when missing.
long StatusKilobytes(const char* field);
// Starts the peak resident size afresh from the current size; false when
// the system does not allow it.
bool ResetPeakResident();

// A scratch path under $TMPDIR (/tmp when unset) named after `name` and
// this process.
std::string ScratchPath(const std::string& name);

}  // namespace tw::bench

#endif  // TW_BENCH_SUPPORT_BENCH_SUPPORT_H_
