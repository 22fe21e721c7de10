// Tree controls and dialogs that stay open: the tree model lists each
// opened item once and resolves paths as a person walks them; a dialog's
// button callback keeps it open for the script's next line, with the
// message boxes it raised answered in between.
#include "ui/tree.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <stdexcept>

#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"
#include "ui/script.h"
#include "ui/user_interface.h"

namespace tw {
namespace {

// A tree in memory that counts how often each item's children are asked
// for; an identifier in `failing` fails once.
class FakeSource : public TreeSource {
 public:
  std::map<std::string, std::vector<TreeItem>> children;
  std::map<std::string, int> asked;
  std::set<std::string> failing;

  bool ListChildren(const TreeItem& parent, std::vector<TreeItem>* out) override {
    ++asked[parent.id];
    if (failing.erase(parent.id)) return false;
    *out = children[parent.id];
    return true;
  }
};

// "/" (r) with A (a) and B (b); A holds A1 (a1, listed twice by the
// source) and A2; B holds B1.
FakeSource Games() {
  FakeSource source;
  source.children["r"] = {{"a", "A", ""}, {"b", "B", ""}};
  source.children["a"] = {{"a1", "A1", ""}, {"a1", "A1 again", ""}, {"a2", "A2", ""}};
  source.children["b"] = {{"b1", "B1", ""}};
  return source;
}

TreeItem Root(const std::string& name = "") {
  return {"r", name, "/"};
}

TEST(TreeModel, OpensEachItemOnceAndFindsPathsAsAPersonWalksThem) {
  FakeSource source = Games();
  TreeModel tree(Root(), &source);
  std::string error;
  TreeNode* a1 = tree.Find("/\\A\\A1", &error);
  ASSERT_NE(a1, nullptr) << error;
  EXPECT_EQ(TreeModel::TextPath(a1), "/\\A\\A1");
  EXPECT_EQ(TreeModel::NamePath(a1), "\\A\\A1");  // the root's empty display name
  EXPECT_EQ(TreeModel::IdPath(a1), "r\\a\\a1");
  EXPECT_FALSE(a1->listed());                      // reached, not opened
  ASSERT_EQ(a1->parent()->children().size(), 2u);  // the repeated identifier once

  EXPECT_NE(tree.Find("\\A\\A2", &error), nullptr);  // first element: the root's name
  EXPECT_EQ(tree.Find("/", &error), tree.root());
  EXPECT_EQ(tree.Find("/\\B", &error)->item().id, "b");
  EXPECT_EQ(source.asked, (std::map<std::string, int>{{"r", 1}, {"a", 1}}));

  EXPECT_EQ(tree.Find("", &error), nullptr);
  for (const char* wrong : {"/\\A\\Nope", "Other\\A", "/\\A\\", "/\\B1"}) {
    error.clear();
    EXPECT_EQ(tree.Find(wrong, &error), nullptr) << wrong;
    EXPECT_FALSE(error.empty()) << wrong;
  }

  TreeModel named(Root("Veltrane"), &source);
  EXPECT_NE(named.Find("Veltrane\\B\\B1", &error), nullptr);
  EXPECT_EQ(named.Find("\\B", &error), nullptr);  // the empty name is not the root's now
}

TEST(TreeModel, AnItemThatCouldNotBeListedIsAskedAgain) {
  FakeSource source = Games();
  source.failing = {"b"};
  TreeModel tree(Root(), &source);
  std::string error;
  EXPECT_EQ(tree.Find("/\\B\\B1", &error), nullptr);
  EXPECT_NE(error.find("cannot be listed"), std::string::npos);
  EXPECT_NE(tree.Find("/\\B\\B1", &error), nullptr);
  EXPECT_EQ(source.asked["b"], 2);
}

class DialogKeptOpen : public ::testing::Test {
 protected:
  DialogKeptOpen() { setenv("VELTRANE_UI_RECORD", env_.Path("record.jsonl").c_str(), 1); }
  ~DialogKeptOpen() override { unsetenv("VELTRANE_UI_RECORD"); }

