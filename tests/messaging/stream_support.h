// Helpers shared by the message stream tests: a message's chunks as the
// writer produces them, and a reader drained the way the connection drains
// it.
#ifndef TW_TESTS_MESSAGING_STREAM_SUPPORT_H_
#define TW_TESTS_MESSAGING_STREAM_SUPPORT_H_

#include <dirent.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "messaging/message_reader.h"
#include "messaging/message_writer.h"
#include "platform/mailslot.h"

namespace tw::test {

using Chunk = std::pair<uint32_t, std::string>;

// Every chunk of `message`, object pieces first, then its files.
inline std::vector<Chunk> ChunksOf(const CRLMSGmessage& message,
                                   const ReplyRouteLookup& lookup = nullptr) {
  MessageObject object;
  if (!WriteMessageObject(message, lookup, &object)) return {};
  MessageStream stream(std::move(object), nullptr);
  std::vector<Chunk> chunks;
  OutgoingChunk chunk;
  while (stream.NextChunk(&chunk)) chunks.emplace_back(chunk.kind, chunk.bytes);
  return chunks;
}

inline void PushAll(const std::vector<Chunk>& chunks, ChunkQueue* queue) {
  for (const Chunk& c : chunks) queue->Push(c.first, c.second);
}

inline std::vector<uint32_t> KindsOf(const std::vector<Chunk>& chunks) {
  std::vector<uint32_t> kinds;
  for (const Chunk& c : chunks) kinds.push_back(c.first);
  return kinds;
}

// Calls the reader until it returns null.
inline std::vector<MessagePtr> Drain(CULMSGmessageReader* reader) {
  std::vector<MessagePtr> messages;
  while (MessagePtr m = reader->CanExtractMessageObject(nullptr, 0)) messages.push_back(m);
  return messages;
}

inline std::vector<std::string> ListFolder(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

// The kind and name of every progress record `monitor` holds, in order;
// what is no progress record (FillMailslot's filler) is passed over.
inline std::vector<std::pair<uint32_t, std::string>> TakeProgressRecords(MailslotReader* monitor) {
  std::vector<std::pair<uint32_t, std::string>> heard;
  while (monitor->HasMessage()) {
    char record[kProgressRecordSize];
    uint32_t n = 0;
    if (!monitor->Read(record, sizeof record, &n)) break;
    if (n != kProgressRecordSize || record[0] == 'x') continue;
    uint32_t kind = 0;
    std::memcpy(&kind, record + kProgressKindOffset, 4);
    heard.emplace_back(kind, std::string(record + kProgressNameOffset));
  }
  return heard;
}

// Fills the queue of the mailslot `name`, whose reader must not read
// meanwhile, with 84-byte messages until it takes no more: a progress
// monitor that stopped reading, whatever queue length the system allows. A
// writer may run out of its own buffer first: the queue is full only when a
// fresh writer finds it so too.
inline bool FillMailslot(const std::string& name) {
  const std::string filler(kProgressRecordSize, 'x');
  for (int writers = 0; writers < 64; ++writers) {
    std::unique_ptr<MailslotWriter> writer = NewMailslotWriter();
    if (!writer->Open(".", name)) return false;
    writer->SetWriteTimeout(0);
    int written = 0;
    while (written < 100000 &&
           writer->Write(filler.data(), static_cast<uint32_t>(filler.size()), nullptr)) {
      ++written;
    }
    if (!writer->QueueWasFull()) return false;
    if (written == 0) return true;
  }
  return false;
}

}  // namespace tw::test

#endif  // TW_TESTS_MESSAGING_STREAM_SUPPORT_H_
