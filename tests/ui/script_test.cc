// The scripted user interface: the script language, answers taken in order,
// and what happens to a dialog or message box the script did not expect.
#include "ui/script.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"
#include "ui/terminal.h"

namespace tw {
namespace {

TEST(UiScriptParse, QuotingEscapesAndComments) {
  const UiScript script = ParseUiScript(
      "# the logon\n"
      "dialog 101 1 1001=alice 1002=\"pass word\" 1003=\"\"   # comment after\n"
      "\n"
      "dialog 109 1 1022=\"/\\Games\\Level 1\" 1020=\"say \\\"hi\\\" \\\\ \" 1005=a#b 1006=x=y\r\n"
      "msgbox \"Production Exists\" yes",
      "s");
  ASSERT_TRUE(script.errors.empty()) << script.errors[0];
  ASSERT_EQ(3u, script.entries.size());
  const UiScriptEntry& logon = script.entries[0];
  EXPECT_EQ(UiScriptEntry::kDialog, logon.kind);
  EXPECT_EQ(101, logon.template_id);
  EXPECT_EQ(1, logon.button);
  EXPECT_EQ((std::map<int, std::string>{{1001, "alice"}, {1002, "pass word"}, {1003, ""}}),
            logon.values);
  const UiScriptEntry& bind = script.entries[1];
  EXPECT_EQ("/\\Games\\Level 1", bind.values.at(1022));  // other backslashes stay
  EXPECT_EQ("say \"hi\" \\ ", bind.values.at(1020));
  EXPECT_EQ("a#b", bind.values.at(1005));  // '#' inside a word is no comment
  EXPECT_EQ("x=y", bind.values.at(1006));
  EXPECT_EQ("s:4", bind.where);
  EXPECT_EQ(UiScriptEntry::kMessageBox, script.entries[2].kind);
  EXPECT_EQ("Production Exists", script.entries[2].title);
  EXPECT_EQ(kIdYes, script.entries[2].button);
}

TEST(UiScriptParse, MalformedLinesAreReportedAndSkipped) {
  const UiScript script = ParseUiScript(
      "dialog 101\n"
      "dialog 101 1 abc=1\n"
      "dialog 101 1 1005=\"open\n"
      "msgbox \"Title\" Maybe\n"
      "dialog 110 1000\n",
      "bad.txt");
  ASSERT_EQ(1u, script.entries.size());
  EXPECT_EQ("bad.txt:5", script.entries[0].where);
  ASSERT_EQ(4u, script.errors.size());
  EXPECT_EQ(0u, script.errors[0].rfind("bad.txt:1: ", 0));
  EXPECT_NE(std::string::npos, script.errors[2].find("unterminated quote"));

  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 131 + 7) & 0xFF);
  EXPECT_FALSE(ParseUiScript(junk, "junk").errors.empty());
}

TEST(UiScriptParse, AnyLinesAndTheOtherwiseForm) {
  const UiScript script = ParseUiScript(
      "any dialog 110 1001\n"
      "otherwise tty\n"
      "any msgbox \"Could not acquire lock.\" No\n"
      "dialog 101 1\n"
      "any 116 1\n"
      "otherwise somebody\n"
      "otherwise none tty\n"
      "otherwise gui\n",
      "s");
  ASSERT_EQ(3u, script.entries.size());
  EXPECT_TRUE(script.entries[0].any);
  EXPECT_EQ(1001, script.entries[0].button);
  EXPECT_TRUE(script.entries[1].any);
  EXPECT_EQ(kIdNo, script.entries[1].button);
  EXPECT_FALSE(script.entries[2].any);
  ASSERT_EQ(3u, script.errors.size());
  EXPECT_EQ(0u, script.errors[0].rfind("s:5: ", 0));
  EXPECT_TRUE(script.fallback_given);
  EXPECT_EQ(UserInterfaceChoice::kGui, script.fallback);  // the last one counts
  EXPECT_FALSE(ParseUiScript("dialog 101 1\n", "s").fallback_given);
}

class ScriptedUi : public ::testing::Test {
 protected:
  ScriptedUi() { setenv("VELTRANE_UI_RECORD", env_.Path("record.jsonl").c_str(), 1); }

