// Mailslots and the recipient table: whole messages in order, back-pressure
// instead of loss, read time-outs, refusals, stale and live readers.
#include "platform/mailslot.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/recipient_table.h"
#include "platform/runtime_dir.h"
#include "tests/platform/ipc_test_support.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

using Clock = std::chrono::steady_clock;

// Reads message i and checks its size and every byte.
void ExpectNumberedMessage(MailslotReader* reader, uint32_t i) {
  std::vector<char> buffer(65535);
  uint32_t count = 0;
  ASSERT_TRUE(reader->Read(buffer.data(), static_cast<uint32_t>(buffer.size()), &count))
      << "message " << i << ": " << reader->ErrorText();
  const std::string expected = test::NumberedMessage(i);
  ASSERT_EQ(expected.size(), count) << "message " << i;
  ASSERT_EQ(0, memcmp(expected.data(), buffer.data(), count)) << "message " << i;
}

TEST(Mailslot, WholeMessagesOfEverySizeArriveInOrder) {
  test::TestEnv env;
  auto reader = NewMailslotReader();
  ASSERT_TRUE(reader->Create("sizes", 65535, 10000)) << reader->ErrorText();
  EXPECT_TRUE(reader->IsOpen());
  EXPECT_EQ(65535u, reader->MaxMessageSize());
  EXPECT_FALSE(reader->HasMessage());
  EXPECT_EQ(kMailslotNoMessage, reader->NextMessageSize());

  const uint32_t total = 3 * test::kMessageSizeCount;
  std::thread sender([&] {
    auto writer = NewMailslotWriter();
    ASSERT_TRUE(writer->Open(".", "sizes")) << writer->ErrorText();
    for (uint32_t i = 0; i < total; ++i) {
      const std::string message = test::NumberedMessage(i);
      uint32_t written = 0;
      ASSERT_TRUE(writer->Write(message.data(), static_cast<uint32_t>(message.size()), &written))
          << writer->ErrorText();
      EXPECT_EQ(message.size(), written);
    }
  });
  for (uint32_t i = 0; i < total; ++i) {
    ASSERT_NO_FATAL_FAILURE(ExpectNumberedMessage(reader.get(), i));
  }
  sender.join();
  EXPECT_EQ(0u, reader->MessageCount());
}

TEST(Mailslot, CountsAndSizesComeFromTheQueue) {
  test::TestEnv env;
  auto reader = NewMailslotReader();
  ASSERT_TRUE(reader->Create("queue", 0, 0));
  auto writer = NewMailslotWriter();
  ASSERT_TRUE(writer->Open(".", "queue"));
  ASSERT_TRUE(writer->Write("abc", 3, nullptr));
  ASSERT_TRUE(writer->Write("", 0, nullptr));
  ASSERT_TRUE(writer->Write("defgh", 5, nullptr));
  EXPECT_TRUE(reader->HasMessage());
  EXPECT_EQ(3u, reader->MessageCount());
  EXPECT_EQ(3u, reader->NextMessageSize());

  // A buffer too small keeps the message and says what it needs.
  char buffer[8];
  uint32_t count = 0;
  EXPECT_FALSE(reader->Read(buffer, 2, &count));
  EXPECT_EQ(3u, count);
  ASSERT_TRUE(reader->Read(buffer, sizeof buffer, &count));
  EXPECT_EQ("abc", std::string(buffer, count));
  ASSERT_TRUE(reader->Read(buffer, sizeof buffer, &count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(5u, reader->NextMessageSize());
  ASSERT_TRUE(reader->Read(buffer, sizeof buffer, &count));
  EXPECT_EQ("defgh", std::string(buffer, count));
  EXPECT_EQ(0u, reader->MessageCount());
}

TEST(Mailslot, SlowReaderLosesNothingFromAnotherProcess) {
  test::TestEnv env;
  auto reader = NewMailslotReader();
  ASSERT_TRUE(reader->Create("slow", 65535, 10000));
  constexpr uint32_t kCount = 300;  // far beyond the kernel's queue
  test::Child writer({"mailslot-write", "slow", std::to_string(kCount)});
  ASSERT_GT(writer.pid(), 0);
  for (uint32_t i = 0; i < kCount; ++i) {
    if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NO_FATAL_FAILURE(ExpectNumberedMessage(reader.get(), i));
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
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));

  ASSERT_TRUE(reader->SetReadTimeout(0));
  start = Clock::now();
  EXPECT_FALSE(reader->Read(buffer, sizeof buffer, &count));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));

  ASSERT_TRUE(reader->SetReadTimeout(kMailslotWaitForever));
  std::thread late([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto writer = NewMailslotWriter();
    if (writer->Open(".", "timeout")) writer->Write("late", 4, nullptr);
  });
  ASSERT_TRUE(reader->Read(buffer, sizeof buffer, &count));
  EXPECT_EQ("late", std::string(buffer, count));
  late.join();
}

