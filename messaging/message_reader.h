// CULMSGmessageReader: the receiving side of the message stream. The frame
// layer cuts the connection's bytes into chunks (kind, bytes); the reader
// rebuilds message objects from object chunks and the files a message names
// from the file chunks that follow it (layouts in messaging/stream_format.h).
//
// A received file lands in a temporary file of ours ("CRL" prefix from the
// system factory: a fresh name nothing bears, known to this process alone
// until the file is created owner-only with O_CREAT | O_EXCL | O_NOFOLLOW);
// the file-list field of the returned message holds those local paths, and
// the message carries the set of the scratch files it created
// (messaging/scratch_files.h): the files belong to whoever takes the
// message, and only those files do - a path in a text field is nobody's.
// Names from the wire never choose where anything is written.
//
// Everything a peer declares is checked before it is used (caps in
// stream_format.h). A peer can make the reader refuse its input, never make
// it crash, read past a declared length or a chunk, or allocate without
// bound:
//   - a bad object header (wrong magic, or a length over the cap) throws
//     std::runtime_error("CanExtractMessageObject: Expected object header")
//     after dropping the buffered object bytes: the stream is broken;
//   - an object whose header is sound but whose fields do not add up to its
//     length (a count, length or type that cannot be, an id given twice, an
//     identifier that is not one, too many files) is dropped; the next
//     object is read. When the fields that could be read name a waiting
//     request (SYNCHRONOUSREQUEST or CALLBACKKEY), a reply holding only the
//     fields that say whom it answers, with ERRORCODE -998
//     (kErrorUnreadableReply), comes back in its place, so that the
//     requester is told at once instead of waiting out its time-out;
//   - file chunks that contradict the message (a second start, data before
//     a start, D not matching the chunk, more bytes than announced, a last
//     chunk short of the size) abort the transfer as a framing failure
//     does: the message comes back with ERRORCODE -999. A start or failure
//     chunk of a transfer the message did not list is taken in (its bytes
//     dropped, nothing written) and counted among the message's files;
//   - a received file that cannot be stored here (its scratch file cannot
//     be created, a write fails: a full disk, or the disk refused its bytes
//     while they were being written, see writeback_bytes) is removed; its
//     further bytes are dropped and the message, once its other files are
//     in, comes back with ERRORCODE -999;
//   - a file that the owner's admission check refuses (admit_file in the
//     options: a server takes no file before its client logged on, nor more
//     bytes than it can keep) ends the transfer before anything of it is
//     written: the message and every file it received are dropped, and the
//     connection is to be given up (Status::kRefused).
// A file-list field arrives as the transfer names of its files joined with
// "?"; the empty text names no file.
// last_status() tells which of these happened in the latest call.
//
// Threads: one reader per connection, used only by the connection's receive
// thread. The stopping callback may read a flag other threads set.
#ifndef TW_MESSAGING_MESSAGE_READER_H_
#define TW_MESSAGING_MESSAGE_READER_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "messaging/message.h"
#include "messaging/progress_sink.h"
#include "messaging/scratch_files.h"
#include "messaging/stream_format.h"
#include "platform/file.h"
#include "platform/guid.h"

namespace tw {

class Sha256Stream;

// Where chunks come from: the frame layer of the connection.
class ChunkSource {
 public:
  virtual ~ChunkSource() = default;
  // Takes bytes read from the connection and cuts every whole frame into a
  // chunk. False when a frame among them could not be decoded (a framing
  // failure); chunks before and after it are queued all the same.
  virtual bool AddBytes(const uint8_t* bytes, size_t count) = 0;
  // Moves the next whole chunk out; false when none waits.
  virtual bool PopChunk(uint32_t* kind, std::string* bytes) = 0;
  // The gzip member that the chunk popped last came as, when the source
  // keeps members (see MessageReaderOptions::keep_file_members); false,
  // `member` emptied, when it has none.
  virtual bool TakeMember(std::string* member) {
    member->clear();
    return false;
  }
  // True when bytes already added hold chunks not cut yet (the source stops
  // cutting while many chunks wait, to bound what it holds); AddBytes with
  // no bytes then cuts on.
  virtual bool HasUncut() const { return false; }
};

// A chunk source without frames, into which chunks are pushed directly (a
// local pipe of chunks, tests, the fuzz target). Not thread-safe.
class ChunkQueue : public ChunkSource {
 public:
  // The bytes are ignored; false once after ReportFramingFailure.
  bool AddBytes(const uint8_t* bytes, size_t count) override;
  bool PopChunk(uint32_t* kind, std::string* bytes) override;

