// Message objects through the writer and the reader: the byte layout, every
// field type, objects in fragments, the reply-route substitution, USERDATA,
// and what a broken peer can and cannot make the reader do.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "messaging/field_ids.h"
#include "messaging/message.h"
#include "messaging/stream_format.h"
#include "tests/messaging/stream_support.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

using test::Chunk;
using ::testing::ElementsAre;

std::string Word(uint32_t value) {
  std::string out;
  AppendU32(&out, value);
  return out;
}

// An object around `body` (field count and records).
std::string Object(const std::string& body) {
  return Word(kObjectMagic) + Word(static_cast<uint32_t>(body.size())) + body;
}

MessagePtr MessageWithEveryType() {
  MessagePtr m = NewMessage();
  m->SetString(COMMAND, "DOCUMENTCMD");
  m->SetInt(ParameterId(1), INT_MIN);
  m->SetInt(ParameterId(2), -1);
  m->SetString(ParameterId(3), std::string("a\0b\xff?c", 6));
  m->SetString(ParameterId(4), "");
  const CRLMSGmessageID other;
  m->SetIdentifier(ParameterId(5), &other);
  m->SetRawField(ParameterId(6), FIELD_BINARY, "\x00\x01\x02", 3);
  m->SetRawField(ParameterId(7), FIELD_FILELIST, "", 0);
  return m;
}

// Same ids in the same order, same types and bytes.
void ExpectSameFields(const CRLMSGmessage& sent, const CRLMSGmessage& received) {
  std::vector<uint32_t> sent_ids, received_ids;
  sent.GetFieldIds(&sent_ids);
  received.GetFieldIds(&received_ids);
  ASSERT_EQ(sent_ids, received_ids);
  for (uint32_t id : sent_ids) {
    uint32_t t1 = 0, t2 = 0;
    std::string b1, b2;
    sent.GetRawField(id, &t1, &b1);
    received.GetRawField(id, &t2, &b2);
    EXPECT_EQ(t1 == FIELD_FILELIST ? FIELD_STRING : t1, t2) << "field " << id;
    EXPECT_EQ(b1, b2) << "field " << id;
  }
}

class StreamTest : public ::testing::Test {
 protected:
  test::TestEnv env_;
  ChunkQueue queue_;
  CULMSGmessageReader reader_{&queue_, MessageReaderOptions()};
};

TEST_F(StreamTest, ObjectLayoutIsWrittenWordByWord) {
  MessagePtr m = NewMessage();
  m->SetString(COMMAND, "PING");
  m->SetInt(ParameterId(1), -2);
  MessageObject object;
  ASSERT_TRUE(WriteMessageObject(*m, nullptr, &object));
  const std::string id = m->GetIdentifierText();
  EXPECT_EQ(object.message_id_text, id);
  const std::string expected =
      Object(Word(3) + Word(MESSAGEID) + Word(FIELD_IDENTIFIER) + Word(36) + id + Word(COMMAND) +
             Word(FIELD_STRING) + Word(4) + "PING" + Word(100) + Word(FIELD_INT) +
             std::string("\xff\xff\xff\xfe", 4));
  EXPECT_EQ(object.bytes, expected);
  EXPECT_EQ(object.bytes.substr(0, 4), std::string("\x12\x28\x19\x64", 4));
}

TEST_F(StreamTest, EveryFieldTypeRoundTrips) {
  MessagePtr sent = MessageWithEveryType();
  sent->SetInt(USERDATA, 1234);
  sent->SetString(ParameterId(8), "after userdata");
  test::PushAll(test::ChunksOf(*sent), &queue_);
  MessagePtr received = reader_.CanExtractMessageObject(nullptr, 0);
  ASSERT_TRUE(received);
  EXPECT_EQ(reader_.last_status(), CULMSGmessageReader::Status::kMessage);
  // USERDATA never arrives; everything else does, in order.
  uint32_t type = 0;
  EXPECT_EQ(received->GetFieldType(USERDATA, &type), kFieldMissing);
  sent->RemoveField(USERDATA);
  ExpectSameFields(*sent, *received);
  EXPECT_EQ(received->GetIdentifierText(), sent->GetIdentifierText());
  // The identifier object is the one field 9 names, not the reader's own.
  EXPECT_EQ(received->GetIdentifierObject().ToText(), sent->GetIdentifierText());
  EXPECT_FALSE(reader_.CanExtractMessageObject(nullptr, 0));
}

