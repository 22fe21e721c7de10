// The seam itself: the no-interface answers, the selection rules, the JSON
// record, and swapping the active implementation while others use it.
#include "ui/user_interface.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/test_env.h"
#include "ui/record.h"
#include "ui/script.h"

namespace tw {
namespace {

TEST(NoUserInterface, DefaultButtons) {
  test::TestEnv env;
  NoUserInterface none;
  MessageBoxRequest box;
  const struct {
    MessageBoxButtons buttons;
    int given_default;
    int expected;
  } kCases[] = {
      {MessageBoxButtons::kOkCancel, 0, kIdOk},
      {MessageBoxButtons::kYesNoCancel, 0, kIdYes},
      {MessageBoxButtons::kYesNo, kIdNo, kIdNo},
      {MessageBoxButtons::kYesNo, kIdOk, kIdYes},  // not one of its buttons
  };
  for (const auto& c : kCases) {
    box.buttons = c.buttons;
    box.default_button = c.given_default;
    EXPECT_EQ(c.expected, none.MessageBox(box)) << c.given_default;
  }

  DialogRequest dialog;
  dialog.values = {{1033, "1"}, {1035, "0"}};
  const DialogResult result = none.ShowDialog(dialog);
  EXPECT_EQ(kIdCancel, result.button);
  EXPECT_EQ(dialog.values, result.values);
}

TEST(UserInterfaceSelection, NamesEnvironmentAndHost) {
  test::TestEnv env;  // an unknown name is reported to the diagnostic output
  using C = UserInterfaceChoice;
  EXPECT_EQ(C::kTty, ChooseUserInterface("tty", true).kind);
  EXPECT_EQ(C::kNone, ChooseUserInterface("terminal", true).kind);  // unknown
  const C script = ChooseUserInterface("script:/x/y z", false);
  EXPECT_EQ(C::kScript, script.kind);
  EXPECT_EQ("/x/y z", script.script_path);

  unsetenv("VELTRANE_UI");
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("DISPLAY");
  SetUserInterface(nullptr);
  EXPECT_EQ("none", ActiveUserInterface()->Name());
  setenv("DISPLAY", ":99", 1);
  auto gui = ActiveUserInterface();
  EXPECT_EQ("gui", gui->Name());
  EXPECT_EQ(gui, ActiveUserInterface());  // kept while the choice stands
  setenv("VELTRANE_UI", "none", 1);
  EXPECT_EQ("none", ActiveUserInterface()->Name());

  // The host's choice wins over the environment; null returns to it.
  auto host = std::make_shared<ScriptedUserInterface>();
  SetUserInterface(host);
  EXPECT_EQ(host, ActiveUserInterface());
  setenv("VELTRANE_UI", "gui", 1);
  EXPECT_EQ(host, ActiveUserInterface());
  SetUserInterface(nullptr);
  EXPECT_EQ("gui", ActiveUserInterface()->Name());
  unsetenv("DISPLAY");
}

// The connection, the messages and the session ask through
// platform/message_box.h alone: nobody answers until the user interface is
// installed, then the active form answers (a scripted host here) and the
// record shows the box as it does for the dialogs' own boxes.
TEST(UserInterfacePrompts, LowerLayersAskTheActiveForm) {
  SetUserPrompts(UserPrompts());
  EXPECT_EQ(kIdYes, ShowMessageBox(nullptr, "Server", "Reconnect?", MessageBoxButtons::kYesNo,
                                   MessageBoxIcon::kQuestion))
      << "no prompts: the default button";
  EXPECT_FALSE(PumpUserInterfaceEvents());

  auto host = std::make_shared<ScriptedUserInterface>();
  host->QueueMessageBox("Server", kIdNo);
  SetUserInterface(host);
  InstallUserInterfacePrompts();
  EXPECT_EQ(kIdNo, ShowMessageBox(nullptr, "Server", "Reconnect?", MessageBoxButtons::kYesNo,
                                  MessageBoxIcon::kQuestion));
  EXPECT_FALSE(PumpUserInterfaceEvents()) << "no windows up on this thread";
  SetUserInterface(nullptr);
}

TEST(UserInterfaceSelection, TtyWithoutTerminalBehavesAsNone) {
  test::TestEnv env;
  setenv("VELTRANE_UI", "tty", 1);
  // Under the test runner there may or may not be a controlling terminal;
  // in a new session there is none.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setsid();
    SetUserInterface(nullptr);
    auto ui = ActiveUserInterface();
    MessageBoxRequest box;
    box.buttons = MessageBoxButtons::kYesNo;
    _exit(ui->Name() == "none" && ui->MessageBox(box) == kIdYes ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(UiRecord, QuotingEscapesControlsAndKeepsOnlyValidUtf8) {
  EXPECT_EQ("\"q\\\"b\\\\\\n\\u0001\\u001f\x7f\"", JsonQuote("q\"b\\\n\x01\x1f\x7f"));
  EXPECT_EQ("\"\xe2\x82\xac\xf0\x9f\x98\x80\"", JsonQuote("\xe2\x82\xac\xf0\x9f\x98\x80"));
  // A stray, overlong or surrogate sequence goes byte by byte, as Latin-1.
  EXPECT_EQ("\"\\u00e9\\u00c0\\u00af\\u00ed\\u00a0\\u0080\"",
            JsonQuote("\xe9\xc0\xaf\xed\xa0\x80"));
}

TEST(UiRecord, ExactLinesAppendedByEveryImplementation) {
  test::TestEnv env;
  const std::string path = env.Path("record.jsonl");
  NoUserInterface none;
  MessageBoxRequest box;
  box.title = "Veltrane";
  box.text = "Unable to connect to server";
  box.buttons = MessageBoxButtons::kOkCancel;
  none.MessageBox(box);  // not recorded: no record file named
  EXPECT_EQ("", test::ReadFile(path));

  setenv("VELTRANE_UI_RECORD", path.c_str(), 1);
  none.MessageBox(box);
  DialogRequest dialog;
  dialog.template_id = 116;
  dialog.title = "Veltrane";
  dialog.texts = {{1035, "Exclusive"}, {1036, "Shared"}};
  dialog.enabled = {{1036, false}};
  none.ShowDialog(dialog);
  EXPECT_EQ(
      "{\"kind\": \"msgbox\", \"id\": 0, \"title\": \"Veltrane\", \"texts\": {\"0\": \"Unable to "
      "connect to server\"}, \"enabled\": {\"1\": true, \"2\": true}, \"answer\": \"OK\", "
      "\"unexpected\": false}\n"
      "{\"kind\": \"dialog\", \"id\": 116, \"title\": \"Veltrane\", \"texts\": {\"1035\": "
      "\"Exclusive\", \"1036\": \"Shared\"}, \"enabled\": {\"1036\": false}, \"answer\": 2, "
      "\"unexpected\": false}\n",
      test::ReadFile(path));
}

TEST(UiRecord, ListViewsAreRecordedAsTheirText) {
  ListControl list;
  list.columns = {{"Version", 25}, {"Comment", 100}};
  list.rows = {{"2", "tab\there"}, {"1", "line\r\nbreak"}};
  // Cells keep to one line and one column.
  EXPECT_EQ("Version\tComment\n2\ttab here\n1\tline  break", ListText(list));
  EXPECT_EQ("", ListText(ListControl()));

  DialogRequest dialog;
  dialog.template_id = 114;
  dialog.title = "History of 'a.txt'";
  dialog.texts = {{1, "OK"}};
  dialog.buttons = {1};
  dialog.lists[1030] = list;
  DialogResult closed;
  closed.button = 1;
  EXPECT_EQ(
      "{\"kind\": \"dialog\", \"id\": 114, \"title\": \"History of 'a.txt'\", \"texts\": "
      "{\"1\": \"OK\", \"1030\": \"Version\\tComment\\n2\\ttab here\\n1\\tline  break\"}, "
      "\"enabled\": {}, \"answer\": 1, \"unexpected\": false}",
      DialogRecordLine(dialog, closed));
  // A text of the same id is what the record shows.
  dialog.texts[1030] = "shown instead";
  EXPECT_NE(std::string::npos,
            DialogRecordLine(dialog, closed).find("\"1030\": \"shown instead\""));
}

TEST(UserInterfaceSwap, SnapshotsOutliveASwap) {
  test::TestEnv env;
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  std::vector<std::thread> users;
  for (int t = 0; t < 3; ++t) {
    users.emplace_back([&] {
      MessageBoxRequest box;
      box.title = "Veltrane";
      box.buttons = MessageBoxButtons::kYesNo;
      while (!stop.load()) {
        const int answer = ActiveUserInterface()->MessageBox(box);
        if (answer == kIdYes || answer == kIdNo) answered.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    if (i % 3 == 0) {
      SetUserInterface(nullptr);
    } else {
      auto scripted = std::make_shared<ScriptedUserInterface>();
      for (int k = 0; k < 4; ++k) scripted->QueueMessageBox("Veltrane", kIdNo);
      SetUserInterface(std::move(scripted));
    }
  }
  while (answered.load() < 100) std::this_thread::yield();
  stop = true;
  for (auto& t : users) t.join();
  SetUserInterface(nullptr);
}

}  // namespace
}  // namespace tw
