#include "messaging/message_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "crypto/crypto.h"
#include "messaging/field_ids.h"
#include "messaging/recipient_registry.h"
#include "messaging/stream_format.h"
#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/file_attributes.h"
#include "platform/list_text.h"
#include "platform/path.h"
#include "platform/system_factory.h"

namespace tw {
namespace {

constexpr char kExpectedObjectHeader[] = "CanExtractMessageObject: Expected object header";

// The most distinct files one message may name. Each costs a scratch name
// and a little memory; a fetch of a whole tree stays far below it.
constexpr size_t kMaxFilesPerMessage = 262144;

// Replies that switch count mode on: their files are counted, not named.
constexpr const char* kCountModeCommands[] = {"GETCLIENTR", "GETLANGUAGER", "GETCOMMANDSR",
                                              "GETCONTROLSR"};
// Whether a command is the reply of a Document command: with sub-command 4
// it is a fetch reply, and its field 104 lists the display names of the
// files it carries.
bool IsDocumentReply(const std::string& command) {
  const std::string_view name(kDocumentCommand);
  return command.size() == name.size() + std::strlen(kReplySuffix) &&
         command.compare(0, name.size(), name) == 0 &&
         command.compare(name.size(), std::string::npos, kReplySuffix) == 0;
}

// Reads words and length-prefixed values from one whole object, never past
// its end.
class Cursor {
 public:
  Cursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t remaining() const { return size_ - used_; }
  bool U32(uint32_t* value) {
    if (remaining() < 4) return false;
    *value = GetU32(data_ + used_);
    used_ += 4;
    return true;
  }
  // A length word, then that many bytes.
  bool Value(std::string* value) {
    uint32_t length = 0;
    if (!U32(&length) || length > remaining()) return false;
    value->assign(reinterpret_cast<const char*>(data_ + used_), length);
    used_ += length;
    return true;
  }

