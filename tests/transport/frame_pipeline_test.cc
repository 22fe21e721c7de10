// The sending pipeline against the one-thread sender it replaces: the same
// frames, byte for byte, and the same progress notices whatever the worker
// count; a stop, a failing read, a frame that cannot be built and a peer
// that goes away end a message at the same place; the sender serves the
// next message cleanly afterwards; the workers start only for large
// payloads and stop with the last sender.
#include "transport/frame_pipeline.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "crypto/crypto.h"
#include "messaging/field_ids.h"
#include "messaging/message.h"
#include "messaging/message_reader.h"
#include "messaging/message_writer.h"
#include "messaging/scratch_files.h"
#include "messaging/stream_format.h"
#include "tests/support/faulty_platform.h"
#include "tests/support/test_env.h"
#include "transport/frame_format.h"
#include "transport/message_channel.h"
#include "transport/socket.h"

namespace tw {
namespace {

const char kKey[] = "0123456789ABCDEF0123456789ABCDEF";
constexpr int kWorkers = 4;

std::string Text(size_t size, int seed) {
  std::mt19937 gen(static_cast<unsigned>(seed));
  static const char* const kWords[] = {"Document ", "Production ", "stamp=", "lock\n", "0x"};
  std::string s;
  while (s.size() < size) s += kWords[gen() % 5] + std::to_string(gen() % 997);
  s.resize(size);
  return s;
}

std::string Noise(size_t size, int seed) {
  std::mt19937 gen(static_cast<unsigned>(seed));
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

ChannelCipher Cipher(uint32_t selector, bool compress) {
  return ChannelCipher{selector == 0 ? std::string() : std::string(kKey), selector, compress};
}

// What one Send handed over.
struct Capture {
  bool sent = false;
  std::string error;
  std::vector<std::string> frames;
  std::vector<std::tuple<int, uint64_t, uint64_t>> progress;
  std::string Joined() const {
    std::string all;
    for (const std::string& f : frames) all += f;
    return all;
  }
};

// `accept(i)` is asked before frame i (from 0) is taken; false refuses it.
Capture SendWith(MessageFrameSender& sender, const MessageObject& object,
                 const ChannelCipher& cipher, std::atomic<bool>* stop = nullptr,
                 const std::function<bool(size_t)>& accept = nullptr) {
  Capture c;
  auto sink = [&](const uint8_t* bytes, size_t count) {
    if (accept && !accept(c.frames.size())) return false;
    c.frames.emplace_back(reinterpret_cast<const char*>(bytes), count);
    return true;
  };
  auto progress = [&](int stage, uint64_t position, uint64_t size) {
    c.progress.emplace_back(stage, position, size);
  };
  c.sent = sender.Send(object, cipher, stop, sink, progress, &c.error);
  return c;
}

void ExpectSame(const Capture& one, const Capture& many) {
  EXPECT_EQ(one.sent, many.sent);
  EXPECT_EQ(one.error, many.error);
  ASSERT_EQ(one.frames.size(), many.frames.size());
  for (size_t i = 0; i < one.frames.size(); ++i) {
    EXPECT_TRUE(one.frames[i] == many.frames[i]) << "frame " << i << " differs";
  }
  EXPECT_EQ(one.progress, many.progress);
}

uint32_t CodeOf(const std::string& frame) {
  return GetFrameWord(reinterpret_cast<const uint8_t*>(frame.data()));
}

class FramePipelineTest : public ::testing::Test {
 protected:
  std::string MakeFile(const std::string& name, const std::string& content) {
    const std::string path = env_.Path(name);
    test::WriteFile(path, content);
    contents_.push_back(content);
    return path;
  }

  // A message whose object takes three frames, naming `paths`; serialized
  // once, so that every send carries the same transfer identifiers.
  MessageObject Object(const std::vector<std::string>& paths) {
    MessagePtr m = NewMessage();
    m->SetString(COMMAND, "DOCUMENTCMD");
    m->SetString(ParameterId(2), Text(2 * kFramePieceBytes + 100, 9));
    std::string list;
    for (const std::string& p : paths) list += (list.empty() ? "" : "?") + p;
    m->SetRawField(ParameterId(6), FIELD_FILELIST, list.data(), list.size());
    MessageObject object;
    EXPECT_TRUE(WriteMessageObject(*m, nullptr, &object));
    return object;
  }

  // Files of every shape: empty, small, exactly one piece, text of many
  // pieces, noise gzip cannot shrink, and one that does not exist.
  MessageObject Mixed() {
    return Object({MakeFile("empty", ""), MakeFile("small", Text(500, 1)),
                   MakeFile("one", Text(kFramePieceBytes, 2)),
                   MakeFile("text", Text(9 * kFramePieceBytes + 4321, 3)), env_.Path("missing"),
                   MakeFile("noise", Noise(3 * kFramePieceBytes + 7, 4))});
  }

  // Reads `bytes` back; the received files must hold `contents_` (the
  // missing file left out).
  void ExpectArrives(const std::string& bytes, const std::string& key) {
    MessageFrameReceiver receiver;
    receiver.SetKey(key);
    std::vector<MessagePtr> out;
    std::string error;
    EXPECT_TRUE(
        receiver.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &out, &error))
        << error;
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->GetErrorCode(), 0);
    std::vector<std::string> paths;
    out[0]->GetStringList(ParameterId(6), &paths, "?");
    std::vector<std::string> got;
    for (const std::string& p : paths) {
      if (std::filesystem::exists(p)) got.push_back(test::ReadFile(p));
    }
    EXPECT_TRUE(got == contents_);
  }

