// Replays the seed corpus of the receiving chain (tests/fuzz/corpus/
// frame_message/) through the fuzz entry function in every build: each input
// runs without a fault and leaves no scratch file behind. The seeds are
// framed messages with files, written by the real writer; the second case
// checks that they still arrive whole and can write them afresh
// (TW_WRITE_FRAME_MESSAGE_SEEDS=<folder>).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "messaging/field_ids.h"
#include "messaging/message_writer.h"
#include "tests/fuzz/frame_message_entry.h"
#include "tests/fuzz/frame_reader_entry.h"
#include "tests/fuzz/message_reader_entry.h"
#include "tests/messaging/stream_support.h"
#include "tests/support/test_env.h"
#include "transport/frame_chunks.h"
#include "transport/frame_format.h"
#include "transport/frame_writer.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

size_t RunChain(const std::string& bytes) {
  return fuzz::RunFrameMessage(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(FrameMessageCorpus, EveryInputPasses) {
  test::TestEnv env;
  fuzz::PrepareEnvironment(env.Path("tmp"));
  const fs::path corpus =
      fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus" / "frame_message";
  ASSERT_TRUE(fs::is_directory(corpus)) << corpus;
  int inputs = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (!entry.is_regular_file()) continue;
    SCOPED_TRACE(entry.path().filename().string());
    RunChain(test::ReadFile(entry.path().string()));
    EXPECT_TRUE(test::ListFolder(env.Path("tmp")).empty());
    ++inputs;
  }
  EXPECT_GE(inputs, 8);
}

class FrameMessageSeeds : public ::testing::Test {
 protected:
  // The frames of `message` under `selector`, compressed.
  std::string Frames(const CRLMSGmessage& message, uint32_t selector) {
    MessageObject object;
    EXPECT_TRUE(WriteMessageObject(message, nullptr, &object));
    CULMSGmessageStream stream(std::move(object), nullptr);
    BufferRef buffer = CIOBufferSimple::Create(kFrameBufferCapacity);
    std::string wire;
    OutgoingChunk chunk;
    while (stream.NextChunk(&chunk)) {
      EXPECT_TRUE(LoadChunk(chunk, selector, true, buffer.get()));
      EXPECT_TRUE(FilterWriteRequest(buffer.get(), fuzz::kFrameFuzzKey));
      wire.append(reinterpret_cast<const char*>(buffer->Data()), buffer->Length());
    }
    return wire;
  }

  // A message with a command and the given files as a file list.
  MessagePtr WithFiles(const std::string& command, const std::vector<std::string>& names) {
    MessagePtr m = NewMessage();
    m->SetString(COMMAND, command);
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : "?") + env_.Path(name);
    if (!list.empty()) m->SetRawField(ParameterId(6), FIELD_FILELIST, list.data(), list.size());
    return m;
  }

  void Seed(const std::string& name, uint8_t steer, const std::string& wire, size_t messages) {
    const std::string input = std::string(1, static_cast<char>(steer)) + wire;
    SCOPED_TRACE(name);
    EXPECT_EQ(RunChain(input), messages);
    EXPECT_TRUE(test::ListFolder(env_.Path("tmp")).empty());
    if (const char* folder = std::getenv("TW_WRITE_FRAME_MESSAGE_SEEDS")) {
      test::WriteFile(std::string(folder) + "/" + name, input);
    }
  }

  test::TestEnv env_;
};

TEST_F(FrameMessageSeeds, WrittenMessagesArriveWhole) {
  fuzz::PrepareEnvironment(env_.Path("tmp"));
  std::mt19937 random(7);
  std::string noise(6000, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  test::WriteFile(env_.Path("text"), std::string(300000, 't'));  // three file chunks
  test::WriteFile(env_.Path("noise"), noise);
  test::WriteFile(env_.Path("empty"), "");

  const std::string plain = Frames(*WithFiles("PING", {}), 1);
  const std::string files = Frames(*WithFiles("DOCUMENTCMDR", {"text", "noise"}), 1);
  const std::string failed = Frames(*WithFiles("DOCUMENTCMDR", {"missing", "empty"}), 1);
  MessagePtr big = WithFiles("BIG", {"noise"});
  const std::string large(300000, 'o');  // an object of three frames
  big->SetRawField(ParameterId(1), FIELD_BINARY, large.data(), large.size());
  const std::string pieces = Frames(*big, 1);

  Seed("plain_keyed", 0x01, plain, 1);
  Seed("files_keyed_fragmented", 0x01 | (5 << 1), files + plain, 2);
  Seed("failed_and_empty_files", 0x01 | (9 << 1), failed, 1);
  Seed("object_in_pieces_with_file", 0x01 | (33 << 1), pieces + plain, 2);
  Seed("clear_files_fragmented", 3 << 1, Frames(*WithFiles("DOCUMENTCMDR", {"text"}), 0), 1);
  // Without the key the encrypted message is lost; the clear one behind it
  // still arrives.
  Seed("no_key_then_clear", 7 << 1, files + Frames(*WithFiles("PING", {}), 0), 1);
  Seed("junk_then_message", 0x01 | (2 << 1), "\x03\x10junk\x19\x62" + std::string(40, 'j') + files,
       1);
  // A last file frame cut short takes the next message's frame as the rest of
  // its payload, which then fails to decrypt: nothing completes, and the
  // files received so far are removed with the reader.
  Seed("files_cut_short", 0x01, files.substr(0, files.size() - 200) + plain, 0);
  Seed("stray_file_frames", 0x01 | (11 << 1), files.substr(plain.size() + 10), 0);
  std::string junk(3000, '\0');
  for (char& c : junk) c = static_cast<char>(random());
  Seed("junk", 0x01 | (1 << 1), junk, 0);
}

}  // namespace
}  // namespace tw
