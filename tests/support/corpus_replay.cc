#include "tests/support/corpus_replay.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/fuzz/message_reader_entry.h"
#include "tests/support/test_env.h"

namespace tw::test {

int ReplayCorpus(const std::string& name, FuzzEntry entry) {
  namespace fs = std::filesystem;
  TestEnv env;
  fuzz::PrepareEnvironment(env.Path("tmp"));
  const fs::path corpus = fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus" / name;
  EXPECT_TRUE(fs::is_directory(corpus)) << corpus;
  int inputs = 0;
  for (const auto& file : fs::directory_iterator(corpus)) {
    if (!file.is_regular_file()) continue;
    SCOPED_TRACE(file.path().filename().string());
    const std::string bytes = ReadFile(file.path().string());
    entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    EXPECT_TRUE(fs::is_empty(env.Path("tmp")));
    ++inputs;
  }
  return inputs;
}

}  // namespace tw::test
