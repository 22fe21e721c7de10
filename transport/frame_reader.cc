#include "transport/frame_reader.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "platform/debug_output.h"

namespace tw {

namespace {

// Consumed bytes are moved out of the byte queue once they make up at least
// half of it and at least this much, so that feeding a byte at a time does
// not move the queue on every call.
constexpr size_t kCompactThreshold = 4096;

// An empty byte queue keeps at most this much room for the next bytes.
constexpr size_t kKeptQueueBytes = 2 * kFrameBufferCapacity;

// Frames found per worker before they are opened together, and at most.
constexpr size_t kFoundPerWorker = 2;
constexpr size_t kMaxFound = 16;

// Appends in one memcpy: under an allocator of its own (the wiping one),
// std::vector copies a range a byte at a time, which cost more than opening
// the frame did on a get.
void AppendBytes(FrameBytes* to, const uint8_t* from, size_t n) {
  if (n == 0) return;
  const size_t old = to->size();
  to->resize(old + n);
  std::memcpy(to->data() + old, from, n);
}

std::string_view KeyView(const SecureBytes& key) {
  return std::string_view(reinterpret_cast<const char*>(key.data()), key.size());
}

}  // namespace

CIOFrameReader::CIOFrameReader() : CIOFrameReader(Options()) {}

CIOFrameReader::CIOFrameReader(const Options& options)
    : options_(options),
      max_message_bytes_(options.max_message_bytes),
      workers_(std::clamp(options.workers > 0 ? options.workers : FrameWorkerCount(), 1,
                          kMaxFrameWorkers)) {}

CIOFrameReader::~CIOFrameReader() = default;

void CIOFrameReader::SetKey(std::string_view key) {
  std::lock_guard<std::mutex> lock(key_lock_);
  key_.Assign(reinterpret_cast<const CryptoPP::byte*>(key.data()), key.size());
  key_set_.notify_all();
}

void CIOFrameReader::SetSealedOnly(bool sealed_only) {
  std::lock_guard<std::mutex> lock(key_lock_);
  sealed_only_ = sealed_only;
}

void CIOFrameReader::AddBytes(const void* bytes, size_t count) {
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(parse_lock_);
  CompactBytes();
  const auto* in = static_cast<const uint8_t*>(bytes);
  AppendBytes(&bytes_, in, count);
}

void CIOFrameReader::CompactBytes() {
  if (head_ == bytes_.size()) {
    // Everything was parsed: a queue grown by large reads is given back, so
    // that a connection that has gone quiet holds little.
    if (bytes_.capacity() > kKeptQueueBytes) {
      FrameBytes().swap(bytes_);
    } else {
      bytes_.clear();
    }
    head_ = 0;
  } else if (head_ >= kCompactThreshold && head_ >= bytes_.size() - head_) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
}

bool CIOFrameReader::Parse() {
  std::lock_guard<std::mutex> lock(parse_lock_);
  more_ = false;
  bool ok = true;
  // The frames after one that could not be opened for want of a key are
  // still parsed (a good reply must not wait behind a dropped frame); the
  // key is waited for once per call, and the failure reported at the end.
  bool key_missing = false;
  bool key_sought = false;  // the key was asked for in this call
  SecureBytes key;
  // Enough frames to keep every worker busy twice over; few enough that
  // what they open stays small. One worker opens each frame as it is found,
  // as it always did.
  const size_t batch =
      workers_ == 1 ? 1 : std::min(kMaxFound, kFoundPerWorker * static_cast<size_t>(workers_));
  // Room for the whole batch now, so that finding a frame never allocates.
  found_.reserve(batch);
  try {
    ok = ParseFrames(batch, &key, &key_sought, &key_missing);
  } catch (...) {
    // Frames found but not handed on are found again by the next call.
    if (!found_.empty()) {
      head_ = found_.front().offset - kFrameHeaderBytes;
      state_ = State::kReadCode;
      found_.clear();
    }
    throw;
  }
  CompactBytes();
  if (key_missing) throw std::runtime_error("Symmetric key not set");
  return ok;
}

bool CIOFrameReader::ParseFrames(size_t batch, SecureBytes* key, bool* key_sought,
                                 bool* key_missing) {
  bool ok = true;
  for (;;) {
    if (fault_) {
      // The stream is broken for good: nothing after the fault is read.
      bytes_.clear();
      head_ = 0;
      ok = false;
      break;
    }
    const size_t available = bytes_.size() - head_;
    const uint8_t* at = bytes_.data() + head_;
    if (state_ == State::kReadCode) {
      if (available < 4) break;
      if (QueuedItemBytes() >= kMaxQueuedItemBytes) {
        more_ = true;
        break;
      }
      if (IsFrameCode(GetFrameWord(at))) {
        state_ = State::kReadHeader;
      } else {
        ++head_;  // resynchronise a byte at a time
      }
    } else if (state_ == State::kReadHeader) {
      if (available < kFrameHeaderBytes) break;
      const FrameHeader header = DecodeFrameHeader(at);
      if (header.length > kMaxFramePayload) {
        // Not a frame after all: look for the next code one byte further.
        ++head_;
        state_ = State::kReadCode;
        ok = false;
        continue;
      }
      header_ = header;
      head_ += kFrameHeaderBytes;
      state_ = State::kReadPayload;
    } else {
      if (available < header_.length) break;
      if (header_.selector == kCipherClear && SealedOnly()) {
        // Once the channel key is installed every frame is sealed: a clear
        // one was not written by the peer we keyed. What came before it is
        // still delivered.
        if (!OpenFound(*key)) ok = false;
        fault_ = true;
        DiscardMessage();
        ok = false;
        continue;
      }
      if (!*key_sought &&
          (header_.selector == kCipherAes || header_.selector == kCipherPassPhrase)) {
        // The first sealed frame of the call: what came before it is
        // delivered before the wait for the key, so that a clear reply never
        // waits for a key it does not need.
        if (!OpenFound(*key)) ok = false;
        *key_sought = true;
        if (!TryWaitForKey(key)) *key_missing = true;
      }
      // The payload is consumed before it is opened, so that a throw from
      // opening leaves the reader at the next frame. The bytes stay where
      // they are until the queue is next compacted, after the frame is
      // delivered.
      Found found;
      found.header = header_;
      found.offset = head_;
      found_.push_back(std::move(found));
      head_ += header_.length;
      state_ = State::kReadCode;
      if (found_.size() >= batch && !OpenFound(*key)) ok = false;
    }
  }
  if (!OpenFound(*key)) ok = false;
  return ok;
}

bool CIOFrameReader::SealedOnly() {
  std::lock_guard<std::mutex> lock(key_lock_);
  return sealed_only_;
}

bool CIOFrameReader::OpenFound(const SecureBytes& key) {
  if (found_.empty()) return true;
  // Whatever way this returns, the frames found are forgotten.
  struct ForgetOnExit {
    std::vector<Found>* found;
    ~ForgetOnExit() { found->clear(); }
  } forget{&found_};

  try {
    OpenAll(key);
  } catch (...) {
    // Nothing was delivered: the next call finds the frames again.
    head_ = found_.front().offset - kFrameHeaderBytes;
    state_ = State::kReadCode;
    throw;
  }

  bool ok = true;
  for (Found& found : found_) {
    try {
      switch (found.outcome) {
        case Found::Outcome::kAsIs: {
          // Out of the byte queue, which the next bytes will move.
          SecureBytes clear(bytes_.data() + found.offset, found.header.length);
          if (!Deliver(found.header.code, &clear)) ok = false;
          break;
        }
        case Found::Outcome::kOpened:
          if (!Deliver(found.header.code, &found.plain,
                       found.member.empty() ? nullptr : &found.member)) {
            ok = false;
          }
          break;
        case Found::Outcome::kThrew:
          std::rethrow_exception(found.failure);
        default:
          DiscardMessage();
          ok = false;
          break;
      }
    } catch (...) {
      // As with one thread: the frame that threw is consumed, and the next
      // call parses on right after it.
      head_ = found.offset + found.header.length;
      state_ = State::kReadCode;
      throw;
    }
  }
  return ok;
}

void CIOFrameReader::OpenAll(const SecureBytes& key) {
  // Large frames with work to do go to the workers when there is more than
  // one of them; the first of them, and all the others, are opened here
  // meanwhile.
  std::vector<bool> on_worker(found_.size(), false);
  size_t heavy = 0;
  for (size_t i = 0; i < found_.size(); ++i) {
    const FrameHeader& header = found_[i].header;
    const bool work = header.selector != kCipherClear || header.compressed != 0;
    if (work && header.length >= kParallelFrameBytes) on_worker[i] = heavy++ > 0;
  }
  if (heavy > 1 && !pool_) {
    try {
      pool_ = FrameWorkers::Acquire(workers_);
    } catch (const std::exception& e) {
      DebugLog("CIOFrameReader - no frame workers: %s", e.what());
    }
  }
  if (heavy < 2 || !pool_ || pool_->threads() == 0) on_worker.assign(found_.size(), false);

  // No job outlives the key, the payloads or the frames it writes to.
  struct WaitOnExit {
    CIOFrameReader* reader;
    ~WaitOnExit() { reader->WaitForOpeners(); }
  } wait{this};
  for (size_t i = 0; i < found_.size(); ++i) {
    if (!on_worker[i]) continue;
    Found* found = &found_[i];
    const uint8_t* payload = bytes_.data() + found->offset;
    const bool keep = MemberToKeep(found) != nullptr;
    {
      std::lock_guard<std::mutex> lock(open_lock_);
      ++opening_;
    }
    try {
      pool_->Submit([this, found, payload, keep, &key] {
        SecureBytes plain;
        SecureBytes member;
        Found::Outcome outcome;
        std::exception_ptr failure;
        try {
          outcome = Open(found->header, payload, key, &plain, keep ? &member : nullptr);
        } catch (...) {
          // Rethrown on the parsing thread, in order, where one thread
          // would have met it.
          failure = std::current_exception();
          outcome = Found::Outcome::kThrew;
        }
        std::lock_guard<std::mutex> lock(open_lock_);
        found->outcome = outcome;
        found->failure = std::move(failure);
        found->plain.swap(plain);
        found->member.swap(member);
        --opening_;
        // Under the lock: the reader may go as soon as it sees no job left.
        opened_.notify_all();
      });
    } catch (...) {
      // The job could not be queued: this frame is opened here instead.
      std::lock_guard<std::mutex> lock(open_lock_);
      --opening_;
      on_worker[i] = false;
    }
  }
  for (size_t i = 0; i < found_.size(); ++i) {
    if (on_worker[i]) continue;
    Found& found = found_[i];
    try {
      found.outcome =
          Open(found.header, bytes_.data() + found.offset, key, &found.plain, MemberToKeep(&found));
    } catch (...) {
      found.failure = std::current_exception();
      found.outcome = Found::Outcome::kThrew;
    }
  }
}

SecureBytes* CIOFrameReader::MemberToKeep(Found* found) const {
  const FrameHeader& header = found->header;
  // A file's start frame is never sent again as it came: it carries the
  // transfer identifier, fresh for every transfer.
  const bool data = header.code == kFrameFileMiddle || header.code == kFrameFileLast;
  return options_.keep_file_members && data && header.compressed != 0 ? &found->member : nullptr;
}

CIOFrameReader::Found::Outcome CIOFrameReader::Open(const FrameHeader& header,
                                                    const uint8_t* payload, const SecureBytes& key,
                                                    SecureBytes* plain, SecureBytes* member) {
  if (header.selector == kCipherClear) {
    if (header.compressed == 0) return Found::Outcome::kAsIs;
    plain->Assign(payload, header.length);
  } else {
    if (header.selector != kCipherAes && header.selector != kCipherPassPhrase) {
      return Found::Outcome::kDropped;
    }
    if (key.empty() || CRLDATcrypto::DecryptPayload(plain, header.selector, payload, header.length,
                                                    KeyView(key)) != kPayloadOk) {
      return Found::Outcome::kDropped;
    }
  }
  if (header.compressed != 0) {
    if (member != nullptr) member->Assign(plain->data(), plain->size());
    if (CRLDATcrypto::GunzipPayload(plain, kMaxPlainPayload) != 0) {
      if (member != nullptr) member->CleanNew(0);
      return Found::Outcome::kDropped;
    }
  }
  return Found::Outcome::kOpened;
}

void CIOFrameReader::WaitForOpeners() {
  std::unique_lock<std::mutex> lock(open_lock_);
  opened_.wait(lock, [this] { return opening_ == 0; });
}

bool CIOFrameReader::MoreToParse() const {
  std::lock_guard<std::mutex> lock(parse_lock_);
  return more_;
}

size_t CIOFrameReader::QueuedItemBytes() const {
  std::lock_guard<std::mutex> lock(queue_lock_);
  return item_bytes_;
}

bool CIOFrameReader::protocol_fault() const {
  std::lock_guard<std::mutex> lock(parse_lock_);
  return fault_;
}

bool CIOFrameReader::HasPartial() const {
  std::lock_guard<std::mutex> lock(parse_lock_);
  return head_ != bytes_.size() || in_message_;
}

bool CIOFrameReader::TryWaitForKey(SecureBytes* key) {
  std::unique_lock<std::mutex> lock(key_lock_);
  if (key_.empty()) {
    key_set_.wait_for(lock, options_.key_wait, [this] { return !key_.empty(); });
  }
  if (key_.empty()) return false;
  *key = key_;
  return true;
}

bool CIOFrameReader::Deliver(uint32_t code, SecureBytes* bytes, SecureBytes* member) {
  const uint8_t* payload = bytes->data();
  const size_t length = bytes->size();
  const size_t cap = max_message_bytes_.load();
  switch (code) {
    case kFrameFirst: {
      const bool abandoned = in_message_;
      DiscardMessage();
      if (length > cap) {
        ++oversized_;
        return false;
      }
      AppendBytes(&message_, payload, length);
      in_message_ = true;
      return !abandoned;
    }
    case kFrameMiddle:
    case kFrameLast:
      if (!in_message_) return false;
      if (message_.size() > cap || length > cap - message_.size()) {
        DiscardMessage();
        ++oversized_;
        return false;
      }
      AppendBytes(&message_, payload, length);
      if (code == kFrameLast) {
        // The message is forgotten before anything can throw, so that no
        // later frame is joined to it.
        FrameBytes joined;
        joined.swap(message_);
        in_message_ = false;
        PushItem(code, std::make_shared<const ReceivedPayload>(std::move(joined)));
      }
      return true;
    default: {
      // A whole message or a file frame: an item of its own, which ends any
      // message still being joined.
      const bool abandoned = in_message_;
      DiscardMessage();
      if (code == kFrameWhole && length > cap) {
        ++oversized_;
        return false;
      }
      PushItem(code, std::make_shared<const ReceivedPayload>(bytes), member);
      return !abandoned;
    }
  }
}

void CIOFrameReader::PushItem(uint32_t code, FramePayload payload, SecureBytes* member) {
  FramePayload kept;
  if (member != nullptr) kept = std::make_shared<const ReceivedPayload>(member);
  std::lock_guard<std::mutex> lock(queue_lock_);
  item_bytes_ += payload->size() + (kept ? kept->size() : 0);
  items_.push_back(Item{code, std::move(payload), std::move(kept)});
}

void CIOFrameReader::DiscardMessage() {
  FrameBytes().swap(message_);  // the old bytes are wiped as they are freed
  in_message_ = false;
}

uint32_t CIOFrameReader::PopItem(FramePayload* payload, FramePayload* member) {
  Item item{0, nullptr, nullptr};
  {
    std::lock_guard<std::mutex> lock(queue_lock_);
    if (items_.empty()) return 0;
    item = std::move(items_.front());
    items_.pop_front();
    item_bytes_ -=
        (item.payload ? item.payload->size() : 0) + (item.member ? item.member->size() : 0);
  }
  if (payload != nullptr) *payload = std::move(item.payload);
  if (member != nullptr) *member = std::move(item.member);
  return item.code;
}

void CIOFrameReader::SetMaxMessageBytes(size_t bytes) {
  max_message_bytes_.store(bytes);
}

size_t CIOFrameReader::BufferedBytes() {
  size_t total = 0;
  {
    std::lock_guard<std::mutex> lock(parse_lock_);
    total = bytes_.size() - head_ + message_.size();
  }
  std::lock_guard<std::mutex> lock(queue_lock_);
  return total + item_bytes_;
}

size_t CIOFrameReader::ItemCount() const {
  std::lock_guard<std::mutex> lock(queue_lock_);
  return items_.size();
}

void CIOFrameReader::Reset() {
  std::lock_guard<std::mutex> lock(parse_lock_);
  FrameBytes().swap(bytes_);
  head_ = 0;
  state_ = State::kReadCode;
  header_ = FrameHeader();
  fault_ = false;
  DiscardMessage();
  more_ = false;
  found_.clear();
  std::lock_guard<std::mutex> queue_lock(queue_lock_);
  items_.clear();
  item_bytes_ = 0;
}

}  // namespace tw
