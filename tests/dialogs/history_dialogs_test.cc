// The history, properties and environment settings dialogs: the shortening
// of dates and comments, the rows made from name tables, and what the
// dialogs show and read back, answered by a script.
#include "dialogs/history_dialogs.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "dialogs/environment_dialog.h"
#include "protocol/name_table.h"
#include "session/document_info.h"
#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"
#include "ui/script.h"
#include "ui/user_interface.h"

namespace tw {
namespace {

TEST(HistoryTextTest, ServerDateShowsItsFirstFivePieces) {
  EXPECT_EQ("2005/03/07 14:05", ShortServerDate("2005:03:07:14:05:09:120"));
  EXPECT_EQ("2005/03/07 14:05", ShortServerDate("2005:03:07:14:05"));
  // Short pieces are padded on the left with blanks, long ones kept whole,
  // as "%04s" and "%02s" print them.
  EXPECT_EQ("   5/ 3/ 7  4: 5", ShortServerDate("5:3:7:4:5"));
  EXPECT_EQ("20051/003/07 14:05", ShortServerDate("20051:003:07:14:05:00"));
  // Fewer than five pieces: unchanged.
  EXPECT_EQ("2005:03:07:14", ShortServerDate("2005:03:07:14"));
  EXPECT_EQ("", ShortServerDate(""));
  EXPECT_EQ("yesterday", ShortServerDate("yesterday"));
  EXPECT_EQ("    /  /     :  ", ShortServerDate("::::"));
}

TEST(HistoryTextTest, CommentKeepsItsFirstLineAndAtMost252Bytes) {
  EXPECT_EQ("one line", ShortComment("one line"));
  EXPECT_EQ("", ShortComment(""));
  // The first line, whether it ends in CR LF or in a bare LF, and whole:
  // only a carriage return before the line feed goes.
  EXPECT_EQ("first...", ShortComment("first\r\nsecond"));
  EXPECT_EQ("first...", ShortComment("first\nsecond"));
  EXPECT_EQ("caf\xc3\xa9...", ShortComment("caf\xc3\xa9\nsecond"));
  EXPECT_EQ("...", ShortComment("\nsecond"));
  EXPECT_EQ("...", ShortComment("\r\nsecond"));
  EXPECT_EQ("x...", ShortComment("x\nsecond"));
  EXPECT_EQ("x\r\r...", ShortComment("x\r\r\r\nsecond"));

  const std::string limit(kHistoryCommentLimit, 'a');
  EXPECT_EQ(limit, ShortComment(limit));
  EXPECT_EQ(limit + "...", ShortComment(limit + "b"));
  EXPECT_EQ(limit + "...", ShortComment(std::string(10000, 'a')));
  // A first line longer than the limit is cut again.
  EXPECT_EQ(limit + "...", ShortComment(std::string(300, 'a') + "\r\nmore"));
  // A cut never splits a UTF-8 sequence: "é" is two bytes across the limit.
  const std::string accented = std::string(kHistoryCommentLimit - 1, 'a') + "\xC3\xA9" + "z";
  EXPECT_EQ(std::string(kHistoryCommentLimit - 1, 'a') + "...", ShortComment(accented));
}

NameTable Table(const std::string& text) {
  NameTable table;
  EXPECT_TRUE(NameTable::Parse(text, &table));
  return table;
}

TEST(HistoryTextTest, RowsFromTheNameTables) {
  NameTable versions;
  versions.AddRow({{kColumnVersion, "2"},
                   {kColumnStamp, "2024:01:02:03:04:05:006"},
                   {kColumnComment, "fix\r\nmore"},
                   {kColumnVersionUser, "bob"}});
  versions.AddRow({{kColumnVersion, "1"},
                   {kColumnStamp, "bad"},
                   {kColumnComment, ""},
                   {kColumnVersionUser, "alice"}});
  const ListControl history = HistoryList(Table(versions.ToText()));
  ASSERT_EQ(4u, history.columns.size());
  EXPECT_EQ("Version", history.columns[0].caption);
  EXPECT_EQ(25, history.columns[0].width);
  EXPECT_EQ("Comment", history.columns[3].caption);
  EXPECT_EQ(100, history.columns[3].width);
  EXPECT_EQ(
      "Version\tUser\tServer Date\tComment\n2\tbob\t2024/01/02 03:04\tfix...\n1\talice\tbad\t",
      ListText(history));

  NameTable locks;
  locks.AddRow({{kColumnUser, "alice"},
                {kColumnExclusive, "1"},
                {kColumnDeferred, "0"},
                {kColumnRank, "0"}});
  locks.AddRow(
      {{kColumnUser, "bob"}, {kColumnExclusive, "0"}, {kColumnDeferred, "1"}, {kColumnRank, "1"}});
  // A flag that is not "1" reads as No.
  locks.AddRow({{kColumnUser, "carol"}, {kColumnExclusive, "yes"}, {kColumnRank, "2"}});
  EXPECT_EQ(
      "Locked By\tExclusive\tDeferred\tRank\nalice\tYes\tNo\t0\nbob\tNo\tYes\t1\ncarol\tNo\tNo\t2",
      ListText(LockList(Table(locks.ToText()))));
  EXPECT_EQ("Locked By\tExclusive\tDeferred\tRank", ListText(LockList(NameTable())));
}

class HistoryDialogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELTRANE_UI_RECORD", env_.Path("record.jsonl").c_str(), 1);
    SetUserInterface(script_);
  }
  void TearDown() override {
    SetUserInterface(nullptr);
    unsetenv("VELTRANE_UI_RECORD");
  }
  std::vector<test::UiRecordEntry> Record() {
    return test::ReadUiRecord(env_.Path("record.jsonl"));
  }

