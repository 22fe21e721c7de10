// Every dialog of the system as a real window on a virtual X server, driven
// as a person would (controls found by their ids, values set, buttons
// clicked, keys typed), each answering exactly as the scripted form does
// with the same answers: the same values handed back and the same record.
// The tree dialogs walk a real TWServer's Productions, the history and
// properties dialogs load a real Document's versions and lock queue from
// it, and the environment settings land in the user's real property file
// (a real TWPMSvr). A screenshot of each dialog is written for people to
// look at ($TW_SCREENSHOT_DIR: the build folder's "screenshots"); each must
// show a drawn window inside the screen with every text whole.
//
// The desktop font is GTK's setting in the test's own configuration, read
// as the windows start: "Sans 10" unless $TW_TEST_DESKTOP_FONT names
// another. The pass at a large font runs the layout test again in a child
// process with "Sans 20" (one process cannot start GTK twice).
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/listctrl.h>
#include <wx/radiobut.h>
#include <wx/scrolwin.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/treectrl.h>
#include <wx/uiaction.h>
#include <wx/valtext.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "dialogs/environment_dialog.h"
#include "dialogs/history_dialogs.h"
#include "dialogs/logon_dialog.h"
#include "dialogs/option_dialogs.h"
#include "dialogs/overwrite_dialog.h"
#include "dialogs/production_dialogs.h"
#include "dialogs/status_window.h"
#include "messaging/synchronous_message.h"
#include "protocol/lock_command.h"
#include "provider/velscc.h"
#include "session/client_session.h"
#include "session/document_info.h"
#include "session/document_requests.h"
#include "session/lock_requests.h"
#include "session/production_requests.h"
#include "settings/settings_source.h"
#include "tests/support/gui_driver.h"
#include "tests/support/property_server.h"
#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"
#include "tests/support/wire_client.h"
#include "transport/message_hub.h"
#include "ui/gui.h"
#include "ui/script.h"
#include "ui/user_interface.h"

namespace tw {
namespace {

class GuiEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { test::StopGui(); }
};
const auto* const gui_environment = ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

// The texts of the id-less static texts of `window` and below (captions,
// group boxes).
std::set<std::string> IdlessTexts(wxWindow* window) {
  std::set<std::string> texts;
  for (wxWindow* child : window->GetChildren()) {
    if (child->GetId() < 0 &&
        (dynamic_cast<wxStaticText*>(child) || dynamic_cast<wxStaticBox*>(child))) {
      texts.insert(child->GetLabel().utf8_string());
    }
    for (const std::string& text : IdlessTexts(child)) texts.insert(text);
  }
  return texts;
}

wxTreeItemId ChildNamed(wxTreeCtrl* tree, const wxTreeItemId& parent, const std::string& text) {
  wxTreeItemIdValue cookie;
  for (wxTreeItemId child = tree->GetFirstChild(parent, cookie); child.IsOk();
       child = tree->GetNextChild(parent, cookie)) {
    if (tree->GetItemText(child).utf8_string() == text) return child;
  }
  return wxTreeItemId();
}

std::vector<std::string> ChildTexts(wxTreeCtrl* tree, const wxTreeItemId& parent) {
  std::vector<std::string> texts;
  wxTreeItemIdValue cookie;
  for (wxTreeItemId child = tree->GetFirstChild(parent, cookie); child.IsOk();
       child = tree->GetNextChild(parent, cookie)) {
    texts.push_back(tree->GetItemText(child).utf8_string());
  }
  return texts;
}

std::string Label(wxWindow* dialog, int id) {
  wxWindow* control = dialog->FindWindow(id);
  if (control == nullptr) return "<missing " + std::to_string(id) + ">";
  if (auto* text = dynamic_cast<wxStaticText*>(control)) return text->GetLabelText().utf8_string();
  return control->GetLabel().utf8_string();
}

// The desktop font of this run, and what its screenshots' names carry.
std::string DesktopFont() {
  const char* font = std::getenv("TW_TEST_DESKTOP_FONT");
  return font != nullptr && *font != '\0' ? font : "Sans 10";
}
std::string FontSuffix() {
  const std::string font = DesktopFont();
  if (font == "Sans 10") return "";
  return "-" + font.substr(font.rfind(' ') + 1) + "pt";
}

bool ScrolledAway(GtkWidget* widget) {
  return gtk_widget_get_ancestor(widget, GTK_TYPE_SCROLLED_WINDOW) != nullptr;
}

// What GTK draws of the dialog that a person cannot read whole: a label
// (a static text, a button's, check box's, radio button's or group's
// caption) whose laid-out text overflows its area or is ellipsized, or
// which lies outside the window (unless it scrolls in a pane); an edit
// whose text area is lower than its font's line; a drop-down list lower
// than its theme asks.
void GtkHiddenTexts(GtkWidget* widget, GtkWidget* window, std::vector<std::string>* hidden) {
  if (!gtk_widget_get_mapped(widget)) return;
  GtkAllocation at;
  gtk_widget_get_allocation(widget, &at);
  if (GTK_IS_LABEL(widget)) {
    PangoLayout* layout = gtk_label_get_layout(GTK_LABEL(widget));
    PangoRectangle logical;
    pango_layout_get_pixel_extents(layout, nullptr, &logical);
    const std::string text = gtk_label_get_text(GTK_LABEL(widget));
    if (logical.width > at.width || logical.height > at.height ||
        pango_layout_is_ellipsized(layout)) {
      hidden->push_back("\"" + text.substr(0, 60) + "\" needs " + std::to_string(logical.width) +
                        "x" + std::to_string(logical.height) + ", has " + std::to_string(at.width) +
                        "x" + std::to_string(at.height));
    }
    int x = 0, y = 0;
    GtkAllocation whole;
    gtk_widget_get_allocation(window, &whole);
    if (!ScrolledAway(widget) && gtk_widget_translate_coordinates(widget, window, 0, 0, &x, &y) &&
        (x < 0 || y < 0 || x + at.width > whole.width || y + at.height > whole.height)) {
      hidden->push_back("\"" + text.substr(0, 60) + "\" lies outside the window");
    }
  } else if (GTK_IS_ENTRY(widget)) {
    GdkRectangle area;
    gtk_entry_get_text_area(GTK_ENTRY(widget), &area);
    PangoRectangle logical;
    pango_layout_get_pixel_extents(gtk_entry_get_layout(GTK_ENTRY(widget)), nullptr, &logical);
    if (area.height < logical.height) {
      hidden->push_back("an edit's text area is " + std::to_string(area.height) +
                        " high, its text " + std::to_string(logical.height));
    }
  } else if (GTK_IS_COMBO_BOX(widget) && !gtk_combo_box_get_has_entry(GTK_COMBO_BOX(widget))) {
    int minimum = 0, natural = 0;
    gtk_widget_get_preferred_height(widget, &minimum, &natural);
    if (at.height < minimum) {
      hidden->push_back("a drop-down list is " + std::to_string(at.height) + " high, needs " +
                        std::to_string(minimum));
    }
  }
  if (GTK_IS_CONTAINER(widget)) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* child = children; child != nullptr; child = child->next) {
      GtkHiddenTexts(GTK_WIDGET(child->data), window, hidden);
    }
    g_list_free(children);
  }
}

// The margins the list draws its texts within: a cell's on either side,
// its header caption's.
constexpr int kCellMargin = 4;
constexpr int kHeaderMargin = 6;

