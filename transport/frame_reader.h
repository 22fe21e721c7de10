// CIOFrameReader: the receiving half of the frame layer.
//
// The connection adds the bytes it reads from the socket and lets the reader
// parse them; the reader finds frames (transport/frame_format.h), decrypts
// and gunzips their payloads, joins the pieces of a message object and queues
// items for the message stream reader: {frame code, payload} (and the gzip
// member a file frame came as, when the options keep it). A message
// object arrives as one item, with the code of its whole or last frame; each
// file frame is an item of its own.
//
// Hostile input. Bytes that do not start a frame header are skipped one at a
// time until one of the nine frame codes appears; a header whose payload
// length exceeds kMaxFramePayload is not a frame either (one byte is skipped
// and the search goes on). Nothing is allocated from a length before that
// check. A gunzip may produce at most kMaxPlainPayload bytes, and a message
// object, whole or joined from pieces, at most the reader's message cap
// (which a server lowers for peers that have not logged on yet).
//
// Held memory. Parse stops finding frames once the queued items hold
// kMaxQueuedItemBytes (tiny frames may open to 128 KiB each), leaving the
// rest in the byte queue until the items are taken (MoreToParse).
//
// Dropped frames. A frame whose payload cannot be decrypted or gunzipped is
// dropped. So is a middle or last frame that continues no message, and a
// message whose pieces outgrow the cap. A message left unfinished (a piece
// of it dropped, or a new first, whole or file frame arriving before its
// last) is discarded, and its remaining pieces are dropped as they come. Any
// such drop makes the current Parse call report failure; parsing goes on
// with the next frame.
//
// Opening on every core. Parse first finds the complete frames in the bytes
// it has, then opens them (decrypt, gunzip) together: large ones on the
// process's frame workers (transport/frame_workers.h), small ones and a
// single one on the parsing thread. The opened payloads are then delivered
// strictly in the order the frames came, with the same joins, drops and
// items as one thread would make; a Parse returns only when no worker holds
// anything of it.
//
// Threads and locks. One thread at a time feeds and parses (the connection's
// receive thread); the item queue may be read from other threads, the key
// set from any thread, and Reset called from any thread.
//   - parse_lock_ guards the byte queue, the parse state and the message
//     being joined; AddBytes, Parse and Reset hold it.
//   - queue_lock_ guards the item queue; it is taken inside parse_lock_
//     (never the other way round) and held only to push, pop or count.
//   - open_lock_ guards the outcome of the frames being opened and the count
//     of opening jobs still queued or running; a worker takes it only to
//     store what it made.
//   - key_lock_ guards the key; it is held only to copy or replace the key,
//     never while decrypting, and key_set_ wakes a parse waiting for a key.
#ifndef TW_TRANSPORT_FRAME_READER_H_
#define TW_TRANSPORT_FRAME_READER_H_

#include <cryptopp/secblock.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "crypto/crypto.h"
#include "transport/frame_format.h"
#include "transport/frame_workers.h"

namespace tw {

// Bytes that are wiped when freed: received payloads are plain text. The
// byte queue and a message being joined grow as a vector does.
using FrameBytes = std::vector<uint8_t, CryptoPP::AllocatorWithCleanup<uint8_t>>;

// The bytes of a received payload, left in the buffer they came to be in:
// the one a frame was opened into, or the one a message was joined in. An
// opened frame's bytes are not copied again; a clear frame's are copied
// once, out of the byte queue.
class ReceivedPayload {
 public:
  // Takes the bytes of `opened`.
  explicit ReceivedPayload(SecureBytes* opened) { opened_.swap(*opened); }
  explicit ReceivedPayload(FrameBytes joined) : joined_(std::move(joined)) {}

  const uint8_t* data() const { return joined_.empty() ? opened_.data() : joined_.data(); }
  size_t size() const { return joined_.empty() ? opened_.size() : joined_.size(); }
  const uint8_t* begin() const { return data(); }
  const uint8_t* end() const { return data() + size(); }

