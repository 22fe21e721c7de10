// The progress of one request's file transfer, told to the host as it goes:
// "Sending NAME: 45% (12.0 of 26.7 MiB, 31 MB/s)".
//
// Sending: the hub reports every frame of the request's files to a listener
// registered under the request's message identifier. Receiving: the message
// reader hands its progress records to the inbox named after that
// identifier (the reply carries the request's), which the watch creates for
// the span of the request. Between the slices of the request's wait, and
// once more when the request is over, the waiting thread takes what came and
// turns it into notices: only for files larger than 1 MiB, at most four a
// second, and always the one that tells a file is whole (100%).
//
// Threads: a TransferWatch lives on the thread that sends the request and
// waits for it; the notice sink is called on that thread only. The hub calls
// the listener on its connection thread, and the reader puts its records
// into the inbox there; what either hears is handed over under its own lock.
#ifndef TW_SESSION_TRANSFER_PROGRESS_H_
#define TW_SESSION_TRANSFER_PROGRESS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tw {

class CRLMSGmessage;
class ProgressInbox;
class ScopedWaitSliceHook;

// Where a transfer's notices go (the text has no "Veltrane: " yet).
using TransferNoticeSink = std::function<void(const std::string& text)>;

// Files of this size or less make no notices.
constexpr uint64_t kTransferNoticeMinBytes = 1 << 20;
// The least time between two notices of a file in transit.
constexpr int64_t kTransferNoticeIntervalMs = 250;

// "VERB NAME: P% (D of S MiB, R MB/s)": P rounded down, so that 100% means
// whole; the rate over `elapsed_ms` (left out before any time has passed).
std::string TransferNoticeText(const std::string& verb, const std::string& name, uint64_t done,
                               uint64_t size, int64_t elapsed_ms);

// Decides which observations of a transfer become notices. Observations
// come in order; a new file number starts a file's clock afresh.
class TransferNotices {
 public:
  // `now_ms` is a monotonic clock in milliseconds.
  TransferNotices(std::string verb, TransferNoticeSink sink, std::function<int64_t()> now_ms);

  // File `number` (counted from 0 in the transfer), named `name`, has
  // `done` of its `size` bytes moved; `whole` when it is complete.
  void Observe(int64_t number, const std::string& name, uint64_t done, uint64_t size, bool whole);

 private:
  const std::string verb_;
  const TransferNoticeSink sink_;
  const std::function<int64_t()> now_ms_;
  int64_t number_ = -1;      // the file being moved
  int64_t started_ms_ = 0;   // when it was first seen
  bool told_whole_ = false;  // its 100% was told
  int64_t last_notice_ms_ = 0;
  bool any_notice_ = false;
};

// Watches one request's transfer while it lives (see the file comment).
// With an empty sink, or a request without an identifier, it does nothing.
class TransferWatch {
 public:
  enum Direction { kSending, kReceiving };

  // `names` are the display names of the files a sent request carries, in
  // their order (a received file's name comes with its records).
  TransferWatch(const TransferNoticeSink& sink, const CRLMSGmessage& request, Direction direction,
                std::vector<std::string> names = {});
  // Takes what is left, then stops listening.
  ~TransferWatch();
  TransferWatch(const TransferWatch&) = delete;
  TransferWatch& operator=(const TransferWatch&) = delete;

 private:
  class Listener;

  // Turns what arrived since the last call into notices.
  void Drain();

  std::string message_id_;
  std::vector<std::string> names_;
  std::unique_ptr<TransferNotices> notices_;
  std::unique_ptr<Listener> listener_;    // sending
  std::shared_ptr<ProgressInbox> inbox_;  // receiving
  std::unique_ptr<ScopedWaitSliceHook> hook_;
};

}  // namespace tw

#endif  // TW_SESSION_TRANSFER_PROGRESS_H_
