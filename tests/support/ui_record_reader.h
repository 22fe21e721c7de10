// Reads the user-interface record ($VELTRANE_UI_RECORD) back, for tests that
// assert what a person would have seen. Each line must be exactly a record
// (valid UTF-8, no raw control bytes, the keys in the record's order, each
// of its type), so the reader also checks the writer.
#ifndef TW_TESTS_SUPPORT_UI_RECORD_READER_H_
#define TW_TESTS_SUPPORT_UI_RECORD_READER_H_

#include <map>
#include <string>
#include <vector>

namespace tw::test {

struct UiRecordEntry {
  std::string kind;  // "dialog", "msgbox" or "status"
  int id = 0;
  std::string title;
  std::map<int, std::string> texts;
  std::map<int, bool> enabled;
  // A dialog's button id as decimal text, a box's answer name, a status
  // window's "shown" or "closed".
  std::string answer;
  bool unexpected = false;
};

// Parses one record line; false with `error` set when it is not exactly a
// record.
bool ParseUiRecordLine(const std::string& line, UiRecordEntry* entry, std::string* error);

// Every line of the record file (none when it is missing); a line that does
// not parse is reported as a test failure and skipped.
std::vector<UiRecordEntry> ReadUiRecord(const std::string& path);

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_UI_RECORD_READER_H_
