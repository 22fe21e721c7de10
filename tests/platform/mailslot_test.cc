// Mailslots and the recipient table: whole messages in order, back-pressure
// instead of loss, read time-outs, refusals, stale and live readers.
#include "platform/mailslot.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/recipient_table.h"
#include "platform/runtime_dir.h"
#include "tests/platform/ipc_test_support.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool Has(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

std::string ReadOne(MailslotReader* reader) {
  std::vector<char> buffer(65535);
  uint32_t count = 0;
  if (!reader->Read(buffer.data(), static_cast<uint32_t>(buffer.size()), &count)) return "<none>";
  return std::string(buffer.data(), count);
}

TEST(Mailslot, SlowReaderGetsEveryMessageWholeAndInOrderFromAnotherProcess) {
  test::TestEnv env;
  auto reader = NewMailslotReader();
  ASSERT_TRUE(reader->Create("slow", 65535, 10000));
  constexpr uint32_t kCount = 300;  // far beyond the kernel's queue: the writer waits for room
  test::Child writer({"mailslot-write", "slow", std::to_string(kCount)});
  ASSERT_GT(writer.pid(), 0);
  for (uint32_t i = 0; i < kCount; ++i) {
    if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(test::NumberedMessage(i), ReadOne(reader.get())) << "message " << i;
  }
  EXPECT_EQ(0, writer.Wait());
  EXPECT_FALSE(reader->HasMessage());
}

TEST(Mailslot, ReadTimeoutIsHonoured) {
  test::TestEnv env;
  auto reader = NewMailslotReader();
  ASSERT_TRUE(reader->Create("timeout", 100, 200));
  char buffer[100];
  uint32_t count = 7;
  auto start = Clock::now();
  EXPECT_FALSE(reader->Read(buffer, sizeof buffer, &count));
  EXPECT_EQ(0u, count);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(190));
  ASSERT_TRUE(reader->SetReadTimeout(0));
  EXPECT_EQ("<none>", ReadOne(reader.get()));

  ASSERT_TRUE(reader->SetReadTimeout(kMailslotWaitForever));
  std::thread late([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto writer = NewMailslotWriter();
    if (writer->Open(".", "timeout")) writer->Write("late", 4, nullptr);
  });
  EXPECT_EQ("late", ReadOne(reader.get()));
  late.join();
}

TEST(Mailslot, MessagesComeWholeOrNotAtAll) {
  test::TestEnv env;
  auto reader = NewMailslotReader();
  ASSERT_TRUE(reader->Create("limit", 100, 1000));
  auto writer = NewMailslotWriter();
  ASSERT_TRUE(writer->Open(".", "limit"));
  const std::string big(101, 'x'), fits(100, 'y');
  for (const std::string& message : {big, fits, std::string()}) {
    ASSERT_TRUE(writer->Write(message.data(), static_cast<uint32_t>(message.size()), nullptr));
  }
  EXPECT_EQ(2u, reader->MessageCount());  // the one over the limit is refused
  EXPECT_EQ(100u, reader->NextMessageSize());
  char buffer[8];
  uint32_t count = 0;
  EXPECT_FALSE(reader->Read(buffer, sizeof buffer, &count));  // too small: kept
  EXPECT_EQ(100u, count);
  EXPECT_EQ(fits, ReadOne(reader.get()));
  EXPECT_EQ("", ReadOne(reader.get()));
  EXPECT_TRUE(Has(test::ReadFile(env.Path("debug.log")), "refused a message of 101 bytes"));
}

TEST(Mailslot, WriterFailsCleanlyWithoutALiveReader) {
  test::TestEnv env;
  auto writer = NewMailslotWriter();
  EXPECT_FALSE(writer->Open(".", "missing"));
  EXPECT_TRUE(Has(writer->ErrorText(), "No reader"));
  EXPECT_FALSE(writer->Write("x", 1, nullptr));
  auto reader = NewMailslotReader();
  ASSERT_TRUE(reader->Create("remote", 0, 0));
  EXPECT_FALSE(writer->Open("buildhost", "remote"));
  EXPECT_TRUE(Has(writer->ErrorText(), "other computers"));
  EXPECT_FALSE(reader->Create(std::string(120, 'n'), 0, 0));
  EXPECT_TRUE(Has(reader->ErrorText(), "too long")) << reader->ErrorText();
}

