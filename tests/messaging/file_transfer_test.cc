// Files after the message object: real files in the test folder sent by the
// file sender and landed by the reader; failed and cut-off transfers; the
// progress records on a real mailslot; and the "LOG" line of a get reply
// that came without its file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "crypto/crypto.h"
#include "messaging/field_ids.h"
#include "messaging/progress_sink.h"
#include "messaging/stream_format.h"
#include "platform/mailslot.h"
#include "platform/system_factory.h"
#include "tests/messaging/stream_support.h"
#include "tests/support/faulty_platform.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

using test::Chunk;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Status = CULMSGmessageReader::Status;

std::string Content(size_t size, int seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + seed) % 251);
  return s;
}

std::vector<std::string> PathsOf(const CRLMSGmessage& m, uint32_t id) {
  std::vector<std::string> paths;
  m.GetStringList(id, &paths, "?");
  return paths;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

uint32_t HostU32(const std::string& record, size_t offset) {
  uint32_t v;
  std::memcpy(&v, record.data() + offset, 4);
  return v;
}

// A message whose file list is `joined`, sent as chunks to a reader with
// `options` and received whole; null when it did not complete.
MessagePtr ReceiveFiles(const MessageReaderOptions& options, const std::string& joined) {
  ChunkQueue queue;
  CULMSGmessageReader reader(&queue, options);
  MessagePtr m = NewMessage();
  m->SetRawField(ParameterId(4), FIELD_FILELIST, joined.data(), joined.size());
  MessagePtr received;
  for (const Chunk& chunk : test::ChunksOf(*m)) {
    queue.Push(chunk.first, chunk.second);
    received = reader.CanExtractMessageObject(nullptr, 0);
  }
  return received;
}

class FileTransferTest : public ::testing::Test {
 protected:
  explicit FileTransferTest(bool progress = false) {
    MessageReaderOptions options;
    options.post = [this](MessagePtr m) { posted_.push_back(m); };
    options.progress_enabled = progress;
    reader_ = std::make_unique<CULMSGmessageReader>(&queue_, options);
  }

  std::string MakeFile(const std::string& name, size_t size, int seed = 1) {
    const std::string path = env_.Path(name);
    test::WriteFile(path, Content(size, seed));
    return path;
  }

  std::vector<std::string> TempFolder() { return test::ListFolder(env_.Path("tmp")); }

  test::TestEnv env_;
  ChunkQueue queue_;
  std::vector<MessagePtr> posted_;
  std::unique_ptr<CULMSGmessageReader> reader_;
};

TEST_F(FileTransferTest, FilesOfEverySizeArriveInTheirChunks) {
  const std::vector<size_t> sizes = {0, kPieceSize, kPieceSize + 1, 300000};
  std::vector<std::string> sources;
  for (size_t i = 0; i < sizes.size(); ++i) {
    sources.push_back(MakeFile("f" + std::to_string(i), sizes[i], static_cast<int>(i)));
  }
  MessagePtr m = NewMessage();
  const std::string joined = sources[0] + "?" + sources[1] + "?" + sources[2] + "?" + sources[3];
  m->SetRawField(ParameterId(4), FIELD_FILELIST, joined.data(), joined.size());

  const std::vector<Chunk> chunks = test::ChunksOf(*m);
  EXPECT_THAT(test::KindsOf(chunks),
              ElementsAre(kChunkObject, kChunkFileWhole, kChunkFileWhole, kChunkFileFirst,
                          kChunkFileLast, kChunkFileFirst, kChunkFileMiddle, kChunkFileLast));
  // The empty file: header and D = 0, nothing else.
  EXPECT_EQ(chunks[1].second.size(), kFileStartHeaderSize);
  EXPECT_EQ(chunks[1].second.substr(0, 4), std::string("\0\0\0\x10", 4));
  EXPECT_EQ(chunks[2].second.size(), kFileStartHeaderSize + kPieceSize);
  EXPECT_EQ(GetU32(reinterpret_cast<const uint8_t*>(chunks[4].second.data())), 1u);
  EXPECT_EQ(chunks[7].second.size(), kFileDataHeaderSize + 37856);
  // Size words low first: 300000 = 0x000493E0.
  EXPECT_EQ(chunks[5].second.substr(20, 8), std::string("\0\x04\x93\xe0\0\0\0\0", 8));

  MessagePtr received;
  for (size_t i = 0; i < chunks.size(); ++i) {  // complete only with the last file
    queue_.Push(chunks[i].first, chunks[i].second);
    received = reader_->CanExtractMessageObject(nullptr, 0);
    ASSERT_EQ(static_cast<bool>(received), i + 1 == chunks.size()) << i;
  }
  EXPECT_EQ(reader_->last_status(), Status::kMessage);
  uint32_t type = 0;
  received->GetFieldType(ParameterId(4), &type);
  EXPECT_EQ(type, FIELD_STRING);
  const std::vector<std::string> paths = PathsOf(*received, ParameterId(4));
  ASSERT_EQ(paths.size(), sizes.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(paths[i].rfind(env_.Path("tmp/CRL"), 0), 0u) << paths[i];
    EXPECT_EQ(test::ReadFile(paths[i]), Content(sizes[i], static_cast<int>(i)));
    struct stat st;
    ASSERT_EQ(::stat(paths[i].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  EXPECT_FALSE(reader_->awaiting_files());
}

TEST_F(FileTransferTest, ReceivedFilesAreHandedToTheDiskAsTheyGrow) {
  // Five pieces, then one piece and a byte: the count of unwritten bytes
  // starts again with each file.
  const std::vector<size_t> sizes = {5 * kPieceSize, kPieceSize + 1};
  const std::string joined = MakeFile("big", sizes[0], 1) + "?" + MakeFile("small", sizes[1], 2);
  for (const uint64_t every : {uint64_t{0}, uint64_t{2 * kPieceSize}}) {
    SCOPED_TRACE(every);
    test::FaultInjectingFactory files;
    MessageReaderOptions options;
    options.writeback_bytes = every;
    MessagePtr received = ReceiveFiles(options, joined);
    ASSERT_TRUE(received);
    const std::vector<std::string> paths = PathsOf(*received, ParameterId(4));
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(test::ReadFile(paths[0]), Content(sizes[0], 1));
    EXPECT_EQ(test::ReadFile(paths[1]), Content(sizes[1], 2));
    EXPECT_EQ(files.writebacks(), every == 0 ? 0 : 2);
  }

  // The disk refuses what a file handed it on the way: a sync later might
  // never hear of it, so the file is not kept and the message is no whole
  // one, whether the refusal stops the file's next write (the big one) or
  // shows once the file is complete (a file that ends where a hand-over
  // falls). The small file, never handed over early, stays.
  const std::string even = MakeFile("even", 2 * kPieceSize, 3);
  for (const std::string& files_sent : {joined, even}) {
    SCOPED_TRACE(files_sent);
    test::FaultInjectingFactory files;
    files.RefuseWritebacks();
    MessageReaderOptions options;
    options.writeback_bytes = 2 * kPieceSize;
    MessagePtr received = ReceiveFiles(options, files_sent);
    ASSERT_TRUE(received);
    EXPECT_EQ(received->GetErrorCode(), kErrorTransferCutOff);
    const std::vector<std::string> paths = PathsOf(*received, ParameterId(4));
    ASSERT_EQ(paths.size(), files_sent == even ? 1u : 2u);
    EXPECT_FALSE(Exists(paths[0]));
    if (files_sent == joined) {
      EXPECT_EQ(test::ReadFile(paths[1]), Content(sizes[1], 2));
    }
    EXPECT_EQ(TempFolder().size(), files_sent == even ? 0u : 1u);
  }
}

TEST_F(FileTransferTest, ReceivedFilesCarryTheDigestOfTheirBytesWhenAsked) {
  const std::vector<size_t> sizes = {0, 3 * kPieceSize + 7, 5};
  std::string joined;
  std::vector<std::string> expected;
  for (size_t i = 0; i < sizes.size(); ++i) {
    joined +=
        (i == 0 ? "" : "?") + MakeFile("f" + std::to_string(i), sizes[i], static_cast<int>(i));
    Sha256Stream digest;
    const std::string content = Content(sizes[i], static_cast<int>(i));
    digest.Update(content.data(), content.size());
    expected.push_back(digest.FinalLowerHex());
  }
  for (const bool asked : {false, true}) {
    SCOPED_TRACE(asked);
    MessageReaderOptions options;
    options.digest_files = asked;
    MessagePtr received = ReceiveFiles(options, joined);
    ASSERT_TRUE(received);
    std::vector<std::string> paths;
    ASSERT_TRUE(received->scratch_files()->OfField(ParameterId(4), &paths));
    ASSERT_EQ(paths.size(), sizes.size());
    for (size_t i = 0; i < paths.size(); ++i) {
      std::string digest = "not taken";
      ASSERT_TRUE(received->scratch_files()->Take(paths[i], &digest));
      EXPECT_EQ(digest, asked ? expected[i] : std::string()) << i;
      ::unlink(paths[i].c_str());
    }
  }
}

// A received file that changes after the reader closed it - here while the
// message's next file still arrives - can no longer be taken, so its digest
// is never handed over for bytes it was not made of.
TEST_F(FileTransferTest, AFileChangedAfterItWasClosedCannotBeTaken) {
  const std::string joined = MakeFile("first", 1000, 1) + "?" + MakeFile("second", 1000, 2);
  MessageReaderOptions options;
  options.digest_files = true;
  ChunkQueue queue;
  CULMSGmessageReader reader(&queue, options);
  MessagePtr m = NewMessage();
  m->SetRawField(ParameterId(4), FIELD_FILELIST, joined.data(), joined.size());
  const std::vector<Chunk> chunks = test::ChunksOf(*m);
  ASSERT_EQ(3u, chunks.size());
  queue.Push(chunks[0].first, chunks[0].second);
  queue.Push(chunks[1].first, chunks[1].second);
  ASSERT_FALSE(reader.CanExtractMessageObject(nullptr, 0));
  std::vector<std::string> written = TempFolder();
  ASSERT_EQ(1u, written.size());
  const std::string first = env_.Path("tmp/" + written[0]);
  test::WriteFile(first, Content(1001, 9));
  queue.Push(chunks[2].first, chunks[2].second);
  MessagePtr received = reader.CanExtractMessageObject(nullptr, 0);
  ASSERT_TRUE(received);
  std::vector<std::string> paths;
  ASSERT_TRUE(received->scratch_files()->OfField(ParameterId(4), &paths));
  ASSERT_EQ(2u, paths.size());
  std::string digest;
  EXPECT_FALSE(received->scratch_files()->Take(paths[0], &digest));
  EXPECT_EQ("", digest);
  EXPECT_TRUE(received->scratch_files()->Take(paths[1], &digest));
  EXPECT_EQ(64u, digest.size());
  ::unlink(paths[1].c_str());
}

TEST_F(FileTransferTest, FailedFilesCountAsDoneAndLeaveNothing) {
  // One file missing at the sender, one that shrinks after its first piece.
  const std::string shrinking = MakeFile("shrinks", 300000, 4);
  const std::string list = env_.Path("missing") + "?" + shrinking + "?" + MakeFile("ok", 5, 5);
  MessagePtr m = NewMessage();
  m->SetRawField(ParameterId(6), FIELD_FILELIST, list.data(), list.size());
  MessageObject object;
  ASSERT_TRUE(WriteMessageObject(*m, nullptr, &object));
  MessageStream stream(std::move(object), nullptr);
  std::vector<uint32_t> kinds;
  OutgoingChunk chunk;
  while (stream.NextChunk(&chunk)) {
    kinds.push_back(chunk.kind);
    if (chunk.kind == kChunkFileFailed) {
      EXPECT_EQ(chunk.bytes.size(), kFileStartHeaderSize);
    }
    if (chunk.kind == kChunkFileFirst) {
      ASSERT_EQ(::truncate(shrinking.c_str(), 1000), 0);
    }
    queue_.Push(chunk.kind, chunk.bytes);
  }
  EXPECT_THAT(kinds, ElementsAre(kChunkObject, kChunkFileFailed, kChunkFileFirst, kChunkFileFailed,
                                 kChunkFileWhole));
  MessagePtr received = reader_->CanExtractMessageObject(nullptr, 0);
  ASSERT_TRUE(received);
  const std::vector<std::string> paths = PathsOf(*received, ParameterId(6));
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_FALSE(Exists(paths[0]));
  EXPECT_FALSE(Exists(paths[1]));
  EXPECT_EQ(test::ReadFile(paths[2]), Content(5, 5));
  EXPECT_EQ(TempFolder().size(), 1u);
}

TEST_F(FileTransferTest, StopFlagEndsSending) {
  const std::string list = MakeFile("big", 300000) + "?" + MakeFile("small", 3);
  MessagePtr m = NewMessage();
  m->SetRawField(ParameterId(1), FIELD_FILELIST, list.data(), list.size());
  MessageObject object;
  ASSERT_TRUE(WriteMessageObject(*m, nullptr, &object));
  std::atomic<bool> stop{false};
  MessageStream stream(std::move(object), &stop);
  OutgoingChunk chunk;
  ASSERT_TRUE(stream.NextChunk(&chunk));
  ASSERT_TRUE(stream.NextChunk(&chunk));
  EXPECT_EQ(chunk.kind, kChunkFileFirst);
  EXPECT_EQ(chunk.file_position, kPieceSize);
  EXPECT_EQ(chunk.file_size, 300000u);
  stop = true;
  EXPECT_FALSE(stream.NextChunk(&chunk));
  EXPECT_TRUE(stream.stopped());
  stop = false;
  EXPECT_FALSE(stream.NextChunk(&chunk));
}

TEST_F(FileTransferTest, CutOffTransferReturnsTheMessageWithMinus999) {
  MessagePtr a = NewMessage();
  const std::string list = MakeFile("whole", 7, 1) + "?" + MakeFile("partial", 300000, 2);
  a->SetRawField(ParameterId(1), FIELD_FILELIST, list.data(), list.size());
  std::vector<Chunk> chunks = test::ChunksOf(*a);
  ASSERT_EQ(chunks.size(), 5u);
  chunks.resize(3);  // object, whole file, first piece of the second
  test::PushAll(chunks, &queue_);
  MessagePtr b = NewMessage();
  b->SetString(COMMAND, "NEXT");
  test::PushAll(test::ChunksOf(*b), &queue_);

  MessagePtr cut = reader_->CanExtractMessageObject(nullptr, 0);
  ASSERT_TRUE(cut);
  EXPECT_EQ(reader_->last_status(), Status::kAborted);
  EXPECT_EQ(cut->GetErrorCode(), -999);
  const std::vector<std::string> paths = PathsOf(*cut, ParameterId(1));
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(test::ReadFile(paths[0]), Content(7, 1));
  EXPECT_FALSE(Exists(paths[1]));
  MessagePtr next = reader_->CanExtractMessageObject(nullptr, 0);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->GetCommand(), "NEXT");
  EXPECT_EQ(TempFolder().size(), 1u);

  // A framing failure while files are awaited cuts the transfer off too;
  // the rest of that file's chunks is dropped when it comes.
  chunks = test::ChunksOf(*a);
  queue_.Push(chunks[0].first, chunks[0].second);
  EXPECT_FALSE(reader_->CanExtractMessageObject(nullptr, 0));
  EXPECT_TRUE(reader_->awaiting_files());
  queue_.ReportFramingFailure();
  const uint8_t byte = 0;
  cut = reader_->CanExtractMessageObject(&byte, 1);
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->GetErrorCode(), -999);
  queue_.Push(chunks[3].first, chunks[3].second);
  queue_.Push(chunks[4].first, chunks[4].second);
  EXPECT_FALSE(reader_->CanExtractMessageObject(nullptr, 0));
  EXPECT_EQ(reader_->last_status(), Status::kObjectDropped);
  test::PushAll(test::ChunksOf(*b), &queue_);
  next = reader_->CanExtractMessageObject(nullptr, 0);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->GetCommand(), "NEXT");
}

TEST_F(FileTransferTest, FileChunksThatContradictTheMessageCutItOff) {
  MessagePtr m = NewMessage();
  const std::string list = MakeFile("x", 300000);
  m->SetRawField(ParameterId(1), FIELD_FILELIST, list.data(), list.size());
  const std::vector<Chunk> good = test::ChunksOf(*m);
  ASSERT_EQ(good.size(), 4u);
  const std::vector<std::vector<Chunk>> cases = {
      {good[0], good[1], good[1]},                    // a second start
      {good[0], {kChunkFileMiddle, good[2].second}},  // data before a start
      {good[0], good[1], good[2], good[2], good[3]},  // more than announced
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    test::PushAll(cases[i], &queue_);
    MessagePtr cut;
    for (int calls = 0; calls < 6 && !cut; ++calls) {
      cut = reader_->CanExtractMessageObject(nullptr, 0);
    }
    ASSERT_TRUE(cut) << i;
    EXPECT_EQ(cut->GetErrorCode(), -999) << i;
    test::Drain(reader_.get());
    EXPECT_THAT(TempFolder(), IsEmpty()) << i;
  }
}

// A transfer the message did not list is taken in, as the stream format
// says, instead of cutting the message off; its bytes are dropped, as no
// field names a file of it.
TEST_F(FileTransferTest, TransferTheMessageDidNotListIsTakenInAndDropped) {
  MessagePtr m = NewMessage();
  const std::string list = MakeFile("listed", 300000, 3);
  m->SetRawField(ParameterId(1), FIELD_FILELIST, list.data(), list.size());
  const std::vector<Chunk> listed = test::ChunksOf(*m);
  MessagePtr other = NewMessage();
  const std::string others = MakeFile("stranger", 10, 4) + "?" + env_.Path("missing");
  other->SetRawField(ParameterId(1), FIELD_FILELIST, others.data(), others.size());
  const std::vector<Chunk> strangers = test::ChunksOf(*other);
  ASSERT_THAT(test::KindsOf(strangers),
              ElementsAre(kChunkObject, kChunkFileWhole, kChunkFileFailed));

  queue_.Push(listed[0].first, listed[0].second);
  queue_.Push(strangers[1].first, strangers[1].second);  // a whole file of another transfer
  queue_.Push(strangers[2].first, strangers[2].second);  // and a failure of a third
  test::PushAll({listed.begin() + 1, listed.end()}, &queue_);
  MessagePtr received = reader_->CanExtractMessageObject(nullptr, 0);
  ASSERT_TRUE(received);
  EXPECT_EQ(reader_->last_status(), Status::kMessage);
  EXPECT_EQ(received->GetErrorCode(), 0);
  const std::vector<std::string> paths = PathsOf(*received, ParameterId(1));
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(test::ReadFile(paths[0]), Content(300000, 3));
  EXPECT_EQ(TempFolder().size(), 1u) << "nothing of the unlisted transfers is kept";
  EXPECT_FALSE(reader_->CanExtractMessageObject(nullptr, 0));
}

TEST_F(FileTransferTest, UncreatableTempFileIsCountedDoneWithoutWriting) {
  MessagePtr m = NewMessage();
  const std::string list = MakeFile("y", 300000);
  m->SetRawField(ParameterId(1), FIELD_FILELIST, list.data(), list.size());
  const std::vector<Chunk> chunks = test::ChunksOf(*m);
  queue_.Push(chunks[0].first, chunks[0].second);
  EXPECT_FALSE(reader_->CanExtractMessageObject(nullptr, 0));
  // The scratch folder turns into a plain file: nothing can be created in it.
  std::filesystem::rename(env_.Path("tmp"), env_.Path("tmp.moved"));
  test::WriteFile(env_.Path("tmp"), "not a folder");
  test::PushAll({chunks.begin() + 1, chunks.end()}, &queue_);
  MessagePtr received = reader_->CanExtractMessageObject(nullptr, 0);
  ASSERT_TRUE(received);
  // A file that could not be stored makes the reply no whole one.
  EXPECT_EQ(received->GetErrorCode(), kErrorTransferCutOff);
  EXPECT_FALSE(Exists(PathsOf(*received, ParameterId(1))[0]));
  EXPECT_EQ(test::ReadFile(env_.Path("tmp")), "not a folder");
}

// The message hands over the scratch files the reader created, by field
// and by identity: a text field naming a path is nobody's file, a file put
// in a scratch file's place is neither taken nor removed, and the release
// of the last copy removes whatever nobody took.
TEST_F(FileTransferTest, MessageOwnsExactlyTheScratchFilesTheReaderCreated) {
  const std::string a = MakeFile("home/a.bin", 1000, 1);
  const std::string b = MakeFile("home/b.bin", 200000, 2);
  MessagePtr sent = NewMessage();
  sent->SetString(COMMAND, "GETR");
  const std::string files = a + "?" + b;
  sent->SetRawField(106, FIELD_FILELIST, files.data(), files.size());
  sent->SetString(107, a);  // a path in a text field
  test::PushAll(test::ChunksOf(*sent), &queue_);
  std::vector<MessagePtr> got = test::Drain(reader_.get());
  ASSERT_EQ(got.size(), 1u);
  const ScratchFilesRef scratch = got[0]->scratch_files();
  ASSERT_NE(scratch, nullptr);
  std::vector<std::string> paths;
  ASSERT_TRUE(scratch->OfField(106, &paths));
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths, PathsOf(*got[0], 106));
  EXPECT_FALSE(scratch->HasField(107));
  EXPECT_FALSE(scratch->OfField(107, &paths));
  EXPECT_FALSE(scratch->IsOwn(a));
  EXPECT_FALSE(scratch->Take(a));

  ASSERT_TRUE(scratch->OfField(106, &paths));
  // Another file in the place of the first: not ours any more.
  ASSERT_EQ(::unlink(paths[0].c_str()), 0);
  test::WriteFile(paths[0], "planted");
  EXPECT_FALSE(scratch->IsOwn(paths[0]));
  EXPECT_FALSE(scratch->Take(paths[0]));
  // The second is taken: it stays when the message goes.
  ASSERT_TRUE(scratch->Take(paths[1]));
  EXPECT_FALSE(scratch->OfField(106, &paths));
  ASSERT_TRUE(std::filesystem::exists(PathsOf(*got[0], 106)[1]));
  const std::vector<std::string> named = PathsOf(*got[0], 106);
  MessagePtr copy = CopyMessage(*got[0]);
  got.clear();
  EXPECT_EQ(scratch->size(), 1u);  // the planted one, still listed
  copy.reset();
  EXPECT_EQ(test::ReadFile(named[0]), "planted");
  EXPECT_EQ(test::ReadFile(named[1]), Content(200000, 2));
  EXPECT_EQ(test::ReadFile(a), Content(1000, 1));
}