// Every text of `dialog` a person cannot read whole, each described (empty
// when none): what GtkHiddenTexts finds, a report list column narrower than
// its caption or one of its cells, a tree item that runs off the tree's
// edge.
std::vector<std::string> HiddenTexts(wxWindow* dialog) {
  std::vector<std::string> hidden;
  GtkHiddenTexts(static_cast<GtkWidget*>(dialog->GetHandle()),
                 static_cast<GtkWidget*>(dialog->GetHandle()), &hidden);
  std::function<void(wxWindow*)> walk = [&](wxWindow* window) {
    if (auto* list = dynamic_cast<wxListCtrl*>(window); list != nullptr && list->InReportView()) {
      const test::ReportListShown shown = test::ReadReportList(dialog, list->GetId());
      for (size_t k = 0; k < shown.captions.size(); ++k) {
        const int width = shown.widths[k];
        const wxString caption = wxString::FromUTF8(shown.captions[k]);
        if (list->GetTextExtent(caption).x + 2 * kHeaderMargin > width) {
          hidden.push_back("column \"" + shown.captions[k] + "\" is " + std::to_string(width) +
                           " wide");
        }
        for (const std::vector<std::string>& row : shown.rows) {
          if (list->GetTextExtent(wxString::FromUTF8(row[k])).x + 2 * kCellMargin > width) {
            hidden.push_back("cell \"" + row[k].substr(0, 40) + "\" of column \"" +
                             shown.captions[k] + "\" (" + std::to_string(width) + " wide)");
          }
        }
      }
    }
    if (auto* tree = dynamic_cast<wxTreeCtrl*>(window)) {
      std::function<void(const wxTreeItemId&)> items = [&](const wxTreeItemId& item) {
        wxRect text;
        if (tree->GetBoundingRect(item, text, true) && text.GetRight() >= tree->GetClientSize().x) {
          hidden.push_back("tree item \"" + tree->GetItemText(item).utf8_string() +
                           "\" runs off the edge");
        }
        if (!tree->IsExpanded(item)) return;
        wxTreeItemIdValue cookie;
        for (wxTreeItemId child = tree->GetFirstChild(item, cookie); child.IsOk();
             child = tree->GetNextChild(item, cookie)) {
          items(child);
        }
      };
      if (tree->GetRootItem().IsOk()) items(tree->GetRootItem());
    }
    for (wxWindow* child : window->GetChildren()) walk(child);
  };
  walk(dialog);
  return hidden;
}

// Ticks a dialog's texts get to become whole. A text just set is laid out
// again only once its window has grown, a round trip to the X server; on a
// busy machine two agreeing screenshots of the old picture can come first.
constexpr int kLayoutTicks = 250;

// A step that waits, at most kLayoutTicks, for every text of the remembered
// dialog to be whole, then fails the test with each one still hidden.
test::GuiSteps& ExpectTextsWhole(test::GuiSteps& steps, const std::string& where) {
  return steps.Then("every text whole " + where, [&steps, where, ticks = 0]() mutable {
    const std::vector<std::string> hidden = HiddenTexts(steps.dialog());
    if (!hidden.empty() && ++ticks < kLayoutTicks) return false;
    for (const std::string& text : hidden) ADD_FAILURE() << where << ": " << text;
    return true;
  });
}

// The same for a window shown without steps, pumping its events meanwhile.
void ExpectTextsWholeNow(wxWindow* window, const std::string& where) {
  std::vector<std::string> hidden = HiddenTexts(window);
  for (int tick = 1; !hidden.empty() && tick < kLayoutTicks; ++tick) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PumpUserInterfaceEvents();
    hidden = HiddenTexts(window);
  }
  for (const std::string& text : hidden) ADD_FAILURE() << where << ": " << text;
}

class GuiDialogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // GTK reads the desktop font from the configuration as it starts.
    std::filesystem::create_directories(env_.Path("home/.config/gtk-3.0"));
    test::WriteFile(env_.Path("home/.config/gtk-3.0/settings.ini"),
                    "[Settings]\ngtk-font-name=" + DesktopFont() + "\n");
    TW_REQUIRE_GUI();
    setenv("VELTRANE_UI_RECORD", RecordPath().c_str(), 1);
    SetUserInterface(gui_);
  }
  void TearDown() override {
    SetUserInterface(nullptr);
    unsetenv("VELTRANE_UI_RECORD");
  }

  std::string RecordPath() const { return env_.Path("record.jsonl"); }
  std::vector<test::UiRecordEntry> Record() { return test::ReadUiRecord(RecordPath()); }
  // The record's lines as written, and a fresh record from now on.
  std::string TakeRecord() {
    const std::string lines = test::ReadFile(RecordPath());
    std::filesystem::remove(RecordPath());
    return lines;
  }
  // `run` answered by the scripted form from `script`: the record it wrote.
  std::string Scripted(const std::string& script, const std::function<void()>& run) {
    TakeRecord();
    auto scripted = std::make_shared<ScriptedUserInterface>();
    scripted->AddScript(script, "same answers");
    SetUserInterface(scripted);
    run();
    SetUserInterface(gui_);
    EXPECT_EQ(scripted->Remaining(), 0u);
    EXPECT_TRUE(scripted->Errors().empty());
    return TakeRecord();
  }

  // Where the screenshot `name` goes; the name carries the font of a run
  // at another font than the default one.
  std::string Shot(const std::string& name) {
    const std::string dir = test::ScreenshotDir(env_.Path("screenshots"));
    std::filesystem::create_directories(dir);
    const size_t dot = name.rfind('.');
    return dir + "/" + name.substr(0, dot) + FontSuffix() + name.substr(dot);
  }
  // The record the windowed run wrote is what the scripted form writes
  // when `run` is answered from `script`.
  void ExpectScriptedSame(const std::string& script, const std::function<void()>& run) {
    const std::string windowed = TakeRecord();
    EXPECT_EQ(windowed, Scripted(script, run));
  }
  // Runs `show` while `steps` drive the windows; every step must have run.
  void Drive(test::GuiSteps& steps, const std::function<void()>& show) {
    steps.Go();
    show();
    EXPECT_EQ(steps.Stuck(), "");
  }
  // A screenshot shows a drawn window lying inside the screen.
  static void ExpectOnScreen(const test::ScreenPixels& pixels, const wxRect& rect) {
    int width = 0, height = 0;
    ASSERT_TRUE(test::ScreenSize(&width, &height));
    EXPECT_TRUE(test::LooksDrawn(pixels));
    EXPECT_TRUE(rect.x >= 0 && rect.y >= 0 && rect.GetRight() < width && rect.GetBottom() < height);
  }

  test::TestEnv env_;
  std::shared_ptr<GuiUserInterface> gui_ = std::make_shared<GuiUserInterface>();
};

LogonDialogValues LogonDefaults() {
  LogonDialogValues values;
  values.user_name = "alice";
  values.password = "old pw";
  values.servers = {"alpha.example", "beta.example"};
  values.server = "alpha.example";
  values.port = 4900;
  return values;
}

TEST_F(GuiDialogsTest, Logon101ShowsItsFieldsAndHandsBackWhatWasEntered) {
  LogonDialogValues values = LogonDefaults();
  test::GuiSteps steps;
  steps.WaitForDialog(kLogonTemplate)
      .Screenshot(Shot("101-logon.png"), nullptr)
      .Do("check and fill the fields",
          [&](wxDialog* d) {
            EXPECT_EQ(d->GetTitle(), "Halvorn Veltrane");
            // The product's icon, as the native dialog sets it.
            ASSERT_FALSE(d->GetIcons().IsEmpty());
            EXPECT_EQ(d->GetIcons().GetIconByIndex(0).GetWidth(), 16);
            EXPECT_EQ(IdlessTexts(d),
                      (std::set<std::string>{"User Name:", "Password:", "Server:", "Port:"}));
            auto* server = test::ControlOf<wxComboBox>(d, kLogonServer);
            ASSERT_NE(server, nullptr);
            EXPECT_EQ(server->GetCount(), 2u);
            EXPECT_EQ(server->GetValue(), "alpha.example");
            auto* user = test::ControlOf<wxTextCtrl>(d, kLogonUserName);
            auto* password = test::ControlOf<wxTextCtrl>(d, kLogonPassword);
            auto* port = test::ControlOf<wxTextCtrl>(d, kLogonPort);
            ASSERT_TRUE(user && password && port);
            EXPECT_EQ(user->GetValue(), "alice");
            EXPECT_TRUE(password->HasFlag(wxTE_PASSWORD));
            EXPECT_EQ(password->GetValue(), "old pw");
            EXPECT_EQ(port->GetValue(), "4900");
            auto* digits = dynamic_cast<wxTextValidator*>(port->GetValidator());
            ASSERT_NE(digits, nullptr);
            EXPECT_TRUE(digits->HasFlag(wxFILTER_DIGITS));
            EXPECT_EQ(Label(d, kIdOk), "OK");
            EXPECT_EQ(Label(d, kIdCancel), "Cancel");
            user->SetValue("bob");
            password->SetValue("new pw");
            server->SetSelection(1);
            port->SetValue("4901");
          })
      .Click(kIdOk);
  Drive(steps, [&] { ASSERT_TRUE(ShowLogonDialog(nullptr, &values)); });
  EXPECT_EQ(values.user_name, "bob");
  EXPECT_EQ(values.password, "new pw");
  EXPECT_EQ(values.server, "beta.example");
  EXPECT_EQ(values.port, 4901);
  LogonDialogValues scripted_values = LogonDefaults();
  ExpectScriptedSame("dialog 101 1 1001=bob 1002=\"new pw\" 1000=beta.example 1003=4901\n",
                     [&] { ASSERT_TRUE(ShowLogonDialog(nullptr, &scripted_values)); });
  EXPECT_EQ(scripted_values.password, values.password);
  EXPECT_EQ(scripted_values.server, values.server);
}

