// Throughput of the wire path, in one run, for a compressible buffer and a
// random one:
//   - frames:   a buffer through WriteMessageFrames (selector 1, compression
//               on) into a CIOFrameReader in memory, out as one item;
//   - pipeline: the whole stream: a message naming a file, cut into chunks
//               by MessageStream, each framed by FilterWriteRequest
//               (selector 1, compressed), read back by a CIOFrameReader that
//               a FrameChunkSource hands to a CULMSGmessageReader, the
//               file landing in a scratch file;
//   - bare:     the library pipeline alone over the same 131072-byte pieces
//               (gzip at level 6, AES-256-CBC, and back), without headers,
//               buffers or queues.
// Prints the throughputs and their ratios to the bare pipeline (the aim is
// at least 0.8). Then the pipeline runs once more for the file size and four
// times it, each in a child process of its own, which prints how far its
// peak resident size grew during the transfer: the stream holds a chunk at a
// time, so that growth must not follow the file size.
//
// Files (the sent one and the received one) live under $TMPDIR (/tmp when
// unset) and are removed.
//
//   bench_frames [megabytes per buffer, default 16]
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/common/bench_data.h"
#include "messaging/field_ids.h"
#include "messaging/message.h"
#include "messaging/message_reader.h"
#include "messaging/message_writer.h"
#include "transport/buffer.h"
#include "transport/frame_chunks.h"
#include "transport/frame_format.h"
#include "transport/frame_reader.h"
#include "transport/frame_writer.h"

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kKey = bench::kBenchKey;
using bench::Compressible;
using bench::Random;
constexpr int kRounds = 3;  // the best of these counts

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
double BarePipelineOver(const std::string& data) {
  const auto start = Clock::now();
  bench::BarePipeline pipeline;
  std::string out, plain;
  out.reserve(data.size());
  bool ok = true;
  for (size_t at = 0; at < data.size() && ok; at += kFramePieceBytes) {
    const size_t n = std::min(kFramePieceBytes, data.size() - at);
    ok = pipeline.RoundTrip(data.data() + at, n, &plain);
    out += plain;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!ok || out != data) {
    std::fprintf(stderr, "bench_frames: the bare pipeline lost the data\n");
    std::exit(1);
  }
  return seconds;
}