  // A bind-like dialog: folder 1020, tree 1022 whose selection shows in
  // label 1023, and OK refused until an item below the root is selected.
  DialogRequest Bind() {
    DialogRequest r;
    r.template_id = 109;
    r.title = "Bind";
    r.texts = {{1023, ""}};
    r.values = {{1020, "/initial"}};
    r.trees[1022] = TreeControl{Root(), &source_};
    r.on_select = [](OpenDialog& d, int tree) {
      d.SetText(1023, TreeModel::NamePath(d.tree(tree)->selected()));
    };
    r.on_button = [this](OpenDialog& d, int button) {
      ++presses_;
      if (button != kIdOk) return ButtonOutcome::kClose;
      const TreeNode* node = d.tree(1022)->selected();
      if (node != nullptr && node->parent() != nullptr) return ButtonOutcome::kClose;
      d.MessageBox("Halvorn Veltrane", "Please select a Production (other than the root).",
                   MessageBoxButtons::kOk, MessageBoxIcon::kExclamation);
      return ButtonOutcome::kKeepOpen;
    };
    return r;
  }
  std::vector<test::UiRecordEntry> Record() {
    return test::ReadUiRecord(env_.Path("record.jsonl"));
  }

  test::TestEnv env_;
  FakeSource source_ = Games();
  ScriptedUserInterface ui_;
  int presses_ = 0;
};

TEST_F(DialogKeptOpen, ScriptUsedUpOrWrongCancelsWithTheInitialValues) {
  ui_.AddScript(
      "dialog 109 1 1022=/\\Nowhere 1020=/typed\n"
      "msgbox \"Halvorn Veltrane\" OK\n",
      "t");
  const DialogResult r = ui_.ShowDialog(Bind());
  EXPECT_EQ(r.button, kIdCancel);
  EXPECT_EQ(r.values, (std::map<int, std::string>{{1020, "/initial"}, {1022, ""}}));
  ASSERT_EQ(ui_.Errors().size(), 1u);
  EXPECT_NE(ui_.Errors()[0].find("Nowhere"), std::string::npos);
  const auto record = Record();
  ASSERT_EQ(record.size(), 3u);
  EXPECT_TRUE(record[2].unexpected);
  EXPECT_EQ(record[2].answer, "2");
  EXPECT_EQ(presses_, 1);  // the dismissal does not ask the dialog

  // A button the dialog does not show is no answer either.
  ui_.QueueDialog(109, 1009);
  EXPECT_EQ(ui_.ShowDialog(Bind()).button, kIdCancel);
  EXPECT_EQ(ui_.Remaining(), 1u);
}

TEST_F(DialogKeptOpen, AFailingCallbackKeepsTheDialogOpen) {
  DialogRequest r = Bind();
  r.on_button = [](OpenDialog&, int button) -> ButtonOutcome {
    if (button == kIdOk) throw std::runtime_error("merge program vanished");
    return ButtonOutcome::kClose;
  };
  ui_.AddScript("dialog 109 1\ndialog 109 2\n", "t");
  EXPECT_EQ(ui_.ShowDialog(r).button, kIdCancel);
  EXPECT_EQ(ui_.Remaining(), 0u);
  EXPECT_EQ(Record().size(), 2u);
}

TEST_F(DialogKeptOpen, NobodyAnswersWithoutAskingTheDialogOrTheTree) {
  NoUserInterface none;
  const DialogResult r = none.ShowDialog(Bind());
  EXPECT_EQ(r.button, kIdCancel);
  EXPECT_EQ(presses_, 0);
  EXPECT_TRUE(source_.asked.empty());
  ASSERT_EQ(Record().size(), 1u);
  EXPECT_FALSE(Record()[0].unexpected);
}

}  // namespace
}  // namespace tw
