#include "tests/fuzz/frame_message_entry.h"

#include <cstring>
#include <stdexcept>

#include "messaging/message_reader.h"
#include "tests/fuzz/frame_reader_entry.h"
#include "tests/fuzz/message_reader_entry.h"
#include "transport/frame_chunks.h"
#include "transport/frame_reader.h"

namespace tw::fuzz {
namespace {

constexpr char kKeyNotSet[] = "Symmetric key not set";

class Chain {
 public:
  explicit Chain(bool keyed) : frames_(FuzzFrameOptions()), reader_(&source_, ReaderOptions()) {
    keyed_ = keyed;
    if (keyed) frames_.SetKey(kFrameFuzzKey);
  }

  // Feeds one fragment and takes out every message it completes.
  void Feed(const uint8_t* bytes, size_t count, size_t input_size) {
    for (size_t attempt = 0;; ++attempt) {
      if (attempt > input_size) Broken("parse makes no progress");
      try {
        Take(bytes, count);
        return;
      } catch (const std::runtime_error& e) {
        if (std::strcmp(e.what(), kKeyNotSet) != 0) {
          // A bad object header: the stream is broken; a connection would
          // start afresh.
          reader_.Reset();
          return;
        }
        if (keyed_) Broken("key missing although it was set");
        // The frame that met no key is gone, and with it whatever was being
        // joined or received; the bytes behind it wait in the frame reader.
        reader_.Reset();
        bytes = nullptr;
        count = 0;
        Reparse();
      }
    }
  }

  size_t taken() const { return taken_; }

 private:
  static MessageReaderOptions ReaderOptions() {
    MessageReaderOptions options;
    options.progress_enabled = true;
    return options;
  }

  // Parses the bytes left queued in the frame reader after a throw; each
  // further frame without a key throws (and is dropped) in turn.
  void Reparse() {
    for (;;) {
      try {
        frames_.Parse();
        return;
      } catch (const std::runtime_error& e) {
        if (std::strcmp(e.what(), kKeyNotSet) != 0) Broken(e.what());
      }
    }
  }

  void Take(const uint8_t* bytes, size_t count) {
    for (;;) {
      MessagePtr message = reader_.CanExtractMessageObject(bytes, count);
      bytes = nullptr;
      count = 0;
      if (!message) {
        if (reader_.last_status() == CULMSGmessageReader::Status::kObjectDropped) continue;
        return;
      }
      ++taken_;
      RemoveNamedFiles(*message);
    }
  }

  bool keyed_ = false;
  CIOFrameReader frames_;
  FrameChunkSource source_{&frames_};
  CULMSGmessageReader reader_;
  size_t taken_ = 0;
};

}  // namespace

size_t RunFrameMessage(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  PrepareEnvironment(std::string());
  const bool keyed = (data[0] & 1) != 0;
  uint32_t seed = data[0] >> 1;
  ++data;
  --size;
  size_t taken = 0;
  {
    Chain chain(keyed);
    for (size_t at = 0; at < size;) {
      const size_t n = NextFragment(&seed, size - at);
      chain.Feed(data + at, n, size);
      at += n;
    }
    taken = chain.taken();
  }
  CheckNoScratchFiles();
  return taken;
}

int FrameMessageOneInput(const uint8_t* data, size_t size) {
  RunFrameMessage(data, size);
  return 0;
}

}  // namespace tw::fuzz