TEST(Mailslot, ReaderRefusesMessagesOverItsLimit) {
  test::TestEnv env;
  auto reader = NewMailslotReader();
  ASSERT_TRUE(reader->Create("limit", 100, 1000));
  auto writer = NewMailslotWriter();
  ASSERT_TRUE(writer->Open(".", "limit"));
  const std::string big(101, 'x'), fits(100, 'y');
  ASSERT_TRUE(writer->Write(big.data(), 101, nullptr));
  ASSERT_TRUE(writer->Write(fits.data(), 100, nullptr));
  char buffer[200];
  uint32_t count = 0;
  ASSERT_TRUE(reader->Read(buffer, sizeof buffer, &count));
  EXPECT_EQ(fits, std::string(buffer, count));
  EXPECT_NE(std::string::npos,
            test::ReadFile(env.Path("debug.log")).find("refused a message of 101 bytes"));
}

TEST(Mailslot, WriterFailsCleanlyWithoutALiveReader) {
  test::TestEnv env;
  auto writer = NewMailslotWriter();
  EXPECT_FALSE(writer->Open(".", "missing"));
  EXPECT_FALSE(writer->IsOpen());
  EXPECT_NE(std::string::npos, writer->ErrorText().find("No reader"));
  EXPECT_FALSE(writer->Write("x", 1, nullptr));
  EXPECT_FALSE(std::filesystem::exists(env.Path("runtime/mailslot")));

  auto reader = NewMailslotReader();
  ASSERT_TRUE(reader->Create("remote", 0, 0));
  EXPECT_FALSE(writer->Open("buildhost", "remote"));
  EXPECT_NE(std::string::npos, writer->ErrorText().find("other computers"));
  EXPECT_FALSE(reader->HasMessage());
  EXPECT_FALSE(writer->Open(".", "missing"));
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(env.Path("runtime/mailslot")),
                             std::filesystem::directory_iterator()));
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
    for (int i = 0; i < 1000; ++i) {
      if (!writer->Write(message.data(), 1000, nullptr)) {
        error = writer->ErrorText();
        return;
      }
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the sender now waits for room
  reader->Close();
  sender.join();
  EXPECT_NE(std::string::npos, error.find("is gone")) << error;
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
}

TEST(Mailslot, StaleSocketIsReplacedButALiveReaderIsKept) {
  test::TestEnv env;
  const std::string ready = env.Path("ready");
  test::Child holder({"mailslot-hold", "contested", ready});
  ASSERT_TRUE(test::WaitForFile(ready));

  auto reader = NewMailslotReader();
  EXPECT_FALSE(reader->Create("contested", 0, 0));
  EXPECT_NE(std::string::npos, reader->ErrorText().find("live reader")) << reader->ErrorText();
  EXPECT_TRUE(MailslotIsAlive("contested"));

  holder.Kill();  // leaves its socket file behind
  EXPECT_TRUE(std::filesystem::exists(env.Path("runtime/mailslot/contested")));
  EXPECT_FALSE(MailslotIsAlive("contested"));
  ASSERT_TRUE(reader->Create("contested", 0, 1000)) << reader->ErrorText();
  auto writer = NewMailslotWriter();
  ASSERT_TRUE(writer->Open(".", "contested"));
  ASSERT_TRUE(writer->Write("mine", 4, nullptr));
  char buffer[8];
  uint32_t count = 0;
  ASSERT_TRUE(reader->Read(buffer, sizeof buffer, &count));
  EXPECT_EQ("mine", std::string(buffer, count));

  reader->Close();
  EXPECT_TRUE(std::filesystem::is_empty(env.Path("runtime/mailslot")));
}

