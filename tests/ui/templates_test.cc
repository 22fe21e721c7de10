// The template table the windowed form builds its dialogs from, and where a
// dialog goes on the screen. No display needed.
#include "ui/templates.h"

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
  // The one dialog no operation opens. (What the others show, control by
  // control, the windowed dialog tests read from the real windows.)
  EXPECT_EQ(FindDialogTemplate(107)->title, "Set Working Folder");
  EXPECT_EQ(IdlessCaptions(107), (std::set<std::string>{"Name:", "Folders:", "Drives:"}));
  EXPECT_EQ(IdsOfKind(107, K::kDropDownList), std::set<int>{1013});
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
