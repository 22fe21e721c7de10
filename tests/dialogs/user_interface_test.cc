// The seam itself: the no-interface answers, the selection rules, the JSON
// record, and swapping the active implementation while others use it.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "dialogs/ui_record.h"
#include "dialogs/ui_script.h"
#include "dialogs/user_interface.h"
#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"

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
      {MessageBoxButtons::kOk, 0, kIdOk},          {MessageBoxButtons::kOkCancel, 0, kIdOk},
      {MessageBoxButtons::kYesNo, 0, kIdYes},      {MessageBoxButtons::kYesNoCancel, 0, kIdYes},
      {MessageBoxButtons::kOkCancel, kIdCancel, kIdCancel},
      {MessageBoxButtons::kYesNo, kIdNo, kIdNo},   {MessageBoxButtons::kYesNoCancel, kIdCancel, kIdCancel},
      {MessageBoxButtons::kYesNo, kIdOk, kIdYes},  // not one of its buttons
      {MessageBoxButtons::kOk, kIdNo, kIdOk},
  };
  for (const auto& c : kCases) {
    box.buttons = c.buttons;
    box.default_button = c.given_default;
    EXPECT_EQ(c.expected, none.MessageBox(box))
        << static_cast<int>(c.buttons) << " default " << c.given_default;
  }

  DialogRequest dialog;
  dialog.template_id = 116;
  dialog.values = {{1033, "1"}, {1035, "0"}};
  const DialogResult result = none.ShowDialog(dialog);
  EXPECT_EQ(kIdCancel, result.button);
  EXPECT_EQ(dialog.values, result.values);
  EXPECT_FALSE(result.unexpected);
}

TEST(UserInterfaceSelection, Rules) {
  test::TestEnv env;  // an unknown name is reported to the diagnostic output
  using C = UserInterfaceChoice;
  EXPECT_EQ(C::kNone, ChooseUserInterface(nullptr, false).kind);
  EXPECT_EQ(C::kGui, ChooseUserInterface(nullptr, true).kind);
  EXPECT_EQ(C::kGui, ChooseUserInterface("", true).kind);
  EXPECT_EQ(C::kNone, ChooseUserInterface("none", true).kind);
  EXPECT_EQ(C::kGui, ChooseUserInterface("gui", false).kind);
  EXPECT_EQ(C::kTty, ChooseUserInterface("tty", true).kind);
  EXPECT_EQ(C::kNone, ChooseUserInterface("terminal", true).kind);
  const C script = ChooseUserInterface("script:/x/y z", false);
  EXPECT_EQ(C::kScript, script.kind);
  EXPECT_EQ("/x/y z", script.script_path);
}

TEST(UserInterfaceSelection, EnvironmentAndHost) {
  test::TestEnv env;
  unsetenv("VELTRANE_UI");
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("DISPLAY");
  SetUserInterface(nullptr);
  EXPECT_EQ("none", ActiveUserInterface()->Name());
  setenv("WAYLAND_DISPLAY", "wayland-0", 1);
  EXPECT_EQ("gui", ActiveUserInterface()->Name());
  unsetenv("WAYLAND_DISPLAY");
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

TEST(UiRecord, EscapingParsesBack) {
  const std::string tricky = std::string("q\"b\\s/\n\r\t\b\f\x01\x1f\x7f", 14) +
                             "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80" +  // é € 😀
                             "\xe9" + "\xed\xa0\x80" + "\xc0\xaf" + "\xf4\x90\x80\x80" +
                             std::string(1, '\0') + "end";
  EXPECT_EQ("\"\\u0001\\u001f\"", JsonQuote("\x01\x1f"));
  EXPECT_EQ("\"\\u00e9\"", JsonQuote("\xe9"));

  DialogRequest request;
  request.template_id = 110;
  request.title = tricky;
  request.texts = {{1025, tricky}, {1, "OK"}};
  request.enabled = {{1032, false}, {1, true}};
  DialogResult result;
  result.button = 1003;
  result.unexpected = true;
  test::UiRecordEntry entry;
  std::string error;
  ASSERT_TRUE(test::ParseUiRecordLine(DialogRecordLine(request, result), &entry, &error)) << error;
  // Valid UTF-8 comes back unchanged; each stray byte comes back as Latin-1.
  const std::string expected = std::string(tricky, 0, 23) + "\xc3\xa9" +
                               "\xc3\xad\xc2\xa0\xc2\x80" + "\xc3\x80\xc2\xaf" +
                               "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80" + std::string(1, '\0') + "end";
  EXPECT_EQ(expected, entry.title);
  EXPECT_EQ(expected, entry.texts.at(1025));
  EXPECT_EQ("1003", entry.answer);
  EXPECT_EQ((std::map<int, bool>{{1, true}, {1032, false}}), entry.enabled);
  EXPECT_TRUE(entry.unexpected);
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
