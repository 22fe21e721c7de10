#include "tools/vscc/editor.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "platform/hex.h"
#include "platform/list_text.h"
#include "platform/native_text.h"
#include "platform/random.h"
#include "platform/runtime_dir.h"
#include "platform/small_file.h"
#include "platform/system_factory.h"
#include "tools/vscc/system.h"

namespace vscc {

namespace {

// More than any comment a person writes; a larger file is refused rather
// than sent.
constexpr size_t kMaxCommentBytes = 1 << 20;

}  // namespace

std::string CleanComment(const std::string& text) {
  std::vector<std::string> lines;
  for (std::string line : tw::SplitList(text, '\n')) {
    if (!line.empty() && line[0] == '#') continue;
    const size_t last = line.find_last_not_of(" \t\r");
    line.erase(last == std::string::npos ? 0 : last + 1);
    lines.push_back(line);
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  const auto first = std::find_if(lines.begin(), lines.end(),
                                  [](const std::string& line) { return !line.empty(); });
  return tw::JoinList(std::vector<std::string>(first, lines.end()), '\n');
}

bool EditText(const std::string& initial, std::string* text, std::string* error) {
  std::vector<std::string> argv = tw::UserEditorCommand();
  if (argv.empty()) argv = tw::SplitCommandLine(DefaultEditor());
  // A private folder: nobody else may read the comment or swap the file
  // between the editor's save and the read-back.
  std::string folder;
  if (!tw::RuntimeDirectory(&folder, error)) return false;
  uint8_t random[8];
  if (!tw::SystemRandomBytes(random, sizeof random)) {
    *error = "cannot name a file for the comment";
    return false;
  }
  const std::string path =
      folder + "/vscc-comment-" + tw::HexText(random, sizeof random, tw::HexCase::kLower) + ".txt";
  if (!tw::AppendToFile(path, initial, error)) return false;
  argv.push_back(path);
  const int status = RunProgram(argv, error);
  bool ok = status == 0;
  if (status > 0)
    *error = "the editor " + argv[0] + " failed (exit " + std::to_string(status) + ")";
  std::string saved;
  if (ok && !tw::ReadSmallFile(path, kMaxCommentBytes, &saved, error)) ok = false;
  std::error_code ec;
  std::filesystem::remove(tw::FsPath(path), ec);
  if (ok) *text = CleanComment(saved);
  return ok;
}

}  // namespace vscc