TEST_F(GuiDialogsTest, Logon101WorksWithMouseAndKeyboard) {
  LogonDialogValues values = LogonDefaults();
  test::GuiSteps steps;
  steps.WaitForDialog(kLogonTemplate)
      .Do("click into the password, type a new one, press Enter", [](wxDialog* d) {
        wxWindow* password = d->FindWindow(kLogonPassword);
        const wxRect at = password->GetScreenRect();
        wxUIActionSimulator person;
        person.MouseMove(at.x + at.width / 2, at.y + at.height / 2);
        person.MouseClick();
        person.Char('a', wxMOD_CONTROL);  // select what is there
        person.Text("typed");
        person.Char(WXK_RETURN);  // the default button, OK
      });
  Drive(steps, [&] { ASSERT_TRUE(ShowLogonDialog(nullptr, &values)); });
  EXPECT_EQ(values.password, "typed");
  EXPECT_EQ(values.user_name, "alice");

  // Escape is Cancel: nothing handed back.
  test::GuiSteps escape;
  escape.WaitForDialog(kLogonTemplate).Do("press Escape", [](wxDialog* d) {
    wxWindow* user = d->FindWindow(kLogonUserName);
    const wxRect at = user->GetScreenRect();
    wxUIActionSimulator person;
    person.MouseMove(at.x + at.width / 2, at.y + at.height / 2);
    person.MouseClick();
    person.Text("zzz");
    person.Char(WXK_ESCAPE);
  });
  Drive(escape, [&] { EXPECT_FALSE(ShowLogonDialog(nullptr, &values)); });
  EXPECT_EQ(values.user_name, "alice");
  const auto record = Record();
  ASSERT_EQ(record.size(), 2u);
  EXPECT_EQ(record[0].answer, "1");
  EXPECT_EQ(record[1].answer, "2");
}

TEST_F(GuiDialogsTest, Overwrite110AnswersWithItsButtonsAndMergeFollowsTheRule) {
  // A project but no Document: Merge is greyed.
  OverwriteQuestion question{"/work/a.c", "Checked out", "proj", "", nullptr};
  test::GuiSteps steps;
  steps.WaitForDialog(kOverwriteTemplate)
      .Screenshot(Shot("110-overwrite.png"), nullptr)
      .Do("check and try Merge",
          [&](wxDialog* d) {
            EXPECT_EQ(d->GetTitle(), "Veltrane");
            EXPECT_EQ(Label(d, kOverwriteQuestionLabel),
                      "'/work/a.c' is 'Checked out'.\n\nContinuing will overwrite any changes "
                      "made to the file.\n\nOverwrite this file?");
            const std::pair<int, const char*> buttons[] = {{1000, "&Yes"},  {1001, "Yes To &All"},
                                                           {1002, "&No"},   {1003, "N&o To All"},
                                                           {1032, "Merge"}, {2, "&Cancel"}};
            for (const auto& [id, caption] : buttons) {
              auto* button = test::ControlOf<wxButton>(d, id);
              ASSERT_NE(button, nullptr) << id;
              EXPECT_EQ(button->GetLabel(), caption);
              EXPECT_EQ(button->IsEnabled(), id != kOverwriteMerge);
            }
            // Enter never overwrites.
            EXPECT_EQ(d->GetDefaultItem(), d->FindWindow(kOverwriteNo));
            test::PostClick(d, kOverwriteMerge);  // greyed: nothing happens
          })
      .Click(kOverwriteYesToAll);
  Drive(steps, [&] { EXPECT_EQ(AskOverwrite(nullptr, question), kOverwriteYesToAll); });
  ExpectScriptedSame("dialog 110 1001\n",
                     [&] { EXPECT_EQ(AskOverwrite(nullptr, question), 1001); });

  // With a project and a Document: a merge that keeps the question open,
  // then No; Escape is Cancel.
  int merges = 0;
  question = {"/work/a.c", "Checked out", "proj", "doc-1", [&merges](void*) {
                ++merges;
                return false;
              }};
  test::GuiSteps merge;
  merge.WaitForDialog(kOverwriteTemplate)
      .Then("Merge enabled",
            [&] {
              return merge.dialog()->FindWindow(kOverwriteMerge)->IsEnabled() &&
                     test::PostClick(merge.dialog(), kOverwriteMerge);
            })
      .Then("merged once and still open", [&] { return merges == 1 && merge.dialog()->IsShown(); })
      .Click(kOverwriteNo);
  Drive(merge, [&] { EXPECT_EQ(AskOverwrite(nullptr, question), kOverwriteNo); });
  test::GuiSteps escape;
  escape.WaitForDialog(kOverwriteTemplate).Escape();
  Drive(escape, [&] { EXPECT_EQ(AskOverwrite(nullptr, question), kOverwriteCancel); });
}

TEST_F(GuiDialogsTest, CheckoutOptions116GreysTheChoiceTheLockPolicyForbids) {
  CheckoutOptions options;
  options.exclusive = false;
  options.synchronize = true;
  options.lock_policy = 1;  // the server demands exclusive locks
  test::GuiSteps steps;
  steps.WaitForDialog(116)
      .Screenshot(Shot("116-checkout-options.png"), nullptr)
      .Do("check and choose",
          [&](wxDialog* d) {
            EXPECT_EQ(IdlessTexts(d),
                      (std::set<std::string>{"How would you like to synchronize your local copy?",
                                             "Lock Type"}));
            auto radio = [d](int id) { return test::ControlOf<wxRadioButton>(d, id); };
            ASSERT_TRUE(radio(1033) && radio(1034) && radio(1035) && radio(1036));
            EXPECT_EQ(radio(1033)->GetLabel(), "Replace with current from server");
            EXPECT_TRUE(radio(1033)->GetValue());
            EXPECT_TRUE(radio(1035)->GetValue());
            EXPECT_FALSE(radio(1036)->IsEnabled());
            EXPECT_TRUE(radio(1035)->IsEnabled());
            radio(1034)->SetValue(true);
            EXPECT_FALSE(radio(1033)->GetValue());  // one group each
            EXPECT_TRUE(radio(1035)->GetValue());
          })
      .Click(kIdOk);
  Drive(steps, [&] { ASSERT_TRUE(ShowCheckoutOptionsDialog(nullptr, &options)); });
  EXPECT_FALSE(options.synchronize);
  EXPECT_TRUE(options.exclusive);
  CheckoutOptions same{false, true, 1};
  ExpectScriptedSame("dialog 116 1 1034=1\n",
                     [&] { ASSERT_TRUE(ShowCheckoutOptionsDialog(nullptr, &same)); });
  EXPECT_EQ(same.synchronize, options.synchronize);
  EXPECT_EQ(same.exclusive, options.exclusive);

  // A server demanding shared locks greys Exclusive instead.
  options.lock_policy = 2;
  test::GuiSteps shared;
  shared.WaitForDialog(116)
      .Do("check",
          [](wxDialog* d) {
            EXPECT_FALSE(d->FindWindow(1035)->IsEnabled());
            EXPECT_TRUE(test::ControlOf<wxRadioButton>(d, 1036)->GetValue());
          })
      .Click(kIdCancel);
  Drive(shared, [&] { EXPECT_FALSE(ShowCheckoutOptionsDialog(nullptr, &options)); });
}

