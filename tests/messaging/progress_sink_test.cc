// The progress sink against a real mailslot whose reader stops reading and
// comes back, and against an inbox of this process.
#include "messaging/progress_sink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "messaging/stream_format.h"
#include "platform/mailslot.h"
#include "tests/messaging/stream_support.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

using Heard = std::vector<std::pair<uint32_t, std::string>>;

// A monitor without room loses the records in progress but not how the
// files ended: those come, in order, before the next record once it reads
// again, or when the sink closes.
TEST(ProgressSink, AMonitorThatWasAwayStillHearsHowTheFilesEnded) {
  test::TestEnv env;
  std::unique_ptr<MailslotReader> monitor = NewMailslotReader();
  ASSERT_TRUE(monitor->Create("progress-monitor", 0, 0));
  ProgressSink sink;
  EXPECT_FALSE(sink.Open("nobody-listens"));
  ASSERT_TRUE(sink.Open("progress-monitor"));

  ASSERT_TRUE(test::FillMailslot("progress-monitor"));
  sink.Write(kProgressFileInProgress, "a", 10, 5);
  sink.Write(kProgressFileFinished, "a", 10, 10);  // waits, then is kept
  sink.Write(kProgressFileInProgress, "b", 10, 5);
  sink.Write(kProgressFileFinished, "b", 10, 10);
  EXPECT_TRUE(test::TakeProgressRecords(monitor.get()).empty());
  sink.Write(kProgressFileInProgress, "c", 10, 5);
  EXPECT_EQ(test::TakeProgressRecords(monitor.get()), (Heard{{kProgressFileFinished, "a"},
                                                             {kProgressFileFinished, "b"},
                                                             {kProgressFileInProgress, "c"}}));

  ASSERT_TRUE(test::FillMailslot("progress-monitor"));
  sink.Write(kProgressMessageFinished, "", 0, 0);
  EXPECT_TRUE(test::TakeProgressRecords(monitor.get()).empty());
  sink.Close();
  EXPECT_EQ(test::TakeProgressRecords(monitor.get()), (Heard{{kProgressMessageFinished, ""}}));

  // A monitor that is gone is given up at the next record.
  ASSERT_TRUE(sink.Open("progress-monitor"));
  monitor->Close();
  sink.Write(kProgressFileInProgress, "d", 10, 5);
  EXPECT_FALSE(sink.IsOpen());
}

// A monitor away for longer than kKeptEndingRecords file ends hears the
// newest of them, in order, once it reads again.
TEST(ProgressSink, KeepsTheNewestEndingRecordsForAMonitorAway) {
  test::TestEnv env;
  std::unique_ptr<MailslotReader> monitor = NewMailslotReader();
  ASSERT_TRUE(monitor->Create("away-monitor", 0, 0));
  ProgressSink sink;
  ASSERT_TRUE(sink.Open("away-monitor"));
  ASSERT_TRUE(test::FillMailslot("away-monitor"));
  const size_t ends = kKeptEndingRecords + 5;
  for (size_t i = 0; i < ends; ++i) sink.Write(kProgressFileFinished, std::to_string(i), 1, 1);

  std::vector<std::string> heard;
  for (int rounds = 0; rounds < 10000 && heard.size() < kKeptEndingRecords; ++rounds) {
    for (const auto& [kind, name] : test::TakeProgressRecords(monitor.get())) {
      if (kind == kProgressFileFinished) heard.push_back(name);
    }
    sink.Write(kProgressFileInProgress, "next", 1, 0);  // each write flushes what fits
  }
  ASSERT_EQ(heard.size(), kKeptEndingRecords);
  for (size_t i = 0; i < heard.size(); ++i) {
    ASSERT_EQ(heard[i], std::to_string(ends - kKeptEndingRecords + i)) << i;
  }
}

