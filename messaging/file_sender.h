// The sending side of file transfer: the files a message names follow its
// object as chunks (messaging/stream_format.h). FileSender produces
// those chunks one at a time, so that the connection can frame and send
// each before the next is read; it holds at most one piece of one file
// (131072 bytes), and the kept member of that piece, whatever the file sizes.
//
// Threads: a sender is used by one thread. The stop flag it watches is set
// by another thread (the reconnection worker) and read here atomically.
#ifndef TW_MESSAGING_FILE_SENDER_H_
#define TW_MESSAGING_FILE_SENDER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/guid.h"

namespace tw {

// One file named by an outgoing message: its transfer identifier (whose
// text travels in the file-list field) and the local path it is read from.
struct OutgoingFile {
  Guid transfer_id;
  std::string local_path;
  // A kept members file (stream_format.h) that the same bytes came with
  // once, or empty: the server's content store names it, never a peer.
  std::string members_path;
};

// One chunk to frame and send. The caller keeps one OutgoingChunk for a
// whole message, so its buffer is allocated once.
struct OutgoingChunk {
  uint32_t kind = 0;  // chunk kind (the frame code)
  std::string bytes;  // at most kMaxChunkSize
  // File chunks: the file's size and how far into it this chunk reaches;
  // what the connection reports in its progress notice. 0 otherwise.
  uint64_t file_size = 0;
  uint64_t file_position = 0;
  // Data chunks of a file with kept members: the gzip member these bytes
  // once came as, by the members file; empty otherwise. Only a hint: the
  // frame is built from it only when it makes exactly `bytes`.
  std::string member;
};

class FileSender {
 public:
  // Sends `files` in order. `stop` is the connection's stop-file-transfer
  // flag; it may be null (never stop) and must outlive the sender.
  FileSender(std::vector<OutgoingFile> files, const std::atomic<bool>* stop);
  ~FileSender();
  FileSender(const FileSender&) = delete;
  FileSender& operator=(const FileSender&) = delete;

  // Fills `chunk` with the next chunk and returns true; false when every
  // file has been sent or the stop flag ended sending (see stopped()).
  //
  // Per file: a file that cannot be opened or sized gives one failure chunk.
  // Otherwise a start chunk with the first piece (kind 0x43101962 when the
  // whole file fits one piece, an empty file included, else 0x53101962),
  // then one data chunk per further piece, the one that reaches the size
  // 0x73101962, the others 0x63101962. The size is taken when the file is
  // opened; bytes added later are not sent. When a read fails before the
  // size is reached (the file shrank or a disk error), the file ends with a
  // failure chunk in place of the piece, so the receiver drops what it got
  // and counts the file as done instead of waiting for a last chunk.
  //
  // The stop flag is looked at before every chunk and after every read:
  // once it is set nothing more is produced, not even for later files.
  bool NextChunk(OutgoingChunk* chunk);

  bool stopped() const { return stopped_; }

 private:
  bool StopRequested() const;
  void MakeFailureChunk(const Guid& id, OutgoingChunk* chunk);
  // Reads `count` bytes into `out`; false when the file ends or fails first.
  bool ReadFully(char* out, size_t count);
  // The next record of the members file into `member`; on any fault the
  // members file is given up and `member` emptied.
  void ReadMember(std::string* member);
  void CloseFile();

  const std::vector<OutgoingFile> files_;
  const std::atomic<bool>* const stop_;
  size_t next_file_ = 0;
  std::unique_ptr<FileObject> file_;     // the file being sent, when a piece remains
  std::unique_ptr<FileObject> members_;  // its kept members, while they can be read
  Guid current_id_;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
  bool stopped_ = false;
};

}  // namespace tw

#endif  // TW_MESSAGING_FILE_SENDER_H_
