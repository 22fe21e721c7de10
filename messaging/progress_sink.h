// Where the progress records of one message go (the record format is in
// stream_format.h): the monitor's mailslot of the message's name and, for a
// message received here, this process's ProgressInbox of that name.
//
// A mailslot gets one writer for the whole message; a sink may serve message
// after message (a connection's reader does). The
// transfer, which runs on the connection's thread, never waits for the
// monitor's room for a record in progress: such a record is left out, and
// counted. A record that ends a file or the message (what a monitor shows
// last) waits for room, within a sink's allowance of waiting (see
// kEndingRecordWaitMs); those that still find no room are kept, the newest
// kKeptEndingRecords, and written in order before the next record and when
// the sink closes (then within what is left of the wait), so that a monitor
// that was away for a while still hears how the files ended. A monitor that
// is gone is given up. What was left out is logged when the sink closes: no
// record is lost unseen.
//
// Threads: one owner at a time.
#ifndef TW_MESSAGING_PROGRESS_SINK_H_
#define TW_MESSAGING_PROGRESS_SINK_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace tw {

class MailslotWriter;

// The most a sink waits for a monitor's room at a time. What it waited
// comes back at a tenth of the time that passes, so that a monitor that
// stopped reading holds a long-lived sink (a connection's reader, message
// after message) up for at most a tenth of its time.
constexpr uint32_t kEndingRecordWaitMs = 1000;
constexpr uint32_t kWaitRefillDivisor = 10;
// Ending records kept for a monitor without room (84 bytes each), and the
// most records an inbox holds between two takes.
constexpr size_t kKeptEndingRecords = 4096;

// The progress of a message received in this process, heard in this
// process: a monitor that lives beside the reader opens an inbox under the
// mailslot name of the message, and the reader's sink hands the records
// over without a socket, a queue of ten, or a wait. The owner takes what
// came between the slices of its own wait.
//
// A record in progress replaces the one before it when that one is in
// progress for the same file, so an inbox holds a file's latest position
// and its end. Names are cut as a record cuts them. A peer that ends files
// faster than the owner takes them fills it: the oldest records make room,
// and are counted. Each record carries the number of its file (the ends
// put before it), so that a record left out never shifts the files after
// it.
//
// Threads: Put from the reader's thread, Take and Close from the owner's;
// the registry of names is process-wide and locked.
class ProgressInbox {
 public:
  struct Record {
    uint32_t kind;
    std::string name;
    uint64_t size;
    uint64_t done;
    uint64_t file;  // counted from 0 in the inbox's life
  };

  // A new inbox registered under `name`; null when a live one has it.
  static std::shared_ptr<ProgressInbox> Create(const std::string& name);
  // The live inbox of `name`, or null.
  static std::shared_ptr<ProgressInbox> Find(const std::string& name);

  explicit ProgressInbox(std::string name) : name_(std::move(name)) {}
  ~ProgressInbox();
  ProgressInbox(const ProgressInbox&) = delete;
  ProgressInbox& operator=(const ProgressInbox&) = delete;

  void Put(uint32_t kind, const std::string& name, uint64_t size, uint64_t done) noexcept;
  // The message whose records came ended: a file it left unfinished (cut
  // off) counts as ended, so that the next one is a file of its own.
  void EndMessage() noexcept;
  std::deque<Record> Take();
  // Gives the name up; what is put afterwards is dropped.
  void Close();

 private:
  const std::string name_;
  std::mutex mutex_;
  std::deque<Record> pending_;  // guarded by mutex_
  uint64_t files_ended_ = 0;    // guarded by mutex_
  bool in_file_ = false;        // a file's records came, its end not; guarded by mutex_
  bool closed_ = false;         // guarded by mutex_
  uint64_t left_out_ = 0;       // guarded by mutex_
};

class ProgressSink {
 public:
  ProgressSink();
  ~ProgressSink();
  ProgressSink(const ProgressSink&) = delete;
  ProgressSink& operator=(const ProgressSink&) = delete;

  // Opens the mailslot `name` on this machine, closing what was open. False
  // when no live reader owns it: nobody listening is the common case.
  bool Open(const std::string& name);
  // As Open, for a message received here: this process's inbox `name`, when
  // there is one, hears the records as well as the mailslot.
  bool OpenReceived(const std::string& name);
  bool IsOpen() const { return inbox_ != nullptr || writer_ != nullptr; }
  // Writes one record (see the file comment); nothing when not open.
  void Write(uint32_t kind, const std::string& name, uint64_t size, uint64_t done) noexcept;
  // Writes the kept ending records, waiting for room within what is left
  // of the wait, and closes; an inbox hears that the message ended.
  void Close() noexcept;

 private:
  enum class Put { kWritten, kNoRoom, kGone };
  void WriteToMailslot(uint32_t kind, const std::string& name, uint64_t size, uint64_t done);
  // Writes `record` without waiting, or waiting at most `wait_ms`.
  Put Try(const std::string& record, uint32_t wait_ms);
  // Writes `record`, waiting at most what is left of the wait (see
  // kEndingRecordWaitMs).
  Put TryWithinWait(const std::string& record);
  // Writes the kept ending records, in order, while there is room; `wait`:
  // waiting for it within what is left of the wait.
  void Flush(bool wait);
  // Gives up the monitor, counting what it will never hear: the kept
  // records and `lost` more.
  void GiveUp(const char* why, uint64_t lost);

  std::shared_ptr<ProgressInbox> inbox_;
  std::unique_ptr<MailslotWriter> writer_;
  std::string name_;
  std::deque<std::string> pending_;              // ending records that found no room
  uint32_t wait_left_ms_ = kEndingRecordWaitMs;  // what ending records may still wait
  std::chrono::steady_clock::time_point refilled_at_ = std::chrono::steady_clock::now();
  uint64_t left_out_ = 0;  // records the monitor never got
};

}  // namespace tw

#endif  // TW_MESSAGING_PROGRESS_SINK_H_