TEST(Mailslot, WaitingWriterFailsWhenTheReaderGoes) {
  test::TestEnv env;
  auto reader = NewMailslotReader();
  ASSERT_TRUE(reader->Create("vanishing", 0, 0));
  auto writer = NewMailslotWriter();
  ASSERT_TRUE(writer->Open(".", "vanishing"));
  std::string error;
  const auto start = Clock::now();
  std::thread sender([&] {
    const std::string message(1000, 'z');
    for (int i = 0; i < 1000 && error.empty(); ++i) {
      if (!writer->Write(message.data(), 1000, nullptr)) error = writer->ErrorText();
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the sender now waits for room
  reader->Close();
  sender.join();
  EXPECT_TRUE(Has(error, "is gone")) << error;
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
}

TEST(Mailslot, AWriterWithoutPatienceReportsAFullQueueAndWritesOnceThereIsRoom) {
  test::TestEnv env;
  auto reader = NewMailslotReader();
  ASSERT_TRUE(reader->Create("busy", 0, 0));
  auto writer = NewMailslotWriter();
  ASSERT_TRUE(writer->Open(".", "busy"));
  writer->SetWriteTimeout(0);
  const std::string message(1000, 'q');
  int written = 0;
  while (written < 100000 && writer->Write(message.data(), 1000, nullptr)) ++written;
  EXPECT_TRUE(writer->QueueWasFull()) << writer->ErrorText();
  EXPECT_GT(written, 0);
  EXPECT_EQ(message, ReadOne(reader.get()));
  reader->MessageCount();  // drains the kernel's queue into the reader's own
  EXPECT_TRUE(writer->Write(message.data(), 1000, nullptr)) << writer->ErrorText();
  EXPECT_FALSE(writer->QueueWasFull());
  reader->Close();
  EXPECT_FALSE(writer->Write(message.data(), 1000, nullptr));
  EXPECT_FALSE(writer->QueueWasFull());
}

TEST(Mailslot, StaleSocketIsReplacedButALiveReaderIsKept) {
  test::TestEnv env;
  const std::string ready = env.Path("ready");
  test::Child holder({"mailslot-hold", "contested", ready});
  ASSERT_TRUE(test::WaitForFile(ready));
  auto reader = NewMailslotReader();
  EXPECT_FALSE(reader->Create("contested", 0, 0));
  EXPECT_TRUE(Has(reader->ErrorText(), "live reader")) << reader->ErrorText();
  EXPECT_TRUE(MailslotIsAlive("contested"));

  holder.Kill();  // leaves its socket file behind
  EXPECT_TRUE(fs::exists(env.Path("runtime/mailslot/contested")));
  EXPECT_FALSE(MailslotIsAlive("contested"));
  ASSERT_TRUE(reader->Create("contested", 0, 1000)) << reader->ErrorText();
  auto writer = NewMailslotWriter();
  ASSERT_TRUE(writer->Open(".", "contested"));
  ASSERT_TRUE(writer->Write("mine", 4, nullptr));
  EXPECT_EQ("mine", ReadOne(reader.get()));
  reader->Close();
  EXPECT_TRUE(fs::is_empty(env.Path("runtime/mailslot")));
}

TEST(Mailslot, FullPathsNameTheComputerAndTheSlot) {
  test::TestEnv env;
  std::string computer, name;
  ASSERT_TRUE(ParseMailslotPath("\\\\.\\MailSlot\\sub\\leaf", &computer, &name));
  EXPECT_EQ(".", computer);
  EXPECT_EQ("sub\\leaf", name);
  for (const char* bad : {"\\\\.\\mailslot\\", "\\.\\mailslot\\x", "\\\\.\\pipe\\x"}) {
    EXPECT_FALSE(ParseMailslotPath(bad, &computer, &name)) << bad;
  }
  auto reader = NewMailslotReader();
  ASSERT_TRUE(reader->Create(name, 0, 1000));
  auto writer = NewMailslotWriter();
  EXPECT_TRUE(writer->Open(computer, name));
  EXPECT_FALSE(MailslotIsAlive("sub/leaf"));
}

TEST(RecipientTable, LookupFollowsOnlyALiveMailslot) {
  test::TestEnv env;
  const std::string recipient = "Veltrane:APPpropertyFileServer";
  const std::string file = env.Path("runtime/recipients/" + EncodeFileName(recipient));
  std::string found, error;
  auto reader = NewMailslotReader();
  const std::string slot = UniqueMailslotName();
  ASSERT_TRUE(reader->Create(slot, 0, 0));
  {
    RecipientRegistration registration;
    ASSERT_TRUE(registration.Register(recipient, slot, &error)) << error;
    ASSERT_TRUE(LookupRecipient(recipient, &found));
    EXPECT_EQ(slot, found);
    reader->Close();
    EXPECT_FALSE(LookupRecipient(recipient, &found));
    ASSERT_TRUE(reader->Create(slot, 0, 0));
    UnregisterRecipient(recipient, "someone-else");  // not ours to remove
    EXPECT_TRUE(LookupRecipient(recipient, &found));
  }
  EXPECT_FALSE(LookupRecipient(recipient, &found));
  EXPECT_FALSE(fs::exists(file));
  test::WriteFile(file, slot);  // no line end: a torn entry
  EXPECT_FALSE(LookupRecipient(recipient, &found));
}

}  // namespace
}  // namespace tw
