// The message stream over the frame layer: a message and its files are cut
// into chunks, framed (compressed and encrypted), read back in arbitrary
// socket-sized pieces through the frame reader and rebuilt by the message
// reader.
#include "transport/frame_chunks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "messaging/field_ids.h"
#include "messaging/message_writer.h"
#include "messaging/stream_format.h"
#include "tests/support/test_env.h"
#include "transport/frame_format.h"
#include "transport/frame_writer.h"

namespace tw {
namespace {

const std::string kKey = "0123456789ABCDEF0123456789ABCDEF89ABCDEF0123456789ABCDEF01234567";

class FrameChunksTest : public ::testing::Test {
 protected:
  // The frames of `message` under selector 1 with compression on.
  std::vector<std::string> Frames(const CRLMSGmessage& message) {
    MessageObject object;
    EXPECT_TRUE(WriteMessageObject(message, nullptr, &object));
    MessageStream stream(std::move(object), nullptr);
    BufferRef buffer = CIOBufferSimple::Create(kFrameBufferCapacity);
    std::vector<std::string> frames;
    OutgoingChunk chunk;
    while (stream.NextChunk(&chunk)) {
      EXPECT_TRUE(LoadChunk(chunk, 1, true, buffer.get()));
      EXPECT_TRUE(FilterWriteRequest(buffer.get(), kKey));
      frames.emplace_back(reinterpret_cast<const char*>(buffer->Data()), buffer->Length());
      EXPECT_EQ(GetU32(buffer->Data()), chunk.kind);
    }
    return frames;
  }

  // Feeds `bytes` in reads of random size, taking every message out.
  std::vector<MessagePtr> Receive(const std::string& bytes, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<MessagePtr> messages;
    for (size_t at = 0; at < bytes.size();) {
      const size_t n = std::min<size_t>(1 + random() % 9000, bytes.size() - at);
      MessagePtr m =
          reader_.CanExtractMessageObject(reinterpret_cast<const uint8_t*>(bytes.data()) + at, n);
      at += n;
      for (; m; m = reader_.CanExtractMessageObject(nullptr, 0)) messages.push_back(m);
    }
    return messages;
  }

  std::string Random(size_t size) {
    std::mt19937 random(static_cast<unsigned>(size));
    std::string s(size, '\0');
    for (char& c : s) c = static_cast<char>(random());
    return s;
  }

  test::TestEnv env_;
  CIOFrameReader frames_;
  FrameChunkSource source_{&frames_};
  CULMSGmessageReader reader_{&source_, MessageReaderOptions()};
};

TEST_F(FrameChunksTest, MessageAndFilesSurviveFramingEncryptionAndFragmentation) {
  frames_.SetKey(kKey);
  const std::string noise = Random(300000);
  const std::string text(200000, 't');
  test::WriteFile(env_.Path("noise"), noise);
  test::WriteFile(env_.Path("text"), text);
  test::WriteFile(env_.Path("empty"), "");
  MessagePtr m = NewMessage();
  m->SetString(COMMAND, "DOCUMENTCMDR");
  const std::string big(200000, 'o');  // an object of two frames
  m->SetRawField(ParameterId(1), FIELD_BINARY, big.data(), big.size());
  const std::string list = env_.Path("noise") + "?" + env_.Path("missing") + "?" +
                           env_.Path("empty") + "?" + env_.Path("text");
  m->SetRawField(ParameterId(6), FIELD_FILELIST, list.data(), list.size());
  std::string wire;
  for (const std::string& f : Frames(*m)) wire += f;
  MessagePtr next = NewMessage();
  next->SetString(COMMAND, "NEXT");
  for (const std::string& f : Frames(*next)) wire += f;

  for (unsigned seed = 1; seed <= 3; ++seed) {
    const std::vector<MessagePtr> got = Receive(wire, seed);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0]->GetErrorCode(), 0);
    std::string value;
    uint32_t type = 0;
    got[0]->GetRawField(ParameterId(1), &type, &value);
    EXPECT_EQ(type, FIELD_BINARY);
    EXPECT_TRUE(value == big);
    std::vector<std::string> paths;
    got[0]->GetStringList(ParameterId(6), &paths, "?");
    ASSERT_EQ(paths.size(), 4u);
    EXPECT_TRUE(test::ReadFile(paths[0]) == noise);
    EXPECT_EQ(::access(paths[1].c_str(), F_OK), -1);
    EXPECT_EQ(test::ReadFile(paths[2]), "");
    EXPECT_TRUE(test::ReadFile(paths[3]) == text);
    EXPECT_EQ(got[1]->GetCommand(), "NEXT");
  }
}

TEST_F(FrameChunksTest, UndecryptableFileFrameCutsTheTransferOff) {
  frames_.SetKey(kKey);
  test::WriteFile(env_.Path("f"), Random(300000));
  MessagePtr m = NewMessage();
  const std::string list = env_.Path("f");
  m->SetRawField(ParameterId(1), FIELD_FILELIST, list.data(), list.size());
  std::vector<std::string> frames = Frames(*m);
  ASSERT_EQ(frames.size(), 4u);
  frames[2][frames[2].size() - 5] ^= 0x20;  // the middle piece no longer decrypts
  std::string wire;
  for (const std::string& f : frames) wire += f;
  MessagePtr next = NewMessage();
  next->SetString(COMMAND, "NEXT");
  for (const std::string& f : Frames(*next)) wire += f;

  const std::vector<MessagePtr> got = Receive(wire, 9);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]->GetErrorCode(), -999);
  EXPECT_EQ(got[1]->GetCommand(), "NEXT");
  EXPECT_TRUE(std::filesystem::is_empty(env_.Path("tmp")));
}

}  // namespace
}  // namespace tw
