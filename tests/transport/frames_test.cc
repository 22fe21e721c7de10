// Frames end to end: what the writer puts on the wire (header bytes, the
// gzip-only-when-shorter rule, refusal to send under a failed cipher), and
// what the reader makes of it: piece boundaries, joined messages, fragmented
// input, junk and bad headers, undecryptable frames, the wait for the key,
// frames opened on several workers, the item queue across threads. (That
// openssl and gzip decode a frame payload is in crypto_test.cc.)
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/test_env.h"
#include "transport/buffer.h"
#include "transport/frame_format.h"
#include "transport/frame_reader.h"
#include "transport/frame_writer.h"

namespace tw {
namespace {

using namespace std::chrono_literals;

const std::string kKey = "0123456789ABCDEF0123456789ABCDEF89ABCDEF0123456789ABCDEF01234567";

std::string RandomText(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

std::string Compressible(size_t n) {
  std::string s;
  while (s.size() < n) s += "field " + std::to_string(s.size() % 977) + ";";
  s.resize(n);
  return s;
}

// The frames of one serialized message, each as sent.
std::vector<std::string> Frames(const std::string& message, uint32_t selector, bool compress,
                                const std::string& key = kKey) {
  std::vector<std::string> frames;
  BufferRef buffer = CIOBufferSimple::Create(kFrameBufferCapacity);
  EXPECT_TRUE(WriteMessageFrames(message.data(), message.size(), selector, compress, key,
                                 buffer.get(), [&](const uint8_t* bytes, size_t count) {
                                   frames.emplace_back(reinterpret_cast<const char*>(bytes), count);
                                   return true;
                                 }));
  return frames;
}

std::string Joined(const std::vector<std::string>& frames) {
  std::string all;
  for (const auto& f : frames) all += f;
  return all;
}

// One frame built from a buffer with the given flags.
std::string FileFrame(int kind, const std::string& payload, uint32_t selector = 0) {
  BufferRef b = CIOBufferSimple::Create(kFrameBufferCapacity);
  b->Append(payload.data(), payload.size());
  b->SetFileContent(true);
  b->SetPartKind(kind);
  b->SetSelector(selector);
  EXPECT_TRUE(FilterWriteRequest(b.get(), kKey));
  return std::string(reinterpret_cast<const char*>(b->Data()), static_cast<size_t>(b->Length()));
}

FrameHeader HeaderOf(const std::string& frame) {
  return DecodeFrameHeader(reinterpret_cast<const uint8_t*>(frame.data()));
}

std::string Word(uint32_t value) {
  uint8_t b[4];
  PutFrameWord(b, value);
  return std::string(reinterpret_cast<char*>(b), 4);
}

std::string Header(uint32_t code, uint32_t selector, uint32_t compressed, uint32_t length) {
  return Word(code) + Word(selector) + Word(compressed) + Word(length);
}

struct Item {
  uint32_t code;
  std::string bytes;
  bool operator==(const Item& o) const { return code == o.code && bytes == o.bytes; }
};

void PrintTo(const Item& item, std::ostream* os) {
  *os << std::hex << "{0x" << item.code << std::dec << ", " << item.bytes.size() << " bytes}";
}

std::vector<Item> Drain(CIOFrameReader* reader) {
  std::vector<Item> items;
  FramePayload payload;
  while (uint32_t code = reader->PopItem(&payload)) {
    items.push_back({code, std::string(payload->begin(), payload->end())});
  }
  return items;
}

CIOFrameReader::Options ShortWait() {
  CIOFrameReader::Options options;
  options.key_wait = 10ms;
  return options;
}

// Feeds everything at once; returns Parse's result.
bool Feed(CIOFrameReader* reader, const std::string& bytes) {
  reader->AddBytes(bytes.data(), bytes.size());
  return reader->Parse();
}

// ---------------------------------------------------------------- the writer

TEST(FrameWriter, HeaderIsFourBigEndianWordsBeforeThePayload) {
  const std::vector<std::string> frames = Frames("abc", kCipherClear, false);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(std::string("\x03\x10\x19\x62\0\0\0\0\0\0\0\0\0\0\0\x03"
                        "abc",
                        19),
            frames[0]);
  const std::string failed = FileFrame(CIOBufferSimple::kPartFailed, std::string(32, '\0'));
  EXPECT_EQ(Header(kFrameFileFailed, 0, 0, 32), failed.substr(0, 16));
}

TEST(FrameWriter, GzipIsKeptOnlyWhenStrictlyShorter) {
  const std::string text = Compressible(20000);
  const std::string noise = RandomText(20000, 1);
  for (uint32_t selector : {kCipherClear, kCipherAes, kCipherPassPhrase}) {
    SCOPED_TRACE(selector);
    const std::string zipped = Frames(text, selector, true)[0];
    EXPECT_EQ(1u, HeaderOf(zipped).compressed);
    EXPECT_EQ(selector, HeaderOf(zipped).selector);
    EXPECT_LT(zipped.size(), 5000u);
    // A nonzero selector forces compression on even when the switch is off.
    EXPECT_EQ(selector != kCipherClear ? 1u : 0u,
              HeaderOf(Frames(text, selector, false)[0]).compressed);

    const std::string raw = Frames(noise, selector, true)[0];
    EXPECT_EQ(0u, HeaderOf(raw).compressed);
    EXPECT_EQ(raw.size() - 16, HeaderOf(raw).length);
    if (selector == kCipherClear) {
      EXPECT_EQ(noise, raw.substr(16));
    }
  }
}

TEST(FrameWriter, NothingIsSentWhenThePayloadCannotBeEncrypted) {
  test::TestEnv env;
  BufferRef b = CIOBufferSimple::Create(kFrameBufferCapacity);
  const std::string secret = "password=hunter2";
  for (uint32_t selector : {kCipherAes, 5u}) {
    b->Assign(secret.data(), secret.size());
    b->SetPartKind(CIOBufferSimple::kPartWhole);
    b->SetSelector(selector);
    EXPECT_FALSE(FilterWriteRequest(b.get(), selector == kCipherAes ? "" : kKey));
    EXPECT_EQ(0, b->Length());
    EXPECT_EQ(0u, b->Selector());
  }
  int sends = 0;
  EXPECT_FALSE(WriteMessageFrames(secret.data(), secret.size(), kCipherPassPhrase, true, "",
                                  b.get(), [&](const uint8_t*, size_t) { return ++sends, true; }));
  EXPECT_EQ(0, sends);

  // A frame larger than the buffer: the header does not fit.
  BufferRef small = CIOBufferSimple::Create(20);
  small->Append(secret.data(), 10);
  EXPECT_FALSE(FilterWriteRequest(small.get(), kKey));
  EXPECT_EQ(0, small->Length());

  const std::string log = test::ReadFile(env.Path("debug.log"));
  EXPECT_NE(std::string::npos, log.find("FilterWriteRequest - Symmetric key not set\n"));
  EXPECT_NE(std::string::npos,
            log.find("FilterWriteRequest - Encryption selector 5 not supported\n"));
  EXPECT_NE(std::string::npos, log.find("FilterWriteRequest - Buffer overflow\n"));
  EXPECT_EQ(std::string::npos, log.find("hunter2"));
}

TEST(FrameWriter, SendFailureStopsTheMessage) {
  BufferRef b = CIOBufferSimple::Create(kFrameBufferCapacity);
  const std::string message = RandomText(300000, 2);
  int sends = 0;
  EXPECT_FALSE(WriteMessageFrames(message.data(), message.size(), 0, false, "", b.get(),
                                  [&](const uint8_t*, size_t) { return ++sends < 2; }));
  EXPECT_EQ(2, sends);
  BufferRef tiny = CIOBufferSimple::Create(1000);
  EXPECT_THROW(WriteMessageFrames(message.data(), message.size(), 0, false, "", tiny.get(),
                                  [](const uint8_t*, size_t) { return true; }),
               std::runtime_error);
}

// ---------------------------------------------------------------- round trips

TEST(FrameRoundTrip, EverySelectorWithAndWithoutCompressionRoundTrips) {
  for (uint32_t selector : {kCipherClear, kCipherAes, kCipherPassPhrase}) {
    for (bool compress : {false, true}) {
      for (const std::string& message : {Compressible(5000), RandomText(5000, 3), std::string()}) {
        SCOPED_TRACE(testing::Message() << selector << " " << compress << " " << message.size());
        const std::vector<std::string> frames = Frames(message, selector, compress);
        ASSERT_EQ(1u, frames.size());
        CIOFrameReader reader;
        reader.SetKey(kKey);
        EXPECT_TRUE(Feed(&reader, frames[0]));
        EXPECT_EQ((std::vector<Item>{{kFrameWhole, message}}), Drain(&reader));
      }
    }
  }
}

TEST(FrameRoundTrip, PieceBoundaries) {
  for (uint32_t selector : {kCipherClear, kCipherAes, kCipherPassPhrase}) {
    SCOPED_TRACE(selector);
    CIOFrameReader reader;
    reader.SetKey(kKey);
    // Random bytes do not compress: the fullest frames there are.
    const std::string exact = RandomText(kFramePieceBytes, 4);
    std::vector<std::string> frames = Frames(exact, selector, true);
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(kFrameWhole, HeaderOf(frames[0]).code);
    EXPECT_LE(frames[0].size(), static_cast<size_t>(kFrameBufferCapacity));
    EXPECT_TRUE(Feed(&reader, frames[0]));
    EXPECT_EQ((std::vector<Item>{{kFrameWhole, exact}}), Drain(&reader));

    const std::string over = RandomText(kFramePieceBytes + 1, 5);
    frames = Frames(over, selector, false);
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(kFrameFirst, HeaderOf(frames[0]).code);
    EXPECT_EQ(kFrameLast, HeaderOf(frames[1]).code);
    if (selector == kCipherClear) {
      EXPECT_EQ(17u, frames[1].size());
    }
    EXPECT_TRUE(Feed(&reader, frames[0]));
    EXPECT_EQ(0u, reader.ItemCount());  // a first frame delivers nothing yet
    EXPECT_TRUE(Feed(&reader, frames[1]));
    EXPECT_EQ((std::vector<Item>{{kFrameLast, over}}), Drain(&reader));
  }
}

TEST(FrameRoundTrip, ALongMessageTravelsAsFirstMiddleLast) {
  const std::string message = Compressible(300000);
  const std::vector<std::string> frames = Frames(message, kCipherAes, true);
  ASSERT_EQ(3u, frames.size());
  EXPECT_EQ(kFrameFirst, HeaderOf(frames[0]).code);
  EXPECT_EQ(kFrameMiddle, HeaderOf(frames[1]).code);
  EXPECT_EQ(kFrameLast, HeaderOf(frames[2]).code);
  CIOFrameReader reader;
  reader.SetKey(kKey);
  EXPECT_TRUE(Feed(&reader, Joined(frames)));
  EXPECT_EQ((std::vector<Item>{{kFrameLast, message}}), Drain(&reader));
}

// ---------------------------------------------------------------- hostile and broken input

TEST(FrameReader, FragmentedInputGivesTheSameItems) {
  std::string stream;
  std::vector<Item> expected;
  for (int i = 0; i < 6; ++i) {
    const std::string message = i % 2 ? RandomText(40000 * i, i) : Compressible(70000 * i + 1);
    stream += Joined(Frames(message,
                            i % 3 == 0   ? kCipherClear
                            : i % 3 == 1 ? kCipherAes
                                         : kCipherPassPhrase,
                            i % 2 == 0));
    expected.push_back({message.size() > kFramePieceBytes ? kFrameLast : kFrameWhole, message});
  }
  CIOFrameReader reader;
  reader.SetKey(kKey);
  for (char c : stream) {
    reader.AddBytes(&c, 1);
    ASSERT_TRUE(reader.Parse());
  }
  EXPECT_EQ(expected, Drain(&reader));
}

TEST(FrameReader, JunkAndBadHeadersAreSkipped) {
  const std::string frame = Frames("payload", kCipherClear, false)[0];
  // Near misses: an unknown nibble, a wrong low word, a cut-off code.
  const std::string junk = "junk" + Word(0x93101962) + Word(0x03101963) + "\x03\x10\x19";
  CIOFrameReader reader;
  EXPECT_TRUE(Feed(&reader, junk + frame));
  EXPECT_EQ((std::vector<Item>{{kFrameWhole, "payload"}}), Drain(&reader));

  // A length beyond any sender's buffer is no frame: the parse reports it and
  // finds the frame hidden behind.
  EXPECT_FALSE(Feed(&reader, Header(kFrameWhole, 0, 0, kMaxFramePayload + 1) + frame));
  EXPECT_EQ((std::vector<Item>{{kFrameWhole, "payload"}}), Drain(&reader));
  EXPECT_TRUE(Feed(&reader, Header(kFrameWhole, 0, 0, kMaxFramePayload)));
  EXPECT_EQ(0u, reader.ItemCount());  // waits for the payload
}

TEST(FrameReader, UndecodablePayloadsAreDroppedAndReadingGoesOn) {
  const std::string good = Frames("good", kCipherAes, true)[0];
  const std::string wrong_key = Frames("secret", kCipherAes, true, std::string(64, 'Z'))[0];
  const std::string bad_phrase = Frames("secret", kCipherPassPhrase, true, "other")[0];
  const std::string bad_gzip = Header(kFrameWhole, 0, 1, 5) + "nogzp";
  const std::string unknown_selector = Header(kFrameWhole, 5, 0, 16) + std::string(16, 'x');
  for (const std::string& bad : {wrong_key, bad_phrase, bad_gzip, unknown_selector}) {
    CIOFrameReader reader;
    reader.SetKey(kKey);
    EXPECT_FALSE(Feed(&reader, bad + good));
    EXPECT_EQ((std::vector<Item>{{kFrameWhole, "good"}}), Drain(&reader));
  }

  // A message missing a piece is dropped whole, its later pieces with it.
  std::vector<std::string> pieces = Frames(Compressible(300000), kCipherAes, true);
  ASSERT_EQ(1u, HeaderOf(pieces[1]).compressed);
  pieces[1][100] ^= 1;
  CIOFrameReader reader;
  reader.SetKey(kKey);
  EXPECT_FALSE(Feed(&reader, Joined(pieces) + good));
  EXPECT_EQ((std::vector<Item>{{kFrameWhole, "good"}}), Drain(&reader));

  // Pieces that continue no message, and a message abandoned by a file frame.
  pieces = Frames(RandomText(300000, 9), kCipherClear, false);
  EXPECT_FALSE(Feed(&reader, pieces[1] + pieces[2]));
  EXPECT_FALSE(Feed(&reader, pieces[0] + FileFrame(CIOBufferSimple::kPartWhole, "f") + pieces[2]));
  EXPECT_EQ((std::vector<Item>{{kFrameFileWhole, "f"}}), Drain(&reader));
}

TEST(FrameReader, JoinedMessagesAreCapped) {
  CIOFrameReader::Options options;
  options.max_message_bytes = 200000;
  CIOFrameReader reader(options);
  EXPECT_FALSE(Feed(&reader, Joined(Frames(RandomText(300000, 10), 0, false))));
  EXPECT_EQ(0u, reader.ItemCount());
  const std::string fits = RandomText(200000, 11);
  EXPECT_TRUE(Feed(&reader, Joined(Frames(fits, 0, false))));
  EXPECT_EQ((std::vector<Item>{{kFrameLast, fits}}), Drain(&reader));
}

TEST(FrameReader, EncryptedFrameBeforeTheKeyWaitsOnceThenThrows) {
  CIOFrameReader reader(ShortWait());
  const std::string clear = Frames("clear", kCipherClear, false)[0];
  try {
    Feed(&reader, Frames("first", kCipherAes, true)[0] + clear);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("Symmetric key not set", e.what());
  }
  // The encrypted frame is gone; the reader goes on with what follows it.
  EXPECT_TRUE(reader.Parse());
  EXPECT_EQ((std::vector<Item>{{kFrameWhole, "clear"}}), Drain(&reader));

  // A key that arrives during the wait is used at once.
  CIOFrameReader::Options patient;
  patient.key_wait = 60s;
  CIOFrameReader waiting(patient);
  std::thread installer([&] {
    std::this_thread::sleep_for(20ms);
    waiting.SetKey(kKey);
  });
  EXPECT_TRUE(Feed(&waiting, Frames("late key", kCipherPassPhrase, true)[0]));
  installer.join();
  EXPECT_EQ((std::vector<Item>{{kFrameWhole, "late key"}}), Drain(&waiting));
}

TEST(FrameReader, ResetForgetsBytesMessagesAndItemsButKeepsTheKey) {
  CIOFrameReader reader;
  reader.SetKey(kKey);
  const std::vector<std::string> pieces = Frames(RandomText(300000, 12), kCipherAes, true);
  EXPECT_TRUE(
      Feed(&reader, Frames("queued", kCipherAes, true)[0] + pieces[0] + pieces[1].substr(0, 1000)));
  EXPECT_EQ(1u, reader.ItemCount());
  reader.Reset();
  EXPECT_EQ(0u, reader.PopItem(nullptr));
  // Neither the half frame nor the open message survive: the old last piece
  // continues nothing, and a fresh frame is read from its first byte.
  EXPECT_FALSE(Feed(&reader, pieces[2]));
  EXPECT_TRUE(Feed(&reader, Frames("after", kCipherAes, true)[0]));
  EXPECT_EQ((std::vector<Item>{{kFrameWhole, "after"}}), Drain(&reader));
}

// Frames opened on several workers come out exactly as one thread opens
// them: the same items in the same order, the same report from every Parse,
// whatever the read sizes, with bad frames, pieces of a broken message and
// junk in the middle of a batch; with a clear frame after the key ending the
// stream where it stands; and with no key at all (every Parse waits once,
// then throws, and the clear frames still come through). The sealed frames
// are large, so that each batch goes to the workers; run under
// ThreadSanitizer.
TEST(FrameReader, OpeningOnSeveralWorkersGivesWhatOneThreadGives) {
  std::string stream;
  std::vector<std::string> broken = Frames(Compressible(400000), kCipherAes, true);
  broken[2][200] ^= 1;
  for (int i = 0; i < 8; ++i) {
    stream += Joined(Frames(i % 2 ? RandomText(150000 + 7000 * i, 20 + i) : Compressible(300000),
                            i % 3 == 2 ? kCipherPassPhrase : kCipherAes, true));
    stream += FileFrame(i % 2 ? CIOBufferSimple::kPartWhole : CIOBufferSimple::kPartFirst,
                        RandomText(kFramePieceBytes, 40 + i), kCipherAes);
    if (i == 3) stream += Joined(broken) + "junk" + Header(kFrameWhole, 5, 0, 4) + "xxxx";
    if (i == 5) stream += Frames(std::string(20000, 'z'), kCipherAes, true, "other")[0];
  }
  const std::string clear = Frames(Compressible(100000), kCipherClear, true)[0];
  const std::string after_fault = Frames(Compressible(200000), kCipherAes, true)[0];

  enum class Mode { kKeyed, kFault, kNoKey };
  enum Parsed { kFalse, kTrue, kThrew };
  struct Run {
    std::vector<Parsed> parses;
    std::vector<Item> items;
    bool fault = false;
  };
  auto run = [&](int workers, size_t read_size, Mode mode) {
    CIOFrameReader::Options options = ShortWait();
    options.key_wait = 1ms;
    options.workers = workers;
    CIOFrameReader reader(options);
    if (mode != Mode::kNoKey) reader.SetKey(kKey);
    std::string input = stream;
    if (mode == Mode::kFault) input += clear + after_fault;
    if (mode == Mode::kNoKey) input = clear + input + clear;
    Run result;
    std::mt19937 gen(static_cast<unsigned>(read_size));
    for (size_t at = 0; at < input.size();) {
      const size_t n = std::min(input.size() - at, read_size > 0 ? read_size : 1 + gen() % 300000);
      reader.AddBytes(input.data() + at, n);
      if (mode == Mode::kFault && at == 0) reader.SetSealedOnly(true);
      // As a connection does: the items are taken after each Parse, and
      // cutting goes on while frames are left; what one read brought is
      // judged as a whole.
      Parsed parsed = kTrue;
      do {
        try {
          if (!reader.Parse() && parsed == kTrue) parsed = kFalse;
        } catch (const std::runtime_error&) {
          parsed = kThrew;
        }
        for (Item& item : Drain(&reader)) result.items.push_back(std::move(item));
      } while (reader.MoreToParse());
      result.parses.push_back(parsed);
      at += n;
    }
    result.fault = reader.protocol_fault();
    return result;
  };
  for (const size_t read_size : {size_t{0}, size_t{8} * kFramePieceBytes, size_t{4} << 20}) {
    for (const Mode mode : {Mode::kKeyed, Mode::kFault, Mode::kNoKey}) {
      SCOPED_TRACE(testing::Message()
                   << "reads of " << read_size << ", mode " << static_cast<int>(mode));
      const Run one = run(1, read_size, mode);
      const Run several = run(4, read_size, mode);
      EXPECT_EQ(one.parses, several.parses);
      EXPECT_EQ(one.items, several.items);
      EXPECT_EQ(one.fault, several.fault);
      EXPECT_EQ(mode == Mode::kFault, several.fault);
      // Every good message and file frame, nothing of the broken ones; with
      // no key, the two clear messages alone.
      EXPECT_EQ(mode == Mode::kNoKey ? 2u : 16u, several.items.size());
      EXPECT_NE(
          std::find(one.parses.begin(), one.parses.end(), mode == Mode::kNoKey ? kThrew : kFalse),
          one.parses.end());
    }
  }
}

// Frames that open far larger than they travel (a gzip of zeros) are cut
// only while the queued items hold less than the limit; the rest waits in
// the byte queue until the items are taken.
TEST(FrameReader, CuttingStopsWhileManyOpenedFramesWait) {
  const std::string tiny = Frames(std::string(kFramePieceBytes, '\0'), kCipherClear, true)[0];
  ASSERT_LT(tiny.size(), 1000u);
  std::string read;
  for (int i = 0; i < 400; ++i) read += tiny;
  CIOFrameReader reader;
  EXPECT_TRUE(Feed(&reader, read));
  EXPECT_TRUE(reader.MoreToParse());
  EXPECT_LE(reader.BufferedBytes(), kMaxQueuedItemBytes + 16 * kMaxPlainPayload + read.size());
  size_t items = Drain(&reader).size();
  while (reader.MoreToParse()) {
    EXPECT_TRUE(reader.Parse());
    items += Drain(&reader).size();
  }
  EXPECT_EQ(400u, items);
  EXPECT_FALSE(reader.HasPartial());
}

// The receive thread feeds and parses while another thread takes the items
// and a third installs the key and counts: run under ThreadSanitizer.
TEST(FrameReader, ItemQueueIsSharedBetweenThreads) {
  constexpr int kMessages = 300;
  std::string stream;
  for (int i = 0; i < kMessages; ++i) {
    stream += Frames("message " + std::to_string(i), i % 2 ? kCipherAes : kCipherClear, true)[0];
  }
  CIOFrameReader reader(ShortWait());
  std::atomic<bool> done{false};
  std::thread keys([&] {
    while (!done) {
      reader.SetKey(kKey);
      (void)reader.ItemCount();
      std::this_thread::yield();
    }
  });
  reader.SetKey(kKey);
  std::thread feeder([&] {
    std::mt19937 gen(13);
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min<size_t>(stream.size() - at, 1 + gen() % 200);
      reader.AddBytes(stream.data() + at, n);
      EXPECT_TRUE(reader.Parse());
      at += n;
    }
  });
  std::vector<std::string> received;
  FramePayload payload;
  while (received.size() < kMessages) {
    if (reader.PopItem(&payload) == kFrameWhole) {
      received.emplace_back(payload->begin(), payload->end());
    } else {
      std::this_thread::yield();
    }
  }
  feeder.join();
  done = true;
  keys.join();
  for (int i = 0; i < kMessages; ++i) EXPECT_EQ("message " + std::to_string(i), received[i]);
}

}  // namespace
}  // namespace tw
