// The sending side of the message stream: a CRLMSGmessage becomes a message
// object (layout in messaging/stream_format.h) and a list of the files it
// names; MessageStream then hands the connection the object's pieces
// and the file chunks one chunk at a time, for framing.
//
// Threads: the functions keep no state. A MessageStream is used by one
// thread (the connection's sending thread).
#ifndef TW_MESSAGING_MESSAGE_WRITER_H_
#define TW_MESSAGING_MESSAGE_WRITER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "messaging/file_sender.h"
#include "messaging/message.h"

namespace tw {

// The connection's reply-route lookup: the value that string field 11 is
// sent as, given the text of the identifier field written last before it
// (normally MESSAGEID). The connection adds an empty entry for an unknown
// identifier and answers "".
using ReplyRouteLookup = std::function<std::string(const std::string& identifier_text)>;

// A serialized message.
struct MessageObject {
  std::string bytes;                // the whole object, magic first
  std::vector<OutgoingFile> files;  // in the order their transfer names were made
  std::string message_id_text;      // what field MESSAGEID was sent as; "" when absent
};

// Encodes `message` into `out` (replacing what it held): the magic, the
// length, the field count and every field in GetFieldIds order.
//   - A string field with id 11 is sent as reply_route(text of the
//     identifier field written before it, "" when none); with a null
//     lookup it is sent as it stands.
//   - A file-list field is split on "?"; each element (an empty one too,
//     which then fails to open and is reported to the peer as a failed
//     file, keeping the positions of parallel lists) gets a fresh transfer
//     identifier; the field is sent as the identifiers' texts joined by "?"
//     and the files are listed in `out->files`. The empty text names no
//     file.
//   - USERDATA travels like any other field; the reader drops it.
// Returns false, `out` then unspecified, when a field cannot be encoded (an
// int field not 4 bytes long, an identifier field whose text is not an
// identifier, an unknown type) or the object would be longer than the
// reader accepts (kMaxObjectLength after the first 8 bytes).
bool WriteMessageObject(const CRLMSGmessage& message, const ReplyRouteLookup& reply_route,
                        MessageObject* out);

// The chunks of one message in sending order: the object whole (kind
// 0x03101962) when it is at most 131072 bytes, else in pieces of 131072
// (first 0x13101962, middle 0x23101962, last 0x33101962); then the chunks of
// its files from a FileSender.
class MessageStream {
 public:
  // `stop` as for FileSender: may be null, must outlive the stream.
  MessageStream(MessageObject object, const std::atomic<bool>* stop);

  // Fills `chunk` with the next chunk; false when nothing more is to be sent
  // (all sent, or the stop flag ended file sending).
  bool NextChunk(OutgoingChunk* chunk);

  bool stopped() const { return files_.stopped(); }

 private:
  const std::string object_;
  size_t object_sent_ = 0;
  bool object_done_ = false;
  FileSender files_;
};

}  // namespace tw

#endif  // TW_MESSAGING_MESSAGE_WRITER_H_
