#include "tests/fuzz/message_reader_entry.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "messaging/stream_format.h"

namespace tw::fuzz {
namespace {

std::string& ScratchFolder() {
  static std::string folder;
  return folder;
}

}  // namespace

void RemoveNamedFiles(const CRLMSGmessage& message) {
  std::vector<uint32_t> ids;
  message.GetFieldIds(&ids);
  for (uint32_t id : ids) {
    std::vector<std::string> paths;
    message.GetStringList(id, &paths, "?");
    for (const std::string& path : paths) {
      if (path.rfind(ScratchFolder() + "/", 0) == 0) ::unlink(path.c_str());
    }
  }
}

std::string& PrivateRoot() {
  static std::string root;
  return root;
}

void RemovePrivateRoot() {
  std::error_code ignored;
  std::filesystem::remove_all(PrivateRoot(), ignored);
}

void PrepareEnvironment(const std::string& scratch_folder) {
  if (!scratch_folder.empty()) {
    ScratchFolder() = scratch_folder;
    setenv("TMPDIR", scratch_folder.c_str(), 1);
    return;
  }
  if (!ScratchFolder().empty()) return;
  // A memory file system where there is one: received files, stores and
  // sockets come and go millions of times.
  std::string root =
      access("/dev/shm", W_OK) == 0 ? "/dev/shm/twfuzz-XXXXXX" : "/tmp/twfuzz-XXXXXX";
  if (mkdtemp(&root[0]) == nullptr) std::abort();
  PrivateRoot() = root;
  std::atexit(RemovePrivateRoot);
  ScratchFolder() = root + "/tmp";
  const std::string runtime = root + "/runtime";
  if (mkdir(ScratchFolder().c_str(), 0700) != 0 || mkdir(runtime.c_str(), 0700) != 0) std::abort();
  setenv("TMPDIR", ScratchFolder().c_str(), 1);
  setenv("VELTRANE_RUNTIME_DIR", runtime.c_str(), 1);
  setenv("VELTRANE_DEBUG_OUTPUT", "/dev/null", 1);
}

void Drain(CULMSGmessageReader* reader, const uint8_t* bytes, size_t count) {
  for (;;) {
    MessagePtr message;
    try {
      message = reader->CanExtractMessageObject(bytes, count);
    } catch (const std::runtime_error&) {
      reader->Reset();
      return;
    }
    bytes = nullptr;
    count = 0;
    if (!message) {
      // A dropped object may leave more to read; a null without one means
      // the reader needs more chunks.
      if (reader->last_status() != CULMSGmessageReader::Status::kObjectDropped) return;
      continue;
    }
    RemoveNamedFiles(*message);
  }
}

void CheckNoScratchFiles() {
  DIR* dir = opendir(ScratchFolder().c_str());
  if (dir == nullptr) std::abort();
  int entries = 0;
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") ++entries;
  }
  closedir(dir);
  if (entries != 0) std::abort();
}

int FuzzMessageReader(const uint8_t* data, size_t size) {
  static const uint32_t kKinds[] = {kChunkObject,     kChunkObjectFirst, kChunkObjectMiddle,
                                    kChunkObjectLast, kChunkFileWhole,   kChunkFileFirst,
                                    kChunkFileMiddle, kChunkFileLast,    kChunkFileFailed};
  if (ScratchFolder().empty()) PrepareEnvironment(std::string());
  {
    ChunkQueue queue;
    MessageReaderOptions options;
    options.progress_enabled = true;
    CULMSGmessageReader reader(&queue, options);
    size_t at = 0;
    while (at + 3 <= size) {
      const uint8_t selector = data[at] % 10;
      size_t length = (size_t{data[at + 1]} << 8) | data[at + 2];
      at += 3;
      if (length > size - at) length = size - at;
      const uint8_t byte = 0;
      if (selector == 9) {
        queue.ReportFramingFailure();
        Drain(&reader, &byte, 1);
      } else {
        queue.Push(kKinds[selector], std::string(reinterpret_cast<const char*>(data + at), length));
        Drain(&reader, nullptr, 0);
      }
      at += length;
    }
  }
  CheckNoScratchFiles();
  return 0;
}

}  // namespace tw::fuzz