  test::TestEnv env_;
  std::vector<std::string> contents_;
};

// --- The same bytes whatever the worker count ---

TEST_F(FramePipelineTest, FramesAndProgressDoNotDependOnTheWorkerCount) {
  const MessageObject object = Mixed();
  MessageFrameSender one(1);
  for (const ChannelCipher& cipher : {Cipher(1, true), Cipher(0, false), Cipher(0, true)}) {
    const Capture reference = SendWith(one, object, cipher);
    ASSERT_TRUE(reference.sent) << reference.error;
    // Object in three frames, then 1 + 1 + 1 + 10 + 1 + 4 file frames.
    ASSERT_EQ(reference.frames.size(), 21u);
    EXPECT_EQ(CodeOf(reference.frames[0]), kFrameFirst);
    EXPECT_EQ(CodeOf(reference.frames[16]), kFrameFileFailed);
    for (int workers : {2, kWorkers, 5}) {
      MessageFrameSender many(workers);
      ExpectSame(reference, SendWith(many, object, cipher));
      // And once more from the same sender: nothing of the first message
      // is left in its ring.
      ExpectSame(reference, SendWith(many, object, cipher));
    }
    ExpectArrives(reference.Joined(), cipher.key);
  }
}

TEST_F(FramePipelineTest, PassPhraseFramesDifferPerRunButEachOpensAlone) {
  const MessageObject object = Mixed();
  MessageFrameSender many(kWorkers);
  const Capture a = SendWith(many, object, Cipher(9, true));
  const Capture b = SendWith(many, object, Cipher(9, true));
  ASSERT_TRUE(a.sent && b.sent);
  ASSERT_EQ(a.frames.size(), b.frames.size());
  EXPECT_NE(a.frames[5], b.frames[5]);  // a fresh salt per frame
  // Frames of the two runs mixed one by one still read as the message.
  std::string mixed;
  for (size_t i = 0; i < a.frames.size(); ++i) mixed += (i % 2 == 0 ? a : b).frames[i];
  ExpectArrives(mixed, kKey);
}

TEST_F(FramePipelineTest, SendersSharingTheWorkersKeepTheirOwnOrder) {
  const MessageObject object = Mixed();
  MessageFrameSender one(1);
  const std::string expected = SendWith(one, object, Cipher(1, true)).Joined();
  std::vector<std::string> got(3);
  std::vector<std::thread> threads;
  for (std::string& out : got) {
    threads.emplace_back([&] {
      MessageFrameSender many(kWorkers);
      out = SendWith(many, object, Cipher(1, true)).Joined();
    });
  }
  for (std::thread& t : threads) t.join();
  for (const std::string& out : got) EXPECT_TRUE(out == expected);
}

// --- Ends of a message: stop, failing read, refused frame, unbuildable ---

TEST_F(FramePipelineTest, StopSeenAfterAFrameEndsTheFilesAtTheSamePlace) {
  const MessageObject object = Mixed();
  for (size_t stop_after : {1u, 4u, 8u, 12u, 19u}) {
    Capture runs[2];
    for (int i = 0; i < 2; ++i) {
      MessageFrameSender sender(i == 0 ? 1 : kWorkers);
      std::atomic<bool> stop{false};
      runs[i] = SendWith(sender, object, Cipher(1, true), &stop, [&](size_t index) {
        if (index + 1 == stop_after) stop = true;
        return true;
      });
      // The flag cleared, the same sender sends the whole message again.
      stop = false;
      EXPECT_EQ(SendWith(sender, object, Cipher(1, true), &stop).frames.size(), 21u);
    }
    ExpectSame(runs[0], runs[1]);
    EXPECT_TRUE(runs[1].sent);
    // The object is never cut; file frames end where the flag was seen.
    EXPECT_EQ(runs[1].frames.size(), std::max<size_t>(stop_after, 3));
  }
}

TEST_F(FramePipelineTest, StopFromAnotherThreadLeavesAPrefixOfTheMessage) {
  const MessageObject object = Object({MakeFile("big", Text(40 * kFramePieceBytes, 5))});
  MessageFrameSender one(1);
  const Capture whole = SendWith(one, object, Cipher(1, true));
  MessageFrameSender many(kWorkers);
  for (int delay_us : {0, 300, 3000}) {
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
      std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
      stop = true;
    });
    const Capture cut = SendWith(many, object, Cipher(1, true), &stop);
    stopper.join();
    EXPECT_TRUE(cut.sent);
    ASSERT_LE(cut.frames.size(), whole.frames.size());
    for (size_t i = 0; i < cut.frames.size(); ++i) {
      EXPECT_TRUE(cut.frames[i] == whole.frames[i]) << "frame " << i;
    }
  }
}

