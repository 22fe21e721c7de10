// The windowed form of the user-interface seam on a virtual X server:
// message boxes and the folder chooser as GTK shows them, placement over a
// host's window and inside the screen, a dialog the template table does
// not know, the thread rule and the host's locale. The system's own
// dialogs are driven in tests/dialogs/gui_dialogs_test.cc.
#include "ui/gui.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <wx/textctrl.h>

#include <clocale>
#include <filesystem>
#include <thread>

#include "tests/support/gui_driver.h"
#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"
#include "ui/user_interface.h"

namespace tw {
namespace {

class GuiEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { test::StopGui(); }
};
const auto* const gui_environment = ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

class GuiSeamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TW_REQUIRE_GUI();
    setenv("VELTRANE_UI_RECORD", env_.Path("record.jsonl").c_str(), 1);
    SetUserInterface(ui_);
  }
  void TearDown() override { SetUserInterface(nullptr); }

  std::vector<test::UiRecordEntry> Record() {
    return test::ReadUiRecord(env_.Path("record.jsonl"));
  }
  std::string Shot(const std::string& name) {
    const std::string dir = test::ScreenshotDir(env_.Path("screenshots"));
    std::filesystem::create_directories(dir);
    return dir + "/" + name;
  }

  test::TestEnv env_;
  std::shared_ptr<GuiUserInterface> ui_ = std::make_shared<GuiUserInterface>();
};

MessageBoxRequest Box(MessageBoxButtons buttons, MessageBoxIcon icon, int default_button = 0) {
  MessageBoxRequest request;
  request.title = "Halvorn Veltrane";
  request.text = "Please select a Production.";
  request.buttons = buttons;
  request.icon = icon;
  request.default_button = default_button;
  return request;
}

TEST_F(GuiSeamTest, MessageBoxesShowTheirTextAndIconAndAnswerWithTheButtonPressed) {
  struct Case {
    MessageBoxButtons buttons;
    MessageBoxIcon icon;
    int response;  // GTK's
    int answer;    // ours
    int type;      // GTK_MESSAGE_*
  };
  const Case cases[] = {
      {MessageBoxButtons::kOk, MessageBoxIcon::kExclamation, GTK_RESPONSE_OK, kIdOk,
       GTK_MESSAGE_WARNING},
      {MessageBoxButtons::kOkCancel, MessageBoxIcon::kInformation, GTK_RESPONSE_CANCEL, kIdCancel,
       GTK_MESSAGE_INFO},
      {MessageBoxButtons::kYesNo, MessageBoxIcon::kQuestion, GTK_RESPONSE_NO, kIdNo,
       GTK_MESSAGE_QUESTION},
      {MessageBoxButtons::kYesNoCancel, MessageBoxIcon::kError, GTK_RESPONSE_YES, kIdYes,
       GTK_MESSAGE_ERROR},
      // Closed without a button: Cancel when the box has it, else No, else OK.
      {MessageBoxButtons::kYesNo, MessageBoxIcon::kNone, GTK_RESPONSE_DELETE_EVENT, kIdNo,
       GTK_MESSAGE_OTHER},
      {MessageBoxButtons::kOk, MessageBoxIcon::kNone, GTK_RESPONSE_DELETE_EVENT, kIdOk,
       GTK_MESSAGE_OTHER},
  };
  for (const Case& c : cases) {
    std::string text;
    int type = -1;
    test::GuiSteps steps;
    steps.AnswerNative("Halvorn Veltrane", c.response, &text, &type);
    steps.Go();
    EXPECT_EQ(ui_->MessageBox(Box(c.buttons, c.icon)), c.answer);
    EXPECT_EQ(steps.Stuck(), "");
    EXPECT_EQ(text, "Please select a Production.");
    EXPECT_EQ(type, c.type);
  }
  const auto record = Record();
  ASSERT_EQ(record.size(), std::size(cases));
  EXPECT_EQ(record[0].kind, "msgbox");
  EXPECT_EQ(record[0].answer, "OK");
  EXPECT_EQ(record[2].answer, "No");
  EXPECT_EQ(record[3].answer, "Yes");
  EXPECT_FALSE(record[0].unexpected);
}

