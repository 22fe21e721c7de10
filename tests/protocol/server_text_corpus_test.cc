// The seed corpora of the server-text fuzz targets (name tables, stamps,
// the server's key and hex texts), replayed in every build.
#include <gtest/gtest.h>

#include "tests/fuzz/server_text_entry.h"
#include "tests/support/corpus_replay.h"

TEST(ServerTextCorpus, NameTablesAndPropertyTrees) {
  EXPECT_GE(tw::test::ReplayCorpus("name_table", tw::fuzz::FuzzNameTable), 3);
}

TEST(ServerTextCorpus, Stamps) {
  EXPECT_GE(tw::test::ReplayCorpus("stamp", tw::fuzz::FuzzStamp), 3);
}

TEST(ServerTextCorpus, PeerKeysAndHex) {
  EXPECT_GE(tw::test::ReplayCorpus("peer_key", tw::fuzz::FuzzPeerKey), 3);
}