// A message dropped on the way (nobody took it) leaves no scratch file.
TEST_F(FileTransferTest, ReleasedMessageRemovesItsScratchFiles) {
  const std::string a = MakeFile("home/a.bin", 5000, 3);
  MessagePtr sent = NewMessage();
  sent->SetString(COMMAND, "GETR");
  sent->SetRawField(106, FIELD_FILELIST, a.data(), a.size());
  test::PushAll(test::ChunksOf(*sent), &queue_);
  std::vector<MessagePtr> got = test::Drain(reader_.get());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(TempFolder().size(), 1u);
  got.clear();
  EXPECT_THAT(TempFolder(), IsEmpty());
  EXPECT_TRUE(Exists(a));
}

TEST_F(FileTransferTest, ReaderGoneMidTransferRemovesWhatItWrote) {
  MessagePtr m = NewMessage();
  const std::string list = MakeFile("p", 3) + "?" + MakeFile("q", 300000);
  m->SetRawField(ParameterId(1), FIELD_FILELIST, list.data(), list.size());
  std::vector<Chunk> chunks = test::ChunksOf(*m);
  chunks.resize(3);
  test::PushAll(chunks, &queue_);
  EXPECT_FALSE(reader_->CanExtractMessageObject(nullptr, 0));
  EXPECT_EQ(TempFolder().size(), 2u);
  reader_.reset();
  EXPECT_THAT(TempFolder(), IsEmpty());
}