TEST_F(FramePipelineTest, FailingReadEndsThatFileWithAFailureChunkAndTheNextFollows) {
  const std::string bad = MakeFile("bad", Text(6 * kFramePieceBytes, 6));
  const MessageObject object = Object({bad, MakeFile("good", Text(3 * kFramePieceBytes, 7))});
  test::FaultInjectingFactory faults;
  faults.FailReadOf(bad, 3);
  MessageFrameSender one(1);
  MessageFrameSender many(kWorkers);
  const Capture reference = SendWith(one, object, Cipher(1, true));
  ExpectSame(reference, SendWith(many, object, Cipher(1, true)));
  // Object (3), two pieces of the bad file, its failure chunk, the good file.
  ASSERT_EQ(reference.frames.size(), 9u);
  EXPECT_EQ(CodeOf(reference.frames[5]), kFrameFileFailed);
  EXPECT_EQ(CodeOf(reference.frames[8]), kFrameFileLast);
}

TEST_F(FramePipelineTest, RefusedFrameEndsTheMessageAndTheSenderStaysUsable) {
  const MessageObject object = Mixed();
  MessageFrameSender one(1);
  const Capture whole = SendWith(one, object, Cipher(1, true));
  MessageFrameSender many(kWorkers);
  for (size_t refuse_at : {0u, 2u, 7u, 20u}) {
    const auto accept = [&](size_t index) { return index < refuse_at; };
    const Capture reference = SendWith(one, object, Cipher(1, true), nullptr, accept);
    const Capture cut = SendWith(many, object, Cipher(1, true), nullptr, accept);
    ExpectSame(reference, cut);
    EXPECT_FALSE(cut.sent);
    EXPECT_EQ(cut.error, "the connection did not take a frame");
    EXPECT_EQ(cut.frames.size(), refuse_at);
    ExpectSame(whole, SendWith(many, object, Cipher(1, true)));
  }
}

