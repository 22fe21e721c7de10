// Replays the frame reader's seed corpus (tests/fuzz/corpus/frame_reader/)
// through the fuzz entry function in every build, so that an input that once
// mattered keeps passing without a fuzzer at hand.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/fuzz/frame_reader_entry.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

TEST(FrameReaderCorpus, EveryInputPasses) {
  const fs::path corpus =
      fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus" / "frame_reader";
  ASSERT_TRUE(fs::is_directory(corpus)) << corpus;
  int inputs = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (!entry.is_regular_file()) continue;
    const std::string bytes = test::ReadFile(entry.path().string());
    SCOPED_TRACE(entry.path().filename().string());
    EXPECT_EQ(
        0, fuzz::FrameReaderOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    ++inputs;
  }
  EXPECT_GE(inputs, 10);
}

}  // namespace
}  // namespace tw