  static DialogRequest Overwrite(bool merge_enabled) {
    DialogRequest r;
    r.template_id = 110;
    r.texts = {{1025, "'a.c' is 'Old'."}, {1032, "Merge"}};
    r.enabled = {{1032, merge_enabled}};
    r.buttons = {1000, 1001, 1032, 2};
    return r;
  }
  static DialogRequest CheckIn() {
    DialogRequest r;
    r.template_id = 119;
    r.values = {{1037, "0"}, {1038, "1"}};
    return r;
  }
  static MessageBoxRequest Box(const std::string& title, MessageBoxButtons buttons) {
    MessageBoxRequest r;
    r.title = title;
    r.buttons = buttons;
    return r;
  }
  std::vector<test::UiRecordEntry> Record() {
    return test::ReadUiRecord(env_.Path("record.jsonl"));
  }

  test::TestEnv env_;
  ScriptedUserInterface ui_;
};

TEST_F(ScriptedUi, UnexpectedDialogIsCancelledAndTheLineWaits) {
  ui_.QueueDialog(110, 1000);
  const DialogResult r = ui_.ShowDialog(CheckIn());  // not the expected template
  EXPECT_EQ(kIdCancel, r.button);
  EXPECT_EQ(CheckIn().values, r.values);
  EXPECT_EQ(1u, ui_.Remaining());
  EXPECT_EQ(1000, ui_.ShowDialog(Overwrite(true)).button);
  EXPECT_EQ(kIdCancel, ui_.ShowDialog(Overwrite(true)).button);  // script used up

  // Another title, or an answer the box does not offer: unexpected, default button.
  ui_.AddScript("msgbox \"Could not acquire lock.\" No\nmsgbox \"Veltrane\" Cancel\n", "t");
  EXPECT_EQ(kIdYes, ui_.MessageBox(Box("Could not acquire lock", MessageBoxButtons::kYesNo)));
  EXPECT_EQ(kIdNo, ui_.MessageBox(Box("Could not acquire lock.", MessageBoxButtons::kYesNo)));
  EXPECT_EQ(kIdOk, ui_.MessageBox(Box("Veltrane", MessageBoxButtons::kOk)));
  EXPECT_EQ(kIdCancel, ui_.MessageBox(Box("Veltrane", MessageBoxButtons::kOkCancel)));

  const auto record = Record();
  ASSERT_EQ(7u, record.size());
  for (int i : {0, 2, 3, 5}) EXPECT_TRUE(record[i].unexpected) << i;
  for (int i : {1, 4, 6}) EXPECT_FALSE(record[i].unexpected) << i;
  EXPECT_EQ("2", record[0].answer);
  EXPECT_EQ("Yes", record[3].answer);
}

TEST_F(ScriptedUi, NobodyPressesOrChangesADisabledControl) {
  ui_.QueueDialog(110, 1032);  // Merge is greyed
  EXPECT_EQ(kIdCancel, ui_.ShowDialog(Overwrite(false)).button);
  EXPECT_EQ(1032, ui_.ShowDialog(Overwrite(true)).button);
  DialogRequest checkin = CheckIn();
  checkin.enabled[1038] = false;
  ui_.QueueDialog(119, 1, {{1037, "1"}, {1038, "0"}});
  const DialogResult r = ui_.ShowDialog(checkin);
  EXPECT_EQ("1", r.values.at(1037));
  EXPECT_EQ("1", r.values.at(1038));
}

