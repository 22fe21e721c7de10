// The seed corpus of the session's reply handling, replayed in every build.
#include <gtest/gtest.h>

#include "tests/fuzz/session_reply_entry.h"
#include "tests/support/corpus_replay.h"

TEST(SessionReplyCorpus, NoFileOutsideTheScratchFolderIsTouched) {
  EXPECT_GE(tw::test::ReplayCorpus("session_reply", tw::fuzz::FuzzSessionReply), 3);
}
