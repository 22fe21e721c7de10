#include "messaging/file_sender.h"

#include <algorithm>
#include <utility>

#include "messaging/stream_format.h"
#include "platform/system_factory.h"

namespace tw {
namespace {

// The share mode asked for when a file is opened for sending: others may
// read it meanwhile (kept for the Windows layer).
// The start chunk header: identifier, 64-bit size (low word first), D.
void PutStartHeader(std::string* out, const Guid& id, uint64_t size, uint32_t piece) {
  AppendU32(out, kTransferIdSize);
  out->append(reinterpret_cast<const char*>(id.bytes.data()), kTransferIdSize);
  AppendU32(out, static_cast<uint32_t>(size));
  AppendU32(out, static_cast<uint32_t>(size >> 32));
  AppendU32(out, piece);
}

}  // namespace

FileSender::FileSender(std::vector<OutgoingFile> files, const std::atomic<bool>* stop)
    : files_(std::move(files)), stop_(stop) {}

FileSender::~FileSender() {
  CloseFile();
}

bool FileSender::StopRequested() const {
  return stop_ != nullptr && stop_->load(std::memory_order_acquire);
}

void FileSender::CloseFile() {
  if (file_) file_->Close();
  file_.reset();
  if (members_) members_->Close();
  members_.reset();
}

void FileSender::ReadMember(std::string* member) {
  member->clear();
  if (!members_) return;
  uint8_t word[4];
  uint32_t n = 0;
  // A member is kept only when shorter than the chunk it holds: anything
  // longer is not a record of ours.
  constexpr uint32_t kMaxMember = kFileDataHeaderSize + kPieceSize - 1;
  if (members_->Read(word, sizeof word, &n) && n == sizeof word) {
    const uint32_t length = GetU32(word);
    if (length <= kMaxMember) {
      member->resize(length);
      if (length == 0 || (members_->Read(member->data(), length, &n) && n == length)) return;
    }
  }
  member->clear();
  members_->Close();
  members_.reset();
}

void FileSender::MakeFailureChunk(const Guid& id, OutgoingChunk* chunk) {
  chunk->kind = kChunkFileFailed;
  chunk->bytes.clear();
  chunk->member.clear();
  PutStartHeader(&chunk->bytes, id, 0, 0);
  chunk->file_size = 0;
  chunk->file_position = 0;
}

bool FileSender::ReadFully(char* out, size_t count) {
  size_t done = 0;
  while (done < count) {
    uint32_t n = 0;
    if (!file_->Read(out + done, static_cast<uint32_t>(count - done), &n) || n == 0) return false;
    done += n;
  }
  return true;
}

bool FileSender::NextChunk(OutgoingChunk* chunk) {
  if (stopped_) return false;
  if (StopRequested()) {
    stopped_ = true;
    CloseFile();
    return false;
  }

  const bool starting = !file_;
  if (starting) {
    if (next_file_ == files_.size()) return false;
    const OutgoingFile& next = files_[next_file_++];
    current_id_ = next.transfer_id;
    file_ = GetSystemFactory().NewFile();
    if (!file_->Open(next.local_path, FileObject::kRead, FileObject::kShareRead,
                     FileObject::kOpenExisting, 0)) {
      CloseFile();
      MakeFailureChunk(current_id_, chunk);
      return true;
    }
    // A size the receiver would refuse is reported as a failure at once.
    const int64_t size = file_->Size();
    if (size < 0 || static_cast<uint64_t>(size) > kMaxFileSize) {
      CloseFile();
      MakeFailureChunk(current_id_, chunk);
      return true;
    }
    size_ = static_cast<uint64_t>(size);
    position_ = 0;
    if (!next.members_path.empty() && size_ > kPieceSize) {
      members_ = GetSystemFactory().NewFile();
      if (!members_->Open(next.members_path, FileObject::kRead, FileObject::kShareRead,
                          FileObject::kOpenExisting, 0)) {
        members_.reset();
      }
    }
  }

  const size_t piece = static_cast<size_t>(std::min<uint64_t>(size_ - position_, kPieceSize));
  const size_t header = starting ? kFileStartHeaderSize : kFileDataHeaderSize;
  chunk->bytes.clear();
  chunk->member.clear();
  if (starting) {
    PutStartHeader(&chunk->bytes, current_id_, size_, static_cast<uint32_t>(piece));
  } else {
    AppendU32(&chunk->bytes, static_cast<uint32_t>(piece));
    ReadMember(&chunk->member);
  }
  chunk->bytes.resize(header + piece);
  if (!ReadFully(&chunk->bytes[header], piece)) {
    CloseFile();
    MakeFailureChunk(current_id_, chunk);
    return true;
  }
  if (StopRequested()) {
    stopped_ = true;
    CloseFile();
    return false;
  }
  position_ += piece;
  const bool last = position_ == size_;
  if (starting) {
    chunk->kind = last ? kChunkFileWhole : kChunkFileFirst;
  } else {
    chunk->kind = last ? kChunkFileLast : kChunkFileMiddle;
  }
  chunk->file_size = size_;
  chunk->file_position = position_;
  if (last) CloseFile();
  return true;
}

}  // namespace tw
