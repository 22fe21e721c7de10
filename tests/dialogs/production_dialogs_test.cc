// The add and bind dialogs over a real TWServer's Production tree: the
// scripted form walks it by path, each opened item listed once; the
// dialogs' validation keeps them open until the next answer; the values
// handed back name the Productions as the server does. (The terminal form's
// walk by number: ui_terminal_test.)
#include "dialogs/production_dialogs.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/ui_script.h"
#include "platform/user_interface.h"
#include "session/client_session.h"
#include "tests/support/property_server.h"
#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"
#include "tests/support/wire_client.h"
#include "transport/message_hub.h"

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

class ProductionDialogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(property_server_.Start());
    ASSERT_TRUE(server_.Init());
    ASSERT_TRUE(server_.AddUser("alice", "alice pw"));
    ASSERT_TRUE(server_.Start());
    SetServerEndpoint("127.0.0.1", server_.port());
    setenv("VELTRANE_UI_RECORD", env_.Path("record.jsonl").c_str(), 1);
    script_ = std::make_shared<ScriptedUserInterface>();
    SetUserInterface(script_);

    session_ = std::make_unique<ClientSession>();
    if (!GetMessageHub()->IsConnected()) GetMessageHub()->Connect();
    ASSERT_EQ(session_->Logon("alice", "alice pw"), kSessionOk);
    root_ = session_->root_id();
    ASSERT_FALSE(root_.empty());
    // "/" holds Art and Games; Games holds Level1 and Level2; Level1 holds Boss.
    art_ = Make(root_, "Art");
    games_ = Make(root_, "Games");
    level1_ = Make(games_, "Level1");
    Make(games_, "Level2");
    Make(level1_, "Boss");
  }
  void TearDown() override {
    session_.reset();
    ReleaseMessageHub();
    SetUserInterface(nullptr);
    unsetenv("VELTRANE_UI_RECORD");
  }

  std::string Make(const std::string& parent, const std::string& name) {
    std::string id;
    EXPECT_EQ(session_->CreateProduction(parent, name, &id), kSessionOk);
    return id;
  }
  // The GETNAMELIST requests the server has answered. A round trip first:
  // the server logs a request before it reads the next one on the
  // connection, so every earlier line is written by then.
  int NameListsServed() {
    std::string id;
    session_->LookupProduction("", false, &id);
    const std::string log = server_.Log();
    int count = 0;
    for (size_t at = 0; (at = log.find("command=GETNAMELIST", at)) != std::string::npos; ++at) {
      ++count;
    }
    return count;
  }
  std::vector<test::UiRecordEntry> Record() {
    return test::ReadUiRecord(env_.Path("record.jsonl"));
  }

  test::TestEnv env_;
  test::PropertyServer property_server_;
  test::TestServer server_{env_.Path("repo")};
  std::shared_ptr<ScriptedUserInterface> script_;
  std::unique_ptr<ClientSession> session_;
  std::string root_, art_, games_, level1_;
};