  void Push(uint32_t kind, std::string bytes);
  // The next AddBytes reports a framing failure.
  void ReportFramingFailure() { failure_ = true; }
  size_t size() const { return chunks_.size(); }

 private:
  std::deque<std::pair<uint32_t, std::string>> chunks_;
  bool failure_ = false;
};

struct MessageReaderOptions {
  // Progress records for files in transfer (kinds 1-3); see the class.
  bool progress_enabled = false;
  // The connection's stop flag: while it answers true, a call takes no
  // further chunk after its first. Null: never stopping.
  std::function<bool()> stopping;
  // Asked before a received file is created, with the message that names
  // it and the sum of the sizes its files announced so far, this one's
  // included. False refuses the file (see the class). Null: every file is
  // taken.
  std::function<bool(const CRLMSGmessage& message, uint64_t announced_total)> admit_file;
  // When nonzero, a received file is refused (as by admit_file) when its
  // announced size would leave less than this, or less than a twentieth of
  // the disk, free on the disk of its scratch folder: a peer cannot fill
  // the disk with what it only announces.
  uint64_t keep_free_bytes = 0;
  // When nonzero, a received file is handed to the disk
  // (FileObject::StartWriteback) each time this many more of its bytes were
  // written: a receiver that syncs the file once it is complete (the server
  // storing a content) then finds most of it on the disk already. A file
  // whose bytes the disk refused on the way is not kept.
  uint64_t writeback_bytes = 0;
  // Makes the SHA-256 of every received file while writing it and records
  // it with the file in the message's scratch set (ScratchFiles::Take): a
  // receiver that names contents by their digest need not read them again.
  bool digest_files = false;
  // When set, the gzip members that each received file's data chunks came
  // as are kept, in a members file beside it (stream_format.h) that goes
  // with the file (ScratchFiles::Take): a receiver that later sends the
  // same file can send those members again instead of compressing the bytes
  // anew. Asked before a file's members are kept, with the file bytes still
  // to come (the most its members can take); false keeps none of them. The
  // chunk source must keep them too (TakeMember). Null: none are kept.
  std::function<bool(uint64_t rest)> keep_file_members;
  // Posts a message the reader makes itself (the "LOG" line for a get reply
  // that came without its file) to the dispatcher. Null: the line goes to
  // the diagnostic output only.
  std::function<void(MessagePtr)> post;
};

class CULMSGmessageReader {
 public:
  // What the latest CanExtractMessageObject call did.
  enum class Status {
    kNeedMore,        // no message: more chunks are needed
    kMessage,         // a message, complete with its files
    kAborted,         // a message whose file transfer was cut off (ERRORCODE -999)
    kObjectDropped,   // no message: a malformed object (or a stray piece) was dropped
    kUnreadable,      // an error reply in place of a malformed object (ERRORCODE -998)
    kFramingFailure,  // no message: the frame layer reported a failure
    kRefused,         // no message: admit_file refused a file; give the connection up
  };

  // `source` must outlive the reader.
  CULMSGmessageReader(ChunkSource* source, MessageReaderOptions options);
  // Removes the files of a message still being received (nobody owns them).
  ~CULMSGmessageReader();
  CULMSGmessageReader(const CULMSGmessageReader&) = delete;
  CULMSGmessageReader& operator=(const CULMSGmessageReader&) = delete;

  // Feeds `count` bytes (none when 0) to the chunk source, then parses
  // queued chunks until a message completes or they run out. Returns the
  // message (the caller takes the reference and the files it names) or null.
  // State survives between calls, so a message may complete in a later call
  // than the one that began it. At most one message per call: the caller
  // calls again (count 0) until null to drain what is queued.
  //
  // While a message's files are awaited, a chunk that is not a file chunk
  // cuts the transfer off: the message is returned with ERRORCODE -999 and
  // the chunk is kept for the next call. A framing failure while files are
  // awaited does the same (without a chunk to keep); at other times it only
  // makes the call return null. On a cut-off, the partial file is removed
  // and the files that arrived whole stay, named by the message.
  //
  // Throws std::runtime_error("CanExtractMessageObject: Expected object
  // header") on a bad object header (see above).
  MessagePtr CanExtractMessageObject(const uint8_t* bytes, size_t count);