// Progress records, read back from a real mailslot named after the message.
class ProgressTest : public FileTransferTest {
 protected:
  ProgressTest() : FileTransferTest(true) {}

  std::unique_ptr<MailslotReader> Listen(const CRLMSGmessage& m) {
    std::unique_ptr<MailslotReader> slot = NewMailslotReader();
    EXPECT_TRUE(slot->Create(m.GetIdentifierObject().guid().ToHexName(), 0, 5000));
    return slot;
  }

  // A Document get reply with one file of 10 bytes, shown as "one.txt".
  MessagePtr GetReplyWithOneFile() {
    MessagePtr m = NewMessage();
    m->SetString(COMMAND, "DOCUMENTCMDR");
    m->SetInt(ParameterId(1), 4);
    m->SetString(ParameterId(5), "one.txt");
    const std::string list = MakeFile("one", 10);
    m->SetRawField(ParameterId(7), FIELD_FILELIST, list.data(), list.size());
    return m;
  }

  std::vector<std::string> Records(MailslotReader* slot) {
    std::vector<std::string> records;
    while (slot->HasMessage()) {
      std::string record(200, '\0');
      uint32_t n = 0;
      if (!slot->Read(&record[0], 200, &n)) break;
      record.resize(n);
      records.push_back(record);
    }
    return records;
  }