// A peer held to a small object limit announces a large object and sends
// its bytes in many small chunks: it is refused at its header, before any of
// them is gathered.
TEST_F(StreamTest, ObjectOverTheLimitIsRefusedAtItsHeader) {
  reader_.SetMaxObjectLength(64 << 10);
  queue_.Push(kChunkObject, std::string("\x12\x28\x19\x64", 4) + Word(1u << 20));
  for (int i = 0; i < 20; ++i) queue_.Push(kChunkObject, std::string(60000, '\0'));
  EXPECT_THROW(reader_.CanExtractMessageObject(nullptr, 0), std::runtime_error);
  EXPECT_EQ(reader_.oversized_objects(), 1u);
  EXPECT_LT(reader_.buffered_bytes(), size_t{64} << 10);
  // Within the limit, objects are read as before.
  MessagePtr m = NewMessage();
  m->SetString(COMMAND, "PING");
  ChunkQueue fresh;
  CULMSGmessageReader reader(&fresh, MessageReaderOptions());
  reader.SetMaxObjectLength(64 << 10);
  test::PushAll(test::ChunksOf(*m), &fresh);
  EXPECT_TRUE(reader.CanExtractMessageObject(nullptr, 0));
}

TEST_F(StreamTest, ReplyRouteReplacesFieldElevenByTheLastIdentifier) {
  MessagePtr m = NewMessage();
  m->SetString(11, "local value");
  std::string asked = "<not asked>";
  auto lookup = [&asked](const std::string& text) {
    asked = text;
    return std::string("route-slot");
  };
  test::PushAll(test::ChunksOf(*m, lookup), &queue_);
  MessagePtr received = reader_.CanExtractMessageObject(nullptr, 0);
  ASSERT_TRUE(received);
  EXPECT_EQ(asked, m->GetIdentifierText());
  std::string value;
  received->GetString(11, &value);
  EXPECT_EQ(value, "route-slot");
}

TEST_F(StreamTest, ObjectsInRandomFragmentsAndSeveralPerChunk) {
  std::mt19937 random(7);
  std::vector<MessagePtr> sent;
  std::string stream;
  for (int i = 0; i < 20; ++i) {
    MessagePtr m = MessageWithEveryType();
    m->SetString(ParameterId(9), std::string(random() % 3000, 'x'));
    stream += test::ChunksOf(*m)[0].second;
    sent.push_back(m);
  }
  std::vector<MessagePtr> received;
  for (size_t at = 0; at < stream.size();) {
    const size_t n = std::min<size_t>(1 + random() % 700, stream.size() - at);
    queue_.Push(kChunkObjectMiddle, stream.substr(at, n));
    at += n;
    for (MessagePtr& m : test::Drain(&reader_)) received.push_back(m);
  }
  ASSERT_EQ(received.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) ExpectSameFields(*sent[i], *received[i]);
}

TEST_F(StreamTest, LargeObjectTravelsInPiecesOf131072) {
  MessagePtr m = NewMessage();
  const std::string big(300000, 'b');
  m->SetRawField(ParameterId(1), FIELD_BINARY, big.data(), big.size());
  const std::vector<Chunk> chunks = test::ChunksOf(*m);
  EXPECT_THAT(test::KindsOf(chunks),
              ElementsAre(kChunkObjectFirst, kChunkObjectMiddle, kChunkObjectLast));
  EXPECT_EQ(chunks[0].second.size(), kPieceSize);
  EXPECT_EQ(chunks[1].second.size(), kPieceSize);
  test::PushAll(chunks, &queue_);
  MessagePtr received = reader_.CanExtractMessageObject(nullptr, 0);
  ASSERT_TRUE(received);
  ExpectSameFields(*m, *received);
}

TEST_F(StreamTest, BadHeaderThrowsAndTheNextObjectIsRead) {
  MessagePtr m = MessageWithEveryType();
  std::string object = test::ChunksOf(*m)[0].second;
  std::string wrong = object;
  wrong[3] = 0x65;
  queue_.Push(kChunkObject, wrong);
  try {
    reader_.CanExtractMessageObject(nullptr, 0);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "CanExtractMessageObject: Expected object header");
  }
  // A length beyond the cap is a bad header too: nothing is allocated for it.
  queue_.Push(kChunkObject, Word(kObjectMagic) + Word(kMaxObjectLength + 1) + Word(0));
  EXPECT_THROW(reader_.CanExtractMessageObject(nullptr, 0), std::runtime_error);
  EXPECT_EQ(reader_.buffered_bytes(), 0u);

  queue_.Push(kChunkObject, object);
  MessagePtr received = reader_.CanExtractMessageObject(nullptr, 0);
  ASSERT_TRUE(received);
  ExpectSameFields(*m, *received);
}

