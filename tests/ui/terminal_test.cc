// The terminal user interface, talked to through pipes. (Echo off for a
// secret on a real pseudo-terminal: vscc_test's terminal conversation.)
#include "ui/terminal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"

namespace tw {
namespace {

// Runs `talk` with a terminal form that reads `input` from a pipe; returns
// everything it printed.
std::string Converse(const std::string& input,
                     const std::function<void(TerminalUserInterface&)>& talk) {
  int in[2], out[2];
  EXPECT_EQ(0, pipe2(in, O_CLOEXEC));
  EXPECT_EQ(0, pipe2(out, O_CLOEXEC));
  EXPECT_EQ(static_cast<ssize_t>(input.size()), write(in[1], input.data(), input.size()));
  close(in[1]);
  {
    TerminalUserInterface ui(in[0], out[1]);
    talk(ui);
  }
  close(out[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, n);
  close(in[0]);
  close(out[0]);
  return text;
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class TerminalUi : public ::testing::Test {
 protected:
  test::TestEnv env_;
};

DialogRequest Logon() {
  DialogRequest r;
  r.template_id = 101;
  r.title = "Halvorn Veltrane";
  r.values = {{1000, "alpha"}, {1001, "alice"}, {1002, "old secret"}, {1003, "2100"}};
  r.labels = {{1000, "Server:"}, {1001, "User Name:"}, {1002, "Password:"}, {1003, "Port:"}};
  r.secret = {1002};
  r.enabled = {{1003, false}};
  return r;
}

TEST_F(TerminalUi, DialogPromptsForValuesAndButton) {
  DialogResult r;
  const std::string out = Converse("\nnew secret\nbeta\nmaybe\ncancel\n",
                                   [&](TerminalUserInterface& ui) { r = ui.ShowDialog(Logon()); });
  EXPECT_EQ(kIdCancel, r.button);
  EXPECT_EQ((std::map<int, std::string>{
                {1000, "beta"}, {1001, "alice"}, {1002, "new secret"}, {1003, "2100"}}),
            r.values);
  EXPECT_NE(std::string::npos, out.find("== Halvorn Veltrane =="));
  EXPECT_NE(std::string::npos, out.find("Server [alpha]: "));
  EXPECT_NE(std::string::npos, out.find("Password: "));
  EXPECT_EQ(std::string::npos, out.find("old secret"));
  EXPECT_NE(std::string::npos, out.find("Port: 2100 (cannot be changed)"));
  EXPECT_NE(std::string::npos, out.find("Close with (1 OK, 2 Cancel) [1]: "));
  EXPECT_NE(std::string::npos, out.find("Please answer"));
  // Asked as the template reads, top to bottom: the user name above the
  // server, whatever their ids.
  const size_t user = out.find("User Name [alice]: ");
  const size_t password = out.find("Password: ");
  const size_t server = out.find("Server [alpha]: ");
  EXPECT_LT(user, password) << out;
  EXPECT_LT(password, server) << out;
}

TEST_F(TerminalUi, ListViewIsPrintedWithItsRows) {
  DialogRequest history;
  history.template_id = 115;
  history.title = "Properties of 'a.txt'";
  history.texts = {{1, "OK"}};
  history.buttons = {1};
  history.lists[1031].columns = {{"Locked By", 100}, {"Rank", 100}};
  history.lists[1031].rows = {{"alice", "0"}, {"bob", "1"}};
  DialogResult r;
  const std::string out =
      Converse("\n", [&](TerminalUserInterface& ui) { r = ui.ShowDialog(history); });
  EXPECT_EQ(1, r.button);
  EXPECT_NE(std::string::npos, out.find("Locked By\tRank\nalice\t0\nbob\t1\n")) << out;
  EXPECT_NE(std::string::npos, out.find("Close with (1 OK) [1]: "));
}

TEST_F(TerminalUi, DisabledButtonsAreNotOfferedAndInputEndCancels) {
  DialogRequest q;
  q.template_id = 110;
  q.title = "Veltrane";
  q.texts = {{1025,
              "'a.c' is 'Old'.\x1b[2J\xc2\x9b \xe2\x80\xae"
              "exe.txt \xc3\xa9"},
             {1000, "&Yes"},
             {1032, "Merge"},
             {2, "&Cancel"}};
  q.enabled = {{1032, false}};
  q.buttons = {1000, 1032, 2};
  const std::string out = Converse("1032\nmerge\nyes\n", [&](TerminalUserInterface& ui) {
    EXPECT_EQ(1000, ui.ShowDialog(q).button);
  });
  // No raw escape, no direction override; other letters stay.
  EXPECT_NE(std::string::npos, out.find("'a.c' is 'Old'.^[[2J? ?exe.txt \xc3\xa9\n"));
  EXPECT_NE(std::string::npos, out.find("(1000 Yes, 2 Cancel) [1000]"));

  q.values = {{1040, "kept"}};
  Converse("", [&](TerminalUserInterface& ui) {
    const DialogResult r = ui.ShowDialog(q);
    EXPECT_EQ(kIdCancel, r.button);
    EXPECT_EQ(q.values, r.values);
  });
}

// Buttons by the letter their caption marks or starts with, y/n for OK and
// Cancel, and a number-only field that asks again until it has a number.
TEST_F(TerminalUi, LettersAnswerButtonsAndANumberFieldTakesOnlyNumbers) {
  DialogRequest q;
  q.title = "Veltrane";
  q.texts = {{1000, "&Yes"},       {1001, "Yes To &All"}, {1002, "&No"},
             {1003, "N&o To All"}, {1032, "Merge"},       {2, "&Cancel"}};
  q.buttons = {1000, 1001, 1002, 1003, 1032, 2};
  const std::vector<std::pair<std::string, int>> answers = {
      {"y\n", 1000}, {"A\n", 1001}, {"n\n", 1002},   {"o\n", 1003},
      {"m\n", 1032}, {"c\n", 2},    {"x\ny\n", 1000}};
  for (const auto& [typed, button] : answers) {
    Converse(typed, [&](TerminalUserInterface& ui) {
      EXPECT_EQ(button, ui.ShowDialog(q).button) << typed;
    });
  }

  DialogRequest logon = Logon();
  logon.enabled.clear();
  logon.numbers[1003] = {1, 65535};
  DialogResult r;
  const std::string out = Converse("\n\n\nsecret pw\n70000\n 4900 \nY\n",
                                   [&](TerminalUserInterface& ui) { r = ui.ShowDialog(logon); });
  EXPECT_EQ(kIdOk, r.button);  // y: OK where no button says Yes
  EXPECT_EQ(" 4900 ", r.values[1003]);
  EXPECT_EQ(3u, CountOf(out, "Port [2100]: ")) << out;
  EXPECT_EQ(2u, CountOf(out, "Please answer with a number from 1 to 65535.")) << out;
  EXPECT_EQ(std::string::npos, out.find("secret pw")) << out;  // never shown back
  Converse("\n\n\n\nn\n",
           [&](TerminalUserInterface& ui) { EXPECT_EQ(kIdCancel, ui.ShowDialog(logon).button); });

  MessageBoxRequest box;
  box.title = "Veltrane";
  box.text = "Go on?";
  box.buttons = MessageBoxButtons::kOkCancel;
  Converse("y\nno\n", [&](TerminalUserInterface& ui) {
    EXPECT_EQ(kIdOk, ui.MessageBox(box));
    EXPECT_EQ(kIdCancel, ui.MessageBox(box));
  });
}

// A name is one item of a list: its line breaks and tabs are shown, as
// every other control character is, while a text keeps its lines.
TEST(TerminalSafeName, LineBreaksAndTabsAreShownNotObeyed) {
  EXPECT_EQ("two^Jlines^Itab^M.txt", TerminalSafeName("two\nlines\ttab\r.txt"));
  EXPECT_EQ("^[[2J? caf\xc3\xa9", TerminalSafeName("\x1b[2J\xe2\x80\xae caf\xc3\xa9"));
  EXPECT_EQ("two\nlines\ttab^M", TerminalSafeText("two\nlines\ttab\r"));
}

TEST_F(TerminalUi, MessageBoxAnswersAndIsRecorded) {
  setenv("VELTRANE_UI_RECORD", env_.Path("record.jsonl").c_str(), 1);
  MessageBoxRequest box;
  box.title = "Keep Merge Results?";
  box.text = "Do you want to keep your merged file?";
  box.buttons = MessageBoxButtons::kYesNo;
  const std::string out = Converse("ok\nN\n\n", [&](TerminalUserInterface& ui) {
    EXPECT_EQ(kIdNo, ui.MessageBox(box));   // "ok" is not offered, then "N"
    EXPECT_EQ(kIdYes, ui.MessageBox(box));  // empty: the default
    EXPECT_EQ(kIdYes, ui.MessageBox(box));  // input ended: the default
  });
  EXPECT_NE(std::string::npos, out.find("Do you want to keep your merged file?\nYes/No [Yes]: "));
  const auto record = test::ReadUiRecord(env_.Path("record.jsonl"));
  ASSERT_EQ(3u, record.size());
  EXPECT_EQ("No", record[0].answer);
}

// A tree of three levels; counts the items whose children were listed.
class CountingTree : public TreeSource {
 public:
  std::map<std::string, int> asked;
  bool ListChildren(const TreeItem& parent, std::vector<TreeItem>* out) override {
    ++asked[parent.id];
    static const std::map<std::string, std::vector<TreeItem>> kChildren = {
        {"r", {{"a", "Art", ""}, {"g", "Games", ""}}}, {"g", {{"l", "Level1", ""}}}};
    auto it = kChildren.find(parent.id);
    out->clear();
    if (it != kChildren.end()) *out = it->second;
    return true;
  }
};

TEST_F(TerminalUi, TreeIsWalkedByNumberAndAnActionKeepsTheDialogOpen) {
  CountingTree source;
  DialogRequest bind;
  bind.template_id = 109;
  bind.title = "Bind";
  bind.texts = {{1009, "&Browse..."}};
  bind.labels = {{1020, "Folder:"}, {1022, "Production:"}};
  bind.values = {{1020, "/old"}};
  bind.buttons = {1, 2, 1009};
  bind.trees[1022] = TreeControl{{"r", "", "/"}, &source};
  bind.on_button = [](OpenDialog& d, int button) {
    if (button != 1009) return ButtonOutcome::kClose;
    std::string folder = d.Value(1020);
    if (d.ChooseFolder("Pick one", &folder)) d.SetValue(1020, folder);
    return ButtonOutcome::kKeepOpen;
  };
  DialogResult r;
  // First round: keep the folder; walk / -> Games -> (a wrong answer) -> up
  // -> Games -> Level1; press Browse and choose a folder. Second round:
  // keep both, press OK.
  const std::string out = Converse("\n1\n2\n7\n0\n2\n1\n\nbrowse...\n/chosen\n\n\n1\n",
                                   [&](TerminalUserInterface& ui) { r = ui.ShowDialog(bind); });
  EXPECT_EQ(r.button, kIdOk) << out;
  EXPECT_EQ(r.values.at(1022), "/\\Games\\Level1");
  EXPECT_EQ(r.values.at(1020), "/chosen");
  EXPECT_EQ(source.asked, (std::map<std::string, int>{{"r", 1}, {"g", 1}, {"l", 1}}));
  EXPECT_NE(out.find("Production: nothing selected\n  1 /\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Production: /\n  1 Art\n  2 Games\n"), std::string::npos);
  EXPECT_NE(out.find("Please answer with one of the numbers listed."), std::string::npos);
  EXPECT_NE(out.find("(no items below)"), std::string::npos);
  EXPECT_NE(out.find("== Pick one ==\nFolder (empty: none) [/old]: "), std::string::npos);
  EXPECT_NE(out.find("Folder [/chosen]: "), std::string::npos);
  EXPECT_NE(out.find("[/\\Games\\Level1]: "), std::string::npos);

  // The input ends inside the walk: Cancel, nothing selected.
  Converse("\n1\n", [&](TerminalUserInterface& ui) { r = ui.ShowDialog(bind); });
  EXPECT_EQ(r.button, kIdCancel);
  EXPECT_EQ(r.values.at(1022), "");
}

}  // namespace
}  // namespace tw