  // Kind, name, size and count of a record, checked at their offsets.
  void ExpectRecord(const std::string& r, uint32_t kind, const std::string& name, uint64_t size,
                    uint64_t done) {
    ASSERT_EQ(r.size(), 84u);
    EXPECT_EQ(HostU32(r, 0), kind);
    EXPECT_EQ(std::string(r.c_str() + 4), name);
    EXPECT_EQ(r.substr(4 + name.size(), 64 - name.size()), std::string(64 - name.size(), '\0'));
    EXPECT_EQ(HostU32(r, 68), static_cast<uint32_t>(size));
    EXPECT_EQ(HostU32(r, 72), static_cast<uint32_t>(size >> 32));
    EXPECT_EQ(HostU32(r, 76), static_cast<uint32_t>(done));
    EXPECT_EQ(HostU32(r, 80), static_cast<uint32_t>(done >> 32));
  }
};

TEST_F(ProgressTest, DocumentGetReportsEachFile) {
  MessagePtr m = NewMessage();
  m->SetString(COMMAND, "DOCUMENTCMDR");
  m->SetInt(ParameterId(1), 4);
  m->SetString(ParameterId(5), "first.txt?" + std::string(80, 'n'));
  const std::string list = MakeFile("f1", 10) + "?" + MakeFile("f2", 300000);
  m->SetRawField(ParameterId(7), FIELD_FILELIST, list.data(), list.size());
  std::unique_ptr<MailslotReader> slot = Listen(*m);
  test::PushAll(test::ChunksOf(*m), &queue_);
  ASSERT_TRUE(reader_->CanExtractMessageObject(nullptr, 0));
  const std::vector<std::string> records = Records(slot.get());
  ASSERT_EQ(records.size(), 4u);
  const std::string cut(63, 'n');
  ExpectRecord(records[0], kProgressFileFinished, "first.txt", 10, 10);
  ExpectRecord(records[1], kProgressFileInProgress, cut, 300000, kPieceSize);
  ExpectRecord(records[2], kProgressFileInProgress, cut, 300000, 2 * kPieceSize);
  ExpectRecord(records[3], kProgressFileFinished, cut, 300000, 300000);
  EXPECT_THAT(posted_, IsEmpty());
}