TEST_F(ScriptedUi, AnyLineAnswersOnceWhereverItsQuestionComes) {
  ui_.AddScript(
      "dialog 119 1 1037=1\n"
      "any dialog 110 1001\n"
      "any msgbox \"Could not acquire lock.\" No\n",
      "t");
  EXPECT_EQ(3u, ui_.Remaining());
  // Out of order: the ordered line waits, the "any" line answers.
  EXPECT_EQ(1001, ui_.ShowDialog(Overwrite(true)).button);
  EXPECT_EQ(kIdNo, ui_.MessageBox(Box("Could not acquire lock.", MessageBoxButtons::kYesNo)));
  // Used up: the next overwrite question is unexpected.
  EXPECT_EQ(kIdCancel, ui_.ShowDialog(Overwrite(true)).button);
  EXPECT_EQ(kIdOk, ui_.ShowDialog(CheckIn()).button);
  EXPECT_EQ(0u, ui_.Remaining());

  // The ordered line comes first when both match.
  ui_.AddScript("any dialog 110 1001\ndialog 110 1000\n", "t");
  EXPECT_EQ(1000, ui_.ShowDialog(Overwrite(true)).button);
  EXPECT_EQ(1001, ui_.ShowDialog(Overwrite(true)).button);

  const auto record = Record();
  ASSERT_EQ(6u, record.size());
  for (int i : {0, 1, 3, 4, 5}) EXPECT_FALSE(record[i].unexpected) << i;
  EXPECT_TRUE(record[2].unexpected);
}

TEST_F(ScriptedUi, OtherwiseFormAnswersWhatTheScriptDoesNot) {
  int in[2], out[2];
  ASSERT_EQ(0, pipe2(in, O_CLOEXEC));
  ASSERT_EQ(0, pipe2(out, O_CLOEXEC));
  const std::string typed = "1002\nno\n";  // the overwrite question, then the box
  ASSERT_EQ(static_cast<ssize_t>(typed.size()), write(in[1], typed.data(), typed.size()));
  close(in[1]);
  ui_.SetFallback(std::make_shared<TerminalUserInterface>(in[0], out[1]));
  ui_.AddScript("any dialog 119 1 1038=0\n", "t");

  EXPECT_EQ(kIdOk, ui_.ShowDialog(CheckIn()).button);  // the script
  DialogRequest question = Overwrite(true);
  question.buttons = {1000, 1002, 2};
  EXPECT_EQ(1002, ui_.ShowDialog(question).button);  // the terminal
  EXPECT_EQ(kIdNo, ui_.MessageBox(Box("Production Exists", MessageBoxButtons::kYesNo)));
  // Input ended: the terminal form cancels, as a person who left would.
  EXPECT_EQ(kIdCancel, ui_.ShowDialog(question).button);
  ui_.SetFallback(nullptr);
  close(out[1]);
  close(in[0]);
  std::string shown;
  char buf[4096];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) shown.append(buf, n);
  close(out[0]);
  EXPECT_NE(std::string::npos, shown.find("'a.c' is 'Old'."));
  EXPECT_NE(std::string::npos, shown.find("Production Exists"));

  const auto record = Record();
  ASSERT_EQ(4u, record.size());
  for (const auto& r : record) EXPECT_FALSE(r.unexpected);  // somebody was asked
  EXPECT_EQ("1002", record[1].answer);
}

TEST_F(ScriptedUi, ScriptFileFromTheEnvironment) {
  const std::string path = env_.Path("ui.script");
  test::WriteFile(path, "msgbox \"Production Exists\" No\nbogus line\ndialog 116 1 1034=1\n");
  setenv("VELTRANE_UI", ("script:" + path).c_str(), 1);
  SetUserInterface(nullptr);
  auto active = std::dynamic_pointer_cast<ScriptedUserInterface>(ActiveUserInterface());
  ASSERT_TRUE(active);
  EXPECT_EQ(1u, active->Errors().size());
  EXPECT_EQ(kIdNo, ShowMessageBox(nullptr, "Production Exists", "That production already exists.",
                                  MessageBoxButtons::kYesNo, MessageBoxIcon::kQuestion));
  EXPECT_EQ(1u, active->Remaining());  // the same object keeps its place

  setenv("VELTRANE_UI", ("script:" + env_.Path("missing")).c_str(), 1);
  auto missing = std::dynamic_pointer_cast<ScriptedUserInterface>(ActiveUserInterface());
  ASSERT_TRUE(missing);
  EXPECT_EQ(0u, missing->Remaining());
  EXPECT_EQ(1u, missing->Errors().size());
  setenv("VELTRANE_UI", "none", 1);
  SetUserInterface(nullptr);
}

}  // namespace
}  // namespace tw