TEST_F(FramePipelineTest, FrameThatCannotBeSealedSendsNothing) {
  // Selector 1 without a key: neither the small object built on the
  // sending thread nor a large one built by a worker leaves in clear.
  ChannelCipher keyless = Cipher(1, true);
  keyless.key.clear();
  const MessageObject large = Object({});  // frames built by the workers
  MessagePtr m = NewMessage();
  m->SetString(COMMAND, "X");
  MessageObject tiny;  // one small frame, built on the sending thread
  ASSERT_TRUE(WriteMessageObject(*m, nullptr, &tiny));
  for (const MessageObject* object : {&large, static_cast<const MessageObject*>(&tiny)}) {
    MessageFrameSender one(1);
    MessageFrameSender many(kWorkers);
    const Capture reference = SendWith(one, *object, keyless);
    ExpectSame(reference, SendWith(many, *object, keyless));
    EXPECT_FALSE(reference.sent);
    EXPECT_EQ(reference.error, "a frame could not be built");
    EXPECT_TRUE(reference.frames.empty());
  }
}

// --- Over a real connection ---

TEST_F(FramePipelineTest, PeerGoingAwayMidFileFailsTheSendWithoutHanging) {
  setenv("VELTRANE_WORKERS", "4", 1);
  auto listener = CreateSocket();
  ASSERT_EQ(listener->Listen(4, 0, kSocketStream), kSocketOk);
  NetAddress bound;
  ASSERT_EQ(listener->LocalAddress(&bound), kSocketOk);
  auto client = CreateSocket();
  ASSERT_EQ(client->Connect(CreateAddress(127, 0, 0, 1, bound.Port()), kSocketStream), kSocketOk);
  std::unique_ptr<CIOSocket> served;
  ASSERT_EQ(listener->Accept(&served, 5000), kSocketOk);
  MessageChannel channel(std::move(client));
  channel.SetSendCipher(Cipher(1, true));
  const MessageObject object = Object({MakeFile("big", Noise(64 * kFramePieceBytes, 8))});

  // The peer reads the first few frames' worth, then closes.
  std::thread peer([&] {
    std::vector<uint8_t> scratch(65536);
    size_t total = 0;
    while (total < 4 * kFramePieceBytes && served->WaitReadable(10000) == kSocketOk) {
      size_t n = 0;
      const int r = served->Receive(scratch.data(), scratch.size(), &n);
      if (r == kSocketOk) total += n;
      if (r != kSocketOk && r != kSocketWouldBlock) break;
    }
    served->Close();
  });
  uint64_t last_position = 0;
  const bool sent = channel.SendObject(
      object, [&](int, uint64_t position, uint64_t) { last_position = position; });
  peer.join();
  unsetenv("VELTRANE_WORKERS");
  EXPECT_FALSE(sent);
  EXPECT_LT(last_position, 64 * kFramePieceBytes);
}

TEST_F(FramePipelineTest, WorkersStartForLargePayloadsOnlyAndStopWithTheLastSender) {
  // The workers by their name: a sanitizer may start threads of its own.
  auto threads = [] {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      count += test::ReadFile(task.path().string() + "/comm") ==
               std::string(kFrameWorkerThreadName) + "\n";
    }
    return count;
  };
  const int before = threads();
  {
    MessageFrameSender many(kWorkers);
    MessagePtr m = NewMessage();
    m->SetString(COMMAND, "GETNAMELIST");
    m->SetString(ParameterId(1), Text(400, 10));
    MessageObject small;
    ASSERT_TRUE(WriteMessageObject(*m, nullptr, &small));
    EXPECT_TRUE(SendWith(many, small, Cipher(1, true)).sent);
    EXPECT_EQ(threads(), before);
    EXPECT_TRUE(
        SendWith(many, Object({MakeFile("f", Text(kFramePieceBytes * 3, 11))}), Cipher(1, true))
            .sent);
    EXPECT_EQ(threads(), before + kWorkers);
  }
  EXPECT_EQ(threads(), before);
}

