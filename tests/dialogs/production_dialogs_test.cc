// The add and bind dialogs' rules that need no server: the working folder,
// the length cut, an item without identifier. (Over a real server's tree,
// windowed and scripted: gui_dialogs_test; the terminal form's walk by
// number: ui_terminal_test.)
#include "dialogs/production_dialogs.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/test_env.h"
#include "ui/script.h"
#include "ui/user_interface.h"

namespace tw {
namespace {

TEST(ProductionDialogRules, WorkingFolderAndLengthCut) {
  for (const char* good : {"/a", "/with space/x y", "/tab\there"}) {
    EXPECT_TRUE(IsValidWorkingFolder(good)) << good;
  }
  for (const char* bad : {"", "relative/x", "/a//b", "/a/b/", "/", "/a|b", "/what?", "/x:y"}) {
    EXPECT_FALSE(IsValidWorkingFolder(bad)) << bad;
  }
  EXPECT_FALSE(IsValidWorkingFolder(std::string("/a\0b", 4)));

  EXPECT_EQ(CutDialogText(std::string(300, 'n')), std::string(260, 'n'));
  // A two-byte character across the limit goes whole.
  const std::string text = std::string(259, 'n') + "\xc3\xa9" + "tail";
  EXPECT_EQ(CutDialogText(text), std::string(259, 'n'));
  EXPECT_EQ(CutDialogText("short"), "short");
}

// An item the server lists without an identifier cannot be handed back.
class NoIdSource : public TreeSource {
 public:
  bool ListChildren(const TreeItem& parent, std::vector<TreeItem>* out) override {
    *out = {};
    if (parent.id == "root") out->push_back({"", "Broken", ""});
    return true;
  }
};

TEST(ProductionDialogRules, AnItemWithoutIdentifierIsNoSelection) {
  test::TestEnv env;
  auto script = std::make_shared<ScriptedUserInterface>();
  SetUserInterface(script);
  script->AddScript(
      "dialog 103 1 1004=/\\Broken\n"
      "msgbox \"Halvorn Veltrane\" OK\n"
      "dialog 103 2\n"
      "dialog 109 1 1022=/\\Broken 1020=/w\n"
      "msgbox \"Halvorn Veltrane\" OK\n"
      "dialog 109 2\n",
      "t");
  NoIdSource source;
  AddDialogValues add{"name", "", "", ""};
  EXPECT_FALSE(ShowAddDialog(nullptr, {"root", "", "/"}, &source, &add));
  EXPECT_EQ(add.name, "name");
  BindDialogValues bind;
  EXPECT_FALSE(ShowBindDialog(nullptr, {"root", "", "/"}, &source, &bind));
  EXPECT_EQ(script->Remaining(), 0u);
  EXPECT_TRUE(script->Errors().empty());
  SetUserInterface(nullptr);
}

}  // namespace
}  // namespace tw
