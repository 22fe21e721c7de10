// The template table the windowed form builds its dialogs from, and where a
// dialog goes on the screen. No display needed.
#include "platform/ui_templates.h"

#include <gtest/gtest.h>

#include <set>

namespace tw {
namespace {

using K = UiControlKind;

// The controls of `id` with the given kind, by control id.
std::set<int> IdsOfKind(int template_id, UiControlKind kind) {
  std::set<int> ids;
  for (const UiControlTemplate& control : FindDialogTemplate(template_id)->controls) {
    if (control.kind == kind && control.id != 0) ids.insert(control.id);
  }
  return ids;
}

std::string Caption(int template_id, int control_id) {
  const UiControlTemplate* control = FindDialogTemplate(template_id)->Find(control_id);
  return control == nullptr ? "<none>" : control->caption;
}

std::set<std::string> IdlessCaptions(int template_id) {
  std::set<std::string> captions;
  for (const UiControlTemplate& control : FindDialogTemplate(template_id)->controls) {
    if (control.id == 0) captions.insert(control.caption);
  }
  return captions;
}

TEST(UiTemplates, EveryDialogOfTheSystemHasItsTemplate) {
  std::set<int> ids;
  for (const UiDialogTemplate& dialog : DialogTemplates()) {
    ids.insert(dialog.id);
    // Control ids are unique within a template, and never the template's.
    std::set<int> controls;
    for (const UiControlTemplate& control : dialog.controls) {
      if (control.id == 0) continue;
      EXPECT_TRUE(controls.insert(control.id).second) << dialog.id << " repeats " << control.id;
      EXPECT_NE(control.id, dialog.id);
    }
  }
  EXPECT_EQ(ids, (std::set<int>{101, 103, 107, 109, 110, 112, 114, 115, 116, 119, 120}));
  EXPECT_EQ(FindDialogTemplate(999), nullptr);
}

TEST(UiTemplates, ControlsKindsAndCaptions) {
  EXPECT_EQ(FindDialogTemplate(101)->title, "Halvorn Veltrane");
  EXPECT_EQ(IdsOfKind(101, K::kComboBox), std::set<int>{1000});
  EXPECT_EQ(IdsOfKind(101, K::kEdit), std::set<int>{1001});
  EXPECT_EQ(IdsOfKind(101, K::kPasswordEdit), std::set<int>{1002});
  EXPECT_EQ(IdsOfKind(101, K::kNumberEdit), std::set<int>{1003});
  EXPECT_EQ(IdlessCaptions(101),
            (std::set<std::string>{"User Name:", "Password:", "Server:", "Port:"}));

  EXPECT_EQ(FindDialogTemplate(103)->title, "Add to Veltrane Production");
  EXPECT_EQ(Caption(103, 1016), "&Production:");
  EXPECT_EQ(IdsOfKind(103, K::kTreeView), std::set<int>{1004});
  EXPECT_EQ(IdsOfKind(103, K::kText), std::set<int>{1008});

  EXPECT_EQ(FindDialogTemplate(107)->title, "Set Working Folder");
  EXPECT_EQ(IdlessCaptions(107), (std::set<std::string>{"Name:", "Folders:", "Drives:"}));
  EXPECT_EQ(IdsOfKind(107, K::kDropDownList), std::set<int>{1013});

  EXPECT_EQ(FindDialogTemplate(109)->title, "Bind Veltrane Production to local project");
  EXPECT_EQ(Caption(109, 1009), "&Browse...");
  EXPECT_EQ(IdlessCaptions(109), (std::set<std::string>{"Local &folder of project to bind:",
                                                        "Veltrane Production to bind:"}));
  EXPECT_EQ(IdsOfKind(109, K::kTreeView), std::set<int>{1022});
  EXPECT_EQ(IdsOfKind(109, K::kText), std::set<int>{1023});

  EXPECT_EQ(IdsOfKind(110, K::kButton), (std::set<int>{1000, 1001, 1002, 1003, 1032, 2}));
  EXPECT_EQ(Caption(110, 1003), "N&o To All");

  const UiDialogTemplate* status = FindDialogTemplate(112);
  EXPECT_TRUE(status->modeless);
  EXPECT_EQ(IdsOfKind(112, K::kCentredText), std::set<int>{1024});
  EXPECT_TRUE(IdsOfKind(112, K::kButton).empty());

  EXPECT_EQ(IdsOfKind(116, K::kRadioButton), (std::set<int>{1033, 1034, 1035, 1036}));
  EXPECT_EQ(
      IdlessCaptions(116),
      (std::set<std::string>{"How would you like to synchronize your local copy?", "Lock Type"}));
  EXPECT_EQ(Caption(119, 1037), "Retain Lock (Keep Checked Out)");
  EXPECT_EQ(Caption(119, 1038), "Check In As Works In Progress");

  EXPECT_EQ(IdsOfKind(120, K::kDropDownList), (std::set<int>{1039, 1040, 1041, 1042}));
  EXPECT_EQ(Caption(120, 1046), "When a file not controlled by Veltrane is saved:");
}

TEST(UiTemplates, ReportListColumnsAndWidths) {
  const auto columns = [](int template_id, int list) {
    std::vector<std::pair<std::string, int>> out;
    for (const UiColumn& column : FindDialogTemplate(template_id)->Find(list)->columns) {
      out.emplace_back(column.caption, column.width);
    }
    return out;
  };
  using Columns = std::vector<std::pair<std::string, int>>;
  EXPECT_EQ(columns(114, 1030),
            (Columns{{"Version", 25}, {"User", 100}, {"Server Date", 100}, {"Comment", 100}}));
  EXPECT_EQ(columns(115, 1031),
            (Columns{{"Locked By", 100}, {"Exclusive", 100}, {"Deferred", 100}, {"Rank", 100}}));
  EXPECT_EQ(IdsOfKind(114, K::kButton), std::set<int>{1});
}

TEST(PlaceDialog, CentredOverTheOwnerThenPushedInsideTheWorkArea) {
  const UiRect screen{0, 0, 1280, 1024};
  // Over the owner's centre.
  EXPECT_EQ(PlaceDialog(200, 100, UiRect{100, 100, 400, 300}, screen),
            (UiRect{200, 200, 200, 100}));
  // No owner: the work area's centre, a work area that does not start at 0
  // included (a panel on the left and top).
  EXPECT_EQ(PlaceDialog(200, 100, std::nullopt, UiRect{40, 30, 1240, 994}),
            (UiRect{560, 477, 200, 100}));
  // An owner by the bottom-right corner or off the screen: pushed inside.
  EXPECT_EQ(PlaceDialog(300, 200, UiRect{1200, 1000, 100, 50}, screen),
            (UiRect{980, 824, 300, 200}));
  EXPECT_EQ(PlaceDialog(300, 200, UiRect{-500, -400, 100, 50}, screen), (UiRect{0, 0, 300, 200}));
  // Larger than the work area: its top-left corner stays on it.
  EXPECT_EQ(PlaceDialog(1500, 1200, UiRect{10, 10, 10, 10}, UiRect{0, 24, 1280, 1000}),
            (UiRect{0, 24, 1500, 1200}));
}

}  // namespace
}  // namespace tw
