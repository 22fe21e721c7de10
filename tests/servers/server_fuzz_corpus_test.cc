// The seed corpora of the servers' fuzz targets, replayed in every build.
#include <gtest/gtest.h>

#include "tests/fuzz/property_server_entry.h"
#include "tests/fuzz/twserver_commands_entry.h"
#include "tests/support/corpus_replay.h"

TEST(ServerFuzzCorpus, CommandHandlerInputsPass) {
  EXPECT_GE(tw::test::ReplayCorpus("twserver_commands", tw::fuzz::TwServerCommandsOneInput), 8);
}

TEST(ServerFuzzCorpus, PropertyServerInputsPass) {
  EXPECT_GE(tw::test::ReplayCorpus("property_server", tw::fuzz::PropertyServerOneInput), 6);
}
