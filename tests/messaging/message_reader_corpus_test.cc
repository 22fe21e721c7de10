// Replays the message reader's seed corpus (tests/fuzz/corpus/
// message_reader/) through the fuzz entry function in every build: each
// input runs without a fault and leaves no scratch file behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/fuzz/message_reader_entry.h"
#include "tests/messaging/stream_support.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

TEST(MessageReaderCorpus, EveryInputPasses) {
  test::TestEnv env;
  fuzz::PrepareEnvironment(env.Path("tmp"));
  const fs::path corpus =
      fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus" / "message_reader";
  ASSERT_TRUE(fs::is_directory(corpus)) << corpus;
  int inputs = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (!entry.is_regular_file()) continue;
    const std::string bytes = test::ReadFile(entry.path().string());
    SCOPED_TRACE(entry.path().filename().string());
    EXPECT_EQ(0, fuzz::FuzzMessageReader(reinterpret_cast<const uint8_t*>(bytes.data()),
                                         bytes.size()));
    EXPECT_TRUE(test::ListFolder(env.Path("tmp")).empty());
    ++inputs;
  }
  EXPECT_GE(inputs, 7);
}

}  // namespace
}  // namespace tw