TEST(Mailslot, OverlongSocketPathIsRefused) {
  test::TestEnv env;
  const std::string name(120, 'n');
  auto reader = NewMailslotReader();
  EXPECT_FALSE(reader->Create(name, 0, 0));
  EXPECT_NE(std::string::npos, reader->ErrorText().find("too long")) << reader->ErrorText();
  auto writer = NewMailslotWriter();
  EXPECT_FALSE(writer->Open(".", name));
  EXPECT_NE(std::string::npos, writer->ErrorText().find("too long"));
  EXPECT_FALSE(reader->Create("", 0, 0));
}

TEST(Mailslot, NamesWithSeparatorsAndFullPaths) {
  test::TestEnv env;
  std::string computer, name;
  ASSERT_TRUE(ParseMailslotPath("\\\\.\\MailSlot\\sub\\leaf", &computer, &name));
  EXPECT_EQ(".", computer);
  EXPECT_EQ("sub\\leaf", name);
  for (const char* bad : {"", "\\\\.\\mailslot\\", "\\.\\mailslot\\x", "\\\\\\mailslot\\x",
                          "\\\\.\\pipe\\x", "\\\\.mailslot\\x"}) {
    EXPECT_FALSE(ParseMailslotPath(bad, &computer, &name)) << bad;
  }

  auto reader = NewMailslotReader();
  ASSERT_TRUE(reader->Create(name, 0, 1000));
  auto writer = NewMailslotWriter();
  ASSERT_TRUE(writer->Open(computer, name));
  EXPECT_FALSE(MailslotIsAlive("sub/leaf"));
  EXPECT_NE(UniqueMailslotName(), UniqueMailslotName());
}

TEST(RecipientTable, LookupFollowsOnlyALiveMailslot) {
  test::TestEnv env;
  const std::string recipient = "Veltrane:APPpropertyFileServer";
  std::string found, error;
  EXPECT_FALSE(LookupRecipient(recipient, &found));

  auto reader = NewMailslotReader();
  const std::string slot = UniqueMailslotName();
  ASSERT_TRUE(reader->Create(slot, 0, 0));
  {
    RecipientRegistration registration;
    ASSERT_TRUE(registration.Register(recipient, slot, &error)) << error;
    ASSERT_TRUE(LookupRecipient(recipient, &found));
    EXPECT_EQ(slot, found);
    EXPECT_EQ(slot + "\n",
              test::ReadFile(env.Path("runtime/recipients/" + EncodeFileName(recipient))));

    reader->Close();
    EXPECT_FALSE(LookupRecipient(recipient, &found));
    ASSERT_TRUE(reader->Create(slot, 0, 0));
    EXPECT_TRUE(LookupRecipient(recipient, &found));

    UnregisterRecipient(recipient, "someone-else");  // not ours to remove
    EXPECT_TRUE(LookupRecipient(recipient, &found));
  }
  EXPECT_FALSE(LookupRecipient(recipient, &found));
  EXPECT_TRUE(std::filesystem::is_empty(env.Path("runtime/recipients")));

  test::WriteFile(env.Path("runtime/recipients/" + EncodeFileName(recipient)),
                  slot);  // no line end
  EXPECT_FALSE(LookupRecipient(recipient, &found));
}

}  // namespace
}  // namespace tw