// The provider's own notices listen through an inbox in this process: it
// hears a large file's latest position and every file's end with nobody
// taking, where a mailslot of the name, heard as well, has room for ten.
// Names are cut to a record's width.
TEST_F(ProgressTest, AnInboxOfThisProcessHearsEveryFileEndBesideTheMailslot) {
  MessagePtr m = NewMessage();
  m->SetString(COMMAND, "DOCUMENTCMDR");
  m->SetInt(ParameterId(1), 4);
  std::string names, list;
  for (int i = 0; i < 12; ++i) {
    names += (i ? "?" : "") + std::to_string(i) + std::string(80, 'n');
    list += (i ? "?" : "") + MakeFile("f" + std::to_string(i), 10);
  }
  names += "?large.bin";
  list += "?" + MakeFile("large", 20 * kPieceSize + 5);
  m->SetString(ParameterId(5), names);
  m->SetRawField(ParameterId(7), FIELD_FILELIST, list.data(), list.size());
  const std::shared_ptr<ProgressInbox> inbox =
      ProgressInbox::Create(m->GetIdentifierObject().guid().ToHexName());
  ASSERT_NE(inbox, nullptr);
  std::unique_ptr<MailslotReader> slot = Listen(*m);
  test::PushAll(test::ChunksOf(*m), &queue_);
  ASSERT_TRUE(reader_->CanExtractMessageObject(nullptr, 0));

  const std::deque<ProgressInbox::Record> records = inbox->Take();
  ASSERT_EQ(records.size(), 14u);
  for (size_t i = 0; i < 12; ++i) {
    EXPECT_EQ(records[i].kind, kProgressFileFinished) << i;
    EXPECT_EQ(records[i].name, (std::to_string(i) + std::string(80, 'n')).substr(0, 63));
    EXPECT_EQ(records[i].file, i);
  }
  EXPECT_EQ(records[12].kind, kProgressFileInProgress);
  EXPECT_EQ(records[12].done, 20 * kPieceSize);
  EXPECT_EQ(records[13].kind, kProgressFileFinished);
  EXPECT_EQ(records[13].name, "large.bin");
  EXPECT_EQ(records[13].done, 20 * kPieceSize + 5);
  EXPECT_EQ(records[13].file, 12u);
  inbox->Close();

  const std::vector<std::string> heard = Records(slot.get());
  ASSERT_FALSE(heard.empty());
  ExpectRecord(heard[0], kProgressFileFinished, records[0].name, 10, 10);
}

