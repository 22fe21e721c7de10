// The progress sink against a real mailslot whose reader stops reading and
// comes back.
#include "messaging/progress_sink.h"

#include <gtest/gtest.h>

#include <cstring>
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

Heard Take(MailslotReader* monitor) {
  return test::TakeProgressRecords(monitor);
}

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
  EXPECT_TRUE(Take(monitor.get()).empty());
  sink.Write(kProgressFileInProgress, "c", 10, 5);
  EXPECT_EQ(Take(monitor.get()), (Heard{{kProgressFileFinished, "a"},
                                        {kProgressFileFinished, "b"},
                                        {kProgressFileInProgress, "c"}}));

  ASSERT_TRUE(test::FillMailslot("progress-monitor"));
  sink.Write(kProgressMessageFinished, "", 0, 0);
  EXPECT_TRUE(Take(monitor.get()).empty());
  sink.Close();
  EXPECT_EQ(Take(monitor.get()), (Heard{{kProgressMessageFinished, ""}}));

  // A monitor that is gone is given up at the next record.
  ASSERT_TRUE(sink.Open("progress-monitor"));
  monitor->Close();
  sink.Write(kProgressFileInProgress, "d", 10, 5);
  EXPECT_FALSE(sink.IsOpen());
}

}  // namespace
}  // namespace tw
