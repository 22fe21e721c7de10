// The receiving chain (frame reader, chunk source, message reader) on its
// seed corpus, replayed in every build; and the seeds themselves, framed
// messages with files written by the real writer, which must still arrive
// whole (TW_WRITE_FRAME_MESSAGE_SEEDS=<folder> writes them afresh).
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
#include "tests/support/corpus_replay.h"
#include "tests/support/test_env.h"
#include "transport/frame_chunks.h"
#include "transport/frame_format.h"
#include "transport/frame_writer.h"

namespace tw {
namespace {

TEST(FrameMessageCorpus, EveryInputPasses) {
  EXPECT_GE(test::ReplayCorpus("frame_message", fuzz::FrameMessageOneInput), 8);
}

class FrameMessageSeeds : public ::testing::Test {
 protected:
  // The compressed frames of a message with `command` and `files` as its file
  // list, under `selector`.
  std::string Frames(const std::string& command, const std::vector<std::string>& files,
                     uint32_t selector = 1, const std::string& binary = "") {
    MessagePtr m = NewMessage();
    m->SetString(COMMAND, command);
    std::string list;
    for (const std::string& name : files) list += (list.empty() ? "" : "?") + env_.Path(name);
    if (!list.empty()) m->SetRawField(ParameterId(6), FIELD_FILELIST, list.data(), list.size());
    if (!binary.empty()) m->SetRawField(ParameterId(1), FIELD_BINARY, binary.data(), binary.size());
    MessageObject object;
    EXPECT_TRUE(WriteMessageObject(*m, nullptr, &object));
    MessageStream stream(std::move(object), nullptr);
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

  void Seed(const std::string& name, uint8_t steer, const std::string& wire, size_t messages) {
    const std::string input = std::string(1, static_cast<char>(steer)) + wire;
    SCOPED_TRACE(name);
    EXPECT_EQ(fuzz::RunFrameMessage(reinterpret_cast<const uint8_t*>(input.data()), input.size()),
              messages);
    EXPECT_TRUE(std::filesystem::is_empty(env_.Path("tmp")));
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

  const std::string plain = Frames("PING", {});
  const std::string files = Frames("DOCUMENTCMDR", {"text", "noise"});
  // An object of three frames.
  const std::string pieces = Frames("BIG", {"noise"}, 1, std::string(300000, 'o'));
  // Bit 0 of the steering byte installs the key, the rest seeds the fragments.
  Seed("plain_keyed", 0x01, plain, 1);
  Seed("files_keyed_fragmented", 0x01 | (5 << 1), files + plain, 2);
  Seed("failed_and_empty_files", 0x01 | (9 << 1), Frames("DOCUMENTCMDR", {"missing", "empty"}), 1);
  Seed("object_in_pieces_with_file", 0x01 | (33 << 1), pieces + plain, 2);
  Seed("clear_files_fragmented", 3 << 1, Frames("DOCUMENTCMDR", {"text"}, 0), 1);
  // Without the key the encrypted message is lost; the clear one behind it
  // still arrives.
  Seed("no_key_then_clear", 7 << 1, files + Frames("PING", {}, 0), 1);
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