// The sink closes when a message ends; the next message of the same
// identifier opens it again, and so reaches a monitor that came meanwhile.
TEST_F(ProgressTest, EachMessageOfAnIdentifierReachesItsMailslot) {
  MessagePtr first = GetReplyWithOneFile();
  std::unique_ptr<MailslotReader> slot = Listen(*first);
  test::PushAll(test::ChunksOf(*first), &queue_);
  ASSERT_TRUE(reader_->CanExtractMessageObject(nullptr, 0));
  std::vector<std::string> records = Records(slot.get());
  ASSERT_EQ(records.size(), 1u);
  ExpectRecord(records[0], kProgressFileFinished, "one.txt", 10, 10);
  slot->Close();
  slot = Listen(*first);
  MessagePtr second = NewMessage(first->GetIdentifierObject());
  second->SetString(COMMAND, "DOCUMENTCMDR");
  second->SetInt(ParameterId(1), 4);
  second->SetString(ParameterId(5), "two.txt");
  const std::string list = MakeFile("two", 20);
  second->SetRawField(ParameterId(7), FIELD_FILELIST, list.data(), list.size());
  test::PushAll(test::ChunksOf(*second), &queue_);
  ASSERT_TRUE(reader_->CanExtractMessageObject(nullptr, 0));
  records = Records(slot.get());
  ASSERT_EQ(records.size(), 1u);
  ExpectRecord(records[0], kProgressFileFinished, "two.txt", 20, 20);
}