  test::TestEnv env_;
  std::shared_ptr<ScriptedUserInterface> script_ = std::make_shared<ScriptedUserInterface>();
};

// A long history whole (the titles, the one button and the short form of a
// few rows: the provider and windowed suites).
TEST_F(HistoryDialogsTest, AThousandVersionsAreAllListed) {
  NameTable versions;
  for (int v = 1000; v >= 1; --v) {
    versions.AddRow({{kColumnVersion, std::to_string(v)},
                     {kColumnStamp, "2024:05:06:07:08:09:010"},
                     {kColumnComment, std::string(10000, 'c')},
                     {kColumnVersionUser, "alice"}});
  }
  script_->QueueDialog(kHistoryTemplate, kIdOk);
  ShowHistoryList(nullptr, "History of 'big.psd'", HistoryList(Table(versions.ToText())));
  const auto record = Record();
  ASSERT_EQ(1u, record.size());
  const std::string& rows = record[0].texts.at(kHistoryList);
  size_t lines = 0;
  for (size_t at = 0; at != std::string::npos; at = rows.find('\n', at + 1)) ++lines;
  EXPECT_EQ(1001u, lines);
  EXPECT_NE(std::string::npos, rows.find("\n1000\talice\t2024/05/06 07:08\t" +
                                         std::string(kHistoryCommentLimit, 'c') + "...\n999\t"));
}

TEST_F(HistoryDialogsTest, NoSessionOrNoDocumentShowsAnEmptyList) {
  script_->QueueDialog(kHistoryTemplate, kIdOk);
  DocumentInfo record;
  record.document_id = "0123456789abcdef";
  ShowHistoryDialog(nullptr, nullptr, record, "", "History of 'x'");
  const auto shown = Record();
  ASSERT_EQ(1u, shown.size());
  EXPECT_EQ("Version\tUser\tServer Date\tComment", shown[0].texts.at(kHistoryList));
}

TEST_F(HistoryDialogsTest, EnvironmentChoicesAreReadBackOnOkOnly) {
  script_->QueueDialog(kEnvironmentTemplate, kIdOk,
                       {{kOpenActionList, "2"},
                        {kCloseActionList, "Always check in to Veltrane"},
                        {kSaveActionList, "sometimes"},
                        {kNewActionList, "Never add to Veltrane"}});
  EnvironmentSettings settings;
  settings.save_action = 1;
  ASSERT_TRUE(ShowEnvironmentSettingsDialog(nullptr, &settings));
  EXPECT_EQ(2, settings.open_action);
  EXPECT_EQ(1, settings.close_action);
  EXPECT_EQ(1, settings.save_action) << "a value naming no choice keeps the choice";
  EXPECT_EQ(2, settings.new_action);

  // Cancel changes nothing; a stored value out of range shows as "ask".
  script_->QueueDialog(kEnvironmentTemplate, kIdCancel, {{kOpenActionList, "0"}});
  EXPECT_FALSE(ShowEnvironmentSettingsDialog(nullptr, &settings));
  EXPECT_EQ(2, settings.open_action);
  settings.close_action = 7;
  script_->QueueDialog(kEnvironmentTemplate, kIdOk);
  ASSERT_TRUE(ShowEnvironmentSettingsDialog(nullptr, &settings));
  EXPECT_EQ(0, settings.close_action);

  // Nobody to answer: nothing changes.
  SetUserInterface(std::make_shared<NoUserInterface>());
  EXPECT_FALSE(ShowEnvironmentSettingsDialog(nullptr, &settings));

  const auto record = Record();
  ASSERT_EQ(4u, record.size());  // its texts: gui_dialogs_test
  EXPECT_EQ("1", record[0].answer);
  EXPECT_EQ("2", record[1].answer);
}

}  // namespace
}  // namespace tw