// A monitor that stopped reading holds up a sink opened message after
// message for a tenth of the time at most, not a second a message.
TEST(ProgressSink, AStuckMonitorCostsATenthOfTheTimeAtMost) {
  test::TestEnv env;
  std::unique_ptr<MailslotReader> monitor = NewMailslotReader();
  ASSERT_TRUE(monitor->Create("stuck-monitor", 0, 0));
  ASSERT_TRUE(test::FillMailslot("stuck-monitor"));
  ProgressSink sink;
  const auto start = std::chrono::steady_clock::now();
  for (int message = 0; message < 20; ++message) {
    ASSERT_TRUE(sink.Open("stuck-monitor"));
    sink.Write(kProgressFileFinished, "a", 1, 1);
    sink.Write(kProgressMessageFinished, "", 0, 0);
    sink.Close();
  }
  // About 1.1 s; twenty seconds were it a second a message.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
}

// A message received here is heard by this process's inbox of its name for
// as long as the inbox is open: one name, one inbox. A sent message's
// records go to mailslots only.
TEST(ProgressInbox, HearsTheReceivedMessageOfItsNameWhileOpen) {
  test::TestEnv env;
  std::shared_ptr<ProgressInbox> inbox = ProgressInbox::Create("in-process");
  ASSERT_NE(inbox, nullptr);
  EXPECT_EQ(ProgressInbox::Create("in-process"), nullptr);
  EXPECT_EQ(ProgressInbox::Find("in-process"), inbox);

  ProgressSink sink;
  EXPECT_FALSE(sink.Open("in-process"));
  ASSERT_TRUE(sink.OpenReceived("in-process"));  // no mailslot of the name exists
  sink.Write(kProgressFileInProgress, "a", 10, 1);
  sink.Close();  // the message was cut off: its file counts as ended
  ASSERT_TRUE(sink.OpenReceived("in-process"));
  sink.Write(kProgressFileInProgress, "a", 10, 1);
  const std::deque<ProgressInbox::Record> taken = inbox->Take();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].file, 0u);
  EXPECT_EQ(taken[1].file, 1u);
  inbox->Close();
  sink.Write(kProgressFileFinished, "a", 10, 10);  // after the close: dropped
  EXPECT_TRUE(inbox->Take().empty());
  EXPECT_EQ(ProgressInbox::Find("in-process"), nullptr);
  EXPECT_FALSE(sink.OpenReceived("in-process"));

  // Freed without a close, the name is free again as well.
  inbox = ProgressInbox::Create("in-process");
  ASSERT_NE(inbox, nullptr);
  inbox.reset();
  EXPECT_NE(ProgressInbox::Create("in-process"), nullptr);
}

// A file's positions fold into its latest, the next file (even of the same
// name) starts afresh, and past the cap the oldest records make room; each
// keeps the number of its file.
TEST(ProgressInbox, KeepsEachFilesLatestPositionAndTheNewestEnds) {
  std::shared_ptr<ProgressInbox> inbox = ProgressInbox::Create("folding");
  ASSERT_NE(inbox, nullptr);
  for (uint64_t done = 1; done <= 50; ++done) inbox->Put(kProgressFileInProgress, "a", 50, done);
  inbox->Put(kProgressFileFinished, "a", 50, 50);
  inbox->Put(kProgressFileInProgress, "a", 60, 1);
  inbox->Put(kProgressFileInProgress, "a", 60, 2);
  std::deque<ProgressInbox::Record> taken = inbox->Take();
  ASSERT_EQ(taken.size(), 3u);
  EXPECT_EQ(taken[0].done, 50u);
  EXPECT_EQ(taken[0].kind, kProgressFileInProgress);
  EXPECT_EQ(taken[1].kind, kProgressFileFinished);
  EXPECT_EQ(taken[1].file, 0u);
  EXPECT_EQ(taken[2].done, 2u);
  EXPECT_EQ(taken[2].file, 1u);

  for (size_t i = 0; i < kKeptEndingRecords + 10; ++i) {
    inbox->Put(kProgressFileFinished, std::to_string(i), 1, 1);
  }
  taken = inbox->Take();
  ASSERT_EQ(taken.size(), kKeptEndingRecords);
  EXPECT_EQ(taken.front().name, "10");
  EXPECT_EQ(taken.front().file, 11u);
  EXPECT_EQ(taken.back().name, std::to_string(kKeptEndingRecords + 9));
  EXPECT_EQ(taken.back().file, kKeptEndingRecords + 10);
  inbox->Put(kProgressMessageFinished, "", 0, 0);
  EXPECT_EQ(inbox->Take().size(), 1u);
}

}  // namespace
}  // namespace tw