TEST_F(GuiDialogsTest, CheckinOptions119ReadsItsCheckBoxes) {
  CheckinOptions options;
  test::GuiSteps steps;
  steps.WaitForDialog(119)
      .Do("check both",
          [&](wxDialog* d) {
            auto* retain = test::ControlOf<wxCheckBox>(d, 1037);
            auto* wip = test::ControlOf<wxCheckBox>(d, 1038);
            ASSERT_TRUE(retain && wip);
            EXPECT_EQ(retain->GetLabel(), "Retain Lock (Keep Checked Out)");
            EXPECT_EQ(wip->GetLabel(), "Check In As Works In Progress");
            EXPECT_FALSE(retain->GetValue());
            retain->SetValue(true);
            wip->SetValue(true);
          })
      .Screenshot(Shot("119-checkin-options.png"), nullptr)
      .Click(kIdOk);
  Drive(steps, [&] { ASSERT_TRUE(ShowCheckinOptionsDialog(nullptr, &options)); });
  EXPECT_TRUE(options.retain_lock);
  EXPECT_TRUE(options.work_in_progress);
  CheckinOptions same;
  ExpectScriptedSame("dialog 119 1 1037=1 1038=1\n",
                     [&] { ASSERT_TRUE(ShowCheckinOptionsDialog(nullptr, &same)); });
}

// Settings whose "DoPump" key exists (no cancel flag): waits pump.
class PumpingSettings : public SettingsSource {
 public:
  std::optional<int> ReadModuleSetting(const std::string& key) override {
    return key == kDoPumpSetting ? std::optional<int>(0) : std::nullopt;
  }
};