TEST_F(GuiSeamTest, TheFolderChooserHandsBackTheChosenFolder) {
  const std::string start = env_.Path("home");
  const std::string wanted = env_.Path("tmp");
  const std::string title = "Please select a working local folder...";
  test::GuiSteps steps;
  steps.Then("choose a folder", [&] {
    void* chooser = test::FindNativeDialog(title);
    if (chooser == nullptr || !GTK_IS_FILE_CHOOSER(chooser)) return false;
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), wanted.c_str());
    return true;
  });
  steps.Then("the folder is current", [&] {
    void* chooser = test::FindNativeDialog(title);
    if (chooser == nullptr) return false;
    gchar* current = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(chooser));
    const bool there = current != nullptr && wanted == current;
    g_free(current);
    if (there) test::RespondNative(chooser, GTK_RESPONSE_ACCEPT);
    return there;
  });
  steps.Go();
  std::string folder = start;
  EXPECT_TRUE(ui_->ChooseFolder(nullptr, title, &folder));
  EXPECT_EQ(steps.Stuck(), "");
  EXPECT_EQ(folder, wanted);

  // Cancelled: the folder stays as it was.
  test::GuiSteps cancel;
  cancel.AnswerNative(title, GTK_RESPONSE_CANCEL);
  cancel.Go();
  folder = start;
  EXPECT_FALSE(ui_->ChooseFolder(nullptr, title, &folder));
  EXPECT_EQ(folder, start);
}

// A dialog of the seam that shows one edit, for the placement tests.
DialogRequest EditDialog(void* owner) {
  DialogRequest request;
  request.owner = owner;
  request.template_id = 999;  // not in the table: laid out from the request
  request.title = "Somewhere";
  request.texts = {{1, "OK"}, {2, "Cancel"}, {1100, "A line of text"}};
  request.labels = {{1101, "Name:"}};
  request.values = {{1101, "initial"}};
  return request;
}

// Opens EditDialog over `owner` and returns where it appeared.
wxRect OpenAndMeasure(GuiUserInterface& ui, void* owner) {
  wxRect seen;
  test::GuiSteps steps;
  steps.WaitForDialog(999).Do("measure", [&](wxDialog* d) { seen = d->GetScreenRect(); }).Click(2);
  steps.Go();
  ui.ShowDialog(EditDialog(owner));
  EXPECT_EQ(steps.Stuck(), "");
  return seen;
}

TEST_F(GuiSeamTest, ADialogIsCentredOverItsOwnerAndKeptInsideTheScreen) {
  int screen_width = 0, screen_height = 0;
  ASSERT_TRUE(test::ScreenSize(&screen_width, &screen_height));
  const auto handle = [](const test::PlainXWindow& w) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(w.id()));
  };

  test::PlainXWindow host(100, 120, 600, 400, 0x3070C0);
  ASSERT_TRUE(host.ok());
  const wxRect over = OpenAndMeasure(*ui_, handle(host));
  EXPECT_NEAR(over.x + over.width / 2, 100 + 300, 1);
  EXPECT_NEAR(over.y + over.height / 2, 120 + 200, 1);

  // By the bottom-right corner: pushed back onto the screen.
  test::PlainXWindow corner(screen_width - 60, screen_height - 40, 50, 30, 0x30C070);
  const wxRect pushed = OpenAndMeasure(*ui_, handle(corner));
  EXPECT_EQ(pushed.GetRight(), screen_width - 1);
  EXPECT_EQ(pushed.GetBottom(), screen_height - 1);

  // No owner, an unmapped one, an id that names no window: the screen's
  // centre.
  const wxRect centred = OpenAndMeasure(*ui_, nullptr);
  EXPECT_NEAR(centred.x + centred.width / 2, screen_width / 2, 1);
  EXPECT_NEAR(centred.y + centred.height / 2, screen_height / 2, 1);
  host.SetMapped(false);
  EXPECT_EQ(OpenAndMeasure(*ui_, handle(host)).GetPosition(), centred.GetPosition());
  EXPECT_EQ(OpenAndMeasure(*ui_, reinterpret_cast<void*>(uintptr_t{0x3fffff1})).GetPosition(),
            centred.GetPosition());
}

TEST_F(GuiSeamTest, AMessageBoxIsCentredOverItsOwner) {
  test::PlainXWindow host(60, 80, 500, 420, 0xC07030);
  ASSERT_TRUE(host.ok());
  int x = 0, y = 0, width = 0, height = 0;
  test::GuiSteps steps;
  steps.Then("measure and answer", [&] {
    void* box = test::FindNativeDialog("Halvorn Veltrane");
    if (box == nullptr || !test::NativeDialogRect(box, &x, &y, &width, &height)) return false;
    test::RespondNative(box, GTK_RESPONSE_OK);
    return true;
  });
  steps.Go();
  MessageBoxRequest request = Box(MessageBoxButtons::kOk, MessageBoxIcon::kExclamation);
  request.owner = reinterpret_cast<void*>(static_cast<uintptr_t>(host.id()));
  EXPECT_EQ(ui_->MessageBox(request), kIdOk);
  ASSERT_EQ(steps.Stuck(), "");
  EXPECT_NEAR(x + width / 2, 60 + 250, 2);
  EXPECT_NEAR(y + height / 2, 80 + 210, 2);
}

