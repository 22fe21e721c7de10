// The message reader's seed corpus, replayed in every build.
#include <gtest/gtest.h>

#include "tests/fuzz/message_reader_entry.h"
#include "tests/support/corpus_replay.h"

TEST(MessageReaderCorpus, EveryInputPasses) {
  EXPECT_GE(tw::test::ReplayCorpus("message_reader", tw::fuzz::FuzzMessageReader), 7);
}