  Status last_status() const { return status_; }

  // Starts afresh, as after a reconnection: drops buffered bytes, the kept
  // chunk, the message being received (removing its files) and the progress
  // sink. The chunk source is the caller's to reset.
  void Reset();

  // Diagnostics and tests.
  size_t buffered_bytes() const { return buffer_size_; }
  // The most bytes held at once since the last call: a message that came
  // whole within one read was held entire, if only for a moment.
  size_t TakePeakBufferedBytes();
  uint64_t dropped_objects() const { return dropped_objects_; }
  // The longest message object taken (at most kMaxObjectLength): an object
  // whose header announces more is dropped at its header, before its bytes
  // are gathered, and counted.
  void SetMaxObjectLength(uint32_t length) { max_object_length_ = length; }
  uint64_t oversized_objects() const { return oversized_objects_; }
  bool awaiting_files() const { return state_ == State::kFiles; }
  // Ends the transfer of a message whose files are awaited, as when the
  // connection it came on is lost: the message comes back with ERRORCODE
  // -999, naming the files that arrived whole. Null when none is awaited.
  MessagePtr CutOffTransfer();
  // The MESSAGEID text of the message whose files are awaited; "" when none.
  std::string awaited_message_id() const;

 private:
  // The parse states: 0 and 7 of the stream's state machine. States 1-5
  // (fields) run inside ParseObject on an object known to be whole; state 6
  // is the step between them.
  enum class State { kObject, kFiles };

  // A file the message under construction names.
  struct ExpectedFile {
    std::string name;      // transfer name, canonical text of its identifier
    std::string path;      // our temporary file; empty when no name could be had
    bool created = false;  // we created `path` (so only we remove it)
    bool done = false;
    bool listed = true;  // named by the message (else its bytes are dropped)
    std::string sha256;  // of its bytes, when made (digest_files) and it arrived whole
    // Read when it was closed whole: what ties the path to these bytes.
    ScratchFiles::Identity closed;
    bool closed_read = false;
    // The kept members file (keep_file_members), path + kMembersSuffix;
    // once closed, only while its identity could be read.
    bool members_created = false;
    ScratchFiles::Identity members_closed;
  };

  enum class FileResult { kContinue, kComplete, kCorrupt, kRefused };

  // Removes what the reader created for `file` (the file, its members file).
  static void RemoveCreated(ExpectedFile* file);
  // Appends the member of the data chunk just taken (of `kind`, carrying
  // `piece` file bytes) to the members file; on a failure the members file
  // is dropped, the received file is not.
  void KeepMember(uint32_t kind, uint32_t piece);
  // Closes the members file; `keep` false removes it.
  void CloseMembers(bool keep);

  // CanExtractMessageObject but for the progress sink's end.
  MessagePtr Extract(const uint8_t* bytes, size_t count);
  // Takes the kept chunk, else pops one from the source.
  bool TakeChunk(uint32_t* kind, std::string* bytes);
  // State 0: a message when a whole object is buffered and sound (or the
  // error reply standing in for a malformed one); null when more bytes are
  // needed (`*progress` false) or the object was dropped or its files are
  // now awaited (`*progress` true).
  MessagePtr TakeBufferedObject(bool* progress);
  // States 1-5 over one whole object of `length` bytes: the message, or
  // null when the object is malformed; then `*unreadable` gets the error
  // reply that stands in for it, when it names a waiting request.
  MessagePtr ParseObject(const uint8_t* data, size_t length, MessagePtr* unreadable);
  // The error reply for a malformed object of which `partial` holds the
  // fields that could be read; null when they name no waiting request.
  MessagePtr UnreadableReply(const CRLMSGmessage& partial);
  // The index of the transfer `id` in expected_, added (as listed by the
  // message or not) when new; false when the message has too many.
  bool FindOrAddTransfer(const Guid& id, bool listed, size_t* index);
  bool ReadIdentifierField(uint32_t id, const std::string& text, CRLMSGmessage* message);
  bool ReadFileListField(uint32_t id, const std::string& text, CRLMSGmessage* message);
  // Switches the progress sink to the inbox or mailslot named after `id`,
  // opened with the first record written after the switch.
  void SwitchProgressSink(const Guid& id);
  MessagePtr FinishWithoutFiles(MessagePtr message);
  // Hands the files of the message that arrived whole over to `message` as
  // its ScratchFiles; any other file we created is removed.
  void AttachScratchFiles(CRLMSGmessage* message);
  void PostGetFailure(const CRLMSGmessage& message);