TEST_F(GuiSeamTest, ADialogWithoutTemplateIsLaidOutFromItsRequest) {
  test::ScreenPixels pixels;
  wxString caption;
  test::GuiSteps steps;
  steps.WaitForDialog(999)
      .Screenshot(Shot("dialog-unknown-template.png"), &pixels)
      .Do("type a name",
          [&](wxDialog* d) {
            caption = d->GetTitle();
            test::ControlOf<wxTextCtrl>(d, 1101)->SetValue("typed");
          })
      .Click(1);
  steps.Go();
  const DialogResult result = ui_->ShowDialog(EditDialog(nullptr));
  ASSERT_EQ(steps.Stuck(), "");
  EXPECT_EQ(caption, "Somewhere");
  EXPECT_EQ(result.button, kIdOk);
  EXPECT_EQ(result.values.at(1101), "typed");
  EXPECT_TRUE(test::LooksDrawn(pixels));
}

// A report list from its template: the rows under the template's columns,
// a short row filled with empty cells, nothing handed back. (The system's
// report and drop-down dialogs are driven in gui_dialogs_test.cc.)
TEST_F(GuiSeamTest, AReportListFollowsItsTemplate) {
  DialogRequest history;
  history.template_id = 114;
  history.lists[1030].rows = {{"3", "ann", "2026-12-01 10:00", "fixed the build"}, {"2", "bob"}};
  test::ReportListShown shown;
  test::GuiSteps steps;
  steps.WaitForDialog(114)
      .Screenshot(Shot("114-history.png"), nullptr)
      .Do("read the list", [&](wxDialog* d) { shown = test::ReadReportList(d, 1030); })
      .Click(kIdOk);
  steps.Go();
  const DialogResult result = ui_->ShowDialog(history);
  ASSERT_EQ(steps.Stuck(), "");
  EXPECT_EQ(result.button, kIdOk);
  EXPECT_TRUE(result.values.empty());
  EXPECT_EQ(shown.captions,
            (std::vector<std::string>{"Version", "User", "Server Date", "Comment"}));
  EXPECT_EQ(shown.rows,
            (std::vector<std::vector<std::string>>{
                {"3", "ann", "2026-12-01 10:00", "fixed the build"}, {"2", "bob", "", ""}}));
}

TEST_F(GuiSeamTest, AnotherThreadIsAnsweredAsByNobody) {
  DialogResult result;
  int answer = 0;
  bool chose = true, pumped = true;
  std::thread other([&] {
    result = ui_->ShowDialog(EditDialog(nullptr));
    answer = ui_->MessageBox(Box(MessageBoxButtons::kYesNo, MessageBoxIcon::kQuestion, kIdNo));
    std::string folder = "/";
    chose = ui_->ChooseFolder(nullptr, "Please select a working local folder...", &folder);
    ui_->ShowStatus(nullptr, "Logging on...");
    ui_->HideStatus();
    pumped = PumpUserInterfaceEvents();
  });
  other.join();
  EXPECT_EQ(result.button, kIdCancel);
  EXPECT_EQ(result.values.at(1101), "initial");
  EXPECT_EQ(answer, kIdNo);
  EXPECT_FALSE(chose);
  EXPECT_FALSE(pumped);
  EXPECT_EQ(test::FindDialog(112), nullptr);
  const std::string log = test::ReadFile(env_.Path("debug.log"));
  EXPECT_NE(log.find("dialog 999 asked on a thread that is not the windows' own"),
            std::string::npos)
      << log;
  // Both were recorded as shown to nobody.
  const auto record = Record();
  ASSERT_EQ(record.size(), 2u);
  EXPECT_EQ(record[0].answer, "2");
  EXPECT_EQ(record[1].answer, "No");
}

TEST_F(GuiSeamTest, TheHostsLocaleIsLeftAlone) {
  // The windows are up (SetUp); GTK would have set the locale from the
  // environment, where this process never asked for one.
  EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
  EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), "C");
}

}  // namespace
}  // namespace tw