 private:
  const uint8_t* const data_;
  const size_t size_;
  size_t used_ = 0;
};

// The fields that say whom a reply answers: kept on a reply that could not
// be read, so that it still reaches its requester.
constexpr uint32_t kRoutingIntFields[] = {TARGETRECIPIENT,   SOURCERECIPIENT, PROXYFORRECIPIENT,
                                          PROXYFORPROXY,     SENDERTAG,       CALLBACKKEY,
                                          SYNCHRONOUSREQUEST};

bool IsCountModeCommand(const std::string& command) {
  for (const char* c : kCountModeCommands) {
    if (command == c) return true;
  }
  return false;
}

void RemoveFile(const std::string& path) {
  if (!path.empty()) RemoveLocalFile(path);
}

}  // namespace

bool ChunkQueue::AddBytes(const uint8_t*, size_t) {
  return !std::exchange(failure_, false);
}

bool ChunkQueue::PopChunk(uint32_t* kind, std::string* bytes) {
  if (chunks_.empty()) return false;
  *kind = chunks_.front().first;
  *bytes = std::move(chunks_.front().second);
  chunks_.pop_front();
  return true;
}

void ChunkQueue::Push(uint32_t kind, std::string bytes) {
  chunks_.emplace_back(kind, std::move(bytes));
}

CULMSGmessageReader::CULMSGmessageReader(ChunkSource* source, MessageReaderOptions options)
    : source_(source), options_(std::move(options)) {}

CULMSGmessageReader::~CULMSGmessageReader() {
  ClearFiles(true);
}

void CULMSGmessageReader::Reset() {
  ClearFiles(true);
  message_.reset();
  ClearBuffer();
  has_pending_ = false;
  pending_bytes_.clear();
  state_ = State::kObject;
  status_ = Status::kNeedMore;
  sink_.Close();
  sink_pending_ = false;
  has_previous_id_ = false;
  current_command_.clear();
  count_mode_ = false;
  get_reply_ = false;
  display_names_.clear();
  display_name_.clear();
  announced_names_ = 0;
}

MessagePtr CULMSGmessageReader::CanExtractMessageObject(const uint8_t* bytes, size_t count) {
  MessagePtr message = Extract(bytes, count);
  if (message || status_ == Status::kRefused) EndProgress();
  return message;
}

MessagePtr CULMSGmessageReader::Extract(const uint8_t* bytes, size_t count) {
  status_ = Status::kNeedMore;
  if ((count > 0 || source_->HasUncut()) && !source_->AddBytes(bytes, count)) {
    if (state_ == State::kFiles) {
      status_ = Status::kAborted;
      return Abort();
    }
    status_ = Status::kFramingFailure;
    return nullptr;
  }

  bool dropped = false;
  bool first = true;
  for (;;) {
    if (state_ == State::kObject) {
      bool progress = false;
      MessagePtr message = TakeBufferedObject(&progress);
      if (message) {
        if (status_ != Status::kUnreadable) status_ = Status::kMessage;
        return message;
      }
      if (progress) {
        // Either the object was dropped or its files are now awaited.
        if (state_ == State::kObject) dropped = true;
        continue;
      }
    }
    if (!first && options_.stopping && options_.stopping()) break;
    uint32_t kind = 0;
    std::string chunk;
    if (!TakeChunk(&kind, &chunk)) break;
    first = false;

    if (state_ == State::kObject) {
      if (IsObjectChunk(kind)) {
        Append(std::move(chunk));
        continue;
      }
      // A file chunk no message waits for: the rest of a transfer that was
      // cut off, or garbage. Object bytes before it can no longer complete.
      DebugLog("CULMSGmessageReader: chunk of kind 0x%08X outside a transfer dropped", kind);
      ClearBuffer();
      ++dropped_objects_;
      dropped = true;
      continue;
    }

    if (!IsFileChunk(kind)) {
      has_pending_ = true;
      pending_kind_ = kind;
      pending_bytes_ = std::move(chunk);
      status_ = Status::kAborted;
      return Abort();
    }
    switch (HandleFileChunk(kind, chunk)) {
      case FileResult::kContinue:
        break;
      case FileResult::kComplete: {
        MessagePtr complete = std::move(message_);
        status_ = Status::kMessage;
        if (lost_file_) {
          // A file it carried could not be stored here: the requester must
          // not take the reply for a whole one.
          complete->SetInt(ERRORCODE, kErrorTransferCutOff);
          status_ = Status::kAborted;
        }
        AttachScratchFiles(complete.get());
        ClearFiles(false);
        state_ = State::kObject;
        return complete;
      }
      case FileResult::kCorrupt:
        DebugLog("CULMSGmessageReader: file chunk of kind 0x%08X does not fit the transfer", kind);
        status_ = Status::kAborted;
        return Abort();
      case FileResult::kRefused:
        ClearFiles(true);
        message_.reset();
        state_ = State::kObject;
        status_ = Status::kRefused;
        return nullptr;
    }
  }
  status_ = dropped ? Status::kObjectDropped : Status::kNeedMore;
  return nullptr;
}

bool CULMSGmessageReader::TakeChunk(uint32_t* kind, std::string* bytes) {
  if (has_pending_) {
    has_pending_ = false;
    *kind = pending_kind_;
    *bytes = std::move(pending_bytes_);
    pending_bytes_.clear();
    return true;
  }
  return source_->PopChunk(kind, bytes);
}

// ---------------------------------------------------------------------------
// State 0: a whole object.

MessagePtr CULMSGmessageReader::TakeBufferedObject(bool* progress) {
  *progress = false;
  if (buffer_size_ < kObjectHeaderSize) return nullptr;
  uint8_t header[kObjectHeaderSize];
  CopyOut(kObjectHeaderSize, header);
  const uint32_t length = GetU32(header + 4);
  if (GetU32(header) != kObjectMagic || length > kMaxObjectLength) {
    // Nothing buffered can be trusted to start an object any more.
    ClearBuffer();
    throw std::runtime_error(kExpectedObjectHeader);
  }
  if (length > max_object_length_) {
    // Refused at its header: a peer held to a small limit must not make
    // this end gather up to the largest object first.
    ClearBuffer();
    ++oversized_objects_;
    throw std::runtime_error("a message object longer than the limit");
  }
  if (buffer_size_ - kObjectHeaderSize < length) return nullptr;
  Consume(kObjectHeaderSize);
  *progress = true;

  // The object in one piece: in place when one chunk holds it (the usual
  // case), else gathered once (at most kMaxObjectLength bytes).
  std::string gathered;
  const uint8_t* data = nullptr;
  if (length > 0) {
    const std::string& front = buffer_.front();
    if (front.size() - buffer_offset_ >= length) {
      data = reinterpret_cast<const uint8_t*>(front.data()) + buffer_offset_;
    } else {
      gathered.resize(length);
      CopyOut(length, reinterpret_cast<uint8_t*>(&gathered[0]));
      data = reinterpret_cast<const uint8_t*>(gathered.data());
    }
  }
  MessagePtr unreadable;
  MessagePtr message = ParseObject(data, length, &unreadable);
  Consume(length);
  if (!message) {
    ClearFiles(false);
    get_reply_ = false;
    if (unreadable) {
      DebugLog(
          "CULMSGmessageReader: a field of a message object of %u bytes cannot be read; "
          "its requester gets error %d",
          length, kErrorUnreadableReply);
      status_ = Status::kUnreadable;
      return unreadable;
    }
    ++dropped_objects_;
    DebugLog("CULMSGmessageReader: malformed message object of %u bytes dropped", length);
    return nullptr;
  }
  if (expected_.empty()) return FinishWithoutFiles(std::move(message));
  // State 6: whatever follows the object in its chunk is not read; the
  // files come next, each in chunks of its own.
  ClearBuffer();
  message_ = std::move(message);
  state_ = State::kFiles;
  return nullptr;
}

MessagePtr CULMSGmessageReader::ParseObject(const uint8_t* data, size_t length,
                                            MessagePtr* unreadable) {
  // State 1: a new message; field MESSAGEID gives its identifier. Only one
  // that brings none gets one of its own, once the fields are read (making
  // a random identifier costs more than reading a small message).
  MessagePtr message = NewMessage(CRLMSGmessageID(Guid()));
  identified_ = false;
  current_command_.clear();
  get_reply_ = false;
  display_names_.clear();
  display_name_.clear();
  files_finished_ = 0;

  Cursor in(data, length);
  uint32_t count = 0;  // state 2
  if (!in.U32(&count) || count > kMaxFieldCount || count > in.remaining() / kMinFieldRecordSize) {
    return nullptr;
  }
  // A field whose value cannot be taken (an identifier that is none, an id
  // given twice) spoils the message but not the reading: its length is
  // known, so the fields after it are read all the same, for whom the
  // reply answers. One the reading cannot get past (a length or type that
  // cannot be) ends it.
  bool damaged = false;
  bool broken = false;
  // A field set holds an id once; a repeated id would let a later field
  // replace a file list whose files then had no owner.
  bool have_message_id = false;
  for (; count > 0 && !broken; --count) {
    uint32_t id = 0;
    uint32_t type = 0;
    if (!in.U32(&id) || !in.U32(&type)) {  // states 3 and 4
      broken = true;
      break;
    }
    uint32_t existing_type = 0;
    const bool repeated = id == MESSAGEID ? std::exchange(have_message_id, true)
                                          : message->GetFieldType(id, &existing_type) == kFieldOk;
    if (repeated) damaged = true;
    switch (type) {  // state 5
      case FIELD_STRING: {
        std::string value;
        if (!in.Value(&value)) {
          broken = true;
          break;
        }
        if (repeated) break;
        if (id == COMMAND) {
          current_command_ = value;
          if (IsCountModeCommand(value)) count_mode_ = true;
        }
        if (id == kDocumentFetchReplyNames && IsDocumentReply(current_command_)) {
          std::vector<std::string> names = SplitList(value, kListSeparator);
          announced_names_ += names.size();
          display_names_.assign(names.begin(), names.end());
        }
        if (id != USERDATA) message->SetString(id, value);
        break;
      }
      case FIELD_INT: {
        uint32_t word = 0;
        if (!in.U32(&word)) {
          broken = true;
          break;
        }
        if (repeated) break;
        const int value = static_cast<int>(word);
        if (id == kFieldSubCommand && value == kDocumentFetchSubCommand &&
            IsDocumentReply(current_command_)) {
          get_reply_ = true;
        }
        if (id != USERDATA) message->SetInt(id, value);
        break;
      }
      case FIELD_IDENTIFIER: {
        std::string text;
        if (!in.Value(&text)) {
          broken = true;
          break;
        }
        if (!repeated && !ReadIdentifierField(id, text, message.get())) damaged = true;
        break;
      }
      case FIELD_BINARY: {
        std::string value;
        if (!in.Value(&value)) {
          broken = true;
          break;
        }
        if (!repeated && id != USERDATA) {
          message->SetRawField(id, FIELD_BINARY, value.data(), value.size());
        }
        break;
      }
      case FIELD_FILELIST: {
        std::string text;
        if (!in.Value(&text)) {
          broken = true;
          break;
        }
        if (!repeated && !ReadFileListField(id, text, message.get())) damaged = true;
        break;
      }
      default:
        broken = true;
        break;
    }
  }
  // The fields must fill the declared length exactly.
  if (!broken && in.remaining() != 0) broken = true;
  if (!identified_) message->SetIdentifierObject(CRLMSGmessageID());
  if (!damaged && !broken) return message;
  *unreadable = UnreadableReply(*message);
  return nullptr;
}

MessagePtr CULMSGmessageReader::UnreadableReply(const CRLMSGmessage& partial) {
  int value = 0;
  if (partial.GetInt(SYNCHRONOUSREQUEST, &value) != kFieldOk &&
      partial.GetInt(CALLBACKKEY, &value) != kFieldOk) {
    return nullptr;  // it answers nobody who waits
  }
  // The identifier read from the wire, when there was a sound one: reply
  // routes and long replies in transit are matched by it.
  MessagePtr reply = NewMessage(partial.GetIdentifierObject());
  std::string command;
  if (partial.GetString(COMMAND, &command) == kFieldOk) reply->SetString(COMMAND, command);
  for (uint32_t id : kRoutingIntFields) {
    if (partial.GetInt(id, &value) == kFieldOk) reply->SetInt(id, value);
  }
  reply->SetInt(ERRORCODE, kErrorUnreadableReply);
  return reply;
}

bool CULMSGmessageReader::ReadIdentifierField(uint32_t id, const std::string& text,
                                              CRLMSGmessage* message) {
  Guid guid;
  if (!Guid::FromText(text, &guid)) return false;
  if (id == USERDATA) return true;
  const CRLMSGmessageID identifier(guid);
  if (id == MESSAGEID) {
    // The message is known by this identifier from now on, object and
    // field alike.
    message->SetIdentifierObject(identifier);
    identified_ = true;
    current_id_ = guid;
    SwitchProgressSink(guid);
  } else {
    message->SetIdentifier(id, &identifier);
  }
  return true;
}

// The transfer names become our scratch paths; the field keeps the paths.
// A name must be an identifier (it is matched against the 16 bytes of the
// file chunks); USERDATA can never name files, as it never arrives.
bool CULMSGmessageReader::ReadFileListField(uint32_t id, const std::string& text,
                                            CRLMSGmessage* message) {
  if (id == USERDATA) return false;
  // A list naming no file is empty; every transfer name is an identifier,
  // so the empty text can be no list of one.
  std::vector<std::string> paths;
  std::vector<size_t> indices;
  if (!text.empty()) {
    for (const std::string& element : SplitList(text, kListSeparator)) {
      Guid guid;
      if (!Guid::FromText(element, &guid)) return false;
      size_t index = 0;
      if (!FindOrAddTransfer(guid, true, &index)) return false;
      paths.push_back(expected_[index].path);
      indices.push_back(index);
    }
  }
  message->SetString(id, JoinList(paths, kListSeparator));
  file_fields_.emplace_back(id, std::move(indices));
  return true;
}

bool CULMSGmessageReader::FindOrAddTransfer(const Guid& id, bool listed, size_t* index) {
  const std::string name = id.ToText();
  auto found = file_map_.find(name);
  if (found == file_map_.end()) {
    if (expected_.size() == kMaxFilesPerMessage) return false;
    ExpectedFile file;
    file.name = name;
    file.listed = listed;
    // A transfer the message did not list is taken in and its bytes
    // dropped: no field names it, so no file of it would have an owner.
    if (listed) {
      file.path = GetSystemFactory().TempFileName(false);
      if (file.path.empty()) {
        DebugLog("CULMSGmessageReader: no scratch name for received file %s", name.c_str());
      }
    }
    found = file_map_.emplace(name, expected_.size()).first;
    expected_.push_back(std::move(file));
  }
  *index = found->second;
  return true;
}

void CULMSGmessageReader::SwitchProgressSink(const Guid& id) {
  if (!options_.progress_enabled) return;
  if (has_previous_id_ && previous_id_ == id) return;
  sink_.Close();
  announced_names_ = 0;
  sink_pending_ = true;
  previous_id_ = id;
  has_previous_id_ = true;
}

// The files of the message that arrived whole go with it, in a set of their
// own; a file that did not arrive is named by no path there.
void CULMSGmessageReader::AttachScratchFiles(CRLMSGmessage* message) {
  if (file_fields_.empty()) return;
  auto files = std::make_shared<ScratchFiles>();
  std::vector<bool> owned(expected_.size(), false);
  for (size_t i = 0; i < expected_.size(); ++i) {
    ExpectedFile& file = expected_[i];
    if (!file.created) continue;
    if (file.done && file.closed_read) {
      files->AddFile(file.path, file.closed, std::move(file.sha256));
      if (file.members_created) {
        files->AddMembers(file.path, file.path + kMembersSuffix, file.members_closed);
      }
      owned[i] = true;
    } else {
      // Not whole, or no longer a file when it was closed: nobody may take it.
      RemoveCreated(&file);
    }
    file.created = false;
    file.members_created = false;
  }
  for (const auto& field : file_fields_) {
    std::vector<std::string> paths;
    for (size_t index : field.second) {
      paths.push_back(index < owned.size() && owned[index] ? expected_[index].path : std::string());
    }
    files->AddField(field.first, std::move(paths));
  }
  message->SetScratchFiles(std::move(files));
}

MessagePtr CULMSGmessageReader::FinishWithoutFiles(MessagePtr message) {
  AttachScratchFiles(message.get());
  file_fields_.clear();
  if (count_mode_ || get_reply_) {
    count_mode_ = false;
    Record(kProgressMessageFinished, std::string(), 0, 0);
  }
  if (get_reply_) PostGetFailure(*message);
  return message;
}

// A Document get that came back without its file: the user hears of it
// through the log, whatever the request does with the reply.
void CULMSGmessageReader::PostGetFailure(const CRLMSGmessage& message) {
  int error = -1;
  message.GetInt(ERRORCODE, &error);
  const std::string& name = display_names_.empty() ? display_name_ : display_names_.front();
  const std::string text = "ERROR(" + std::to_string(error) + "): Failed to receive file: " + name;
  if (!options_.post) {
    DebugOutput(text);
    return;
  }
  MessagePtr log = NewMessage();
  log->SetString(COMMAND, kLogCommand);
  log->SetInt(SOURCERECIPIENT, kRecipientLogSource);
  log->SetInt(TARGETRECIPIENT, kRecipientClientSession);
  log->SetInt(BROADCAST, 1);
  log->SetString(kLogFieldText, text);
  options_.post(std::move(log));
}

// ---------------------------------------------------------------------------
// State 7: the files of message_.

CULMSGmessageReader::FileResult CULMSGmessageReader::HandleFileChunk(uint32_t kind,
                                                                     const std::string& bytes) {
  switch (kind) {
    case kChunkFileWhole:
    case kChunkFileFirst:
      return StartFile(kind, bytes);
    case kChunkFileMiddle:
    case kChunkFileLast:
      return ContinueFile(kind, bytes);
    default:
      return FailFile(bytes);
  }
}

CULMSGmessageReader::FileResult CULMSGmessageReader::StartFile(uint32_t kind,
                                                               const std::string& bytes) {
  if (receiving_ || bytes.size() < kFileStartHeaderSize) return FileResult::kCorrupt;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
  if (GetU32(p) != kTransferIdSize) return FileResult::kCorrupt;
  const Guid id = Guid::FromBytes(p + 4);
  const uint64_t size = uint64_t{GetU32(p + 20)} | (uint64_t{GetU32(p + 24)} << 32);
  const uint32_t piece = GetU32(p + 28);
  if (size > kMaxFileSize || piece != bytes.size() - kFileStartHeaderSize || piece > size) {
    return FileResult::kCorrupt;
  }
  if (kind == kChunkFileWhole && piece != size) return FileResult::kCorrupt;
  size_t index = 0;
  if (!FindOrAddTransfer(id, false, &index) || expected_[index].done) return FileResult::kCorrupt;

  // Saturating: a message may name many files of the largest size. A
  // transfer the message did not list counts as well: before logon a
  // server takes no file chunk at all.
  const uint64_t total =
      size > UINT64_MAX - announced_total_ ? UINT64_MAX : announced_total_ + size;
  if (options_.admit_file && !options_.admit_file(*message_, total)) return FileResult::kRefused;
  ExpectedFile& file = expected_[index];
  if (options_.keep_free_bytes > 0 && !file.path.empty()) {
    uint64_t available = 0;
    uint64_t disk = 0;
    if (DiskSpace(NativeParent(file.path), &available, &disk)) {
      const uint64_t keep = std::max(options_.keep_free_bytes, disk / 20);
      if (available < keep || size > available - keep) {
        DebugLog("CULMSGmessageReader: received file %s (%llu bytes) does not fit on the disk",
                 file.name.c_str(), static_cast<unsigned long long>(size));
        return FileResult::kRefused;
      }
    }
  }
  announced_total_ = total;
  NextDisplayName();
  receiving_ = true;
  receiving_index_ = index;
  announced_size_ = size;
  written_ = 0;
  if (!file.path.empty()) {
    out_ = GetSystemFactory().NewFile();
    unsynced_ = 0;
    if (out_->Open(file.path, FileObject::kWrite, 0, FileObject::kCreateNewPrivate, 0)) {
      file.created = true;
      if (options_.digest_files) digest_ = std::make_unique<Sha256Stream>();
      // Only a file whose first piece is whole: every chunk of the file is
      // then where a sender puts it when the file is sent again.
      members_wanted_ =
          options_.keep_file_members && kind == kChunkFileFirst && piece == kPieceSize;
      members_skipped_ = 0;
    } else {
      out_.reset();
    }
  }
  if (!out_ && file.listed) {
    // Its bytes are read and dropped; the file still counts as done when
    // its last chunk comes, the message names a path that is missing, and
    // it comes back with the cut-off code.
    DebugLog("CULMSGmessageReader: cannot create \"%s\" for received file %s", file.path.c_str(),
             file.name.c_str());
    lost_file_ = true;
  }
  WriteToFile(p + kFileStartHeaderSize, piece);
  written_ = piece;
  Record(kind == kChunkFileWhole ? kProgressFileFinished : kProgressFileInProgress, display_name_,
         announced_size_, written_);
  if (kind == kChunkFileWhole) return FinishFile();
  return FileResult::kContinue;
}

CULMSGmessageReader::FileResult CULMSGmessageReader::ContinueFile(uint32_t kind,
                                                                  const std::string& bytes) {
  if (!receiving_ || bytes.size() < kFileDataHeaderSize) return FileResult::kCorrupt;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint32_t piece = GetU32(p);
  if (piece != bytes.size() - kFileDataHeaderSize || piece > announced_size_ - written_) {
    return FileResult::kCorrupt;
  }
  if (kind == kChunkFileLast && written_ + piece != announced_size_) return FileResult::kCorrupt;
  KeepMember(kind, piece);
  WriteToFile(p + kFileDataHeaderSize, piece);
  written_ += piece;
  Record(kind == kChunkFileLast ? kProgressFileFinished : kProgressFileInProgress, display_name_,
         announced_size_, written_);
  if (kind == kChunkFileLast) return FinishFile();
  return FileResult::kContinue;
}

// The sender could not send the file, or gave up on it midway.
CULMSGmessageReader::FileResult CULMSGmessageReader::FailFile(const std::string& bytes) {
  if (bytes.size() != kFileStartHeaderSize) return FileResult::kCorrupt;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
  if (GetU32(p) != kTransferIdSize || GetU32(p + 28) != 0) return FileResult::kCorrupt;
  const Guid id = Guid::FromBytes(p + 4);
  size_t index = 0;
  if (!FindOrAddTransfer(id, false, &index) || expected_[index].done) return FileResult::kCorrupt;
  if (receiving_ && receiving_index_ != index) return FileResult::kCorrupt;

  if (receiving_) {
    CloseAndRemoveOpenFile();
  } else {
    // In place of the start chunk: the display name moves on as it would.
    NextDisplayName();
  }
  ExpectedFile& file = expected_[index];
  RemoveCreated(&file);
  file.done = true;
  ++files_finished_;
  written_ = 0;
  Record(kProgressFileFinished, display_name_, 0, 0);
  Record(kProgressFileCount, std::string(), expected_.size(), files_finished_);
  return files_finished_ == expected_.size() ? FileResult::kComplete : FileResult::kContinue;
}

void CULMSGmessageReader::RemoveCreated(ExpectedFile* file) {
  if (file->created) RemoveFile(file->path);
  if (file->members_created) RemoveFile(file->path + kMembersSuffix);
  file->created = false;
  file->members_created = false;
}

void CULMSGmessageReader::KeepMember(uint32_t kind, uint32_t piece) {
  if (!members_wanted_) return;
  // Every chunk but the last carries a whole piece, as every sender cuts
  // them: the members of a file cut otherwise would never be in step with
  // its chunks when it is sent again, and tiny pieces would make them many
  // times the file.
  if (kind == kChunkFileMiddle && piece != kPieceSize) {
    CloseMembers(false);
    return;
  }
  source_->TakeMember(&member_);
  // A member goes to other receivers as it stands: only one with the plain
  // header, shorter than what it holds, is kept, so that nothing of the
  // sender's choosing rides along.
  if (!member_.empty() && (member_.size() >= kFileDataHeaderSize + piece ||
                           !CRLDATcrypto::IsPlainGzipMember(member_.data(), member_.size()))) {
    member_.clear();
  }
  if (!members_out_) {
    // Made with the first member: chunks that came uncompressed (random
    // bytes, all of them) leave no file behind.
    if (member_.empty()) {
      ++members_skipped_;
      return;
    }
    ExpectedFile& file = expected_[receiving_index_];
    // Members are each shorter than their chunk: the rest of the file is the
    // most they can take.
    if (!options_.keep_file_members(announced_size_ - written_)) {
      members_wanted_ = false;
      return;
    }
    members_out_ = GetSystemFactory().NewFile();
    if (!members_out_->Open(file.path + kMembersSuffix, FileObject::kWrite, 0,
                            FileObject::kCreateNewPrivate, 0)) {
      members_out_.reset();
      members_wanted_ = false;
      return;
    }
    file.members_created = true;
    // The chunks before it came without one: a zero length each.
    constexpr size_t kZerosAtOnce = 16384;
    const std::string zeros(std::min(members_skipped_, kZerosAtOnce) * 4, '\0');
    while (members_skipped_ > 0) {
      const size_t count = std::min(members_skipped_, kZerosAtOnce);
      if (!members_out_->Write(zeros.data(), static_cast<uint32_t>(count * 4), nullptr)) {
        CloseMembers(false);
        return;
      }
      members_skipped_ -= count;
    }
  }
  std::string record;
  AppendU32(&record, static_cast<uint32_t>(member_.size()));
  record += member_;
  if (!members_out_->Write(record.data(), static_cast<uint32_t>(record.size()), nullptr)) {
    CloseMembers(false);
  }
}

void CULMSGmessageReader::CloseMembers(bool keep) {
  members_wanted_ = false;
  if (!receiving_) return;
  ExpectedFile& file = expected_[receiving_index_];
  if (members_out_) {
    members_out_->Close();
    members_out_.reset();
    // No longer a file when it was closed: nobody may take it.
    keep = keep && ScratchFiles::ReadIdentity(file.path + kMembersSuffix, &file.members_closed);
  }
  if (!keep && file.members_created) {
    RemoveFile(file.path + kMembersSuffix);
    file.members_created = false;
  }
}

void CULMSGmessageReader::WriteToFile(const uint8_t* data, size_t count) {
  if (!out_ || count == 0) return;
  if (out_->Write(data, static_cast<uint32_t>(count), nullptr)) {
    if (digest_) digest_->Update(data, count);
    unsynced_ += count;
    if (options_.writeback_bytes > 0 && unsynced_ >= options_.writeback_bytes) {
      out_->StartWriteback();
      unsynced_ = 0;
    }
    return;
  }
  DropOpenFile(out_->WritebackFailed() ? "flushing" : "writing");
}

void CULMSGmessageReader::DropOpenFile(const char* failure) {
  ExpectedFile& file = expected_[receiving_index_];
  DebugLog("CULMSGmessageReader: %s \"%s\" failed; the received file is dropped", failure,
           file.path.c_str());
  out_->Close();
  out_.reset();
  digest_.reset();
  CloseMembers(false);
  RemoveCreated(&file);
  lost_file_ = true;
}

CULMSGmessageReader::FileResult CULMSGmessageReader::FinishFile() {
  ExpectedFile& file = expected_[receiving_index_];
  if (out_) {
    out_->Close();
    // The disk refused bytes handed to it on the way: a sync of the file
    // later, on another descriptor, might not hear of it any more.
    if (out_->WritebackFailed()) DropOpenFile("flushing");
  }
  if (out_) {
    out_.reset();
    file.closed_read = ScratchFiles::ReadIdentity(file.path, &file.closed);
    if (digest_) file.sha256 = digest_->FinalLowerHex();
  }
  digest_.reset();
  CloseMembers(true);
  file.done = true;
  receiving_ = false;
  ++files_finished_;
  Record(kProgressFileCount, std::string(), expected_.size(), files_finished_);
  return files_finished_ == expected_.size() ? FileResult::kComplete : FileResult::kContinue;
}

void CULMSGmessageReader::CloseAndRemoveOpenFile() {
  if (!receiving_) return;
  if (out_) {
    out_->Close();
    out_.reset();
  }
  digest_.reset();
  CloseMembers(false);
  ExpectedFile& file = expected_[receiving_index_];
  RemoveCreated(&file);
  receiving_ = false;
}

MessagePtr CULMSGmessageReader::Abort() {
  CloseAndRemoveOpenFile();
  MessagePtr message = std::move(message_);
  message->SetInt(ERRORCODE, kErrorTransferCutOff);
  // Files that arrived whole stay: the message names them.
  AttachScratchFiles(message.get());
  ClearFiles(false);
  state_ = State::kObject;
  if (options_.progress_enabled && count_mode_) {
    count_mode_ = false;
    Record(kProgressMessageFinished, std::string(), 0, 0);
  }
  return message;
}

void CULMSGmessageReader::ClearFiles(bool remove) {
  if (out_) {
    out_->Close();
    out_.reset();
  }
  digest_.reset();
  if (members_out_) {
    members_out_->Close();
    members_out_.reset();
  }
  members_wanted_ = false;
  if (remove) {
    for (ExpectedFile& file : expected_) RemoveCreated(&file);
  }
  expected_.clear();
  file_map_.clear();
  file_fields_.clear();
  files_finished_ = 0;
  lost_file_ = false;
  receiving_ = false;
  announced_size_ = 0;
  written_ = 0;
  announced_total_ = 0;
}

void CULMSGmessageReader::NextDisplayName() {
  if (display_names_.empty()) return;
  display_name_ = std::move(display_names_.front());
  display_names_.pop_front();
}

// Records go only to an attached sink. Kind 3 is written only in count
// mode, kinds 1, 2 and 4 only outside it; kinds 1-3 also need progress
// enabled. A monitor's mailslot holds the transfer up for room only within
// the sink's allowance of waiting, and never for a record in progress (see
// ProgressSink): the connection's thread must not stall on a monitor. The
// provider's own transfer notices listen through an inbox in this process,
// which never waits (see ProgressInbox).
void CULMSGmessageReader::Record(uint32_t kind, const std::string& name, uint64_t size,
                                 uint64_t done) {
  if ((kind == kProgressFileCount) != count_mode_) return;
  if (kind != kProgressMessageFinished && !options_.progress_enabled) return;
  if (sink_pending_) {
    // Nobody listening is the common case: the open fails and records for
    // this message go nowhere.
    sink_pending_ = false;
    sink_.OpenReceived(previous_id_.ToHexName());
  }
  sink_.Write(kind, name, size, done);
}

// A monitor hears how a message ended when it ends, not when the next
// message comes; a later record of the same identifier opens the sink again.
void CULMSGmessageReader::EndProgress() noexcept {
  if (!sink_.IsOpen()) return;
  sink_.Close();
  sink_pending_ = true;
}

// ---------------------------------------------------------------------------
// The working buffer.

void CULMSGmessageReader::Append(std::string bytes) {
  if (bytes.empty()) return;
  buffer_size_ += bytes.size();
  peak_buffer_size_ = std::max(peak_buffer_size_, buffer_size_);
  buffer_.push_back(std::move(bytes));
}

size_t CULMSGmessageReader::TakePeakBufferedBytes() {
  const size_t peak = std::max(peak_buffer_size_, buffer_size_);
  peak_buffer_size_ = buffer_size_;
  return peak;
}

void CULMSGmessageReader::CopyOut(size_t count, uint8_t* out) const {
  size_t offset = buffer_offset_;
  for (const std::string& piece : buffer_) {
    if (count == 0) return;
    const size_t n = std::min(count, piece.size() - offset);
    std::memcpy(out, piece.data() + offset, n);
    out += n;
    count -= n;
    offset = 0;
  }
}

void CULMSGmessageReader::Consume(size_t count) {
  buffer_size_ -= count;
  while (count > 0) {
    const size_t available = buffer_.front().size() - buffer_offset_;
    if (count < available) {
      buffer_offset_ += count;
      return;
    }
    count -= available;
    buffer_.pop_front();
    buffer_offset_ = 0;
  }
}

void CULMSGmessageReader::ClearBuffer() {
  buffer_.clear();
  buffer_offset_ = 0;
  buffer_size_ = 0;
}

MessagePtr CULMSGmessageReader::CutOffTransfer() {
  if (state_ != State::kFiles || !message_) return nullptr;
  has_pending_ = false;
  pending_bytes_.clear();
  MessagePtr message = Abort();
  EndProgress();
  return message;
}

std::string CULMSGmessageReader::awaited_message_id() const {
  if (state_ != State::kFiles || !message_) return "";
  return message_->GetIdentifierText();
}

}  // namespace tw