  // State 7.
  FileResult HandleFileChunk(uint32_t kind, const std::string& bytes);
  FileResult StartFile(uint32_t kind, const std::string& bytes);
  FileResult ContinueFile(uint32_t kind, const std::string& bytes);
  FileResult FailFile(const std::string& bytes);
  // Writes to the open file; a failing write closes and removes it, and the
  // file's further bytes are discarded.
  void WriteToFile(const uint8_t* data, size_t count);
  // Closes and removes the file being received, after `failure` (what
  // failed, for the log), and marks the message's transfer cut off.
  void DropOpenFile(const char* failure);
  FileResult FinishFile();
  void CloseAndRemoveOpenFile();
  // Cuts the transfer off and hands out the message with ERRORCODE -999.
  MessagePtr Abort();
  // Forgets the files of the message being received; with `remove`, deletes
  // every one we created.
  void ClearFiles(bool remove);
  void NextDisplayName();

  // Writes a progress record when the rules allow it (see the .cc).
  void Record(uint32_t kind, const std::string& name, uint64_t size, uint64_t done);
  // Closes the progress sink at the end of a message (see the .cc).
  void EndProgress() noexcept;

  // The working buffer of object bytes: chunks consumed from the front.
  void Append(std::string bytes);
  void CopyOut(size_t count, uint8_t* out) const;
  void Consume(size_t count);
  void ClearBuffer();

  ChunkSource* const source_;
  const MessageReaderOptions options_;
  Status status_ = Status::kNeedMore;
  State state_ = State::kObject;

  std::deque<std::string> buffer_;
  size_t buffer_offset_ = 0;     // consumed bytes of buffer_.front()
  size_t buffer_size_ = 0;       // unconsumed bytes in all of buffer_
  size_t peak_buffer_size_ = 0;  // see TakePeakBufferedBytes

  bool has_pending_ = false;  // a chunk kept for the next call
  uint32_t pending_kind_ = 0;
  std::string pending_bytes_;

  MessagePtr message_;  // waiting for its files (state 7)
  std::vector<ExpectedFile> expected_;
  std::map<std::string, size_t> file_map_;  // transfer name -> index in expected_
  // The file-list fields of the message being read: id, indices in expected_.
  std::vector<std::pair<uint32_t, std::vector<size_t>>> file_fields_;
  size_t files_finished_ = 0;

  // The file being received (between its start and last chunk).
  bool receiving_ = false;
  size_t receiving_index_ = 0;
  std::unique_ptr<FileObject> out_;  // null when the file could not be created
  uint64_t announced_size_ = 0;
  uint64_t written_ = 0;
  // Bytes of the file being written since it was last handed to the disk.
  uint64_t unsynced_ = 0;
  // The digest of the file being written, while digest_files asks for it.
  std::unique_ptr<Sha256Stream> digest_;
  // The members file of the file being written, while keep_file_members
  // asks for it and it can be written.
  std::unique_ptr<FileObject> members_out_;
  bool members_wanted_ = false;   // members of the file being written are kept
  size_t members_skipped_ = 0;    // chunks without a member before the file was made
  std::string member_;            // the member of the chunk being written
  bool lost_file_ = false;        // a file of message_ could not be stored
  uint64_t announced_total_ = 0;  // of every file of message_ started so far

  Guid current_id_;          // identifier of the message being read
  bool identified_ = false;  // field MESSAGEID gave the message being read its identifier

  // Progress.
  ProgressSink sink_;
  // The sink of previous_id_ is opened with the first record written after
  // the switch to it: most messages write none, and a probe for a mailslot
  // nobody created costs a handful of system calls on every message
  // received.
  bool sink_pending_ = false;
  bool has_previous_id_ = false;
  Guid previous_id_;
  std::string current_command_;
  bool count_mode_ = false;
  bool get_reply_ = false;
  std::deque<std::string> display_names_;
  std::string display_name_;
  uint64_t announced_names_ = 0;

  uint64_t dropped_objects_ = 0;
  uint32_t max_object_length_ = kMaxObjectLength;
  uint64_t oversized_objects_ = 0;
};

}  // namespace tw

#endif  // TW_MESSAGING_MESSAGE_READER_H_
