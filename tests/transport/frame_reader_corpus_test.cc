// The frame reader's seed corpus, replayed in every build.
#include <gtest/gtest.h>

#include "tests/fuzz/frame_reader_entry.h"
#include "tests/support/corpus_replay.h"

TEST(FrameReaderCorpus, EveryInputPasses) {
  EXPECT_GE(tw::test::ReplayCorpus("frame_reader", tw::fuzz::FrameReaderOneInput), 10);
}
