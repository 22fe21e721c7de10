#include "messaging/message_writer.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "messaging/field_ids.h"
#include "messaging/stream_format.h"
#include "platform/list_text.h"
#include "platform/system_factory.h"

namespace tw {
namespace {

// Appends a length-prefixed value unless the object would outgrow the cap.
bool AppendValue(std::string* object, const std::string& value) {
  const size_t limit = kObjectHeaderSize + kMaxObjectLength;
  if (object->size() > limit || limit - object->size() < 4 + value.size()) return false;
  AppendU32(object, static_cast<uint32_t>(value.size()));
  object->append(value);
  return true;
}

}  // namespace

bool WriteMessageObject(const CRLMSGmessage& message, const ReplyRouteLookup& reply_route,
                        MessageObject* out) {
  out->bytes.clear();
  out->files.clear();
  out->message_id_text.clear();

  std::vector<uint32_t> ids;
  message.GetFieldIds(&ids);
  std::string& object = out->bytes;
  AppendU32(&object, kObjectMagic);
  AppendU32(&object, 0);
  AppendU32(&object, static_cast<uint32_t>(ids.size()));

  std::string last_identifier;  // text of the identifier field written last
  for (uint32_t id : ids) {
    uint32_t type = 0;
    uint32_t length = 0;
    if (message.GetFieldInfo(id, &type, &length) != kFieldOk) return false;
    // Id and type; a value of at least 4 bytes follows, checked with it.
    if (object.size() + 8 > kObjectHeaderSize + kMaxObjectLength) return false;
    AppendU32(&object, id);
    AppendU32(&object, type);
    switch (type) {
      case FIELD_STRING: {
        std::string value;
        if (message.GetString(id, &value) != kFieldOk) return false;
        if (id == kReplyRouteField && reply_route) value = reply_route(last_identifier);
        if (!AppendValue(&object, value)) return false;
        break;
      }
      case FIELD_INT: {
        int value = 0;
        if (message.GetInt(id, &value) != kFieldOk) return false;
        if (object.size() + 4 > kObjectHeaderSize + kMaxObjectLength) return false;
        AppendU32(&object, static_cast<uint32_t>(value));
        break;
      }
      case FIELD_IDENTIFIER: {
        std::unique_ptr<CRLMSGmessageID> identifier;
        if (message.GetIdentifier(id, &identifier) != kFieldOk || !identifier) return false;
        last_identifier = identifier->ToText();
        if (id == MESSAGEID) out->message_id_text = last_identifier;
        if (!AppendValue(&object, last_identifier)) return false;
        break;
      }
      case FIELD_BINARY: {
        std::string value;
        uint32_t stored_type = 0;
        if (message.GetRawField(id, &stored_type, &value) != kFieldOk) return false;
        if (!AppendValue(&object, value)) return false;
        break;
      }
      case FIELD_FILELIST: {
        // The empty text names no file (not one file of an empty name).
        std::string text;
        if (message.GetString(id, &text) != kFieldOk) return false;
        std::vector<std::string> paths;
        if (!text.empty()) paths = SplitList(text, kListSeparator);
        std::string names;
        for (size_t i = 0; i < paths.size(); ++i) {
          const Guid transfer_id = GetSystemFactory().NewIdentifier();
          if (i != 0) names += kListSeparator;
          names += transfer_id.ToText();
          out->files.push_back(OutgoingFile{transfer_id, std::move(paths[i]), std::string()});
        }
        if (!AppendValue(&object, names)) return false;
        break;
      }
      default:
        return false;
    }
  }
  PutU32(reinterpret_cast<uint8_t*>(&object[4]),
         static_cast<uint32_t>(object.size() - kObjectHeaderSize));
  return true;
}

MessageStream::MessageStream(MessageObject object, const std::atomic<bool>* stop)
    : object_(std::move(object.bytes)), files_(std::move(object.files), stop) {}

bool MessageStream::NextChunk(OutgoingChunk* chunk) {
  if (object_done_) return files_.NextChunk(chunk);
  const bool first = object_sent_ == 0;
  const size_t piece = std::min(object_.size() - object_sent_, kPieceSize);
  chunk->bytes.assign(object_, object_sent_, piece);
  chunk->member.clear();
  object_sent_ += piece;
  const bool last = object_sent_ == object_.size();
  if (first && last) {
    chunk->kind = kChunkObject;
  } else if (first) {
    chunk->kind = kChunkObjectFirst;
  } else {
    chunk->kind = last ? kChunkObjectLast : kChunkObjectMiddle;
  }
  chunk->file_size = 0;
  chunk->file_position = 0;
  object_done_ = last;
  return true;
}

}  // namespace tw
