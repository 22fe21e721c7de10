#include "transport/frame_pipeline.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "messaging/stream_format.h"
#include "transport/frame_chunks.h"
#include "transport/frame_format.h"

namespace tw {

namespace {

// Slots per worker: one being built, one read ahead or waiting to be sent.
constexpr size_t kSlotsPerWorker = 2;
constexpr size_t kMaxSlots = 16;

// The progress stage of a file chunk; -1 for chunks that report none.
int ProgressStage(uint32_t kind) {
  switch (kind) {
    case kChunkFileFirst:
      return 0;
    case kChunkFileMiddle:
      return 1;
    case kChunkFileWhole:
    case kChunkFileLast:
      return 2;
    default:
      return -1;
  }
}

bool StopRequested(const std::atomic<bool>* stop) {
  return stop != nullptr && stop->load(std::memory_order_acquire);
}

}  // namespace

FramePipeline::FramePipeline(int workers)
    : workers_(std::clamp(workers, 1, kMaxFrameWorkers)),
      buffer_(CIOBufferSimple::Create(kFrameBufferCapacity)) {
  if (workers_ > 1) {
    ring_.resize(std::min(kMaxSlots, kSlotsPerWorker * static_cast<size_t>(workers_)));
  } else {
    ring_.resize(1);  // the one chunk being read
  }
}

FramePipeline::~FramePipeline() {
  Drain();
}

FramePipeline::Built FramePipeline::BuildFrame(const OutgoingChunk& chunk,
                                               const ChannelCipher& cipher,
                                               CIOBufferSimple* buffer) {
  if (!LoadChunk(chunk, cipher.selector, cipher.compress, buffer)) return Built::kUnknownKind;
  return FilterWriteRequest(buffer, cipher.key, chunk.member) ? Built::kFrame : Built::kNotBuilt;
}

bool FramePipeline::Emit(const OutgoingChunk& chunk, CIOBufferSimple* buffer, const FrameSink& sink,
                         const SendProgress& progress) {
  const bool sent = sink(buffer->Data(), static_cast<size_t>(buffer->Length()));
  buffer->Reset();
  if (!sent) return false;
  const int stage = ProgressStage(chunk.kind);
  if (stage >= 0 && progress) progress(stage, chunk.file_position, chunk.file_size);
  return true;
}

void FramePipeline::Submit(Slot* slot, const ChannelCipher* cipher) {
  if (!slot->buffer) slot->buffer = CIOBufferSimple::Create(kFrameBufferCapacity);
  slot->built = Built::kPending;
  if (!pool_) pool_ = FrameWorkers::Acquire(workers_);
  slot->failure = nullptr;
  if (pool_->threads() == 0) {
    // No thread could be started: built here, in order all the same.
    slot->built = BuildFrame(slot->chunk, *cipher, slot->buffer.get());
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++running_;
  }
  try {
    SubmitJob(slot, cipher);
  } catch (...) {
    // Not queued (no memory for the job): built here, in order all the same.
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --running_;
    }
    slot->built = BuildFrame(slot->chunk, *cipher, slot->buffer.get());
  }
}

void FramePipeline::SubmitJob(Slot* slot, const ChannelCipher* cipher) {
  pool_->Submit([this, slot, cipher] {
    Built built = Built::kNotBuilt;
    std::exception_ptr failure;
    if (!abandon_.load(std::memory_order_acquire)) {
      try {
        built = BuildFrame(slot->chunk, *cipher, slot->buffer.get());
      } catch (...) {
        // Rethrown on the sending thread, where one thread would have met it.
        failure = std::current_exception();
        built = Built::kThrew;
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    slot->built = built;
    slot->failure = std::move(failure);
    --running_;
    // Under the lock: the pipeline may be destroyed as soon as it sees the
    // count reach zero.
    built_.notify_all();
  });
}

void FramePipeline::Drain() {
  abandon_.store(true, std::memory_order_release);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    built_.wait(lock, [this] { return running_ == 0; });
  }
  for (; in_flight_ > 0; --in_flight_) {
    Slot& slot = ring_[head_];
    if (slot.buffer) slot.buffer->Reset();
    head_ = (head_ + 1) % ring_.size();
  }
  head_ = 0;
  abandon_.store(false, std::memory_order_release);
}

bool FramePipeline::Send(MessageStream* stream, const ChannelCipher& cipher,
                         const std::atomic<bool>* stop, const FrameSink& sink,
                         const SendProgress& progress, std::string* error) {
  // Whatever way this returns (a throw from the stream or the sink too), no
  // job of this message stays with the workers.
  struct DrainOnExit {
    FramePipeline* pipeline;
    ~DrainOnExit() { pipeline->Drain(); }
  } drain{this};
  auto fail = [error](const char* what) {
    if (error != nullptr) *error = what;
    return false;
  };
  const size_t slots = ring_.size();
  bool more = true;
  for (;;) {
    bool head_ready = false;
    if (in_flight_ > 0) {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!more || in_flight_ == slots) {
        // Nothing else to do before the oldest frame is built.
        built_.wait(lock, [&] { return ring_[head_].built != Built::kPending; });
      }
      head_ready = ring_[head_].built != Built::kPending;
    }
    if (head_ready) {
      Slot& slot = ring_[head_];
      head_ = (head_ + 1) % slots;
      --in_flight_;
      // A file frame built before the stop flag was set is not sent after
      // it was seen: as with one thread, nothing of the files follows.
      if (IsFileChunk(slot.chunk.kind) && StopRequested(stop)) return true;
      if (slot.built == Built::kThrew) std::rethrow_exception(std::move(slot.failure));
      if (slot.built == Built::kUnknownKind) return fail("a chunk of an unknown kind");
      if (slot.built != Built::kFrame) return fail("a frame could not be built");
      if (!Emit(slot.chunk, slot.buffer.get(), sink, progress)) {
        return fail("the connection did not take a frame");
      }
      continue;
    }
    if (!more) break;
    Slot& slot = ring_[(head_ + in_flight_) % slots];
    if (!stream->NextChunk(&slot.chunk)) {
      more = false;
      continue;
    }
    if (in_flight_ == 0 && (workers_ <= 1 || slot.chunk.bytes.size() < kParallelFrameBytes)) {
      // Nothing waits ahead of it: built and sent here, without a hand-off.
      switch (BuildFrame(slot.chunk, cipher, buffer_.get())) {
        case Built::kFrame:
          break;
        case Built::kUnknownKind:
          return fail("a chunk of an unknown kind");
        default:
          return fail("a frame could not be built");
      }
      if (!Emit(slot.chunk, buffer_.get(), sink, progress)) {
        return fail("the connection did not take a frame");
      }
      continue;
    }
    Submit(&slot, &cipher);
    ++in_flight_;
  }
  return true;
}

}  // namespace tw
