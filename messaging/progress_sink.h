// A progress monitor's mailslot as an upload writes its records to it (the
// record format is in stream_format.h): one sink, and one writer, for the
// whole message. The upload never waits for the monitor's room for a record
// in progress: such a record is left out, and counted. A record that ends a
// file or the message (what a monitor shows last) waits for room, all of
// them together at most kEndingRecordWaitMs in the sink's life; those that
// still find no room are kept, the newest kKeptEndingRecords, and written in
// order, without waiting, before the next record and when the sink closes,
// so that a monitor that was away for a while still hears how the files
// ended. A monitor that is gone is given up. What was left out is logged
// when the sink closes: no record is lost unseen.
//
// Threads: one owner at a time.
#ifndef TW_MESSAGING_PROGRESS_SINK_H_
#define TW_MESSAGING_PROGRESS_SINK_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

namespace tw {

class MailslotWriter;

// The most a sink waits for a monitor's room, in all.
constexpr uint32_t kEndingRecordWaitMs = 1000;
// Ending records kept for a monitor without room (84 bytes each).
constexpr size_t kKeptEndingRecords = 4096;

class ProgressSink {
 public:
  ProgressSink();
  ~ProgressSink();
  ProgressSink(const ProgressSink&) = delete;
  ProgressSink& operator=(const ProgressSink&) = delete;

  // Opens the mailslot `name` on this machine, closing any open one. False
  // when no live reader owns it: nobody listening is the common case.
  bool Open(const std::string& name);
  bool IsOpen() const { return writer_ != nullptr; }
  // Writes one record (see the file comment); nothing when not open.
  void Write(uint32_t kind, const std::string& name, uint64_t size, uint64_t done);
  void Close();

 private:
  enum class Put { kWritten, kNoRoom, kGone };
  // Writes `record` without waiting, or waiting at most `wait_ms`.
  Put Try(const std::string& record, uint32_t wait_ms);
  // Writes the kept ending records, in order, while there is room.
  void Flush();
  // Gives up the monitor, counting what it will never hear: the kept
  // records and `lost` more.
  void GiveUp(const char* why, uint64_t lost);

  std::unique_ptr<MailslotWriter> writer_;
  std::string name_;
  std::deque<std::string> pending_;              // ending records that found no room
  uint32_t wait_left_ms_ = kEndingRecordWaitMs;  // what ending records may still wait
  uint64_t left_out_ = 0;                        // records the monitor never got
};

}  // namespace tw

#endif  // TW_MESSAGING_PROGRESS_SINK_H_