 private:
  SecureBytes opened_;
  FrameBytes joined_;
};

// A received payload, shared and reference counted, never changed once
// queued.
using FramePayload = std::shared_ptr<const ReceivedPayload>;

// What the queued items may hold before Parse stops cutting frames: eight
// opened frames.
constexpr size_t kMaxQueuedItemBytes = 8 * kMaxPlainPayload;

class CIOFrameReader {
 public:
  struct Options {
    // How long a parse that meets an encrypted frame before the key is set
    // waits for the key (once, per frame) before it gives up.
    std::chrono::milliseconds key_wait{1000};
    // The largest message object that may be received, whole or joined
    // from pieces (SetMaxMessageBytes changes it).
    size_t max_message_bytes = size_t{64} << 20;
    // How many frames are opened at once; 0 takes FrameWorkerCount(), 1
    // opens every frame on the parsing thread.
    int workers = 0;
    // Keeps, with each middle or last file frame that came compressed, the
    // gzip member it came as (decrypted, not yet opened): a receiver that
    // later sends the same bytes can send that member again instead of
    // compressing them anew.
    bool keep_file_members = false;
  };

  CIOFrameReader();
  explicit CIOFrameReader(const Options& options);
  ~CIOFrameReader();

  CIOFrameReader(const CIOFrameReader&) = delete;
  CIOFrameReader& operator=(const CIOFrameReader&) = delete;

  // Sets the symmetric key that decrypts the frames (a copy is kept); an
  // empty key clears it. Wakes a parse that waits for the key.
  void SetKey(std::string_view key);

  // Appends received bytes to the byte queue. Parse after every call: the
  // queue keeps everything until it is parsed.
  void AddBytes(const void* bytes, size_t count);

  // Parses as far as the queued bytes allow, queuing an item for each
  // complete message object and each file frame. Returns false when this
  // call dropped anything (see the file comment), true otherwise.
  // An encrypted frame met while no key is set is waited for once (the key
  // wait of the options); when the key is still missing, the frame is
  // dropped, any message being joined is discarded, the frames after it are
  // parsed all the same (further sealed ones dropped without waiting), and
  // std::runtime_error("Symmetric key not set") is thrown at the end.
  // A frame under a selector other than 1 or 9 is dropped without waiting.
  // A clear frame while sealed frames are required (SetSealedOnly) is a
  // protocol fault: it is dropped,
  // the call returns false, and nothing more is parsed until Reset (the
  // connection must be given up; see protocol_fault).
  bool Parse();
  // Whether every frame must be sealed from now on (this end seals what it
  // sends: once a channel cipher with a nonzero selector is installed, both
  // directions are sealed). Kept by Reset, like the key.
  void SetSealedOnly(bool sealed_only);
  // A clear frame came while sealed frames were required; sticky until
  // Reset.
  bool protocol_fault() const;
  // Bytes of a frame or of a message being joined wait for the rest.
  bool HasPartial() const;
  // Parse stopped with complete frames left in the byte queue, because the
  // queued items already held kMaxQueuedItemBytes: Parse again once items
  // were taken.
  bool MoreToParse() const;

  // Takes the oldest item: returns its frame code and stores its payload in
  // `payload` (when not null), and in `member` (when not null) the gzip
  // member it came as when the options keep it, else null. Returns 0,
  // leaving both alone, when no item waits.
  uint32_t PopItem(FramePayload* payload, FramePayload* member = nullptr);

  size_t ItemCount() const;

  // Changes the message cap for the frames parsed from now on; a message
  // being joined that is already larger is discarded at its next piece.
  void SetMaxMessageBytes(size_t bytes);
  // How many messages were dropped for outgrowing the cap.
  uint64_t oversized_messages() const { return oversized_.load(); }
  // Bytes held: unparsed input, the message being joined and queued items.
  size_t BufferedBytes();

  // Forgets the queued bytes, the parse state, the message being joined and
  // every queued item, and a protocol fault. The key stays. Called from another thread, it waits
  // for a parse in progress to end (including that parse's wait for the key).
  void Reset();

 private:
  enum class State { kReadCode, kReadHeader, kReadPayload };

