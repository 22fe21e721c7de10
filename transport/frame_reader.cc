#include "transport/frame_reader.h"

#include <stdexcept>
#include <utility>

namespace tw {

namespace {

// Consumed bytes are moved out of the byte queue once they make up at least
// half of it and at least this much, so that feeding a byte at a time does
// not move the queue on every call.
constexpr size_t kCompactThreshold = 4096;

std::string_view KeyView(const SecureBytes& key) {
  return std::string_view(reinterpret_cast<const char*>(key.data()), key.size());
}

}  // namespace

CIOFrameReader::CIOFrameReader() : CIOFrameReader(Options()) {}

CIOFrameReader::CIOFrameReader(const Options& options)
    : options_(options), max_message_bytes_(options.max_message_bytes) {}

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
  bytes_.insert(bytes_.end(), in, in + count);
}

void CIOFrameReader::CompactBytes() {
  if (head_ == bytes_.size()) {
    bytes_.clear();
    head_ = 0;
  } else if (head_ >= kCompactThreshold && head_ >= bytes_.size() - head_) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
}

bool CIOFrameReader::Parse() {
  std::lock_guard<std::mutex> lock(parse_lock_);
  bool ok = true;
  // The frames after one that could not be opened for want of a key are
  // still parsed (a good reply must not wait behind a dropped frame); the
  // key is waited for once per call, and the failure reported at the end.
  bool key_missing = false;
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
      // The payload is consumed before it is decoded, so that a throw from
      // Decode leaves the reader at the next frame. The bytes stay valid until
      // the queue is next compacted.
      head_ += header_.length;
      state_ = State::kReadCode;
      if (!Decode(header_, at, header_.length, &key_missing)) ok = false;
    }
  }
  CompactBytes();
  if (key_missing) throw std::runtime_error("Symmetric key not set");
  return ok;
}

bool CIOFrameReader::protocol_fault() const {
  std::lock_guard<std::mutex> lock(parse_lock_);
  return fault_;
}

bool CIOFrameReader::HasPartial() const {
  std::lock_guard<std::mutex> lock(parse_lock_);
  return head_ != bytes_.size() || in_message_;
}

bool CIOFrameReader::Decode(const FrameHeader& header, const uint8_t* payload, size_t length,
                            bool* key_missing) {
  SecureBytes work;
  bool transformed = false;
  if (header.selector == kCipherClear) {
    bool sealed_only;
    {
      std::lock_guard<std::mutex> lock(key_lock_);
      sealed_only = sealed_only_;
    }
    if (sealed_only) {
      // Once the channel key is installed every frame is sealed: a clear
      // one was not written by the peer we keyed.
      fault_ = true;
      DiscardMessage();
      return false;
    }
  } else {
    if (header.selector != kCipherAes && header.selector != kCipherPassPhrase) {
      DiscardMessage();
      return false;
    }
    SecureBytes key;
    if (*key_missing || !TryWaitForKey(&key)) {
      *key_missing = true;
      DiscardMessage();
      return false;
    }
    if (CRLDATcrypto::DecryptPayload(&work, header.selector, payload, length, KeyView(key)) !=
        kPayloadOk) {
      DiscardMessage();
      return false;
    }
    transformed = true;
  }
  if (header.compressed != 0) {
    if (!transformed) work.Assign(payload, length);
    if (CRLDATcrypto::GunzipPayload(&work, kMaxPlainPayload) != 0) {
      DiscardMessage();
      return false;
    }
    transformed = true;
  }
  if (transformed) return Deliver(header.code, work.data(), work.size());
  return Deliver(header.code, payload, length);
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

bool CIOFrameReader::Deliver(uint32_t code, const uint8_t* payload, size_t length) {
  const size_t cap = max_message_bytes_.load();
  switch (code) {
    case kFrameFirst: {
      const bool abandoned = in_message_;
      DiscardMessage();
      if (length > cap) {
        ++oversized_;
        return false;
      }
      message_.assign(payload, payload + length);
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
      message_.insert(message_.end(), payload, payload + length);
      if (code == kFrameLast) {
        PushItem(code, std::move(message_));
        message_ = FrameBytes();
        in_message_ = false;
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
      PushItem(code, FrameBytes(payload, payload + length));
      return !abandoned;
    }
  }
}

void CIOFrameReader::PushItem(uint32_t code, FrameBytes bytes) {
  auto payload = std::make_shared<const FrameBytes>(std::move(bytes));
  std::lock_guard<std::mutex> lock(queue_lock_);
  items_.push_back(Item{code, std::move(payload)});
}

void CIOFrameReader::DiscardMessage() {
  FrameBytes().swap(message_);  // the old bytes are wiped as they are freed
  in_message_ = false;
}

uint32_t CIOFrameReader::PopItem(FramePayload* payload) {
  Item item{0, nullptr};
  {
    std::lock_guard<std::mutex> lock(queue_lock_);
    if (items_.empty()) return 0;
    item = std::move(items_.front());
    items_.pop_front();
  }
  if (payload != nullptr) *payload = std::move(item.payload);
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
  for (const Item& item : items_) total += item.payload ? item.payload->size() : 0;
  return total;
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
  std::lock_guard<std::mutex> queue_lock(queue_lock_);
  items_.clear();
}

}  // namespace tw