TEST_F(StreamTest, MalformedObjectsAreDroppedWhole) {
  const std::string field = Word(COMMAND) + Word(FIELD_STRING) + Word(2) + "OK";
  const std::vector<std::string> bad = {
      Word(0xFFFFFFFF) + field,                                                // count
      Word(1) + Word(COMMAND) + Word(FIELD_STRING) + Word(0x7FFFFFFF) + "OK",  // length
      Word(1) + Word(103) + Word(FIELD_FILELIST) + Word(5) + "a?b?c",          // not ids
      Word(2) + field + field,                                                 // an id twice
  };
  for (const std::string& body : bad) {
    queue_.Push(kChunkObject, Object(body));
    EXPECT_FALSE(reader_.CanExtractMessageObject(nullptr, 0));
    EXPECT_EQ(reader_.last_status(), CULMSGmessageReader::Status::kObjectDropped);
  }
  EXPECT_EQ(reader_.dropped_objects(), bad.size());
  queue_.Push(kChunkObject, Object(Word(1) + field));
  MessagePtr ok = reader_.CanExtractMessageObject(nullptr, 0);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->GetCommand(), "OK");
}

// A message read without an identifier field is not left without one: it
// gets a random identifier of its own, as a new message does, held both as
// object and as field MESSAGEID.
TEST_F(StreamTest, AMessageReadWithoutIdentifierGetsOneOfItsOwn) {
  const std::string field = Word(COMMAND) + Word(FIELD_STRING) + Word(2) + "OK";
  std::vector<std::string> ids;
  for (int i = 0; i < 2; ++i) {
    queue_.Push(kChunkObject, Object(Word(1) + field));
    MessagePtr m = reader_.CanExtractMessageObject(nullptr, 0);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->GetCommand(), "OK");
    const std::string text = m->GetIdentifierObject().ToText();
    EXPECT_NE(text, CRLMSGmessageID(Guid()).ToText());
    EXPECT_EQ(m->GetIdentifierText(), text);
    ids.push_back(text);
  }
  EXPECT_NE(ids[0], ids[1]);
}

// A reply with a field that cannot be read must still end its requester's
// wait: what comes back holds the fields that say whom it answers and the
// error code of an unreadable reply, wherever the bad field stands.
TEST_F(StreamTest, UnreadableReplyNamingItsRequestComesBackAsAnError) {
  const CRLMSGmessageID id;
  const std::string id_field = Word(MESSAGEID) + Word(FIELD_IDENTIFIER) + Word(36) + id.ToText();
  const std::string command = Word(COMMAND) + Word(FIELD_STRING) + Word(4) + "GETR";
  const std::string data = Word(ParameterId(1)) + Word(FIELD_STRING) + Word(4) + "data";
  const std::string routing = Word(SENDERTAG) + Word(FIELD_INT) + Word(77) +
                              Word(SYNCHRONOUSREQUEST) + Word(FIELD_INT) + Word(1234);
  const std::string no_id = Word(ParameterId(5)) + Word(FIELD_IDENTIFIER) + Word(3) + "xyz";
  const std::vector<std::string> bad = {
      Word(6) + id_field + command + no_id + data + routing,    // an identifier that is none
      Word(6) + id_field + command + data + command + routing,  // an id given twice
      Word(5) + id_field + command + data + routing + "junk",   // fields short of the length
  };
  for (const std::string& body : bad) {
    queue_.Push(kChunkObject, Object(body));
    MessagePtr reply = reader_.CanExtractMessageObject(nullptr, 0);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reader_.last_status(), CULMSGmessageReader::Status::kUnreadable);
    EXPECT_EQ(reply->GetErrorCode(), kErrorUnreadableReply);
    EXPECT_EQ(reply->GetCommand(), "GETR");
    EXPECT_EQ(reply->GetIdentifierText(), id.ToText());
    EXPECT_EQ(reply->GetIdentifierObject().ToText(), id.ToText());
    int value = 0;
    EXPECT_EQ(reply->GetInt(SYNCHRONOUSREQUEST, &value), kFieldOk);
    EXPECT_EQ(value, 1234);
    reply->GetInt(SENDERTAG, &value);
    EXPECT_EQ(value, 77);
    uint32_t type = 0;
    EXPECT_EQ(reply->GetFieldType(ParameterId(1), &type), kFieldMissing) << "no half-read data";
  }
  EXPECT_EQ(reader_.dropped_objects(), 0u);
}

TEST_F(StreamTest, WriterRefusesWhatCannotBeEncoded) {
  MessageObject object;
  MessagePtr m = NewMessage();
  m->SetRawField(ParameterId(1), FIELD_INT, "12", 2);
  EXPECT_FALSE(WriteMessageObject(*m, nullptr, &object));
  m = NewMessage();
  m->SetRawField(ParameterId(1), 9, "x", 1);
  EXPECT_FALSE(WriteMessageObject(*m, nullptr, &object));
  m = NewMessage();
  const std::string huge(kMaxObjectLength, 'h');
  m->SetRawField(ParameterId(1), FIELD_BINARY, huge.data(), huge.size());
  EXPECT_FALSE(WriteMessageObject(*m, nullptr, &object));
}

}  // namespace
}  // namespace tw