// Captures `window` until two captures in a row agree, pumping between.
test::ScreenPixels SettledCapture(wxWindow* window) {
  test::ScreenPixels last, now;
  for (int round = 0; round < 500; ++round) {
    PumpUserInterfaceEvents();
    const wxRect rect = window->GetScreenRect();
    std::string error;
    if (test::CaptureScreen(rect.x, rect.y, rect.width, rect.height, &now, &error) &&
        test::LooksDrawn(now) && now.rgb == last.rgb) {
      return now;
    }
    last = now;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return now;
}

TEST_F(GuiDialogsTest, StatusWindow112ShowsEachTextAndRepaintsWhileAWaitPumps) {
  StatusWindow status(nullptr, "Logging on...");
  wxDialog* window = test::FindDialog(112);
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(window->IsModal());
  EXPECT_EQ(window->GetTitle(), "Veltrane");
  EXPECT_EQ(Label(window, 1024), "Logging on...");
  const test::ScreenPixels first = SettledCapture(window);
  ExpectOnScreen(first, window->GetScreenRect());
  ASSERT_TRUE(test::WritePng(first, Shot("112-status.png")));

  // A long text: the window grows so that none of it is cut.
  const std::string long_text =
      "Getting the list of Documents of \\Games\\Level1\\Boss\\Textures\\High resolution from "
      "the server...";
  status.SetText(long_text);
  EXPECT_EQ(Label(window, 1024), long_text);
  wxWindow* label = window->FindWindow(1024);
  EXPECT_GE(label->GetSize().x, label->GetBestSize().x);
  EXPECT_LE(label->GetScreenRect().GetRight(), window->GetScreenRect().GetRight());
  const test::ScreenPixels grown = SettledCapture(window);
  ExpectOnScreen(grown, window->GetScreenRect());
  ASSERT_TRUE(test::WritePng(grown, Shot("112-status-long.png")));

  // Covered, then uncovered while this thread waits for a reply: only the
  // wait's pumping can paint it again.
  SetSettingsSource(std::make_shared<PumpingSettings>());
  const wxRect rect = window->GetScreenRect();
  auto cover =
      std::make_unique<test::PlainXWindow>(rect.x, rect.y, rect.width, rect.height, 0xD02020);
  ASSERT_TRUE(cover->ok());
  SynchronousMessagePtr request = CRLMSGsynchronousMessage::Create();
  ASSERT_NE(request->GetHandle(), 0u);
  bool repainted = false;
  test::ScreenPixels mid_wait;
  std::thread server([&] {
    cover->SetMapped(false);
    for (int round = 0; round < 1500 && !repainted; ++round) {
      std::string error;
      repainted = test::CaptureScreen(rect.x, rect.y, rect.width, rect.height, &mid_wait, &error) &&
                  mid_wait.rgb == grown.rgb;
      if (!repainted) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    CRLMSGsynchronousMessage::FailRequest(request->GetHandle(), 77);  // the wait ends
  });
  const int result = request->WaitForReply(120);
  server.join();
  SetSettingsSource(nullptr);
  EXPECT_EQ(result, 77);
  EXPECT_TRUE(repainted) << "the status window was not painted again during the wait";
  ASSERT_TRUE(test::WritePng(mid_wait, Shot("112-status-mid-wait.png")));

  status.Close();
  EXPECT_EQ(test::FindDialog(112), nullptr);
}

// A tree of Productions with long names, two levels deep.
class LongNamesTree : public TreeSource {
 public:
  bool ListChildren(const TreeItem& parent, std::vector<TreeItem>* children) override {
    children->clear();
    if (parent.id == "root") {
      *children = {{"art", "Art", ""},
                   {"tex", "Textures for the high resolution release of the second level", ""}};
    } else if (parent.id == "tex") {
      *children = {{"boss", "Boss fight arena with the collapsing bridge and its lava", ""}};
    }
    return true;
  }
};

// A path of `length` characters.
std::string LongPath(size_t length) {
  std::string path;
  while (path.size() < length) path += "/folder" + std::to_string(path.size() % 1000);
  path.resize(length - 2);
  return path + ".c";
}

// Every template as its dialog fills it, with long texts where a person
// may meet them (a deep path, a long Production name, a comment), at the
// desktop font of this run: every text whole, every window on the screen.
TEST_F(GuiDialogsTest, EveryTemplateShowsEveryTextWholeAtTheDesktopFont) {
  int point_size = 0;
  auto look = [&](test::GuiSteps & steps, int template_id, const std::string& shot) -> auto& {
    steps.WaitForDialog(template_id);
    return ExpectTextsWhole(steps, shot)
        .Screenshot(Shot(shot), nullptr)
        .Do("read the font",
            [&point_size](wxDialog* d) { point_size = d->GetFont().GetPointSize(); });
  };

  LogonDialogValues logon = LogonDefaults();
  logon.servers = {"build-server.example.com", "alpha.example"};
  logon.server = "build-server.example.com";
  {
    test::GuiSteps steps;
    look(steps, kLogonTemplate, "101-logon-layout.png").Click(kIdCancel);
    Drive(steps, [&] { EXPECT_FALSE(ShowLogonDialog(nullptr, &logon)); });
  }
  LongNamesTree tree;
  {
    AddDialogValues add;
    add.name = "High resolution textures";
    test::GuiSteps steps;
    steps.WaitForDialog(kAddTemplate)
        .Do("open the long names and select the deepest",
            [](wxDialog* d) {
              auto* view = test::ControlOf<wxTreeCtrl>(d, kAddTree);
              const wxTreeItemId textures =
                  ChildNamed(view, view->GetRootItem(),
                             "Textures for the high resolution release of the second level");
              view->Expand(textures);
              view->SelectItem(ChildNamed(
                  view, textures, "Boss fight arena with the collapsing bridge and its lava"));
            })
        .Then("the path shown", [&steps] {
          return Label(steps.dialog(), kAddPathLabel).find("lava") != std::string::npos;
        });
    look(steps, kAddTemplate, "103-add-layout.png").Click(kIdCancel);
    Drive(steps, [&] { EXPECT_FALSE(ShowAddDialog(nullptr, {"root", "", "/"}, &tree, &add)); });
  }
  {
    DialogRequest folder;
    folder.template_id = 107;
    folder.values = {{1007, "notes.txt"}, {1013, "C:"}};
    folder.items[1013] = {"C:", "D:"};
    folder.trees[1004] = TreeControl{{"root", "", "/"}, &tree};
    test::GuiSteps steps;
    look(steps, 107, "107-set-working-folder-layout.png").Click(kIdCancel);
    Drive(steps, [&] { EXPECT_EQ(gui_->ShowDialog(folder).button, kIdCancel); });
  }
  {
    BindDialogValues bind;
    bind.local_folder = LongPath(120);
    test::GuiSteps steps;
    look(steps, kBindTemplate, "109-bind-layout.png").Click(kIdCancel);
    Drive(steps, [&] { EXPECT_FALSE(ShowBindDialog(nullptr, {"root", "", "/"}, &tree, &bind)); });
  }
  {
    // A path of 232 characters: the question under it stays in sight.
    const OverwriteQuestion question{LongPath(232), "Checked out", "proj", "doc-1", nullptr};
    test::GuiSteps steps;
    look(steps, kOverwriteTemplate, "110-overwrite-layout.png")
        .Do("the question in sight",
            [](wxDialog* d) {
              wxWindow* label = d->FindWindow(kOverwriteQuestionLabel);
              const wxRect shown = label->GetScreenRect(), window = d->GetScreenRect();
              EXPECT_TRUE(window.Contains(shown)) << "the question reaches past the window";
              EXPECT_LE(shown.GetBottom(), d->FindWindow(kOverwriteNo)->GetScreenRect().GetTop());
            })
        .Click(kOverwriteCancel);
    Drive(steps, [&] { EXPECT_EQ(AskOverwrite(nullptr, question), kOverwriteCancel); });
  }
  {
    ListControl versions;
    versions.columns = {{"Version", 25}, {"User", 100}, {"Server Date", 100}, {"Comment", 100}};
    versions.rows = {{"12", "alice", "2026/12/07 14:05", "Fixed the build on the new compiler"},
                     {"11", "bartholomew", "2026/11/30 09:41", "first..."}};
    test::GuiSteps steps;
    look(steps, kHistoryTemplate, "114-history-layout.png").Click(kIdOk);
    Drive(steps, [&] { ShowHistoryList(nullptr, "History of 'notes.txt'", versions); });
    ListControl locks;
    locks.columns = {{"Locked By", 100}, {"Exclusive", 100}, {"Deferred", 100}, {"Rank", 100}};
    locks.rows = {{"bartholomew", "Yes", "No", "0"}, {"alice", "Yes", "Yes", "1"}};
    test::GuiSteps properties;
    look(properties, kPropertiesTemplate, "115-properties-layout.png").Click(kIdOk);
    Drive(properties, [&] { ShowPropertiesList(nullptr, "Properties of 'notes.txt'", locks); });
  }
  {
    CheckoutOptions checkout;
    test::GuiSteps steps;
    look(steps, 116, "116-checkout-options-layout.png").Click(kIdCancel);
    Drive(steps, [&] { EXPECT_FALSE(ShowCheckoutOptionsDialog(nullptr, &checkout)); });
    CheckinOptions checkin;
    test::GuiSteps more;
    look(more, 119, "119-checkin-options-layout.png").Click(kIdCancel);
    Drive(more, [&] { EXPECT_FALSE(ShowCheckinOptionsDialog(nullptr, &checkin)); });
  }
  {
    EnvironmentSettings settings;
    test::GuiSteps steps;
    look(steps, kEnvironmentTemplate, "120-environment-settings-layout.png").Click(kIdCancel);
    Drive(steps, [&] { EXPECT_FALSE(ShowEnvironmentSettingsDialog(nullptr, &settings)); });
  }
  {
    StatusWindow status(nullptr, "Getting the list of Documents of " + LongPath(150) + "...");
    wxDialog* window = test::FindDialog(112);
    ASSERT_NE(window, nullptr);
    ExpectTextsWholeNow(window, "112");
    const test::ScreenPixels shot = SettledCapture(window);
    ExpectOnScreen(shot, window->GetScreenRect());
    ASSERT_TRUE(test::WritePng(shot, Shot("112-status-layout.png")));
  }
  // The font of the run was the one laid out.
  const std::string font = DesktopFont();
  EXPECT_EQ(point_size, std::stoi(font.substr(font.rfind(' ') + 1)));
}

// A question too long for the screen scrolls in its pane; the window and
// its buttons stay on the screen.
TEST_F(GuiDialogsTest, AQuestionTallerThanTheScreenScrollsAboveItsButtons) {
  const OverwriteQuestion question{LongPath(4000), "Checked out", "proj", "doc-1", nullptr};
  int label_height = 0, pane_height = 0, scrolled_height = 0;
  test::GuiSteps steps;
  steps.WaitForDialog(kOverwriteTemplate);
  ExpectTextsWhole(steps, "110")
      .Screenshot(Shot("110-overwrite-scrolling.png"), nullptr)
      .Do("measure",
          [&](wxDialog* d) {
            wxWindow* label = d->FindWindow(kOverwriteQuestionLabel);
            auto* pane = dynamic_cast<wxScrolledWindow*>(label->GetParent());
            ASSERT_NE(pane, nullptr);
            label_height = label->GetSize().y;
            pane_height = pane->GetClientSize().y;
            scrolled_height = pane->GetVirtualSize().y;
            EXPECT_LE(pane->GetScreenRect().GetBottom(),
                      d->FindWindow(kOverwriteNo)->GetScreenRect().GetTop());
          })
      .Click(kOverwriteNo);
  Drive(steps, [&] { EXPECT_EQ(AskOverwrite(nullptr, question), kOverwriteNo); });
  EXPECT_LT(pane_height, label_height);
  EXPECT_GE(scrolled_height, label_height);
}

// The same at a 20-point desktop font, in a child process that starts GTK
// with it.
TEST(GuiLargeFontTest, EveryTemplateShowsEveryTextWholeAtALargeDesktopFont) {
  const std::string excluded = test::BuildExcludesGui();
  if (!excluded.empty()) GTEST_SKIP() << excluded;
  test::TestEnv env;
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(length, 0);
  self[length] = '\0';
  test::ScopedEnv font("TW_TEST_DESKTOP_FONT", std::string("Sans 20"));
  const test::ProgramOutcome run = test::RunProgram(
      self,
      {"--gtest_filter=GuiDialogsTest.EveryTemplateShowsEveryTextWholeAtTheDesktopFont:"
       "GuiDialogsTest.OptionDialogsFocusTheirFirstChoiceNotTheirDefaultButton"},
      env.root());
  if (run.out.find("[  SKIPPED ]") != std::string::npos &&
      run.out.find("[  PASSED  ] 0 tests") != std::string::npos) {
    GTEST_SKIP() << run.out;
  }
  EXPECT_EQ(run.exit, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("[  PASSED  ] 2 tests"), std::string::npos) << run.out;
}

// 116 and 119 open with the focus on their first choice, as the native
// dialogs do: a Space changes that choice (or nothing), never accepts.
TEST_F(GuiDialogsTest, OptionDialogsFocusTheirFirstChoiceNotTheirDefaultButton) {
  // The keyboard goes where the pointer is (no window manager): over the
  // dialog, away from its buttons.
  auto space = [](wxDialog* d) {
    const wxRect at = d->GetScreenRect();
    wxUIActionSimulator person;
    person.MouseMove(at.x + 3, at.y + 3);
    person.Char(' ');
  };
  // The id of the control with the focus (read while the dialog exists).
  int focused = 0;
  CheckoutOptions checkout;
  checkout.synchronize = true;
  test::GuiSteps steps;
  steps.WaitForDialog(116)
      .Then("the focus settles",
            [&] {
              wxWindow* window = wxWindow::FindFocus();
              focused = window != nullptr ? window->GetId() : 0;
              return window != nullptr;
            })
      .Do("press Space", space)
      .Then("a moment later, still open",
            [&, ticks = 0]() mutable { return ++ticks > 10 && test::FindDialog(116) != nullptr; })
      .Click(kIdCancel);
  Drive(steps, [&] { EXPECT_FALSE(ShowCheckoutOptionsDialog(nullptr, &checkout)); });
  EXPECT_EQ(focused, 1033);

  CheckinOptions checkin;
  bool toggled = false;
  test::GuiSteps more;
  more.WaitForDialog(119)
      .Then("the focus settles",
            [&] {
              wxWindow* window = wxWindow::FindFocus();
              focused = window != nullptr ? window->GetId() : 0;
              return window != nullptr;
            })
      .Do("press Space", space)
      .Then("the check box took it",
            [&] {
              auto* retain = test::ControlOf<wxCheckBox>(test::FindDialog(119), 1037);
              toggled = retain != nullptr && retain->GetValue();
              return toggled;
            })
      .Click(kIdCancel);
  Drive(more, [&] { EXPECT_FALSE(ShowCheckinOptionsDialog(nullptr, &checkin)); });
  EXPECT_EQ(focused, 1037);
  EXPECT_TRUE(toggled);
  EXPECT_FALSE(checkin.retain_lock);  // cancelled: nothing handed back
}

// The add and bind dialogs over a real server's Productions.
class GuiProductionDialogsTest : public GuiDialogsTest {
 protected:
  void SetUp() override {
    GuiDialogsTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(property_server_.Start());
    ASSERT_TRUE(server_.Init());
    ASSERT_TRUE(server_.AddUser("alice", "alice pw"));
    ASSERT_TRUE(server_.AddUser("bob", "bob pw"));
    ASSERT_TRUE(server_.Start());
    SetServerEndpoint("127.0.0.1", server_.port());
    session_ = std::make_unique<ClientSession>();
    if (!GetMessageHub()->IsConnected()) GetMessageHub()->Connect();
    ASSERT_EQ(session_->Logon("alice", "alice pw"), kSessionOk);
    root_ = session_->root_id();
    // "/" holds Art and Games; Games holds Level1 and Level2.
    art_ = Make(root_, "Art");
    games_ = Make(root_, "Games");
    level1_ = Make(games_, "Level1");
    Make(games_, "Level2");
  }
  void TearDown() override {
    session_.reset();
    ReleaseMessageHub();
    GuiDialogsTest::TearDown();
  }
  std::string Make(const std::string& parent, const std::string& name) {
    std::string id;
    EXPECT_EQ(CreateProduction(session_.get(), parent, name, &id), kSessionOk);
    return id;
  }
  // The GETNAMELIST requests served so far (a round trip first, so that
  // the server has logged every earlier one).
  int NameListsServed() {
    std::string id;
    LookupProduction(session_.get(), "", false, &id);
    const std::string log = server_.Log();
    int count = 0;
    for (size_t at = 0; (at = log.find("command=GETNAMELIST", at)) != std::string::npos; ++at) {
      ++count;
    }
    return count;
  }
  // A new Document of alice's in Art from the local file `path`.
  std::string AddDocument(const std::string& path, const std::string& comment) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    test::WriteFile(path, "first version\n");
    std::vector<std::string> ids;
    EXPECT_EQ(AddDocuments(session_.get(), {art_}, {Local(path)}, comment, &ids), kSessionOk);
    return ids.empty() ? std::string() : ids[0];
  }
  static LocalFile Local(const std::string& path) {
    const size_t slash = path.rfind('/');
    return {path, path.substr(0, slash), path.substr(slash + 1)};
  }

  test::PropertyServer property_server_;
  test::TestServer server_{env_.Path("repo")};
  std::unique_ptr<ClientSession> session_;
  std::string root_, art_, games_, level1_;
};

TEST_F(GuiProductionDialogsTest, Add103ListsChildrenOnExpansionAndRefusesWithoutSelection) {
  // Nobody to answer: both tree dialogs cancel without asking the server.
  SetUserInterface(std::make_shared<NoUserInterface>());
  BindDialogValues kept;
  kept.local_folder = "/kept";
  EXPECT_FALSE(RunBindDialog(nullptr, session_.get(), &kept));
  EXPECT_EQ(kept.local_folder, "/kept");
  AddDialogValues values;
  EXPECT_FALSE(RunAddDialog(nullptr, session_.get(), &values));
  EXPECT_EQ(NameListsServed(), 0);
  EXPECT_EQ(Record().size(), 2u);
  TakeRecord();
  SetUserInterface(gui_);

  values.name = "NewOne";
  std::string refusal;
  int refusal_type = 0;
  int served_after_expanding = -1;
  wxTreeCtrl* tree = nullptr;
  test::GuiSteps steps;
  steps.WaitForDialog(kAddTemplate)
      .Do("check the tree",
          [&](wxDialog* d) {
            EXPECT_EQ(d->GetTitle(), "Add to Veltrane Production");
            EXPECT_EQ(d->FindWindow(kAddNameLabel)->GetLabel(), "&Production:");
            EXPECT_EQ(test::ControlOf<wxTextCtrl>(d, kAddName)->GetValue(), "NewOne");
            tree = test::ControlOf<wxTreeCtrl>(d, kAddTree);
            ASSERT_NE(tree, nullptr);
            EXPECT_EQ(tree->GetItemText(tree->GetRootItem()), "/");
            EXPECT_TRUE(tree->IsExpanded(tree->GetRootItem()));
            EXPECT_EQ(ChildTexts(tree, tree->GetRootItem()),
                      (std::vector<std::string>{"Art", "Games"}));
            EXPECT_FALSE(tree->GetSelection().IsOk());
          })
      .Click(kIdOk)  // nothing selected
      .AnswerNative("Halvorn Veltrane", GTK_RESPONSE_OK, &refusal, &refusal_type)
      .Do("expand Games twice and select Level1",
          [&](wxDialog* d) {
            const wxTreeItemId games = ChildNamed(tree, tree->GetRootItem(), "Games");
            EXPECT_TRUE(tree->ItemHasChildren(games));
            tree->Expand(games);
            EXPECT_EQ(ChildTexts(tree, games), (std::vector<std::string>{"Level1", "Level2"}));
            tree->Collapse(games);
            tree->Expand(games);
            EXPECT_EQ(ChildTexts(tree, games).size(), 2u);
            served_after_expanding = NameListsServed();
            tree->SelectItem(ChildNamed(tree, games, "Level1"));
            EXPECT_EQ(Label(d, kAddPathLabel), "\\Games\\Level1");
            EXPECT_EQ(tree->GetItemImage(tree->GetSelection(), wxTreeItemIcon_Selected), 1);
            EXPECT_EQ(tree->GetItemImage(tree->GetSelection(), wxTreeItemIcon_Normal), 0);
            test::ControlOf<wxTextCtrl>(d, kAddName)->SetValue("Tools");
          })
      .Screenshot(Shot("103-add.png"), nullptr)
      .Click(kIdOk);
  Drive(steps, [&] { ASSERT_TRUE(RunAddDialog(nullptr, session_.get(), &values)); });
  EXPECT_EQ(refusal, "Please select a Production.");
  EXPECT_EQ(refusal_type, GTK_MESSAGE_WARNING);
  // "/" as the dialog opened, then Games once, however often it was opened.
  EXPECT_EQ(served_after_expanding, 2);
  EXPECT_EQ(values.name, "Tools");
  EXPECT_EQ(values.parent_id, level1_);
  EXPECT_EQ(values.parent_display_path, "\\Games\\Level1");
  EXPECT_EQ(values.parent_id_path, root_ + "\\" + games_ + "\\" + level1_);
  AddDialogValues same;
  same.name = "NewOne";
  ExpectScriptedSame(
      "dialog 103 1\nmsgbox \"Halvorn Veltrane\" OK\n"
      "dialog 103 1 1004=\"/\\Games\\Level1\" 1005=Tools\n",
      [&] { ASSERT_TRUE(RunAddDialog(nullptr, session_.get(), &same)); });
  EXPECT_EQ(same.parent_id, values.parent_id);
  // The parent's paths are what creating below it and looking it up take.
  std::string created, found;
  ASSERT_EQ(CreateProduction(session_.get(), values.parent_id, values.name, &created), kSessionOk);
  ASSERT_EQ(LookupProduction(session_.get(), values.parent_display_path + "\\" + values.name, false,
                             &found),
            kSessionOk);
  EXPECT_EQ(found, created);

  // The root as the parent, a name cut to what the field holds; Cancel
  // hands nothing back.
  AddDialogValues at_root;
  at_root.name = std::string(300, 'x');
  Scripted("dialog 103 1 1004=/\n",
           [&] { ASSERT_TRUE(RunAddDialog(nullptr, session_.get(), &at_root)); });
  EXPECT_EQ(at_root.name, std::string(260, 'x'));
  EXPECT_EQ(at_root.parent_id, root_);
  EXPECT_EQ(at_root.parent_id_path, root_);
  EXPECT_EQ(at_root.parent_display_path, "");
  Scripted("dialog 103 2 1004=/\\Art\n",
           [&] { EXPECT_FALSE(RunAddDialog(nullptr, session_.get(), &at_root)); });
  EXPECT_EQ(at_root.parent_id, root_);
}

TEST_F(GuiProductionDialogsTest, Bind109BrowsesRefusesTheRootAndBindsTheSelection) {
  BindDialogValues values;
  values.local_folder = "/start";
  const std::string chosen = env_.Path("tmp");
  const std::string browse_title = "Please select a working local folder...";
  std::string refusal;
  wxTreeCtrl* tree = nullptr;
  test::GuiSteps steps;
  steps.WaitForDialog(kBindTemplate)
      .Do("check",
          [&](wxDialog* d) {
            EXPECT_EQ(d->GetTitle(), "Bind Veltrane Production to local project");
            EXPECT_EQ(IdlessTexts(d), (std::set<std::string>{"Local &folder of project to bind:",
                                                             "Veltrane Production to bind:"}));
            EXPECT_EQ(test::ControlOf<wxButton>(d, kBindBrowse)->GetLabel(), "&Browse...");
            EXPECT_EQ(test::ControlOf<wxTextCtrl>(d, kBindFolder)->GetValue(), "/start");
            tree = test::ControlOf<wxTreeCtrl>(d, kBindTree);
            ASSERT_NE(tree, nullptr);
          })
      .Click(kBindBrowse)
      .Then("choose a folder",
            [&] {
              void* chooser = test::FindNativeDialog(browse_title);
              if (chooser == nullptr) return false;
              gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), chosen.c_str());
              return true;
            })
      .Then("accept it",
            [&] {
              void* chooser = test::FindNativeDialog(browse_title);
              if (chooser == nullptr) return false;
              gchar* current = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(chooser));
              const bool there = current != nullptr && chosen == current;
              g_free(current);
              if (there) test::RespondNative(chooser, GTK_RESPONSE_ACCEPT);
              return there;
            })
      .Then("the folder is in the field",
            [&] {
              auto* folder =
                  test::ControlOf<wxTextCtrl>(test::FindDialog(kBindTemplate), kBindFolder);
              return folder != nullptr && folder->GetValue().utf8_string() == chosen;
            })
      .Do("select the root", [&](wxDialog*) { tree->SelectItem(tree->GetRootItem()); })
      .Click(kIdOk)
      .AnswerNative("Halvorn Veltrane", GTK_RESPONSE_OK, &refusal)
      .Do("select Level2",
          [&](wxDialog* d) {
            const wxTreeItemId games = ChildNamed(tree, tree->GetRootItem(), "Games");
            tree->Expand(games);
            tree->SelectItem(ChildNamed(tree, games, "Level2"));
            EXPECT_EQ(Label(d, kBindPathLabel), "\\Games\\Level2");
          })
      .Screenshot(Shot("109-bind.png"), nullptr)
      .Click(kIdOk);
  Drive(steps, [&] { ASSERT_TRUE(RunBindDialog(nullptr, session_.get(), &values)); });
  EXPECT_EQ(refusal, "Please select a Production (other than the root Production).");
  EXPECT_EQ(values.local_folder, chosen);
  EXPECT_EQ(values.display_path, "\\Games\\Level2");
  EXPECT_EQ(values.parent_id_path, root_ + "\\" + games_);
  const auto record = Record();
  ASSERT_EQ(record.size(), 4u);  // Browse, OK refused, its box, OK
  EXPECT_EQ(record[0].answer, std::to_string(kBindBrowse));
  EXPECT_EQ(record[2].kind, "msgbox");
  EXPECT_EQ(record[3].texts.at(kBindPathLabel), "\\Games\\Level2");

  // Nothing selected and a folder that cannot be a working folder are
  // refused too (each box answered, the dialog kept open for the next
  // line); a path may start at the root's name.
  BindDialogValues typed;
  const std::string lines = Scripted(
      "dialog 109 1 1020=/work/proj\nmsgbox \"Halvorn Veltrane\" OK\n"
      "dialog 109 1 1022=\"/\\Games\\Level1\" 1020=\"/work/a|b\"\n"
      "msgbox \"Halvorn Veltrane\" OK\n"
      "dialog 109 1 1022=\"\\Games\\Level2\" 1020=/work/proj\n",
      [&] { ASSERT_TRUE(RunBindDialog(nullptr, session_.get(), &typed)); });
  EXPECT_NE(lines.find("Invalid working folder"), std::string::npos) << lines;
  EXPECT_EQ(typed.local_folder, "/work/proj");
  std::string found;
  ASSERT_EQ(LookupProduction(session_.get(), typed.display_path, false, &found), kSessionOk);
  EXPECT_EQ(found, typed.id);
}