TEST_F(ProgressTest, GetReplyWithoutFilesPostsLog) {
  MessagePtr m = NewMessage();
  m->SetString(COMMAND, "DOCUMENTCMDR");
  m->SetInt(ParameterId(1), 4);
  m->SetString(ParameterId(5), "lost.txt");
  m->SetInt(ERRORCODE, 216);
  std::unique_ptr<MailslotReader> slot = Listen(*m);
  test::PushAll(test::ChunksOf(*m), &queue_);
  ASSERT_TRUE(reader_->CanExtractMessageObject(nullptr, 0));
  const std::vector<std::string> records = Records(slot.get());
  ASSERT_EQ(records.size(), 1u);
  ExpectRecord(records[0], kProgressMessageFinished, "", 0, 0);
  ASSERT_EQ(posted_.size(), 1u);
  const CRLMSGmessage& log = *posted_[0];
  EXPECT_EQ(log.GetCommand(), "LOG");
  int value = 0;
  log.GetInt(SOURCERECIPIENT, &value);
  EXPECT_EQ(value, 1);
  log.GetInt(TARGETRECIPIENT, &value);
  EXPECT_EQ(value, 17);
  log.GetInt(BROADCAST, &value);
  EXPECT_EQ(value, 1);
  std::string text;
  log.GetString(ParameterId(1), &text);
  EXPECT_EQ(text, "ERROR(216): Failed to receive file: lost.txt");
}