  // A complete frame found by Parse and not yet delivered.
  struct Found {
    enum class Outcome { kPending, kAsIs, kOpened, kDropped, kThrew };
    FrameHeader header;
    size_t offset = 0;  // of its payload in bytes_
    // Both guarded by open_lock_ while a worker may hold the frame.
    Outcome outcome = Outcome::kPending;
    std::exception_ptr failure;  // what opening threw (kThrew)
    SecureBytes plain;           // the payload opened (kOpened)
    SecureBytes member;          // the gzip member it came as, when kept
  };

  // The loop of Parse: finds frames and hands them on in batches of
  // `batch`. Returns false when anything was dropped.
  bool ParseFrames(size_t batch, SecureBytes* key, bool* key_sought, bool* key_missing);
  size_t QueuedItemBytes() const;
  // Opens the frames found so far with `key` (empty: sealed frames are
  // dropped) and delivers them in order, then forgets them. Returns false
  // when any was dropped. Called with parse_lock_ held; rethrows, in order,
  // what opening a frame threw.
  bool OpenFound(const SecureBytes& key);
  // Opens every frame found, on the workers and here; returns when all are.
  void OpenAll(const SecureBytes& key);
  // Decrypts and gunzips one payload as its header says, with `key` (empty
  // when none is to be had). Must not touch the reader's state: it may run on
  // a worker.
  // `member` (may be null) gets the gzip member of a compressed payload.
  static Found::Outcome Open(const FrameHeader& header, const uint8_t* payload,
                             const SecureBytes& key, SecureBytes* plain, SecureBytes* member);
  // The member to keep for a frame with this header, or null.
  SecureBytes* MemberToKeep(Found* found) const;
  // Waits until no opening job of this reader is queued or running.
  void WaitForOpeners();
  // Queues the payload in `bytes` as its frame code says: `bytes` gives its
  // buffer up when the payload makes an item of its own, and so does a kept
  // `member` (may be null).
  bool Deliver(uint32_t code, SecureBytes* bytes, SecureBytes* member = nullptr);
  // The key, waiting once for it when it is not set; false when it stays
  // empty.
  bool TryWaitForKey(SecureBytes* key);
  bool SealedOnly();
  void PushItem(uint32_t code, FramePayload payload, SecureBytes* member = nullptr);
  void DiscardMessage();
  void CompactBytes();

  const Options options_;
  std::atomic<size_t> max_message_bytes_;
  std::atomic<uint64_t> oversized_{0};

  mutable std::mutex parse_lock_;
  FrameBytes bytes_;                // guarded by parse_lock_: received bytes from head_ on
  size_t head_ = 0;                 // guarded by parse_lock_
  State state_ = State::kReadCode;  // guarded by parse_lock_
  FrameHeader header_;              // guarded by parse_lock_: the header being read
  FrameBytes message_;              // guarded by parse_lock_: the message being joined
  bool in_message_ = false;         // guarded by parse_lock_: a first frame was joined
  bool fault_ = false;              // guarded by parse_lock_: a clear frame after the key
  bool more_ = false;               // guarded by parse_lock_: see MoreToParse
  std::vector<Found> found_;        // guarded by parse_lock_: frames waiting to be opened
  const int workers_;
  std::shared_ptr<FrameWorkers> pool_;  // guarded by parse_lock_; acquired on first need

  std::mutex open_lock_;
  std::condition_variable opened_;  // signalled under open_lock_ when a job ends
  size_t opening_ = 0;              // guarded by open_lock_: jobs queued or running

  struct Item {
    uint32_t code;
    FramePayload payload;
    FramePayload member;  // null unless kept
  };
  mutable std::mutex queue_lock_;
  std::deque<Item> items_;  // guarded by queue_lock_
  size_t item_bytes_ = 0;   // guarded by queue_lock_: the payload and member bytes in items_

  std::mutex key_lock_;
  std::condition_variable key_set_;  // signalled under key_lock_
  SecureBytes key_;                  // guarded by key_lock_
  bool sealed_only_ = false;         // guarded by key_lock_
};

}  // namespace tw

#endif  // TW_TRANSPORT_FRAME_READER_H_