// --- Kept members ---

std::string Member(const std::string& bytes, int level) {
  SecureBytes out;
  EXPECT_EQ(0, CRLDATcrypto::GzipPayload(bytes.data(), bytes.size(), &out, level));
  return std::string(reinterpret_cast<const char*>(out.data()), out.size());
}

// A data chunk's payload: D, then the piece.
std::string DataPayload(const std::string& content, size_t piece_index) {
  const std::string piece = content.substr(piece_index * kPieceSize, kPieceSize);
  std::string payload;
  AppendU32(&payload, static_cast<uint32_t>(piece.size()));
  return payload + piece;
}

std::string Record(const std::string& member) {
  std::string record;
  AppendU32(&record, static_cast<uint32_t>(member.size()));
  return record + member;
}

// A receiver asked to keep members writes, beside each received file whose
// data chunks came compressed, one record per data chunk holding exactly
// that chunk; the set hands it over with its file, or removes it with it.
TEST_F(FramePipelineTest, AReceiverKeepsTheMembersOfCompressedDataChunks) {
  MessageFrameSender many(kWorkers);
  const Capture sent = SendWith(many, Mixed(), Cipher(1, true));
  ASSERT_TRUE(sent.sent) << sent.error;
  const std::string bytes = sent.Joined();
  const std::string& text = contents_[3];
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep);
    MessageReaderOptions options;
    if (keep) options.keep_file_members = [](uint64_t) { return true; };
    MessageFrameReceiver receiver(options);
    receiver.SetKey(kKey);
    std::vector<MessagePtr> out;
    std::string error;
    ASSERT_TRUE(
        receiver.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &out, &error))
        << error;
    ASSERT_EQ(out.size(), 1u);
    std::vector<std::string> paths;
    out[0]->GetStringList(ParameterId(6), &paths, "?");
    ASSERT_EQ(paths.size(), 6u);
    // Only the text of many pieces has data chunks that gzip shrinks.
    for (size_t i : {0, 1, 2, 5}) EXPECT_FALSE(std::filesystem::exists(paths[i] + ".z")) << i;
    const std::string members = paths[3] + ".z";
    ASSERT_EQ(std::filesystem::exists(members), keep);
    if (!keep) continue;
    std::string kept = test::ReadFile(members);
    const size_t data_chunks = text.size() / kPieceSize;
    for (size_t chunk = 1; chunk <= data_chunks; ++chunk) {
      ASSERT_GE(kept.size(), 4u) << chunk;
      const uint32_t length = GetU32(reinterpret_cast<const uint8_t*>(kept.data()));
      ASSERT_GE(kept.size() - 4, length) << chunk;
      const std::string payload = DataPayload(text, chunk);
      EXPECT_TRUE(
          CRLDATcrypto::GzipMemberHolds(kept.data() + 4, length, payload.data(), payload.size()))
          << "chunk " << chunk;
      kept.erase(0, 4 + length);
    }
    EXPECT_TRUE(kept.empty()) << kept.size() << " bytes beyond the last chunk's record";

    ScratchFiles& set = *out[0]->scratch_files();
    std::string digest, taken;
    ASSERT_TRUE(set.Take(paths[3], &digest, &taken));
    EXPECT_EQ(taken, members);
    // Taken without asking for its members, a file leaves none behind.
    ASSERT_TRUE(set.Take(paths[1]));
    EXPECT_FALSE(std::filesystem::exists(paths[1] + ".z"));
    out.clear();  // the message goes: what it still held goes with it
    EXPECT_TRUE(std::filesystem::exists(members));
    EXPECT_FALSE(std::filesystem::exists(paths[2]));
    std::filesystem::remove(paths[1]);
    std::filesystem::remove(paths[3]);
    std::filesystem::remove(members);
  }
}

