// The sending pipeline: one message's chunks become frames on several cores
// and still leave in order, byte for byte what one thread would send.
//
// Every frame is sealed on its own (its payload one gzip member with a fixed
// header, and under selector 1 its own CBC chain from the channel's fixed
// IV), so frames can be built in any order. FramePipeline reads the chunks
// of a message on the calling thread into a bounded ring of slots, lets the
// process's frame workers compress and encrypt them, and hands the finished
// frames to the sink strictly in order, also on the calling thread; the
// progress notices follow each frame as they always did. Memory stays
// bounded by the ring (twice the worker count, at most 16 slots of one chunk
// and one frame buffer each) whatever the file sizes.
//
// Small chunks are built on the calling thread when nothing is in flight: a
// request of a few hundred bytes never waits for a hand-off, and the workers
// are started only when a large payload first comes (FrameWorkers below).
//
// Threads. A FramePipeline is used by one thread at a time (the sending
// thread of a connection); its slots pass to a worker and back under its
// mutex. FrameWorkers is shared by every pipeline of the process: its queue
// is guarded by its own mutex, and it is stopped (its threads joined) when
// the last pipeline that used it goes. A pipeline waits for its jobs before
// every return, so no job outlives the message it belongs to.
#ifndef TW_TRANSPORT_FRAME_PIPELINE_H_
#define TW_TRANSPORT_FRAME_PIPELINE_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "messaging/file_sender.h"
#include "messaging/message_writer.h"
#include "transport/buffer.h"
#include "transport/frame_workers.h"
#include "transport/frame_writer.h"

namespace tw {

// How outgoing frames are sealed: the channel key, the encryption selector
// (0 clear, 1 or 9) and the compression switch. A nonzero selector forces
// compression on.
struct ChannelCipher {
  std::string key;
  uint32_t selector = 0;
  bool compress = false;
};

// Progress of a file being sent, after each of its frames went out: stage 0
// for its first frame, 1 for a middle one, 2 for the last (a file of one
// frame reports 2), with the position reached and the file's size.
using SendProgress = std::function<void(int stage, uint64_t position, uint64_t size)>;

class FramePipeline {
 public:
  // `workers` at most 1 builds every frame on the sending thread.
  explicit FramePipeline(int workers);
  ~FramePipeline();
  FramePipeline(const FramePipeline&) = delete;
  FramePipeline& operator=(const FramePipeline&) = delete;

  // Frames every chunk of `stream` and hands the frames to `sink` in order,
  // exactly as one thread would: the same bytes, the same progress notices
  // after each file frame, the same end. `stop` (may be null) is the
  // connection's stop-file-transfer flag: the stream stops reading once it
  // is set, and no file frame is handed over after it was seen set, even
  // one already built. True when every frame was handed over (also when the
  // stop flag ended the files); false as soon as one could not be built or
  // the sink refused it, nothing after it sent, the cause in `*error` when
  // given. Returns only when no worker holds anything of this message.
  bool Send(MessageStream* stream, const ChannelCipher& cipher, const std::atomic<bool>* stop,
            const FrameSink& sink, const SendProgress& progress, std::string* error);

  int workers() const { return workers_; }

 private:
  enum class Built { kPending, kFrame, kUnknownKind, kNotBuilt, kThrew };
  struct Slot {
    OutgoingChunk chunk;
    BufferRef buffer;
    // Both guarded by mutex_ while the slot is in flight.
    Built built = Built::kPending;
    std::exception_ptr failure;  // what building threw (kThrew)
  };

  // Builds the frame of `chunk` in `buffer`; throws what LoadChunk throws.
  static Built BuildFrame(const OutgoingChunk& chunk, const ChannelCipher& cipher,
                          CIOBufferSimple* buffer);
  // Hands `buffer`'s frame to the sink and reports progress; false when the
  // sink refused it.
  static bool Emit(const OutgoingChunk& chunk, CIOBufferSimple* buffer, const FrameSink& sink,
                   const SendProgress& progress);
  void Submit(Slot* slot, const ChannelCipher* cipher);
  void SubmitJob(Slot* slot, const ChannelCipher* cipher);
  // Waits until no job of this pipeline is queued or running; the slots in
  // flight are dropped unsent.
  void Drain();

  const int workers_;
  BufferRef buffer_;  // the sending thread's own, for frames built inline
  std::vector<Slot> ring_;
  size_t head_ = 0;                     // sending thread only: the oldest slot in flight
  size_t in_flight_ = 0;                // sending thread only
  std::shared_ptr<FrameWorkers> pool_;  // sending thread only; acquired on first need

  std::mutex mutex_;
  std::condition_variable built_;     // signalled under mutex_ when a slot is done
  size_t running_ = 0;                // guarded by mutex_: jobs queued or running
  std::atomic<bool> abandon_{false};  // jobs not yet started skip their work
};

}  // namespace tw

#endif  // TW_TRANSPORT_FRAME_PIPELINE_H_