// Writes `data` to `path`; exits on failure.
void WriteWhole(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out.flush()) {
    std::fprintf(stderr, "bench_frames: cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

// True when the file at `path` holds what `expected` yields, block by block
// (`expected` is called with each block's offset and length).
template <typename Expected>
bool FileMatches(const std::string& path, uint64_t size, const Expected& expected) {
  std::ifstream in(path, std::ios::binary);
  std::string block(1 << 20, '\0');
  uint64_t at = 0;
  while (in.read(&block[0], static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
    const size_t n = static_cast<size_t>(in.gcount());
    if (at + n > size || !expected(at, block.data(), n)) return false;
    at += n;
  }
  return at == size;
}

// Carries the file at `path` (of `size` bytes) once through the whole stream
// and returns the seconds it took; the received scratch file is compared with
// `expected` afterwards (outside the time) and removed.
template <typename Expected>
double Pipeline(const std::string& path, uint64_t size, const Expected& expected) {
  const auto start = Clock::now();
  CIOFrameReader frames;
  frames.SetKey(kKey);
  FrameChunkSource source(&frames);
  CULMSGmessageReader reader(&source, MessageReaderOptions());

  MessagePtr message = NewMessage();
  message->SetString(COMMAND, "DOCUMENTCMDR");
  message->SetRawField(ParameterId(6), FIELD_FILELIST, path.data(), path.size());
  MessageObject object;
  if (!WriteMessageObject(*message, nullptr, &object)) {
    std::fprintf(stderr, "bench_frames: the message could not be written\n");
    std::exit(1);
  }
  MessageStream stream(std::move(object), nullptr);
  BufferRef buffer = CIOBufferSimple::Create(kFrameBufferCapacity);
  OutgoingChunk chunk;
  std::vector<MessagePtr> received;
  bool framed = true;
  while (stream.NextChunk(&chunk)) {
    framed = LoadChunk(chunk, kCipherAes, true, buffer.get()) &&
             FilterWriteRequest(buffer.get(), kKey) && framed;
    for (MessagePtr m = reader.CanExtractMessageObject(buffer->Data(), buffer->Length()); m;
         m = reader.CanExtractMessageObject(nullptr, 0)) {
      received.push_back(m);
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  std::vector<std::string> paths;
  if (received.size() == 1) received[0]->GetStringList(ParameterId(6), &paths, "?");
  const bool whole = framed && received.size() == 1 && received[0]->GetErrorCode() == 0 &&
                     paths.size() == 1 && FileMatches(paths[0], size, expected);
  for (const std::string& p : paths) ::unlink(p.c_str());
  if (!whole) {
    std::fprintf(stderr, "bench_frames: the message stream lost the file\n");
    std::exit(1);
  }
  return seconds;
}

template <typename Run>
double Best(const Run& run) {
  double best = run();
  for (int i = 1; i < kRounds; ++i) best = std::min(best, run());
  return best;
}

std::string ScratchPath(const char* name) {
  return bench::ScratchPath("bench_frames", name);
}

void Report(const char* name, const std::string& data) {
  const std::string path = ScratchPath(name);
  WriteWhole(path, data);
  const auto expected = [&data](uint64_t at, const char* bytes, size_t n) {
    return std::memcmp(data.data() + at, bytes, n) == 0;
  };
  const double mb = static_cast<double>(data.size()) / (1 << 20);
  const double frames = mb / Best([&] { return FrameLayer(data); });
  const double pipeline = mb / Best([&] { return Pipeline(path, data.size(), expected); });
  const double bare = mb / Best([&] { return BarePipelineOver(data); });
  ::unlink(path.c_str());
  std::printf(
      "%-13s frames %7.1f MB/s  pipeline %7.1f MB/s  bare %7.1f MB/s  "
      "ratio frames/bare %.2f  pipeline/bare %.2f\n",
      name, frames, pipeline, bare, frames / bare, pipeline / bare);
}

// In a child process: resets the peak resident size, carries the file at
// `path` through the stream and prints the peak and how far it grew.
void MeasureMemory(const char* name, const std::string& path, uint64_t size) {
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child < 0) {
    std::perror("bench_frames: fork");
    std::exit(1);
  }
  if (child == 0) {
    const bool reset = bench::ResetPeakResident();
    const long before = reset ? bench::StatusKilobytes("VmRSS") : 0;
    // Compared against what the file holds: re-read in blocks, never whole.
    std::ifstream original(path, std::ios::binary);
    std::string block;
    const auto expected = [&](uint64_t, const char* bytes, size_t n) {
      block.resize(n);
      return static_cast<bool>(original.read(&block[0], static_cast<std::streamsize>(n))) &&
             std::memcmp(block.data(), bytes, n) == 0;
    };
    const double seconds = Pipeline(path, size, expected);
    const long peak = bench::StatusKilobytes("VmHWM");
    std::printf("%-13s %5llu MB file: pipeline %7.1f MB/s, peak RSS %.1f MB, growth %s%.1f MB\n",
                name, static_cast<unsigned long long>(size >> 20),
                static_cast<double>(size) / (1 << 20) / seconds, peak / 1024.0,
                reset ? "" : "(peak not reset) ", (peak - before) / 1024.0);
    std::fflush(stdout);
    std::_Exit(0);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "bench_frames: the %s measurement failed\n", name);
    std::exit(1);
  }
}

// Writes a file of `size` bytes under $TMPDIR in blocks (never the whole of
// it in memory) and returns its path.
std::string WriteLargeFile(const char* name, uint64_t size, bool random) {
  const std::string path = ScratchPath(name);
  if (!bench::WriteLargeFile(path, size, random)) {
    std::fprintf(stderr, "bench_frames: cannot write %s\n", path.c_str());
    std::exit(1);
  }
  return path;
}

}  // namespace
}  // namespace tw

int main(int argc, char** argv) {
  const long megabytes = argc > 1 ? tw::bench::ArgNumber(argv[1]) : 16;
  if (megabytes <= 0 || megabytes > 1024) {
    std::fprintf(stderr, "usage: bench_frames [megabytes per buffer, 1-1024]\n");
    return 2;
  }
  const uint64_t size = static_cast<uint64_t>(megabytes) << 20;

  // Memory first, before this process holds any large buffer.
  std::printf("peak resident size of the pipeline, one child process per run\n");
  for (const bool random : {false, true}) {
    const char* name = random ? "random" : "compressible";
    for (const uint64_t n : {size, size * 4}) {
      const std::string path = tw::WriteLargeFile(name, n, random);
      tw::MeasureMemory(name, path, n);
      ::unlink(path.c_str());
    }
  }

  std::printf("\n%ld MB per buffer, selector 1 with compression, best of %d\n", megabytes,
              tw::kRounds);
  tw::Report("compressible", tw::Compressible(size));
  tw::Report("random", tw::Random(size));
  return 0;
}
