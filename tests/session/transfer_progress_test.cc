// Which observations of a transfer become notices, and what they say. The
// clock is the test's own, so the four-a-second limit is checked without
// waiting for anything. A received transfer's records cross from the
// reader's thread to the waiting one here; the whole path (hub listener,
// reader, provider, vscc) is exercised end to end in
// tests/tools/vscc_test.cc.
#include "session/transfer_progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "messaging/message.h"
#include "messaging/progress_sink.h"
#include "messaging/pump_hook.h"
#include "messaging/stream_format.h"

namespace tw {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

class TransferNoticesTest : public ::testing::Test {
 protected:
  TransferNotices notices_{"Sending", [this](const std::string& text) { told_.push_back(text); },
                           [this] { return now_ms_; }};
  int64_t now_ms_ = 1000;
  std::vector<std::string> told_;
};

TEST(TransferNoticeText, PercentRoundsDownAndTheRateIsInDecimalMegabytes) {
  // 12 MiB of 26.7 MiB in 400 ms: 12582912 bytes / 0.4 s = 31.5 MB/s.
  EXPECT_EQ("Sending big.psd: 44% (12.0 of 26.7 MiB, 31 MB/s)",
            TransferNoticeText("Sending", "big.psd", 12 * kMiB, 28000000, 400));
  EXPECT_EQ("Receiving a b.bin: 99% (10.0 of 10.0 MiB, 5.2 MB/s)",
            TransferNoticeText("Receiving", "a b.bin", 10 * kMiB - 1, 10 * kMiB, 2000));
  // Before any time has passed there is no rate; more done than announced
  // is never more than all.
  EXPECT_EQ("Sending x: 100% (2.0 of 2.0 MiB)",
            TransferNoticeText("Sending", "x", 3 * kMiB, 2 * kMiB, 0));
}

TEST_F(TransferNoticesTest, AtMostFourASecondAndTheEndAlways) {
  const uint64_t size = 64 * kMiB;
  for (uint64_t done = 0; done < size; done += kMiB / 8) {
    notices_.Observe(0, "big.bin", done, size, false);
    now_ms_ += 10;  // a frame every 10 ms: 512 frames in 5.12 s
  }
  notices_.Observe(0, "big.bin", size, size, true);
  notices_.Observe(0, "big.bin", size, size, true);  // told once only
  // The first frame, one every 250 ms after it, and the end.
  ASSERT_EQ(5120 / 250 + 1 + 1, static_cast<int>(told_.size()));
  EXPECT_EQ("Sending big.bin: 0% (0.0 of 64.0 MiB)", told_.front());
  EXPECT_EQ("Sending big.bin: 100% (64.0 of 64.0 MiB, 13 MB/s)", told_.back());
  int last = -1;
  for (const std::string& text : told_) {
    const int percent = std::stoi(text.substr(text.find(": ") + 2));
    EXPECT_GE(percent, last) << text;
    last = percent;
  }
}

TEST_F(TransferNoticesTest, SmallFilesAreQuietAndEachFileHasItsOwnClock) {
  notices_.Observe(0, "small.txt", 0, kMiB, false);
  notices_.Observe(0, "small.txt", kMiB, kMiB, true);  // 1 MiB exactly: quiet
  EXPECT_TRUE(told_.empty());

  now_ms_ += 5000;
  notices_.Observe(1, "one.bin", 0, 2 * kMiB, false);
  now_ms_ += 100;
  notices_.Observe(1, "one.bin", kMiB, 2 * kMiB, false);  // too soon
  notices_.Observe(1, "one.bin", 2 * kMiB, 2 * kMiB, true);
  now_ms_ += 100;
  // The next file's end comes at once, yet is told; its rate counts from
  // its own start.
  notices_.Observe(2, "two.bin", 0, 4 * kMiB, false);  // too soon after the last
  now_ms_ += 1000;
  notices_.Observe(2, "two.bin", 4 * kMiB, 4 * kMiB, true);
  EXPECT_EQ((std::vector<std::string>{"Sending one.bin: 0% (0.0 of 2.0 MiB)",
                                      "Sending one.bin: 100% (2.0 of 2.0 MiB, 21 MB/s)",
                                      "Sending two.bin: 100% (4.0 of 4.0 MiB, 4.2 MB/s)"}),
            told_);
}

// The reply's records come on the connection's thread while the request's
// thread waits. A flood of small files first overruns the inbox, untaken;
// then two large files of one name come while the waiting thread takes, and
// each is told as a file of its own, ending at 100%.
TEST(TransferWatch, HearsAReceivedTransferFromTheReadersThread) {
  MessagePtr request = NewMessage();
  const std::string name = request->GetIdentifierObject().guid().ToHexName();
  std::vector<std::string> told;
  std::atomic<int> phase{0};
  {
    TransferWatch watch([&told](const std::string& text) { told.push_back(text); }, *request,
                        TransferWatch::kReceiving);
    std::thread reader([&name, &phase] {
      ProgressSink sink;
      if (sink.OpenReceived(name)) {
        for (size_t i = 0; i < kKeptEndingRecords + 100; ++i) {
          sink.Write(kProgressFileFinished, "small.txt", 10, 10);
        }
        phase = 1;
        for (int file = 0; file < 2; ++file) {
          for (uint64_t at = 0; at <= 64 * kMiB; at += kMiB / 8) {
            sink.Write(at == 64 * kMiB ? kProgressFileFinished : kProgressFileInProgress,
                       "large.bin", 64 * kMiB, at);
          }
        }
        sink.Write(kProgressMessageFinished, "", 0, 0);
      }
      phase = 2;
    });
    while (phase == 0) std::this_thread::yield();
    while (phase == 1) {
      RunWaitSliceHook();  // as the request's wait does between its slices
      std::this_thread::yield();
    }
    reader.join();
  }
  ASSERT_FALSE(told.empty());
  EXPECT_EQ(told.back().rfind("Receiving large.bin: 100% (64.0 of 64.0 MiB", 0), 0u) << told.back();
  for (const std::string& text : told) {
    EXPECT_EQ(text.rfind("Receiving large.bin: ", 0), 0u) << text;
  }
  EXPECT_EQ(
      std::count_if(told.begin(), told.end(),
                    [](const std::string& t) { return t.find(": 100%") != std::string::npos; }),
      2);
}

}  // namespace
}  // namespace tw