// A clear frame of `code` carrying `payload` as it stands.
std::string RawFrame(uint32_t code, const std::string& payload, bool compressed) {
  FrameHeader header;
  header.code = code;
  header.compressed = compressed ? 1 : 0;
  header.length = static_cast<uint32_t>(payload.size());
  std::string frame(kFrameHeaderBytes, '\0');
  EncodeFrameHeader(header, reinterpret_cast<uint8_t*>(&frame[0]));
  return frame + payload;
}

// What a sender of its own making sends: the object of a message naming
// one file, then that file in chunks carrying `pieces` (compressed clear
// frames; `dressed` marks the data chunks whose member gets a file name in
// its header, which gzip readers take). The members a receiver keeps.
std::string KeptAfter(const std::vector<std::string>& pieces, const std::vector<bool>& dressed,
                      const std::string& scratch) {
  MessagePtr m = NewMessage();
  m->SetString(COMMAND, "DOCUMENTCMD");
  const std::string file = scratch + "/sent";
  std::string all;
  for (const std::string& piece : pieces) all += piece;
  test::WriteFile(file, all);
  m->SetRawField(ParameterId(6), FIELD_FILELIST, file.data(), file.size());
  MessageObject object;
  EXPECT_TRUE(WriteMessageObject(*m, nullptr, &object));
  std::string wire = RawFrame(kFrameWhole, object.bytes, false);
  for (size_t i = 0; i < pieces.size(); ++i) {
    std::string payload;
    if (i == 0) {
      AppendU32(&payload, kTransferIdSize);
      payload.append(reinterpret_cast<const char*>(object.files[0].transfer_id.bytes.data()),
                     kTransferIdSize);
      AppendU32(&payload, static_cast<uint32_t>(all.size()));
      AppendU32(&payload, 0);
    }
    AppendU32(&payload, static_cast<uint32_t>(pieces[i].size()));
    payload += pieces[i];
    std::string member = Member(payload, kFrameDeflateLevel);
    if (i < dressed.size() && dressed[i]) {
      member[3] = 0x08;  // FNAME
      member.insert(10, std::string("a name\0", 7));
    }
    const uint32_t code = i == 0                   ? kFrameFileFirst
                          : i + 1 == pieces.size() ? kFrameFileLast
                                                   : kFrameFileMiddle;
    wire += RawFrame(code, member, true);
  }
  MessageReaderOptions options;
  options.keep_file_members = [](uint64_t) { return true; };
  MessageFrameReceiver receiver(options);
  std::vector<MessagePtr> out;
  std::string error;
  EXPECT_TRUE(
      receiver.Feed(reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), &out, &error))
      << error;
  EXPECT_EQ(out.size(), 1u);
  if (out.size() != 1) return std::string();
  std::vector<std::string> paths;
  out[0]->GetStringList(ParameterId(6), &paths, "?");
  EXPECT_EQ(paths.size(), 1u);
  if (paths.size() != 1) return std::string();
  EXPECT_TRUE(test::ReadFile(paths[0]) == all);
  std::string members;
  EXPECT_TRUE(out[0]->scratch_files()->Take(paths[0], nullptr, &members));
  std::string kept = members.empty() ? "none" : test::ReadFile(members);
  std::filesystem::remove(paths[0]);
  if (!members.empty()) std::filesystem::remove(members);
  return kept;
}