TEST_F(ProductionDialogsTest, BindWalksTheServerTreeAndRefusesUntilTheAnswerIsValid) {
  script_->AddScript(
      "dialog 109 1 1020=/work/proj\n"  // nothing selected
      "msgbox \"Halvorn Veltrane\" OK\n"
      "dialog 109 1 1022=/\n"  // the root
      "msgbox \"Halvorn Veltrane\" OK\n"
      "dialog 109 1 1022=\"/\\Games\\Level1\\Boss\" 1020=\"/work/a|b\"\n"
      "msgbox \"Halvorn Veltrane\" OK\n"
      "dialog 109 1 1022=\"\\Games\\Level2\" 1020=/work/proj\n",  // first: the root's name
      "t");
  BindDialogValues values;
  values.local_folder = "/start";
  ASSERT_TRUE(RunBindDialog(nullptr, session_.get(), &values));
  EXPECT_EQ(values.local_folder, "/work/proj");
  EXPECT_EQ(values.display_path, "\\Games\\Level2");
  EXPECT_EQ(values.parent_id_path, root_ + "\\" + games_);
  EXPECT_FALSE(values.id.empty());
  std::string found;
  ASSERT_EQ(session_->LookupProduction(values.display_path, false, &found), kSessionOk);
  EXPECT_EQ(found, values.id);
  EXPECT_EQ(script_->Remaining(), 0u);
  EXPECT_TRUE(script_->Errors().empty());
  // "/", Games and Level1 were opened, each once; Boss and Level2 only selected.
  EXPECT_EQ(NameListsServed(), 3);

  const auto record = Record();
  ASSERT_EQ(record.size(), 7u);
  EXPECT_EQ(record[0].texts.at(kBindFolder), "/start");
  const char* const kRefusals[] = {"Please select a Production (other than the root Production).",
                                   "Please select a Production (other than the root Production).",
                                   "Invalid working folder"};
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(record[2 * k].kind, "dialog");
    EXPECT_EQ(record[2 * k].answer, "1");
    EXPECT_EQ(record[2 * k + 1].kind, "msgbox");
    EXPECT_EQ(record[2 * k + 1].title, "Halvorn Veltrane");
    EXPECT_EQ(record[2 * k + 1].texts.at(0), kRefusals[k]);
  }
  EXPECT_EQ(record[4].texts.at(kBindPathLabel), "\\Games\\Level1\\Boss");
  EXPECT_EQ(record[6].texts.at(kBindPathLabel), "\\Games\\Level2");
}

TEST_F(ProductionDialogsTest, AddCutsTheNameAndNamesTheParentForCreation) {
  const std::string long_name(300, 'x');
  script_->AddScript(
      "dialog 103 1\n"
      "msgbox \"Halvorn Veltrane\" OK\n"
      "dialog 103 1 1004=/\n"
      "dialog 103 1 1004=\"/\\Games\\Level1\" 1005=Tools\n"
      "dialog 103 2 1004=/\\Art\n",
      "t");
  AddDialogValues values;
  values.name = long_name;
  ASSERT_TRUE(RunAddDialog(nullptr, session_.get(), &values));
  EXPECT_EQ(values.name, std::string(260, 'x'));
  EXPECT_EQ(values.parent_id, root_);
  EXPECT_EQ(values.parent_id_path, root_);
  EXPECT_EQ(values.parent_display_path, "");
  const auto record = Record();
  ASSERT_EQ(record.size(), 3u);
  EXPECT_EQ(record[1].texts.at(0), "Please select a Production.");

  // The parent's paths are what creating below it and looking it up take.
  ASSERT_TRUE(RunAddDialog(nullptr, session_.get(), &values));
  EXPECT_EQ(values.parent_id, level1_);
  EXPECT_EQ(values.parent_id_path, root_ + "\\" + games_ + "\\" + level1_);
  EXPECT_EQ(values.parent_display_path, "\\Games\\Level1");
  EXPECT_EQ(Record().back().texts.at(kAddPathLabel), "\\Games\\Level1");
  std::string created, found;
  ASSERT_EQ(session_->CreateProduction(values.parent_id, values.name, &created), kSessionOk);
  ASSERT_EQ(
      session_->LookupProduction(values.parent_display_path + "\\" + values.name, false, &found),
      kSessionOk);
  EXPECT_EQ(found, created);

  // Cancel hands nothing back.
  const AddDialogValues before = values;
  EXPECT_FALSE(RunAddDialog(nullptr, session_.get(), &values));
  EXPECT_EQ(values.parent_id, before.parent_id);
  EXPECT_EQ(values.name, before.name);
  EXPECT_EQ(script_->Remaining(), 0u);
}

TEST_F(ProductionDialogsTest, NobodyAnsweringCancelsWithoutAskingTheServer) {
  SetUserInterface(std::make_shared<NoUserInterface>());
  BindDialogValues bind;
  bind.local_folder = "/kept";
  EXPECT_FALSE(RunBindDialog(nullptr, session_.get(), &bind));
  EXPECT_EQ(bind.local_folder, "/kept");
  AddDialogValues add;
  EXPECT_FALSE(RunAddDialog(nullptr, session_.get(), &add));
  EXPECT_EQ(NameListsServed(), 0);
  EXPECT_EQ(Record().size(), 2u);
}

}  // namespace
}  // namespace tw