// Counts the mailslot writers asked for while installed.
class CountingFactory final : public SystemFactoryWrapper {
 public:
  CountingFactory()
      : SystemFactoryWrapper(&GetSystemFactory()), previous_(InstallSystemFactory(this)) {}
  ~CountingFactory() override { InstallSystemFactory(previous_); }
  std::unique_ptr<MailslotWriter> NewMailslotWriter() override {
    ++writers;
    return target()->NewMailslotWriter();
  }
  int writers = 0;

 private:
  CRLsystemFactory* const previous_;
};

// Most messages write no progress record; none of them may cost a probe for
// a mailslot that nobody created, and a message that reports still reaches
// the mailslot its monitor made.
TEST_F(ProgressTest, OnlyMessagesThatReportLookForTheirMailslot) {
  CountingFactory factory;
  for (int i = 0; i < 20; ++i) {
    MessagePtr m = NewMessage();
    m->SetString(COMMAND, "DOCUMENTINFOR");
    m->SetString(ParameterId(1), "reply " + std::to_string(i));
    test::PushAll(test::ChunksOf(*m), &queue_);
    ASSERT_TRUE(reader_->CanExtractMessageObject(nullptr, 0)) << i;
  }
  EXPECT_EQ(factory.writers, 0);

  MessagePtr m = GetReplyWithOneFile();
  std::unique_ptr<MailslotReader> slot = Listen(*m);
  test::PushAll(test::ChunksOf(*m), &queue_);
  ASSERT_TRUE(reader_->CanExtractMessageObject(nullptr, 0));
  EXPECT_EQ(factory.writers, 1);
  const std::vector<std::string> records = Records(slot.get());
  ASSERT_EQ(records.size(), 1u);
  ExpectRecord(records[0], kProgressFileFinished, "one.txt", 10, 10);
}

// A message that wrote nothing leaves no sink behind: the records of the
// next message go to that message's own mailslot, with or without a reset
// of the reader between them.
TEST_F(ProgressTest, RecordsNeverReachTheMailslotOfAnEarlierSilentMessage) {
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset between" : "no reset");
    MessagePtr quiet = NewMessage();
    quiet->SetString(COMMAND, "DOCUMENTINFOR");
    std::unique_ptr<MailslotReader> quiet_slot = Listen(*quiet);
    test::PushAll(test::ChunksOf(*quiet), &queue_);
    ASSERT_TRUE(reader_->CanExtractMessageObject(nullptr, 0));
    if (reset) reader_->Reset();

    MessagePtr m = GetReplyWithOneFile();
    std::unique_ptr<MailslotReader> slot = Listen(*m);
    test::PushAll(test::ChunksOf(*m), &queue_);
    ASSERT_TRUE(reader_->CanExtractMessageObject(nullptr, 0));
    EXPECT_THAT(Records(quiet_slot.get()), IsEmpty());
    EXPECT_EQ(Records(slot.get()).size(), 1u);
  }
}

// Count mode reports through the mailslot it opens with its first record.
TEST_F(ProgressTest, CountModeReplyReportsThroughItsMailslot) {
  CountingFactory factory;
  MessagePtr m = NewMessage();
  m->SetString(COMMAND, "GETCLIENTR");
  const std::string list = MakeFile("c1", 10) + "?" + MakeFile("c2", 20);
  m->SetRawField(ParameterId(7), FIELD_FILELIST, list.data(), list.size());
  std::unique_ptr<MailslotReader> slot = Listen(*m);
  test::PushAll(test::ChunksOf(*m), &queue_);
  ASSERT_TRUE(reader_->CanExtractMessageObject(nullptr, 0));
  EXPECT_EQ(factory.writers, 1);
  const std::vector<std::string> records = Records(slot.get());
  ASSERT_EQ(records.size(), 2u);
  ExpectRecord(records[0], kProgressFileCount, "", 2, 1);
  ExpectRecord(records[1], kProgressFileCount, "", 2, 2);
}

}  // namespace
}  // namespace tw