// A receiver keeps only what it could send again as it is: no member with
// a header of the sender's making, none at all for a file cut into pieces
// smaller than every sender cuts (the members could outgrow the file many
// times over, and would never be in step with the chunks sent again).
TEST_F(FramePipelineTest, AReceiverKeepsNoMemberItCouldNotSendAgainAsItIs) {
  const std::string whole = Text(kPieceSize, 5);
  const std::string scratch = env_.Path("");
  const std::string dressed = KeptAfter({whole, whole, whole, "tail"}, {false, true}, scratch);
  // The dressed one is a zero; the next two are kept.
  ASSERT_GE(dressed.size(), 12u);
  EXPECT_EQ(0u, GetU32(reinterpret_cast<const uint8_t*>(dressed.data())));
  const uint32_t second = GetU32(reinterpret_cast<const uint8_t*>(dressed.data()) + 4);
  std::string payload;
  AppendU32(&payload, kPieceSize);
  payload += whole;
  EXPECT_TRUE(
      CRLDATcrypto::GzipMemberHolds(dressed.data() + 8, second, payload.data(), payload.size()));
  EXPECT_EQ("none", KeptAfter({whole, whole.substr(0, 1000), whole, "tail"}, {}, scratch));
  EXPECT_EQ("none", KeptAfter({whole, "a", "b", "c"}, {}, scratch));
  EXPECT_EQ("none", KeptAfter({"a", whole, whole, "tail"}, {}, scratch));
  // A short last piece is every file's end; its member, no shorter than
  // what it holds, is none.
  const std::string ended = KeptAfter({whole, whole, "tail"}, {}, scratch);
  ASSERT_GE(ended.size(), 8u);
  const uint32_t first = GetU32(reinterpret_cast<const uint8_t*>(ended.data()));
  ASSERT_EQ(ended.size(), 4 + first + 4u);
  EXPECT_EQ(0u, GetU32(reinterpret_cast<const uint8_t*>(ended.data()) + 4 + first));
}

// A sender given kept members sends one as a frame's payload only when it
// holds exactly that chunk's bytes: a member of another chunk, and every
// chunk after a record cut short, are compressed anew; the files arrive
// whole either way, and the frames do not depend on the worker count.
TEST_F(FramePipelineTest, ASenderSendsAKeptMemberOnlyWhenItHoldsTheChunk) {
  const std::string text = Text(4 * kPieceSize, 11);
  const std::string path = MakeFile("kept", text);
  const std::string good = Member(DataPayload(text, 1), 1);
  const std::string wrong = Member(DataPayload(text, 3), 1);  // the same size, other bytes
  const std::string later = Member(DataPayload(text, 3), 1);
  test::WriteFile(path + ".z", Record(good) + Record(wrong) + Record(later));
  const std::string cut = path + ".cut.z";
  test::WriteFile(cut, Record(good) + Record(later).substr(0, 40));
  for (const std::string& members : {path + ".z", cut}) {
    SCOPED_TRACE(members);
    MessageObject object = Object({path});
    ASSERT_EQ(object.files.size(), 1u);
    object.files[0].members_path = members;
    MessageFrameSender one(1);
    MessageFrameSender many(kWorkers);
    const Capture a = SendWith(one, object, Cipher(0, true));
    const Capture b = SendWith(many, object, Cipher(0, true));
    ExpectSame(a, b);
    ASSERT_TRUE(a.sent) << a.error;
    std::vector<std::string> payloads;  // of the data frames, in order
    for (const std::string& frame : a.frames) {
      const uint32_t code = CodeOf(frame);
      if (code == kFrameFileMiddle || code == kFrameFileLast) {
        payloads.push_back(frame.substr(kFrameHeaderBytes));
      }
    }
    ASSERT_EQ(payloads.size(), 3u);
    EXPECT_TRUE(payloads[0] == good);
    EXPECT_TRUE(payloads[1] == Member(DataPayload(text, 2), kFrameDeflateLevel));
    if (members == cut) {
      EXPECT_TRUE(payloads[2] == Member(DataPayload(text, 3), kFrameDeflateLevel));
    } else {
      EXPECT_TRUE(payloads[2] == later);
    }
    ExpectArrives(a.Joined(), "");
  }
}

TEST(FrameWorkerCount, EnvironmentOverridesWithinBounds) {
  setenv("VELTRANE_WORKERS", "3", 1);
  EXPECT_EQ(FrameWorkerCount(), 3);
  const int hardware = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 8);
  for (const char* bad : {"0", "-2", "65", "4x", ""}) {
    setenv("VELTRANE_WORKERS", bad, 1);
    EXPECT_EQ(FrameWorkerCount(), hardware) << bad;
  }
  unsetenv("VELTRANE_WORKERS");
  EXPECT_EQ(FrameWorkerCount(), hardware);
}

}  // namespace
}  // namespace tw