// The two report dialogs over one real Document: three versions, alice's
// lock and bob waiting in the deferred queue.
TEST_F(GuiProductionDialogsTest, History114AndProperties115ShowTheirListsWithOneButton) {
  // The first version commented on two lines, the second at length.
  const std::string path = env_.Path("work/notes.txt");
  const std::string id = AddDocument(path, "first\r\nsecond line");
  ASSERT_FALSE(id.empty());
  ASSERT_EQ(AcquireLocks(session_.get(), {id}, {path}, {false}, false), kSessionOk);
  for (const std::string& comment : {std::string(300, 'w'), std::string("third")}) {
    std::filesystem::permissions(path, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    test::WriteFile(path, "edit " + comment.substr(0, 3) + "\n");
    ASSERT_EQ(CheckInDocuments(session_.get(), {id}, {Local(path)}, comment, false), kSessionOk);
  }
  test::WireClient bob;
  ASSERT_TRUE(bob.Connect(server_.port()));
  ASSERT_EQ(bob.Logon("bob", "bob pw"), 0);
  MessagePtr lock = test::WireClient::Request(acquire_lock::kCommand);
  lock->SetString(acquire_lock::kFieldDocumentIds, id);
  lock->SetInt(acquire_lock::kFieldAlwaysOne, 1);
  lock->SetInt(acquire_lock::kFieldAlwaysZero, 0);
  lock->SetInt(acquire_lock::kFieldLockType, kLockExclusive);
  lock->SetBoolList(acquire_lock::kFieldDeferred, {true});
  ASSERT_TRUE(bob.Call(*lock));
  DocumentInfo record;
  record.document_id = id;
  const std::string project = session_->current_project();

  // Each shows its list under its title with one button, OK, the default;
  // the scripted form writes the same record.
  auto report = [&](int template_id, int list_id, const std::string& title, const std::string& shot,
                    auto show) {
    test::ReportListShown shown;
    test::GuiSteps steps;
    steps.WaitForDialog(template_id);
    ExpectTextsWhole(steps, shot)
        .Screenshot(Shot(shot), nullptr)
        .Do("read the list",
            [&](wxDialog* d) {
              EXPECT_EQ(d->GetTitle(), title);
              shown = test::ReadReportList(d, list_id);
              EXPECT_EQ(Label(d, kIdOk), "OK");
              EXPECT_EQ(d->FindWindow(kIdCancel), nullptr);
              EXPECT_EQ(d->GetDefaultItem(), d->FindWindow(kIdOk));
            })
        .Click(kIdOk);
    Drive(steps, [&] { show(record, title); });
    ExpectScriptedSame("dialog " + std::to_string(template_id) + " 1\n",
                       [&] { show(record, title); });
    return shown;
  };
  auto history = [&](const DocumentInfo& r, const std::string& t) {
    ShowHistoryDialog(nullptr, session_.get(), r, project, t);
  };
  auto properties = [&](const DocumentInfo& r, const std::string& t) {
    ShowPropertiesDialog(nullptr, session_.get(), r, project, t);
  };

  test::ReportListShown shown = report(kHistoryTemplate, kHistoryList, "History of 'notes.txt'",
                                       "114-history-of-a-document.png", history);
  EXPECT_EQ(shown.captions,
            (std::vector<std::string>{"Version", "User", "Server Date", "Comment"}));
  // The dialog's widths are the least: each column fits its caption and
  // its cells.
  for (size_t k = 0; k < 4; ++k)
    EXPECT_GE(shown.widths[k], (std::vector<int>{25, 100, 100, 100})[k]);
  // Newest first; each date as year/month/day hour:minute in local time,
  // each comment to its first line and at most 252 characters.
  const std::vector<std::string> comments = {
      "third", std::string(kHistoryCommentLimit, 'w') + "...", "first..."};
  const std::regex date("[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}");
  ASSERT_EQ(shown.rows.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(shown.rows[i].size(), 4u);
    EXPECT_EQ(shown.rows[i][0], std::to_string(3 - i));
    EXPECT_EQ(shown.rows[i][1], "alice");
    EXPECT_TRUE(std::regex_match(shown.rows[i][2], date)) << shown.rows[i][2];
    EXPECT_EQ(shown.rows[i][3], comments[i]);
  }

  shown = report(kPropertiesTemplate, kPropertiesList, "Properties of 'notes.txt'",
                 "115-properties.png", properties);
  EXPECT_EQ(shown.captions,
            (std::vector<std::string>{"Locked By", "Exclusive", "Deferred", "Rank"}));
  for (int width : shown.widths) EXPECT_GE(width, 100);
  EXPECT_EQ(shown.rows, (std::vector<std::vector<std::string>>{{"alice", "Yes", "No", "0"},
                                                               {"bob", "Yes", "Yes", "1"}}));

  // Escape closes the history with its one button; the close box closes
  // the properties of a file the server has no Document for, an empty list.
  test::GuiSteps escape;
  escape.WaitForDialog(kHistoryTemplate).Escape();
  Drive(escape, [&] { history(record, "History"); });
  EXPECT_EQ(test::FindDialog(kHistoryTemplate), nullptr);
  test::GuiSteps empty;
  empty.WaitForDialog(kPropertiesTemplate).Do("read, then the close box", [&](wxDialog* d) {
    shown = test::ReadReportList(d, kPropertiesList);
    d->Close();
  });
  Drive(empty, [&] { properties(DocumentInfo(), "Properties"); });
  EXPECT_EQ(shown.captions.size(), 4u);
  EXPECT_TRUE(shown.rows.empty());
  const auto closed = Record();
  ASSERT_EQ(closed.size(), 2u);
  EXPECT_EQ(closed[0].answer, "1");
  EXPECT_EQ(closed[1].answer, "1");
}

// The environment settings as a host opens them, over the user's real
// property file.
class GuiEnvironmentDialogTest : public GuiDialogsTest {
 protected:
  void SetUp() override {
    GuiDialogsTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(property_server_.Start());
  }
  // The stored choices of `application`; 7 each where none are stored.
  static std::vector<int> Stored(const char* application) {
    std::vector<int> actions(4, 7);
    EXPECT_EQ(0, VelSccGetEnvironmentSettings(application, &actions[0], &actions[1], &actions[2],
                                              &actions[3]));
    return actions;
  }
  test::PropertyServer property_server_;
};

// The drop-down lists' current choices, in the order of the lists.
std::vector<int> Choices(wxDialog* d) {
  std::vector<int> chosen;
  for (int id : {kOpenActionList, kCloseActionList, kSaveActionList, kNewActionList}) {
    auto* list = test::ControlOf<wxChoice>(d, id);
    chosen.push_back(list == nullptr ? -2 : list->GetSelection());
  }
  return chosen;
}

TEST_F(GuiEnvironmentDialogTest, Environment120StoresTheChoicesOnOkOnly) {
  EXPECT_EQ(Stored("Painter"), (std::vector<int>{7, 7, 7, 7}));
  const std::pair<int, std::vector<std::string>> lists[] = {
      {kOpenActionList,
       {"Ask if I want to check out from Veltrane", "Always check out from Veltrane",
        "Never check out from Veltrane"}},
      {kCloseActionList,
       {"Ask if I want to check in to Veltrane", "Always check in to Veltrane",
        "Never check in to Veltrane"}},
      {kSaveActionList,
       {"Ask if I want to check in to Veltrane", "Always check in to Veltrane",
        "Never check in to Veltrane"}},
      {kNewActionList,
       {"Ask if I want to add to Veltrane", "Always add to Veltrane", "Never add to Veltrane"}},
  };
  test::GuiSteps steps;
  steps.WaitForDialog(kEnvironmentTemplate)
      .Screenshot(Shot("120-environment-settings.png"), nullptr)
      .Do("check and choose",
          [&](wxDialog* d) {
            EXPECT_EQ(d->GetTitle(), "Veltrane");
            EXPECT_EQ(Label(d, kOpenActionLabel), "When a file is opened:");
            EXPECT_EQ(Label(d, kCloseActionLabel), "When a file is closed:");
            EXPECT_EQ(Label(d, kSaveActionLabel), "When a file is saved:");
            EXPECT_EQ(Label(d, kNewActionLabel),
                      "When a file not controlled by Veltrane is saved:");
            EXPECT_EQ(Label(d, kIdOk), "OK");
            EXPECT_EQ(Label(d, kIdCancel), "Cancel");
            for (const auto& [id, items] : lists) {
              auto* list = test::ControlOf<wxChoice>(d, id);
              ASSERT_NE(list, nullptr) << id;
              std::vector<std::string> shown;
              for (unsigned k = 0; k < list->GetCount(); ++k) {
                shown.push_back(list->GetString(k).utf8_string());
              }
              EXPECT_EQ(shown, items) << id;
            }
            // Never configured: every list asks.
            EXPECT_EQ(Choices(d), (std::vector<int>{0, 0, 0, 0}));
            test::ControlOf<wxChoice>(d, kOpenActionList)->SetSelection(1);
            test::ControlOf<wxChoice>(d, kNewActionList)
                ->SetStringSelection("Never add to Veltrane");
          })
      .Click(kIdOk);
  Drive(steps, [&] { EXPECT_EQ(0, VelSccShowEnvironmentSettings("Painter")); });
  EXPECT_EQ(Stored("Painter"), (std::vector<int>{1, 0, 0, 2}));
  ExpectScriptedSame("dialog 120 1 1039=1 1042=2\n",
                     [&] { EXPECT_EQ(0, VelSccShowEnvironmentSettings("Editor")); });
  EXPECT_EQ(Stored("Editor"), (std::vector<int>{1, 0, 0, 2}));

  // Opened again: the stored choices; Cancel stores nothing. (Escape is
  // Cancel in every dialog: the logon, overwrite and history tests.)
  std::vector<int> reopened;
  test::GuiSteps cancel;
  cancel.WaitForDialog(kEnvironmentTemplate)
      .Do("read and change",
          [&](wxDialog* d) {
            reopened = Choices(d);
            test::ControlOf<wxChoice>(d, kCloseActionList)->SetSelection(2);
          })
      .Click(kIdCancel);
  Drive(cancel, [&] { EXPECT_EQ(0, VelSccShowEnvironmentSettings("Painter")); });
  EXPECT_EQ(reopened, (std::vector<int>{1, 0, 0, 2}));
  EXPECT_EQ(Stored("Painter"), (std::vector<int>{1, 0, 0, 2}));
  const auto record = Record();
  ASSERT_EQ(record.size(), 1u);
  EXPECT_EQ(record[0].answer, "2");
}

}  // namespace
}  // namespace tw
